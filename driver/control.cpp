// The control device: one monitor at a time opens it, starts a capture,
// reads interval snapshots of the busy times, asks for controller names
// and stops.
#include "driver/driver.h"

namespace {

NTSTATUS ControlOpen(HANDLE ProcessId, PFILE_OBJECT File) {
  // Two opens racing: only one finds the owner empty.
  if (InterlockedCompareExchangePointer(&Driver.OwnerProcessId, ProcessId, NULL) != NULL) {
    return KV_STATUS_ALREADY_OPEN;
  }
  InterlockedExchangePointer(reinterpret_cast<PVOID*>(&Driver.OwnerFile), File);
  return STATUS_SUCCESS;
}

// Windows sends no request on a file whose open failed, but a kernel that
// does (Wine hands out a handle for a refused open and closes it later)
// must not let it stop or read another monitor's capture.
BOOLEAN IsOwnerFile(PFILE_OBJECT File) {
  return InterlockedCompareExchangePointer(&Driver.OwnerProcessId, NULL, NULL) != NULL &&
         InterlockedCompareExchangePointer(reinterpret_cast<PVOID*>(&Driver.OwnerFile), NULL, NULL) == File;
}

// Closing ends a running capture; the statistics block is left as it is.
NTSTATUS ControlClose(PFILE_OBJECT File) {
  if (!IsOwnerFile(File)) return STATUS_SUCCESS;
  KIRQL oldIrql;
  KeAcquireSpinLock(&Driver.StatisticsLock, &oldIrql);
  StoreShared(&Driver.CaptureActive, 0);
  KeReleaseSpinLock(&Driver.StatisticsLock, oldIrql);
  InterlockedExchangePointer(reinterpret_cast<PVOID*>(&Driver.OwnerFile), NULL);
  InterlockedExchangePointer(&Driver.OwnerProcessId, NULL);
  return STATUS_SUCCESS;
}

// Caller holds StatisticsLock.
VOID ClearStatistics(LONGLONG IntervalStart) {
  RtlZeroMemory(&Driver.BusStatistics, sizeof(Driver.BusStatistics));
  Driver.BusStatistics.IntervalStart = IntervalStart;
}

// Only one start at a time gets past the first test: a second one while
// the first identifies fails as when the capture is already running.
NTSTATUS StartCapture() {
  if (InterlockedCompareExchange(&Driver.StartInProgress, 1, 0) != 0) return KV_STATUS_CAPTURE_ACTIVE;
  if (LoadShared(&Driver.CaptureActive)) {
    InterlockedExchange(&Driver.StartInProgress, 0);
    return KV_STATUS_CAPTURE_ACTIVE;
  }
  IdentifyListedDevices();

  KIRQL oldIrql;
  KeAcquireSpinLock(&Driver.StatisticsLock, &oldIrql);
  const LONGLONG now = ReadCounter();
  ClearStatistics(now);
  // A bus still busy from before begins this interval busy: its running
  // period counts from now, never from before the interval.
  for (ULONG b = 0; b < KvBusCount; ++b) {
    if (Driver.BusActivity[b].Outstanding > 0) Driver.BusActivity[b].BusyStart = now;
  }
  StoreShared(&Driver.CaptureActive, 1);
  KeReleaseSpinLock(&Driver.StatisticsLock, oldIrql);
  InterlockedExchange(&Driver.StartInProgress, 0);
  return STATUS_SUCCESS;
}

NTSTATUS StopCapture() {
  NTSTATUS status = STATUS_SUCCESS;
  KIRQL oldIrql;
  KeAcquireSpinLock(&Driver.StatisticsLock, &oldIrql);
  if (Driver.CaptureActive) {
    StoreShared(&Driver.CaptureActive, 0);
    ClearStatistics(0);
  } else {
    status = KV_STATUS_CAPTURE_INACTIVE;
  }
  KeReleaseSpinLock(&Driver.StatisticsLock, oldIrql);
  return status;
}

// Caller holds StatisticsLock.
const FilterDeviceRecord* FindDeviceOnBus(UCHAR BusIndex) {
  for (PLIST_ENTRY entry = Driver.FilterDeviceList.Flink; entry != &Driver.FilterDeviceList; entry = entry->Flink) {
    const FilterDeviceRecord* record = CONTAINING_RECORD(entry, FilterDeviceRecord, Link);
    if (!record->IsBusFilter && record->BusIndex == BusIndex) return record;
  }
  return NULL;
}

ULONG TextLength(const CHAR* Text, ULONG Limit) {
  ULONG length = 0;
  while (length < Limit && Text[length] != '\0') ++length;
  return length;
}

NTSTATUS GetControllerName(PIRP Irp, PIO_STACK_LOCATION Stack, ULONG_PTR* Information) {
  const ULONG outputLength = Stack->Parameters.DeviceIoControl.OutputBufferLength;
  PUCHAR buffer = static_cast<PUCHAR>(Irp->AssociatedIrp.SystemBuffer);
  if (outputLength < KV_NAME_QUERY_OUTPUT_SIZE ||
      Stack->Parameters.DeviceIoControl.InputBufferLength < KV_NAME_QUERY_INPUT_SIZE || buffer == NULL) {
    return KV_STATUS_BAD_BUFFER_SIZE;
  }
  if (!LoadShared(&Driver.CaptureActive)) return KV_STATUS_CAPTURE_INACTIVE;

  const UCHAR busIndex = buffer[0];
  RtlZeroMemory(buffer, outputLength);

  NTSTATUS status = KV_STATUS_BUS_NOT_FOUND;
  KIRQL oldIrql;
  KeAcquireSpinLock(&Driver.StatisticsLock, &oldIrql);
  const FilterDeviceRecord* record = FindDeviceOnBus(busIndex);
  if (!Driver.CaptureActive) {
    status = KV_STATUS_CAPTURE_INACTIVE;  // a stop came in before the lock
  } else if (record != NULL) {
    const ULONG length = TextLength(record->ControllerDescription, KvDescriptionSize - 1);
    RtlCopyMemory(buffer, record->ControllerDescription, length);  // the NUL is already there
    *Information = length + 1;
    status = STATUS_SUCCESS;
  }
  KeReleaseSpinLock(&Driver.StatisticsLock, oldIrql);
  return status;
}

// Closes the interval at now and opens the next one at the same now; a
// busy period running across the read is split there.
NTSTATUS ReadStatistics(PIRP Irp, PIO_STACK_LOCATION Stack, ULONG_PTR* Information) {
  const ULONG outputLength = Stack->Parameters.DeviceIoControl.OutputBufferLength;
  BusStatisticsBlock* reply = static_cast<BusStatisticsBlock*>(Irp->AssociatedIrp.SystemBuffer);
  if (outputLength < KV_STATISTICS_SIZE || reply == NULL) return KV_STATUS_BAD_BUFFER_SIZE;
  if (!LoadShared(&Driver.CaptureActive)) return KV_STATUS_CAPTURE_INACTIVE;

  RtlZeroMemory(reply, outputLength);
  KIRQL oldIrql;
  KeAcquireSpinLock(&Driver.StatisticsLock, &oldIrql);
  if (!Driver.CaptureActive) {  // a stop came in before the lock
    KeReleaseSpinLock(&Driver.StatisticsLock, oldIrql);
    return KV_STATUS_CAPTURE_INACTIVE;
  }
  const LONGLONG now = ReadCounter();
  reply->IntervalStart = Driver.BusStatistics.IntervalStart;
  reply->IntervalEnd = now;
  for (ULONG b = 0; b < KvBusCount; ++b) {
    BusActivityEntry* bus = &Driver.BusActivity[b];
    LONGLONG busy = Driver.BusStatistics.BusyTime[b];
    if (bus->Outstanding > 0) {
      busy += now - bus->BusyStart;
      bus->BusyStart = now;
    }
    reply->BusyTime[b] = busy;
  }
  ClearStatistics(now);
  KeReleaseSpinLock(&Driver.StatisticsLock, oldIrql);
  *Information = KV_STATISTICS_SIZE;
  return STATUS_SUCCESS;
}

NTSTATUS DispatchDeviceControl(PIRP Irp, PIO_STACK_LOCATION Stack, ULONG_PTR* Information) {
  switch (Stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_KV_START_CAPTURE:
      return StartCapture();
    case IOCTL_KV_STOP_CAPTURE:
      return StopCapture();
    case IOCTL_KV_GET_CONTROLLER_NAME:
      return GetControllerName(Irp, Stack, Information);
    case IOCTL_KV_READ_STATISTICS:
      return ReadStatistics(Irp, Stack, Information);
    default:
      return STATUS_INVALID_DEVICE_REQUEST;
  }
}

}  // namespace

NTSTATUS DispatchControlDevice(PIRP Irp) {
  PAGED_CODE();
  const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  ULONG_PTR information = 0;
  NTSTATUS status = STATUS_SUCCESS;
  switch (stack->MajorFunction) {
    case IRP_MJ_CREATE:
      status = ControlOpen(PsGetCurrentProcessId(), stack->FileObject);
      break;
    case IRP_MJ_CLOSE:
      status = ControlClose(stack->FileObject);
      break;
    case IRP_MJ_DEVICE_CONTROL:
      status = IsOwnerFile(stack->FileObject) ? DispatchDeviceControl(Irp, stack, &information)
                                              : KV_STATUS_ALREADY_OPEN;
      break;
    default:  // cleanup
      break;
  }
  Irp->IoStatus.Status = status;
  Irp->IoStatus.Information = NT_SUCCESS(status) ? information : 0;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return status;
}
