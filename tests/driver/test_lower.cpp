#include "test_lower.h"

#include <gtest/gtest.h>

#include <cstring>

#include "platform/host_kernel/host_control.h"

namespace testlower {
namespace {

// The extension of every device of these drivers: whom it belongs to.
struct Extension {
  LowerDriver* owner;
  PDEVICE_OBJECT lower;  // ServiceDriver devices: the device below
};

Extension* ExtensionOf(PDEVICE_OBJECT device) { return static_cast<Extension*>(device->DeviceExtension); }

NTSTATUS NTAPI EntryWithoutDevices(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (auto& slot : driver->MajorFunction) slot = LowerDriver::Dispatch;
  driver->DriverUnload = [](PDRIVER_OBJECT) {};
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI ServiceDispatch(PDEVICE_OBJECT device, PIRP irp) {
  if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_POWER) PoStartNextPowerIrp(irp);
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(ExtensionOf(device)->lower, irp);
}

NTSTATUS NTAPI ServiceEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (auto& slot : driver->MajorFunction) slot = ServiceDispatch;
  driver->DriverUnload = [](PDRIVER_OBJECT) {};
  return STATUS_SUCCESS;
}

}  // namespace

LowerDriver::LowerDriver(const char* service) {
  if (hostk::FindDriver(service) != nullptr) hostk::UnloadDriver(hostk::FindDriver(service));
  EXPECT_EQ(hostk::LoadDriver(service, EntryWithoutDevices, &driver_), STATUS_SUCCESS);
}

LowerDriver::~LowerDriver() {
  CompleteAllHeld();
  std::vector<PDEVICE_OBJECT> left;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    for (auto& entry : devices_) left.push_back(entry.first);
  }
  for (PDEVICE_OBJECT device : left) DeleteDevice(device);
  if (driver_ != nullptr) hostk::UnloadDriver(driver_);
}

PDEVICE_OBJECT LowerDriver::CreateDevice(DEVICE_TYPE type, ULONG flags) {
  PDEVICE_OBJECT device = nullptr;
  if (!NT_SUCCESS(IoCreateDevice(driver_, sizeof(Extension), nullptr, type, 0, FALSE, &device))) return nullptr;
  *ExtensionOf(device) = Extension{this, nullptr};
  device->Flags = (device->Flags | flags) & ~DO_DEVICE_INITIALIZING;
  std::lock_guard<std::mutex> hold(mutex_);
  devices_[device];
  return device;
}

void LowerDriver::DeleteDevice(PDEVICE_OBJECT device) {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    devices_.erase(device);
  }
  IoDeleteDevice(device);
}

Behaviour& LowerDriver::Of(PDEVICE_OBJECT device) {
  std::lock_guard<std::mutex> hold(mutex_);
  return devices_.at(device).behaviour;
}

std::vector<Received> LowerDriver::ReceivedBy(PDEVICE_OBJECT device) {
  std::lock_guard<std::mutex> hold(mutex_);
  return devices_.at(device).received;
}

size_t LowerDriver::ReceivedCount(PDEVICE_OBJECT device, UCHAR major) {
  size_t count = 0;
  for (const Received& received : ReceivedBy(device)) count += received.major == major;
  return count;
}

size_t LowerDriver::HeldCount(PDEVICE_OBJECT device) {
  std::lock_guard<std::mutex> hold(mutex_);
  return devices_.at(device).held.size();
}

PIRP LowerDriver::TakeHeld(PDEVICE_OBJECT device, size_t index) {
  std::lock_guard<std::mutex> hold(mutex_);
  std::deque<PIRP>& held = devices_.at(device).held;
  if (index >= held.size()) return nullptr;
  PIRP irp = held[index];
  held.erase(held.begin() + static_cast<std::ptrdiff_t>(index));
  return irp;
}

void LowerDriver::Complete(PIRP irp, NTSTATUS status) {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  KeLowerIrql(old);
}

