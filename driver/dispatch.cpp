// Routing shared by the control device and every filter device, and the
// plain pass-through that is the default of every dispatch slot.
#include "driver/driver.h"

NTSTATUS SendDown(FilterDeviceRecord* Record, PIRP Irp) {
  IoSkipCurrentIrpStackLocation(Irp);
  return IoCallDriver(Record->LowerDevice, Irp);
}

NTSTATUS FailRequest(PIRP Irp, NTSTATUS Status) {
  Irp->IoStatus.Status = Status;
  Irp->IoStatus.Information = 0;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return Status;
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
