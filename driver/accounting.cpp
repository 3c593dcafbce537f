// Busy-time accounting: every SCSI request block and SCSI pass-through
// request that passes a filter device during a capture is counted
// against a bus index; per bus, the time with at least one counted
// request outstanding accumulates in BusStatistics.
//
// Every request holds its filter device's SendLock until its call down
// returns, and a counted one also RequestLock until its completion, so a
// removal goes down only after the first and deletes the record only
// after the second. The bus index it was counted
// against travels in the completion context: the end is credited to the
// same bus as the start, whatever happened to the records meanwhile.
#include "driver/driver.h"

namespace {

// The context of a counted request is its bus's BusActivity entry: it
// names the bus without an allocation.
PVOID BusIndexToContext(UCHAR BusIndex) { return &Driver.BusActivity[BusIndex]; }

UCHAR ContextToBusIndex(PVOID Context) {
  return static_cast<UCHAR>(static_cast<BusActivityEntry*>(Context) - Driver.BusActivity);
}

// The target id a request is addressed to. A pass-through request whose
// system buffer cannot hold the header's TargetId byte has none.
BOOLEAN ReadRequestTargetId(PIRP Irp, UCHAR* TargetId) {
  const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
    const SCSI_PASS_THROUGH* header = static_cast<const SCSI_PASS_THROUGH*>(Irp->AssociatedIrp.SystemBuffer);
    if (header == NULL ||
        stack->Parameters.DeviceIoControl.InputBufferLength < FIELD_OFFSET(SCSI_PASS_THROUGH, TargetId) + 1) {
      return FALSE;
    }
    *TargetId = header->TargetId;  // same offset in SCSI_PASS_THROUGH_DIRECT
    return TRUE;
  }
  const SCSI_REQUEST_BLOCK* srb = stack->Parameters.Scsi.Srb;
  if (srb == NULL) return FALSE;
  *TargetId = srb->TargetId;
  return TRUE;
}

// Caller holds StatisticsLock (a bus filter walks the list).
BOOLEAN ResolveRequestBus(const FilterDeviceRecord* Record, UCHAR TargetId, UCHAR* BusIndex) {
  const FilterDeviceRecord* attributed = Record->IsBusFilter ? FindChildRecord(Record->Self, TargetId) : Record;
  if (attributed == NULL) return FALSE;
  *BusIndex = attributed->BusIndex;
  return TRUE;
}

BOOLEAN CountRequestStart(const FilterDeviceRecord* Record, PIRP Irp, UCHAR* BusIndex) {
  UCHAR targetId = 0;
  if (!ReadRequestTargetId(Irp, &targetId)) return FALSE;

  KIRQL oldIrql;
  KeAcquireSpinLock(&Driver.StatisticsLock, &oldIrql);
  const BOOLEAN found = ResolveRequestBus(Record, targetId, BusIndex);
  if (found) {
    BusActivityEntry* bus = &Driver.BusActivity[*BusIndex];
    if (bus->Outstanding == 0) bus->BusyStart = ReadCounter();
    ++bus->Outstanding;
  }
  KeReleaseSpinLock(&Driver.StatisticsLock, oldIrql);
  return found;
}

VOID CountRequestEnd(UCHAR BusIndex) {
  KIRQL oldIrql;
  KeAcquireSpinLock(&Driver.StatisticsLock, &oldIrql);
  BusActivityEntry* bus = &Driver.BusActivity[BusIndex];
  --bus->Outstanding;
  if (bus->Outstanding == 0 && Driver.CaptureActive) {
    Driver.BusStatistics.BusyTime[BusIndex] += ReadCounter() - bus->BusyStart;
  }
  KeReleaseSpinLock(&Driver.StatisticsLock, oldIrql);
}

}  // namespace

NTSTATUS NTAPI DispatchScsi(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  if (IsControlDevice(DeviceObject)) return RefuseControlRequest(Irp);
  return CountAndSendDown(RecordOf(DeviceObject), Irp);
}

NTSTATUS CountAndSendDown(FilterDeviceRecord* Record, PIRP Irp) {
  if (!LoadShared(&Driver.CaptureActive)) return SendDown(Record, Irp);
  if (!NT_SUCCESS(IoAcquireRemoveLock(&Record->SendLock, Irp))) return RefuseDuringRemoval(Irp);

  UCHAR busIndex = 0;
  if (CountRequestStart(Record, Irp, &busIndex)) {
    // Until ScsiCompletion. RequestLock is drained only after SendLock, so
    // this cannot fail.
    (void)IoAcquireRemoveLock(&Record->RequestLock, Irp);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, ScsiCompletion, BusIndexToContext(busIndex), TRUE, TRUE, TRUE);
  } else {
    IoSkipCurrentIrpStackLocation(Irp);  // uncounted
  }
  const NTSTATUS status = IoCallDriver(Record->LowerDevice, Irp);
  IoReleaseRemoveLock(&Record->SendLock, Irp);
  return status;
}

NTSTATUS NTAPI ScsiCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  CountRequestEnd(ContextToBusIndex(Context));
  if (Irp->PendingReturned) IoMarkIrpPending(Irp);
  IoReleaseRemoveLock(&RecordOf(DeviceObject)->RequestLock, Irp);
  return STATUS_SUCCESS;
}
