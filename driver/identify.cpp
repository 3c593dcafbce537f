// Identification: a filter device's bus type, bus index, target id and
// the description of the controller it hangs under, asked of the stack
// below it, or assigned from what the other records hold.
//
// The queries wait on the drivers below, which may be slow (a USB stick
// timing out) or never answer, so no lock is held while they run: the
// record is kept alive by its RequestLock instead, and DeviceListMutex is
// taken only to walk the list between queries. Each query, and the storing
// of the findings, holds the record's SendLock (never across a wait): once
// the record's removal has begun, nothing more is asked of the stack below
// it and nothing is stored. Only one capture start
// identifies at a time, so the shared reply buffer is ours. The findings
// are gathered in a DeviceIdentity and stored into the record at the end
// in one step under StatisticsLock, so a lookup never sees a
// half-identified record.
#include "driver/driver.h"

namespace {

constexpr UCHAR Bus1394PreferredIndex = 20;
constexpr UCHAR BusUsbPreferredIndex = 30;
constexpr ULONG LastFreeSearchIndex = 254;

struct DeviceIdentity {
  STORAGE_BUS_TYPE BusType;
  UCHAR BusIndex;
  UCHAR TargetId;
  CHAR ControllerDescription[KvDescriptionSize];
};

const FilterDeviceRecord* RecordAt(PLIST_ENTRY Entry) { return CONTAINING_RECORD(Entry, FilterDeviceRecord, Link); }

BOOLEAN SameText(const CHAR* left, const CHAR* right) {
  for (ULONG i = 0; i < KvDescriptionSize; ++i) {
    if (left[i] != right[i]) return FALSE;
    if (left[i] == '\0') return TRUE;
  }
  return TRUE;
}

// Tags the identification's holds of a record's locks.
PVOID IdentifyTag() { return &Driver.IdentifyBuffer; }

// FALSE once the record's removal has begun; else the caller holds its
// SendLock and gives it back with EndSending.
BOOLEAN BeginSending(FilterDeviceRecord* Record) {
  return NT_SUCCESS(IoAcquireRemoveLock(&Record->SendLock, IdentifyTag()));
}

VOID EndSending(FilterDeviceRecord* Record) { IoReleaseRemoveLock(&Record->SendLock, IdentifyTag()); }

// Sends one query to the device below the record and waits for it; the
// removal may go down while it waits.
NTSTATUS SendDeviceControl(FilterDeviceRecord* Record, ULONG Code, PVOID Input, ULONG InputLength, PVOID Output,
                           ULONG OutputLength) {
  if (!BeginSending(Record)) return STATUS_DELETE_PENDING;
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK ioStatus;
  ioStatus.Status = STATUS_SUCCESS;
  ioStatus.Information = 0;
  PIRP irp = IoBuildDeviceIoControlRequest(Code, Record->LowerDevice, Input, InputLength, Output, OutputLength, FALSE,
                                           &done, &ioStatus);
  if (irp == NULL) {
    EndSending(Record);
    return STATUS_INSUFFICIENT_RESOURCES;
  }

  NTSTATUS status = IoCallDriver(Record->LowerDevice, irp);
  EndSending(Record);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
    status = ioStatus.Status;
  }
  return status;
}

// The device description of Device as ANSI text in Field, cut to fit with
// its NUL; Field stays empty when the description cannot be read.
NTSTATUS GetDescriptionAnsi(PDEVICE_OBJECT Device, CHAR* Field) {
  RtlZeroMemory(Field, KvDescriptionSize);
  ULONG length = 0;
  const NTSTATUS status =
      IoGetDeviceProperty(Device, DevicePropertyDeviceDescription, KvIdentifyBufferSize, Driver.IdentifyBuffer, &length);
  if (!NT_SUCCESS(status)) return status;

  UNICODE_STRING source;
  source.Buffer = reinterpret_cast<WCHAR*>(Driver.IdentifyBuffer);
  source.Length = (USHORT)(length < KvIdentifyBufferSize ? length : KvIdentifyBufferSize);
  source.MaximumLength = (USHORT)KvIdentifyBufferSize;
  ANSI_STRING target;
  target.Buffer = Field;
  target.Length = 0;
  target.MaximumLength = (USHORT)(KvDescriptionSize - 1);
  (void)RtlUnicodeStringToAnsiString(&target, &source, FALSE);  // over-long text is cut
  Field[KvDescriptionSize - 1] = '\0';
  return status;
}

