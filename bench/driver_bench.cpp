// The cost of qelvard1 on the request path, measured on the simulated
// kernel: one SRB sent through a filter to a lower device that completes
// it at once, with the IRP reused from one iteration to the next.
//
//   BM_UncountedPassThrough   plain filter, no capture: the bare hop
//   BM_CountedPlainFilter     plain filter during a capture
//   BM_CountedBusFilter/N     bus filter during a capture with N devices
//                             listed, all its children, the matching one
//                             last (the longest walk)
//   BM_Floor                  two spin-lock pairs and two counter reads,
//                             the work a counted request cannot avoid
//
// tools/bench.sh turns the results into the ratio table.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "driver/driver.h"
#include "platform/host_kernel/host_control.h"

namespace {

// A port device that completes every SRB at once and tells its address.
struct PortExtension {
  UCHAR port;
  UCHAR target;
};

NTSTATUS NTAPI PortDispatch(PDEVICE_OBJECT device, PIRP irp) {
  const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status = STATUS_SUCCESS;
  ULONG_PTR information = 0;
  if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
    const auto* extension = static_cast<const PortExtension*>(device->DeviceExtension);
    if (stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_SCSI_GET_ADDRESS &&
        stack->Parameters.DeviceIoControl.OutputBufferLength >= sizeof(SCSI_ADDRESS)) {
      SCSI_ADDRESS address{sizeof(SCSI_ADDRESS), extension->port, 0, extension->target, 0};
      RtlCopyMemory(irp->AssociatedIrp.SystemBuffer, &address, sizeof(address));
      information = sizeof(address);
    } else {
      status = STATUS_INVALID_DEVICE_REQUEST;
    }
  }
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS NTAPI PortEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (auto& slot : driver->MajorFunction) slot = PortDispatch;
  driver->DriverUnload = [](PDRIVER_OBJECT) {};
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI Done(PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_MORE_PROCESSING_REQUIRED; }

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "driver_bench: %s failed\n", what);
    std::abort();
  }
}

// A simulated machine with qelvard1 loaded; torn down at the end.
class Machine {
 public:
  Machine() {
    Check(hostk::LoadDriver("benchport", PortEntry, &port_) == STATUS_SUCCESS, "loading the port driver");
    Check(hostk::LoadDriver("qelvard1", DriverEntry, &filter_) == STATUS_SUCCESS, "loading qelvard1");
    monitor_ = std::make_unique<hostk::UserProcess>(1200);
    handle_ = monitor_->CreateFileA("\\\\.\\QELVARD1");
    Check(handle_ != INVALID_HANDLE_VALUE, "opening the control device");
  }
  ~Machine() {
    monitor_->CloseHandle(handle_);
    for (auto it = filters_.rbegin(); it != filters_.rend(); ++it) Remove(*it);
    hostk::UnloadDriver(filter_);
    for (PDEVICE_OBJECT pdo : pdos_) IoDeleteDevice(pdo);
    hostk::UnloadDriver(port_);
  }
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;

  PDEVICE_OBJECT Filter(UCHAR port, UCHAR target, BOOLEAN isBus, PDEVICE_OBJECT parent) {
    PDEVICE_OBJECT pdo = nullptr;
    Check(NT_SUCCESS(IoCreateDevice(port_, sizeof(PortExtension), nullptr, FILE_DEVICE_DISK, 0, FALSE, &pdo)),
          "creating a port device");
    *static_cast<PortExtension*>(pdo->DeviceExtension) = PortExtension{port, target};
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    pdos_.push_back(pdo);
    LockDeviceList();
    Check(AttachFilterDevice(filter_, pdo, isBus, parent) == STATUS_SUCCESS, "attaching a filter");
    UnlockDeviceList();
    filters_.push_back(pdo->AttachedDevice);
    return pdo->AttachedDevice;
  }
  void StartCapture() {
    DWORD returned = 0;
    Check(monitor_->DeviceIoControl(handle_, IOCTL_KV_START_CAPTURE, nullptr, 0, nullptr, 0, &returned, nullptr),
          "starting the capture");
  }

