// The filter device records: creation and attachment, the list they live
// in, and the lookups over it.
#include "driver/driver.h"

namespace {

// Both changes hold DeviceListMutex (the caller's) and StatisticsLock
// (taken here), so neither kind of walk meets a half-linked record.
VOID LinkRecord(FilterDeviceRecord* Record) {
  FilterDeviceRecord* parent = Record->ParentDevice != NULL ? FindRecordOfDevice(Record->ParentDevice) : NULL;
  KIRQL oldIrql;
  KeAcquireSpinLock(&Driver.StatisticsLock, &oldIrql);
  InsertTailList(&Driver.FilterDeviceList, &Record->Link);
  if (parent != NULL) {
    InsertTailList(&parent->ChildList, &Record->ChildLink);
    Record->ParentRecord = parent;
  }
  KeReleaseSpinLock(&Driver.StatisticsLock, oldIrql);
}

VOID InitializeRecord(FilterDeviceRecord* Record, PDEVICE_OBJECT Self, PDEVICE_OBJECT LowerDevice,
                      PDEVICE_OBJECT PhysicalDevice, BOOLEAN IsBusFilter, PDEVICE_OBJECT ParentDevice) {
  Record->LowerDevice = LowerDevice;
  KeInitializeEvent(&Record->PagingEvent, SynchronizationEvent, TRUE);
  Record->Self = Self;
  Record->PhysicalDevice = PhysicalDevice;
  Record->IsBusFilter = IsBusFilter;
  Record->ParentDevice = ParentDevice;
  Record->IdentifyPending = TRUE;
  InitializeListHead(&Record->ChildLink);
  InitializeListHead(&Record->ChildList);
  IoInitializeRemoveLock(&Record->RemoveLock, KvPoolTag, KvRemoveLockMaxMinutes, KvRemoveLockHighWatermark);
  IoInitializeRemoveLock(&Record->RequestLock, KvPoolTag, 0, 0);  // no limits
  IoInitializeRemoveLock(&Record->SendLock, KvPoolTag, 0, 0);
}

}  // namespace

VOID LockDeviceList() {
  PAGED_CODE();
  KeEnterCriticalRegion();
  KeWaitForSingleObject(&Driver.DeviceListMutex, Executive, KernelMode, FALSE, NULL);
}

VOID UnlockDeviceList() {
  KeSetEvent(&Driver.DeviceListMutex, IO_NO_INCREMENT, FALSE);
  KeLeaveCriticalRegion();
}

NTSTATUS AttachFilterDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDevice, BOOLEAN IsBusFilter,
                            PDEVICE_OBJECT ParentDevice) {
  PAGED_CODE();
  PDEVICE_OBJECT device = NULL;
  const NTSTATUS status = IoCreateDevice(DriverObject, sizeof(FilterDeviceRecord), NULL, PhysicalDevice->DeviceType,
                                         0, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;

  FilterDeviceRecord* record = RecordOf(device);
  RtlZeroMemory(record, sizeof(*record));

  PDEVICE_OBJECT lower = IoAttachDeviceToDeviceStack(device, PhysicalDevice);
  if (lower == NULL) {
    IoDeleteDevice(device);
    return STATUS_NO_SUCH_DEVICE;
  }

  // Only the power flags follow the device below; we always take MDLs.
  device->Flags |= lower->Flags & (DO_POWER_PAGABLE | DO_POWER_INRUSH);
  device->Flags |= DO_DIRECT_IO;

  InitializeRecord(record, device, lower, PhysicalDevice, IsBusFilter, ParentDevice);
  LinkRecord(record);
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

// A bus filter being removed keeps its children: requests for them are
// still counted until it leaves the stack (ReleaseChildren).
VOID UnlinkRecord(FilterDeviceRecord* Record) {
  KIRQL oldIrql;
  KeAcquireSpinLock(&Driver.StatisticsLock, &oldIrql);
  RemoveEntryList(&Record->Link);
  InitializeListHead(&Record->Link);  // unlisted: linked to itself
  RemoveEntryList(&Record->ChildLink);
  InitializeListHead(&Record->ChildLink);
  KeReleaseSpinLock(&Driver.StatisticsLock, oldIrql);
}

// The children outlive the bus filter's record, so they are let go before
// it is freed.
VOID ReleaseChildren(FilterDeviceRecord* Record) {
  KIRQL oldIrql;
  KeAcquireSpinLock(&Driver.StatisticsLock, &oldIrql);
  while (!IsListEmpty(&Record->ChildList)) {
    PLIST_ENTRY link = RemoveHeadList(&Record->ChildList);
    InitializeListHead(link);
    CONTAINING_RECORD(link, FilterDeviceRecord, ChildLink)->ParentRecord = NULL;
  }
  KeReleaseSpinLock(&Driver.StatisticsLock, oldIrql);
}

BOOLEAN IsDeviceFiltered(PDEVICE_OBJECT Device) {
  for (PLIST_ENTRY entry = Driver.FilterDeviceList.Flink; entry != &Driver.FilterDeviceList; entry = entry->Flink) {
    if (CONTAINING_RECORD(entry, FilterDeviceRecord, Link)->PhysicalDevice == Device) return TRUE;
  }
  return FALSE;
}

// The record of a filter device that is still listed, or null once it has
// been removed (its device object may then be gone).
FilterDeviceRecord* FindRecordOfDevice(PDEVICE_OBJECT FilterDevice) {
  for (PLIST_ENTRY entry = Driver.FilterDeviceList.Flink; entry != &Driver.FilterDeviceList; entry = entry->Flink) {
    FilterDeviceRecord* record = CONTAINING_RECORD(entry, FilterDeviceRecord, Link);
    if (record->Self == FilterDevice) return record;
  }
  return NULL;
}

// Walks the bus filter's own children in creation order. Only plain
// filters created under this bus filter are ever on its ChildList (see
// LinkRecord), so membership says all the rest.
FilterDeviceRecord* FindChildRecord(PDEVICE_OBJECT BusFilterDevice, UCHAR TargetId) {
  const PLIST_ENTRY children = &RecordOf(BusFilterDevice)->ChildList;
  for (PLIST_ENTRY entry = children->Flink; entry != children; entry = entry->Flink) {
    FilterDeviceRecord* record = CONTAINING_RECORD(entry, FilterDeviceRecord, ChildLink);
    if (!record->IdentifyPending && record->TargetId == TargetId) return record;
  }
  return NULL;
}