// Caller holds DeviceListMutex: the bus filter cannot go meanwhile. The
// property reads wait on no driver.
VOID QueryDescriptions(FilterDeviceRecord* Record, DeviceIdentity* Identity) {
  if (!BeginSending(Record)) return;
  CHAR ownDescription[KvDescriptionSize];
  // The bus filter may have been removed since; then there is no
  // controller, whatever now lives at its old address.
  const FilterDeviceRecord* parent = Record->ParentRecord;
  if (NT_SUCCESS(GetDescriptionAnsi(Record->PhysicalDevice, ownDescription)) && parent != NULL) {
    (void)GetDescriptionAnsi(parent->PhysicalDevice, Identity->ControllerDescription);
  }
  EndSending(Record);
}

NTSTATUS QueryBusType(FilterDeviceRecord* Record, DeviceIdentity* Identity) {
  STORAGE_PROPERTY_QUERY query;
  RtlZeroMemory(&query, sizeof(query));
  query.PropertyId = StorageDeviceProperty;
  query.QueryType = PropertyStandardQuery;
  RtlZeroMemory(Driver.IdentifyBuffer, KvIdentifyBufferSize);
  const NTSTATUS status = SendDeviceControl(Record, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof(query),
                                            Driver.IdentifyBuffer, KvIdentifyBufferSize);
  if (NT_SUCCESS(status)) {
    Identity->BusType = reinterpret_cast<const STORAGE_DEVICE_DESCRIPTOR*>(Driver.IdentifyBuffer)->BusType;
  }
  return status;
}

NTSTATUS QueryScsiAddress(FilterDeviceRecord* Record, DeviceIdentity* Identity) {
  SCSI_ADDRESS address;
  RtlZeroMemory(&address, sizeof(address));
  const NTSTATUS status = SendDeviceControl(Record, IOCTL_SCSI_GET_ADDRESS, NULL, 0, &address, sizeof(address));
  if (NT_SUCCESS(status)) {
    Identity->BusIndex = address.PortNumber;
    Identity->TargetId = address.TargetId;
  }
  return status;
}

UCHAR ChooseFreeBusIndex(const FilterDeviceRecord* Record, const DeviceIdentity* Identity) {
  const PLIST_ENTRY head = &Driver.FilterDeviceList;
  BOOLEAN used[KV_BUS_COUNT];
  RtlZeroMemory(used, sizeof(used));
  for (PLIST_ENTRY entry = head->Flink; entry != head; entry = entry->Flink) {
    if (RecordAt(entry) != Record) used[RecordAt(entry)->BusIndex] = TRUE;
  }
  // Devices of one controller share its bus.
  for (PLIST_ENTRY entry = head->Flink; entry != head; entry = entry->Flink) {
    const FilterDeviceRecord* other = RecordAt(entry);
    if (other != Record && SameText(other->ControllerDescription, Identity->ControllerDescription)) {
      return other->BusIndex;
    }
  }
  if (Identity->BusType == BusType1394 && !used[Bus1394PreferredIndex]) return Bus1394PreferredIndex;
  if (Identity->BusType == BusTypeUsb && !used[BusUsbPreferredIndex]) return BusUsbPreferredIndex;
  for (ULONG candidate = LastFreeSearchIndex + 1; candidate-- > 0;) {
    if (!used[candidate]) return (UCHAR)candidate;
  }
  return (UCHAR)(KV_BUS_COUNT - 1);
}