void LowerDriver::CompleteAllHeld() {
  for (;;) {
    PIRP irp = nullptr;
    {
      std::lock_guard<std::mutex> hold(mutex_);
      for (auto& entry : devices_) {
        if (!entry.second.held.empty()) {
          irp = entry.second.held.front();
          entry.second.held.pop_front();
          break;
        }
      }
    }
    if (irp == nullptr) return;
    const UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
    if (major == IRP_MJ_PNP) {
      irp->IoStatus.Status = STATUS_SUCCESS;
      IoCompleteRequest(irp, IO_NO_INCREMENT);  // PnP completes at PASSIVE_LEVEL
    } else {
      Complete(irp, STATUS_SUCCESS);
    }
  }
}

void LowerDriver::BehaveNormally() {
  std::lock_guard<std::mutex> hold(mutex_);
  for (auto& entry : devices_) {
    entry.second.behaviour.holdRequests = false;
    entry.second.behaviour.holdPnp = false;
    entry.second.behaviour.holdQueries = false;
    entry.second.behaviour.pnpStatus = STATUS_SUCCESS;
    entry.second.behaviour.onArrival = nullptr;
  }
}

NTSTATUS NTAPI LowerDriver::Dispatch(PDEVICE_OBJECT device, PIRP irp) {
  return ExtensionOf(device)->owner->Handle(device, irp);
}

NTSTATUS LowerDriver::Finish(PIRP irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS LowerDriver::AnswerDeviceControl(PIRP irp, const Behaviour& behaviour) {
  const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  const ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
  void* buffer = irp->AssociatedIrp.SystemBuffer;
  switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_SCSI_GET_ADDRESS: {
      if (!NT_SUCCESS(behaviour.addressStatus)) return Finish(irp, behaviour.addressStatus, 0);
      if (outputLength < sizeof(SCSI_ADDRESS)) return Finish(irp, STATUS_BUFFER_TOO_SMALL, 0);
      SCSI_ADDRESS address{sizeof(SCSI_ADDRESS), behaviour.portNumber, behaviour.pathId, behaviour.targetId, 0};
      std::memcpy(buffer, &address, sizeof(address));
      return Finish(irp, STATUS_SUCCESS, sizeof(address));
    }
    case IOCTL_STORAGE_QUERY_PROPERTY: {
      if (!NT_SUCCESS(behaviour.busTypeStatus)) return Finish(irp, behaviour.busTypeStatus, 0);
      if (outputLength < sizeof(STORAGE_DEVICE_DESCRIPTOR)) return Finish(irp, STATUS_BUFFER_TOO_SMALL, 0);
      STORAGE_DEVICE_DESCRIPTOR descriptor{};
      descriptor.Version = sizeof(descriptor);
      descriptor.Size = sizeof(descriptor);
      descriptor.BusType = behaviour.busType;
      std::memcpy(buffer, &descriptor, sizeof(descriptor));
      return Finish(irp, STATUS_SUCCESS, sizeof(descriptor));
    }
    default:
      return Finish(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
}

NTSTATUS LowerDriver::AnswerPnp(PIRP irp, const Behaviour& behaviour) {
  const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  ULONG_PTR information = irp->IoStatus.Information;
  if (stack->MinorFunction == IRP_MN_QUERY_DEVICE_RELATIONS && behaviour.answerBusRelations &&
      stack->Parameters.QueryDeviceRelations.Type == BusRelations) {
    const size_t size = sizeof(DEVICE_RELATIONS) + behaviour.children.size() * sizeof(PDEVICE_OBJECT);
    auto* relations = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, size, hostk::MakeTag("TstR")));
    relations->Count = static_cast<ULONG>(behaviour.children.size());
    for (size_t i = 0; i < behaviour.children.size(); ++i) relations->Objects[i] = behaviour.children[i];
    information = reinterpret_cast<ULONG_PTR>(relations);
  }
  return Finish(irp, behaviour.pnpStatus, information);
}

