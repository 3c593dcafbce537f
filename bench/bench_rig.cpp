#include "bench/bench_rig.h"

#include <cstdio>
#include <cstdlib>

namespace benchrig {
namespace {

NTSTATUS NTAPI PortDispatch(PDEVICE_OBJECT device, PIRP irp) {
  const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  const auto* answer = static_cast<const PortAnswer*>(device->DeviceExtension);
  NTSTATUS status = STATUS_SUCCESS;
  ULONG_PTR information = 0;
  if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
    const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    const ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
    if (code == IOCTL_SCSI_GET_ADDRESS && answer->answersAddress && out >= sizeof(SCSI_ADDRESS)) {
      SCSI_ADDRESS address{sizeof(SCSI_ADDRESS), answer->port, 0, answer->target, 0};
      RtlCopyMemory(irp->AssociatedIrp.SystemBuffer, &address, sizeof address);
      information = sizeof address;
    } else if (code == IOCTL_STORAGE_QUERY_PROPERTY && out >= sizeof(STORAGE_DEVICE_DESCRIPTOR)) {
      STORAGE_DEVICE_DESCRIPTOR descriptor{};
      descriptor.Version = sizeof descriptor;
      descriptor.Size = sizeof descriptor;
      descriptor.BusType = answer->busType;
      RtlCopyMemory(irp->AssociatedIrp.SystemBuffer, &descriptor, sizeof descriptor);
      information = sizeof descriptor;
    } else if (code != IOCTL_SCSI_PASS_THROUGH && code != IOCTL_SCSI_PASS_THROUGH_DIRECT) {
      status = STATUS_INVALID_DEVICE_REQUEST;
    }
  }
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

VOID NTAPI PortUnload(PDRIVER_OBJECT) {}

NTSTATUS NTAPI PortEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (auto& slot : driver->MajorFunction) slot = PortDispatch;
  driver->DriverUnload = PortUnload;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI Done(PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_MORE_PROCESSING_REQUIRED; }

}  // namespace

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "bench: %s failed\n", what);
    std::abort();
  }
}

Machine::Machine() {
  Check(hostk::LoadDriver("benchport", PortEntry, &port_) == STATUS_SUCCESS, "loading the port driver");
  Check(hostk::LoadDriver("qelvard1", DriverEntry, &filter_) == STATUS_SUCCESS, "loading qelvard1");
  monitor_ = std::make_unique<hostk::UserProcess>(1200);
  handle_ = monitor_->CreateFileA(KV_CONTROL_DEVICE_USER_PATH);
  Check(handle_ != INVALID_HANDLE_VALUE, "opening the control device");
}

Machine::~Machine() {
  monitor_->CloseHandle(handle_);
  for (auto it = filters_.rbegin(); it != filters_.rend(); ++it) {
    PIRP irp = IoAllocateIrp((*it)->StackSize, FALSE);
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_PNP;
    stack->MinorFunction = IRP_MN_REMOVE_DEVICE;
    IoSetCompletionRoutine(irp, Done, nullptr, TRUE, TRUE, TRUE);
    IoCallDriver(*it, irp);
    IoFreeIrp(irp);
  }
  hostk::UnloadDriver(filter_);
  for (PDEVICE_OBJECT pdo : pdos_) IoDeleteDevice(pdo);
  hostk::UnloadDriver(port_);
}

PDEVICE_OBJECT Machine::Filter(const PortAnswer& answer, BOOLEAN isBus, PDEVICE_OBJECT parent) {
  PDEVICE_OBJECT pdo = nullptr;
  Check(NT_SUCCESS(IoCreateDevice(port_, sizeof(PortAnswer), nullptr, FILE_DEVICE_DISK, 0, FALSE, &pdo)),
        "creating a port device");
  *static_cast<PortAnswer*>(pdo->DeviceExtension) = answer;
  pdo->Flags &= ~DO_DEVICE_INITIALIZING;
  hostk::MarkPhysicalDevice(pdo);  // the port driver enumerates it
  pdos_.push_back(pdo);
  LockDeviceList();
  Check(AttachFilterDevice(filter_, pdo, isBus, parent) == STATUS_SUCCESS, "attaching a filter");
  UnlockDeviceList();
  filters_.push_back(pdo->AttachedDevice);
  return pdo->AttachedDevice;
}

void Machine::Control(ULONG code) {
  hostk::DWORD returned = 0;
  Check(monitor_->DeviceIoControl(handle_, code, nullptr, 0, nullptr, 0, &returned, nullptr) != 0, "a control code");
}

void Machine::ReadStatistics(BusStatisticsBlock* block) {
  hostk::DWORD returned = 0;
  Check(monitor_->DeviceIoControl(handle_, IOCTL_KV_READ_STATISTICS, nullptr, 0, block, sizeof *block, &returned,
                                  nullptr) != 0,
        "a statistics read");
}

SrbSender::SrbSender(PDEVICE_OBJECT target, UCHAR targetId)
    : target_(target), irp_(IoAllocateIrp(target->StackSize, FALSE)) {
  srb_.Length = sizeof srb_;
  srb_.Function = SRB_FUNCTION_EXECUTE_SCSI;
  srb_.TargetId = targetId;
}

SrbSender::~SrbSender() { IoFreeIrp(irp_); }

NTSTATUS SrbSender::SendOne() {
  IoReuseIrp(irp_, STATUS_SUCCESS);
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp_);
  stack->MajorFunction = IRP_MJ_SCSI;
  stack->Parameters.Scsi.Srb = &srb_;
  IoSetCompletionRoutine(irp_, Done, nullptr, TRUE, TRUE, TRUE);
  return IoCallDriver(target_, irp_);
}

}  // namespace benchrig