// For a device that does not tell its address: the bus of the others of
// its bus type (the last in the list decides), and a target id none of
// them uses.
VOID AssignFallbackAddress(const FilterDeviceRecord* Record, DeviceIdentity* Identity) {
  const PLIST_ENTRY head = &Driver.FilterDeviceList;
  BOOLEAN usedTargets[KV_BUS_COUNT];
  RtlZeroMemory(usedTargets, sizeof(usedTargets));
  BOOLEAN found = FALSE;
  UCHAR busIndex = 0;
  for (PLIST_ENTRY entry = head->Flink; entry != head; entry = entry->Flink) {
    const FilterDeviceRecord* other = RecordAt(entry);
    if (other == Record || other->BusType != Identity->BusType) continue;
    found = TRUE;
    busIndex = other->BusIndex;
    usedTargets[other->TargetId] = TRUE;
  }
  Identity->BusIndex = found ? busIndex : ChooseFreeBusIndex(Record, Identity);

  Identity->TargetId = (UCHAR)(KV_BUS_COUNT - 1);
  for (ULONG target = 0; target < KV_BUS_COUNT; ++target) {
    if (!usedTargets[target]) {
      Identity->TargetId = (UCHAR)target;
      break;
    }
  }
}

VOID PublishIdentity(FilterDeviceRecord* Record, const DeviceIdentity* Identity) {
  if (!BeginSending(Record)) return;  // its removal has begun: it stays as it was
  KIRQL oldIrql;
  KeAcquireSpinLock(&Driver.StatisticsLock, &oldIrql);
  Record->BusType = Identity->BusType;
  Record->BusIndex = Identity->BusIndex;
  Record->TargetId = Identity->TargetId;
  RtlCopyMemory(Record->ControllerDescription, Identity->ControllerDescription, KvDescriptionSize);
  Record->IdentifyPending = FALSE;
  KeReleaseSpinLock(&Driver.StatisticsLock, oldIrql);
  EndSending(Record);
}

// The next listed record still to be identified after Previous (from the
// head when Previous is null or no longer listed), held by its
// RequestLock; null when there is none. Caller holds DeviceListMutex and
// Previous's RequestLock.
FilterDeviceRecord* TakeNextPendingRecord(FilterDeviceRecord* Previous) {
  const PLIST_ENTRY head = &Driver.FilterDeviceList;
  const PLIST_ENTRY first = Previous != NULL && !IsListEmpty(&Previous->Link) ? Previous->Link.Flink : head->Flink;
  for (PLIST_ENTRY entry = first; entry != head; entry = entry->Flink) {
    FilterDeviceRecord* record = CONTAINING_RECORD(entry, FilterDeviceRecord, Link);
    // A listed record's RequestLock is not drained yet: the acquire succeeds.
    if (record->IdentifyPending && NT_SUCCESS(IoAcquireRemoveLock(&record->RequestLock, IdentifyTag()))) {
      return record;
    }
  }
  return NULL;
}

// Bus filters are never asked: they keep zeros. The fallback compares bus
// type and description, so both are asked for first. A record whose
// removal begins meanwhile has its remaining queries and the storing
// refused.
VOID IdentifyDevice(FilterDeviceRecord* Record) {
  DeviceIdentity identity;
  RtlZeroMemory(&identity, sizeof(identity));
  BOOLEAN addressed = TRUE;
  if (!Record->IsBusFilter) {
    LockDeviceList();
    QueryDescriptions(Record, &identity);
    UnlockDeviceList();
    (void)QueryBusType(Record, &identity);
    addressed = NT_SUCCESS(QueryScsiAddress(Record, &identity));
  }
  LockDeviceList();
  if (!addressed) AssignFallbackAddress(Record, &identity);
  PublishIdentity(Record, &identity);
  UnlockDeviceList();
}

}  // namespace

// Each record stays held until the next one is taken, so the walk can go
// on from it.
VOID IdentifyListedDevices() {
  PAGED_CODE();
  FilterDeviceRecord* previous = NULL;
  for (;;) {
    LockDeviceList();
    FilterDeviceRecord* record = TakeNextPendingRecord(previous);
    UnlockDeviceList();
    if (previous != NULL) IoReleaseRemoveLock(&previous->RequestLock, IdentifyTag());
    if (record == NULL) return;
    IdentifyDevice(record);
    previous = record;
  }
}
