// Routing shared by the control device and every filter device, and the
// plain pass-through that is the default of every dispatch slot.
#include "driver/driver.h"

NTSTATUS SendDown(FilterDeviceRecord* Record, PIRP Irp) {
  if (!NT_SUCCESS(IoAcquireRemoveLock(&Record->SendLock, Irp))) return RefuseDuringRemoval(Irp);
  IoSkipCurrentIrpStackLocation(Irp);
  const NTSTATUS status = IoCallDriver(Record->LowerDevice, Irp);
  IoReleaseRemoveLock(&Record->SendLock, Irp);
  return status;
}

NTSTATUS FailRequest(PIRP Irp, NTSTATUS Status) {
  Irp->IoStatus.Status = Status;
  Irp->IoStatus.Information = 0;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return Status;
}

// Class drivers read an SRB's own status before the IRP's, and retry one
// they do not know as a device error: it says the device is gone.
NTSTATUS RefuseDuringRemoval(PIRP Irp) {
  const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  if (stack->MajorFunction == IRP_MJ_SCSI && stack->Parameters.Scsi.Srb != NULL) {
    stack->Parameters.Scsi.Srb->SrbStatus = SRB_STATUS_NO_DEVICE;
  }
  return FailRequest(Irp, STATUS_DELETE_PENDING);
}

// The control device has no record and nothing below it.
NTSTATUS RefuseControlRequest(PIRP Irp) { return FailRequest(Irp, STATUS_INVALID_DEVICE_REQUEST); }

NTSTATUS NTAPI PassDown(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  if (IsControlDevice(DeviceObject)) return RefuseControlRequest(Irp);
  return SendDown(RecordOf(DeviceObject), Irp);
}

NTSTATUS NTAPI DispatchCreateCloseIoctl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  if (IsControlDevice(DeviceObject)) return DispatchControlDevice(Irp);

  const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  FilterDeviceRecord* record = RecordOf(DeviceObject);
  if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
    const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    if (code == IOCTL_SCSI_PASS_THROUGH || code == IOCTL_SCSI_PASS_THROUGH_DIRECT) return CountAndSendDown(record, Irp);
  }
  return SendDown(record, Irp);
}
