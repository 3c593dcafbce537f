// Plug and Play and power requests of filter devices: passed down so the
// stack behaves as without us, with removal, bus relations and paging
// notifications handled on the way.
#include "driver/driver.h"

namespace {

NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status) {
  Irp->IoStatus.Status = Status;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return Status;
}

BOOLEAN GetsNoChildFilter(PDEVICE_OBJECT Child) {
  return Child->DeviceType == FILE_DEVICE_CONTROLLER || Child->DeviceType == FILE_DEVICE_BUS_EXTENDER;
}

// Children reported below a bus filter get plain device filters of their
// own; a child that cannot be filtered is passed over.
VOID AttachChildFilters(FilterDeviceRecord* Record, const DEVICE_RELATIONS* Relations) {
  LockDeviceList();
  for (ULONG i = 0; i < Relations->Count; ++i) {
    PDEVICE_OBJECT child = Relations->Objects[i];
    if (GetsNoChildFilter(child) || IsDeviceFiltered(child)) continue;
    (void)AttachFilterDevice(Driver.DriverObjectRef, child, FALSE, Record->Self);
  }
  UnlockDeviceList();
}

NTSTATUS HandlePagingNotification(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  FilterDeviceRecord* record = RecordOf(DeviceObject);
  const BOOLEAN inPath = IoGetCurrentIrpStackLocation(Irp)->Parameters.UsageNotification.InPath;

  KeWaitForSingleObject(&record->PagingEvent, Executive, KernelMode, FALSE, NULL);

  // The last paging path is leaving: become pageable before the drivers
  // below hear of it.
  BOOLEAN setPagable = FALSE;
  if (!inPath && record->PagingPathCount == 1 && !(DeviceObject->Flags & DO_POWER_INRUSH)) {
    DeviceObject->Flags |= DO_POWER_PAGABLE;
    setPagable = TRUE;
  }

  const NTSTATUS status = ForwardIrpSynchronous(DeviceObject, Irp);
  if (NT_SUCCESS(status)) {
    const LONG count =
        inPath ? InterlockedIncrement(&record->PagingPathCount) : InterlockedDecrement(&record->PagingPathCount);
    if (inPath && count == 1) DeviceObject->Flags &= ~DO_POWER_PAGABLE;  // first paging path arrived
  } else if (setPagable) {
    DeviceObject->Flags &= ~DO_POWER_PAGABLE;
  }

  KeSetEvent(&record->PagingEvent, IO_NO_INCREMENT, FALSE);
  CompleteRequest(Irp, status);
  IoReleaseRemoveLock(&record->RemoveLock, Irp);
  return status;
}

// Refuses every later acquisition of a lock the removal does not hold,
// and waits until the last holder has released it.
VOID DrainLock(PIO_REMOVE_LOCK Lock, PIRP RemovalIrp) {
  if (NT_SUCCESS(IoAcquireRemoveLock(Lock, RemovalIrp))) IoReleaseRemoveLockAndWait(Lock, RemovalIrp);
}

}  // namespace

NTSTATUS NTAPI ForwardCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  UNREFERENCED_PARAMETER(Irp);
  KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;  // the forwarder completes it
}

NTSTATUS ForwardIrpSynchronous(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PAGED_CODE();
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(Irp);
  IoSetCompletionRoutine(Irp, ForwardCompletion, &done, TRUE, TRUE, TRUE);

  NTSTATUS status = IoCallDriver(RecordOf(DeviceObject)->LowerDevice, Irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
    status = Irp->IoStatus.Status;
  }
  return status;
}

NTSTATUS HandleBusRelations(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PAGED_CODE();
  FilterDeviceRecord* record = RecordOf(DeviceObject);
  const DEVICE_RELATION_TYPE type = IoGetCurrentIrpStackLocation(Irp)->Parameters.QueryDeviceRelations.Type;

  const NTSTATUS status = ForwardIrpSynchronous(DeviceObject, Irp);
  if (!NT_SUCCESS(status) || !NT_SUCCESS(Irp->IoStatus.Status) || !record->IsBusFilter || type != BusRelations) {
    return status;
  }
  // The reply travels in Information, as the kernel defines it.
  const DEVICE_RELATIONS* relations =
      reinterpret_cast<const DEVICE_RELATIONS*>(Irp->IoStatus.Information);  // NOLINT(performance-no-int-to-ptr)
  if (relations != NULL && relations->Count != 0) AttachChildFilters(record, relations);
  return status;
}

NTSTATUS RemoveFilterDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PAGED_CODE();
  FilterDeviceRecord* record = RecordOf(DeviceObject);

  // Once the device below has handled its removal nothing of ours may
  // reach it (a controller's function device deletes itself then): from
  // here every request is refused, and those already on their way down
  // have been handed over before the removal follows them.
  DrainLock(&record->SendLock, Irp);

  // No lookup finds the record from here on.
  LockDeviceList();
  UnlinkRecord(record);
  UnlockDeviceList();

  const NTSTATUS status = ForwardIrpSynchronous(DeviceObject, Irp);

  // Only now do we wait for completions: a lower driver may hold a counted
  // request until it handles its own removal. First the Plug and Play
  // requests in progress, then the counted storage requests and the
  // identification.
  IoReleaseRemoveLockAndWait(&record->RemoveLock, Irp);
  DrainLock(&record->RequestLock, Irp);
  IoDetachDevice(record->LowerDevice);

  LockDeviceList();
  ReleaseChildren(record);
  UnlockDeviceList();
  IoDeleteDevice(DeviceObject);  // frees the record
  return status;
}

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PAGED_CODE();
  if (IsControlDevice(DeviceObject)) return RefuseControlRequest(Irp);

  FilterDeviceRecord* record = RecordOf(DeviceObject);
  NTSTATUS status = IoAcquireRemoveLock(&record->RemoveLock, Irp);
  if (!NT_SUCCESS(status)) {
    Irp->IoStatus.Information = 0;
    return CompleteRequest(Irp, status);
  }

  const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  switch (stack->MinorFunction) {
    case IRP_MN_REMOVE_DEVICE:
      return CompleteRequest(Irp, RemoveFilterDevice(DeviceObject, Irp));  // lock already released

    case IRP_MN_QUERY_DEVICE_RELATIONS:
      status = CompleteRequest(Irp, HandleBusRelations(DeviceObject, Irp));
      IoReleaseRemoveLock(&record->RemoveLock, Irp);
      return status;

    case IRP_MN_DEVICE_USAGE_NOTIFICATION:
      if (stack->Parameters.UsageNotification.Type == DeviceUsageTypePaging) {
        return HandlePagingNotification(DeviceObject, Irp);
      }
      break;

    default:
      break;
  }
  // Released before the call down, as the request needs nothing more of us.
  PDEVICE_OBJECT lower = record->LowerDevice;
  IoReleaseRemoveLock(&record->RemoveLock, Irp);
  IoSkipCurrentIrpStackLocation(Irp);
  return IoCallDriver(lower, Irp);
}

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PoStartNextPowerIrp(Irp);
  if (IsControlDevice(DeviceObject)) return RefuseControlRequest(Irp);
  FilterDeviceRecord* record = RecordOf(DeviceObject);
  if (!NT_SUCCESS(IoAcquireRemoveLock(&record->SendLock, Irp))) return RefuseDuringRemoval(Irp);
  IoSkipCurrentIrpStackLocation(Irp);
  const NTSTATUS status = PoCallDriver(record->LowerDevice, Irp);
  IoReleaseRemoveLock(&record->SendLock, Irp);
  return status;
}
