// Attachment policy: whether AddDevice attaches a filter to a new device
// stack, and whether that filter is a bus filter or a plain device filter.
#include "driver/driver.h"

// Upper case; every comparison ignores case.
const WCHAR* const UsbClassList[] = {L"{36FC9E60-C465-11CF-8056-444553540000}", NULL};
const WCHAR* const HdcClassList[] = {L"{4D36E96A-E325-11CE-BFC1-08002BE10318}", NULL};
const WCHAR* const StorageEnumeratorList[] = {L"IDE", L"SCSI", L"USBSTOR", L"SBP2", L"SCMMSD", NULL};
const WCHAR* const UsbStorageServiceList[] = {L"USBSTOR", L"HPUATA", L"UPATC", NULL};
const WCHAR* const AtapiServiceList[] = {L"ATAPI", NULL};

namespace {

constexpr ULONG PropertyBufferSize = 256;

// The attachment mode is the low three bits of "KVFlags".
ULONG AttachmentMode() { return Driver.DriverFlags & 7; }

BOOLEAN AttachesEverything(ULONG mode) { return mode == 2 || mode == 4 || mode == 6; }

BOOLEAN ServiceNameStartsWithEntry(PCUNICODE_STRING ServiceName, const WCHAR* const* List) {
  const SIZE_T serviceLength = ServiceName->Length / sizeof(WCHAR);
  for (; *List != NULL; ++List) {
    const SIZE_T entryLength = wcslen(*List);
    if (serviceLength >= entryLength && _wcsnicmp(*List, ServiceName->Buffer, entryLength) == 0) return TRUE;
  }
  return FALSE;
}

// The service key name of the driver of a device in the stack, or null
// when the device has none to offer.
PCUNICODE_STRING ServiceNameOf(PDEVICE_OBJECT Device) {
  if (Device->DriverObject == NULL || Device->DriverObject->DriverExtension == NULL) return NULL;
  PCUNICODE_STRING name = &Device->DriverObject->DriverExtension->ServiceKeyName;
  return name->Length == 0 || name->Buffer == NULL ? NULL : name;
}

// The class and service checks; TRUE when the device is accepted.
BOOLEAN PassesClassChecks(PDEVICE_OBJECT PhysicalDeviceObject) {
  if (DevicePropertyInList(UsbClassList, PhysicalDeviceObject, DevicePropertyClassGuid)) {
    return ServiceInDeviceStack(UsbStorageServiceList, PhysicalDeviceObject);
  }
  if (DevicePropertyInList(HdcClassList, PhysicalDeviceObject, DevicePropertyClassGuid)) {
    return ServiceInDeviceStack(AtapiServiceList, PhysicalDeviceObject);
  }
  return TRUE;
}

BOOLEAN ChooseBusFilter(ULONG mode, PDEVICE_OBJECT PhysicalDeviceObject) {
  if (mode == 1) return TRUE;
  return !DevicePropertyInList(StorageEnumeratorList, PhysicalDeviceObject, DevicePropertyEnumeratorName);
}

}  // namespace

BOOLEAN DevicePropertyInList(const WCHAR* const* List, PDEVICE_OBJECT PhysicalDeviceObject,
                             DEVICE_REGISTRY_PROPERTY Property) {
  PAGED_CODE();
  WCHAR buffer[PropertyBufferSize / sizeof(WCHAR)];
  RtlZeroMemory(buffer, sizeof(buffer));
  ULONG resultLength = 0;
  if (!NT_SUCCESS(IoGetDeviceProperty(PhysicalDeviceObject, Property, sizeof(buffer), buffer, &resultLength))) {
    return FALSE;
  }
  buffer[PropertyBufferSize / sizeof(WCHAR) - 1] = L'\0';  // a full reply still ends here
  for (; *List != NULL; ++List) {
    if (_wcsicmp(buffer, *List) == 0) return TRUE;
  }
  return FALSE;
}

BOOLEAN ServiceInDeviceStack(const WCHAR* const* List, PDEVICE_OBJECT PhysicalDeviceObject) {
  PAGED_CODE();
  for (PDEVICE_OBJECT device = PhysicalDeviceObject->AttachedDevice; device != NULL; device = device->AttachedDevice) {
    PCUNICODE_STRING service = ServiceNameOf(device);
    if (service != NULL && ServiceNameStartsWithEntry(service, List)) return TRUE;
  }
  return FALSE;
}

NTSTATUS NTAPI FilterAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject) {
  PAGED_CODE();
  NTSTATUS status = STATUS_SUCCESS;
  LockDeviceList();
  if (!IsDeviceFiltered(PhysicalDeviceObject)) {
    const ULONG mode = AttachmentMode();
    if (AttachesEverything(mode)) {
      status = AttachFilterDevice(DriverObject, PhysicalDeviceObject, FALSE, NULL);
    } else if (PassesClassChecks(PhysicalDeviceObject)) {
      status = AttachFilterDevice(DriverObject, PhysicalDeviceObject, ChooseBusFilter(mode, PhysicalDeviceObject), NULL);
    }
  }
  UnlockDeviceList();
  return status;
}