 private:
  using DWORD = hostk::DWORD;
  static void Remove(PDEVICE_OBJECT filter) {
    PIRP irp = IoAllocateIrp(filter->StackSize, FALSE);
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_PNP;
    stack->MinorFunction = IRP_MN_REMOVE_DEVICE;
    IoSetCompletionRoutine(irp, Done, nullptr, TRUE, TRUE, TRUE);
    IoCallDriver(filter, irp);
    IoFreeIrp(irp);
  }

  PDRIVER_OBJECT port_ = nullptr;
  PDRIVER_OBJECT filter_ = nullptr;
  std::unique_ptr<hostk::UserProcess> monitor_;
  HANDLE handle_ = INVALID_HANDLE_VALUE;
  std::vector<PDEVICE_OBJECT> pdos_;
  std::vector<PDEVICE_OBJECT> filters_;
};

// Sends one SRB to `target` per iteration with the same IRP.
void SendSrbs(benchmark::State& state, PDEVICE_OBJECT target, UCHAR targetId) {
  SCSI_REQUEST_BLOCK srb{};
  srb.Length = sizeof(srb);
  srb.Function = SRB_FUNCTION_EXECUTE_SCSI;
  srb.TargetId = targetId;
  PIRP irp = IoAllocateIrp(target->StackSize, FALSE);
  for (auto _ : state) {
    IoReuseIrp(irp, STATUS_SUCCESS);
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_SCSI;
    stack->Parameters.Scsi.Srb = &srb;
    IoSetCompletionRoutine(irp, Done, nullptr, TRUE, TRUE, TRUE);
    benchmark::DoNotOptimize(IoCallDriver(target, irp));
  }
  IoFreeIrp(irp);
  Check(Driver.BusActivity[0].Outstanding == 0, "balanced counts");
}

void BM_UncountedPassThrough(benchmark::State& state) {
  Machine machine;
  PDEVICE_OBJECT filter = machine.Filter(1, 0, FALSE, nullptr);
  SendSrbs(state, filter, 0);
}
BENCHMARK(BM_UncountedPassThrough);

void BM_CountedPlainFilter(benchmark::State& state) {
  Machine machine;
  PDEVICE_OBJECT filter = machine.Filter(1, 0, FALSE, nullptr);
  machine.StartCapture();
  SendSrbs(state, filter, 0);
  Check(Driver.BusStatistics.BusyTime[1] >= 0, "busy time");
}
BENCHMARK(BM_CountedPlainFilter);

void BM_CountedBusFilter(benchmark::State& state) {
  const int devices = static_cast<int>(state.range(0));
  Machine machine;
  PDEVICE_OBJECT bus = machine.Filter(0, 0, TRUE, nullptr);
  for (int i = 1; i < devices; ++i) machine.Filter(7, static_cast<UCHAR>(i - 1), FALSE, bus);
  machine.Filter(7, 255, FALSE, bus);  // the child the requests belong to
  machine.StartCapture();
  SendSrbs(state, bus, 255);
  state.counters["devices"] = devices;
}
BENCHMARK(BM_CountedBusFilter)->Arg(1)->Arg(16)->Arg(64)->Arg(255);

void BM_Floor(benchmark::State& state) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  for (auto _ : state) {
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    benchmark::DoNotOptimize(KeQueryPerformanceCounter(nullptr).QuadPart);
    KeReleaseSpinLock(&lock, old);
    KeAcquireSpinLock(&lock, &old);
    benchmark::DoNotOptimize(KeQueryPerformanceCounter(nullptr).QuadPart);
    KeReleaseSpinLock(&lock, old);
  }
}
BENCHMARK(BM_Floor);

}  // namespace

BENCHMARK_MAIN();