NTSTATUS LowerDriver::Handle(PDEVICE_OBJECT device, PIRP irp) {
  const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  Received received;
  received.major = stack->MajorFunction;
  received.minor = stack->MinorFunction;
  received.irp = irp;
  received.counted = stack->CompletionRoutine == ScsiCompletion;
  if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL) received.code = stack->Parameters.DeviceIoControl.IoControlCode;
  if (stack->MajorFunction == IRP_MJ_PNP && stack->MinorFunction == IRP_MN_QUERY_DEVICE_RELATIONS) {
    received.relationType = stack->Parameters.QueryDeviceRelations.Type;
  }
  if (stack->MajorFunction == IRP_MJ_PNP && stack->MinorFunction == IRP_MN_DEVICE_USAGE_NOTIFICATION) {
    received.inPath = stack->Parameters.UsageNotification.InPath;
  }
  if (device->AttachedDevice != nullptr) received.filterFlagsSeen = device->AttachedDevice->Flags;

  Behaviour behaviour;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    behaviour = devices_.at(device).behaviour;
  }
  if (behaviour.onArrival) behaviour.onArrival(irp);

  const bool storageRequest =
      received.major == IRP_MJ_SCSI ||
      (received.major == IRP_MJ_DEVICE_CONTROL &&
       (received.code == IOCTL_SCSI_PASS_THROUGH || received.code == IOCTL_SCSI_PASS_THROUGH_DIRECT));
  const bool query = received.major == IRP_MJ_DEVICE_CONTROL && !storageRequest;
  const bool hold = (storageRequest && behaviour.holdRequests) || (query && behaviour.holdQueries) ||
                    (received.major == IRP_MJ_PNP && behaviour.holdPnp);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    DeviceState& state = devices_.at(device);
    state.received.push_back(received);
    if (hold) {
      IoMarkIrpPending(irp);
      state.held.push_back(irp);
    }
  }
  if (hold) return STATUS_PENDING;

  switch (received.major) {
    case IRP_MJ_SCSI:
      return Finish(irp, behaviour.requestStatus, 0);
    case IRP_MJ_DEVICE_CONTROL:
      if (received.code == IOCTL_SCSI_PASS_THROUGH || received.code == IOCTL_SCSI_PASS_THROUGH_DIRECT) {
        return Finish(irp, behaviour.requestStatus, 0);
      }
      return AnswerDeviceControl(irp, behaviour);
    case IRP_MJ_PNP:
      return AnswerPnp(irp, behaviour);
    case IRP_MJ_POWER:
      PoStartNextPowerIrp(irp);
      return Finish(irp, STATUS_SUCCESS, 0);
    default:
      return Finish(irp, STATUS_SUCCESS, 0);
  }
}

ServiceDriver::ServiceDriver(const std::string& service) {
  EXPECT_EQ(hostk::LoadDriver(service, ServiceEntry, &driver_), STATUS_SUCCESS);
}

ServiceDriver::~ServiceDriver() {
  for (auto it = devices_.rbegin(); it != devices_.rend(); ++it) {
    IoDetachDevice(ExtensionOf(*it)->lower);
    IoDeleteDevice(*it);
  }
  if (driver_ != nullptr) hostk::UnloadDriver(driver_);
}

PDEVICE_OBJECT ServiceDriver::AttachAbove(PDEVICE_OBJECT pdo) {
  PDEVICE_OBJECT device = nullptr;
  if (!NT_SUCCESS(IoCreateDevice(driver_, sizeof(Extension), nullptr, pdo->DeviceType, 0, FALSE, &device))) {
    return nullptr;
  }
  *ExtensionOf(device) = Extension{nullptr, IoAttachDeviceToDeviceStack(device, pdo)};
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  devices_.push_back(device);
  return device;
}

}  // namespace testlower
