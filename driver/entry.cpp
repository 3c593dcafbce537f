// Load and unload: the registry path copy, "KVFlags", the dispatch table
// and the control device with its symbolic link.
#include "driver/driver.h"

DriverWideState Driver;

namespace {

// Used only while loading, so they go with the load code.
KV_INIT_DATA const WCHAR DeviceNameText[] = L"\\Device\\QELVARD1";
KV_INIT_DATA const WCHAR LoadLinkNameText[] = L"\\DosDevices\\QELVARD1";
KV_INIT_DATA const WCHAR FlagsValueName[] = L"KVFlags";

// Unload runs long after INIT is gone: it needs its own resident copy.
const WCHAR UnloadLinkNameText[] = L"\\DosDevices\\QELVARD1";

// KEY_VALUE_PARTIAL_INFORMATION: 12 bytes of header and 8 of data. Longer
// data makes the query fail, and the value counts as absent.
constexpr ULONG FlagsQuerySize = 20;
constexpr ULONG FlagsDataOffset = 12;

KV_INIT_CODE NTSTATUS CopyRegistryPath(PCUNICODE_STRING RegistryPath) {
  if (RegistryPath->Length > MAXUSHORT - sizeof(WCHAR)) return STATUS_INVALID_PARAMETER;
  const USHORT size = (USHORT)(RegistryPath->Length + sizeof(WCHAR));
  WCHAR* buffer = static_cast<WCHAR*>(ExAllocatePoolWithTag(PagedPool, size, KvPoolTag));
  if (buffer == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  Driver.RegistryPathCopy.Buffer = buffer;
  Driver.RegistryPathCopy.Length = 0;
  Driver.RegistryPathCopy.MaximumLength = size;
  RtlCopyUnicodeString(&Driver.RegistryPathCopy, RegistryPath);
  return STATUS_SUCCESS;
}

// The first four data bytes of "KVFlags", whatever its type; 0 when the
// key or the value cannot be read.
KV_INIT_CODE ULONG ReadDriverFlags(PUNICODE_STRING RegistryPath) {
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, RegistryPath, OBJ_CASE_INSENSITIVE, NULL, NULL);
  HANDLE key = NULL;
  if (!NT_SUCCESS(ZwOpenKey(&key, KEY_READ, &attributes))) return 0;

  ULONG query[FlagsQuerySize / sizeof(ULONG)];
  RtlZeroMemory(query, sizeof(query));
  UNICODE_STRING valueName;
  RtlInitUnicodeString(&valueName, FlagsValueName);
  ULONG resultLength = 0;
  const NTSTATUS status =
      ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, query, FlagsQuerySize, &resultLength);
  ZwClose(key);
  return NT_SUCCESS(status) ? query[FlagsDataOffset / sizeof(ULONG)] : 0;
}

KV_INIT_CODE VOID InstallDispatchTable(PDRIVER_OBJECT DriverObject) {
  for (ULONG major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) {
    DriverObject->MajorFunction[major] = PassDown;
  }
  DriverObject->MajorFunction[IRP_MJ_SCSI] = DispatchScsi;
  DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
  DriverObject->MajorFunction[IRP_MJ_POWER] = DispatchPower;
  DriverObject->DriverExtension->AddDevice = FilterAddDevice;
  DriverObject->DriverUnload = UnloadDriver;
}

// The two SIDs of the control device's DACL, S-1-5-18 (SYSTEM) and
// S-1-5-32-544 (Administrators). Their values are fixed, so they are
// built here rather than read through SeExports: Wine's kernel exports
// that only as a stub, and reading it there faults.
struct WellKnownSid {
  UCHAR Revision;
  UCHAR SubAuthorityCount;
  SID_IDENTIFIER_AUTHORITY IdentifierAuthority;
  ULONG SubAuthority[2];
};
KV_INIT_DATA const WellKnownSid LocalSystemSid = {
    SID_REVISION, 1, SECURITY_NT_AUTHORITY, {SECURITY_LOCAL_SYSTEM_RID, 0}};
KV_INIT_DATA const WellKnownSid AdministratorsSid = {
    SID_REVISION, 2, SECURITY_NT_AUTHORITY, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS}};

KV_INIT_CODE VOID InstallControlRoutes(PDRIVER_OBJECT DriverObject) {
  DriverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreateCloseIoctl;
  DriverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchCreateCloseIoctl;
  DriverObject->MajorFunction[IRP_MJ_CLEANUP] = DispatchCreateCloseIoctl;
  DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchCreateCloseIoctl;
}

KV_INIT_CODE NTSTATUS SetDeviceDacl(PDEVICE_OBJECT Device, PSECURITY_DESCRIPTOR Descriptor) {
  HANDLE handle = NULL;
  NTSTATUS status = ObOpenObjectByPointer(Device, OBJ_KERNEL_HANDLE, NULL, WRITE_DAC, NULL, KernelMode, &handle);
  if (!NT_SUCCESS(status)) return status;
  status = ZwSetSecurityObject(handle, DACL_SECURITY_INFORMATION, Descriptor);
  ZwClose(handle);
  return status;
}

// Only SYSTEM and Administrators may open the control device: whoever
// holds it keeps every other monitor out and runs the captures. Windows
// 2000 has no IoCreateDeviceSecure, so the DACL is built here and set on
// the device before DriverEntry returns, while the I/O manager still
// refuses every open of it (DO_DEVICE_INITIALIZING).
KV_INIT_CODE NTSTATUS RestrictControlDevice(PDEVICE_OBJECT Device) {
  PSID system = const_cast<WellKnownSid*>(&LocalSystemSid);
  PSID administrators = const_cast<WellKnownSid*>(&AdministratorsSid);
  const ULONG aclSize = sizeof(ACL) + 2 * (sizeof(ACCESS_ALLOWED_ACE) - sizeof(ULONG)) + RtlLengthSid(system) +
                        RtlLengthSid(administrators);
  PACL acl = static_cast<PACL>(ExAllocatePoolWithTag(PagedPool, aclSize, KvPoolTag));
  if (acl == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  SECURITY_DESCRIPTOR descriptor;
  NTSTATUS status = RtlCreateAcl(acl, aclSize, ACL_REVISION);
  if (NT_SUCCESS(status)) status = RtlAddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS, system);
  if (NT_SUCCESS(status)) status = RtlAddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS, administrators);
  if (NT_SUCCESS(status)) status = RtlCreateSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
  if (NT_SUCCESS(status)) status = RtlSetDaclSecurityDescriptor(&descriptor, TRUE, acl, FALSE);
  if (NT_SUCCESS(status)) status = SetDeviceDacl(Device, &descriptor);
  ExFreePoolWithTag(acl, KvPoolTag);
  return status;
}

}  // namespace

KV_INIT_CODE NTSTATUS CreateControlDevice(PDRIVER_OBJECT DriverObject) {
  UNICODE_STRING deviceName;
  UNICODE_STRING linkName;
  RtlInitUnicodeString(&deviceName, DeviceNameText);
  RtlInitUnicodeString(&linkName, LoadLinkNameText);

  NTSTATUS status = IoCreateDevice(DriverObject, 0, &deviceName, FILE_DEVICE_UNKNOWN, FILE_DEVICE_SECURE_OPEN,
                                   FALSE, &Driver.ControlDevice);
  if (!NT_SUCCESS(status)) {
    Driver.ControlDevice = NULL;
    return status;
  }
  Driver.ControlDevice->Flags |= DO_DIRECT_IO;

  status = RestrictControlDevice(Driver.ControlDevice);
  if (!NT_SUCCESS(status)) {
    // Never a control device any user may open. Nor a failed load: the
    // driver filters the boot disk's stack, where that stops the machine
    // (STOP 0x7B). It loads without its control device, counting on as
    // before, and no monitor can connect until the next load.
    IoDeleteDevice(Driver.ControlDevice);
    Driver.ControlDevice = NULL;
    InstallControlRoutes(DriverObject);
    return STATUS_SUCCESS;
  }

  status = IoCreateSymbolicLink(&linkName, &deviceName);
  if (!NT_SUCCESS(status)) {
    IoDeleteDevice(Driver.ControlDevice);
    Driver.ControlDevice = NULL;
    return status;
  }

  // Only now that device and link both exist may the monitor's requests
  // reach the control device's routines.
  InstallControlRoutes(DriverObject);
  return status;
}

extern "C" KV_INIT_CODE NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  RtlZeroMemory(&Driver, sizeof(Driver));
  Driver.DriverObjectRef = DriverObject;
  InitializeListHead(&Driver.FilterDeviceList);
  KeInitializeEvent(&Driver.DeviceListMutex, SynchronizationEvent, TRUE);

  NTSTATUS status = CopyRegistryPath(RegistryPath);
  if (!NT_SUCCESS(status)) return status;

  Driver.DriverFlags = ReadDriverFlags(RegistryPath);
  KeInitializeSpinLock(&Driver.StatisticsLock);
  InstallDispatchTable(DriverObject);

  status = CreateControlDevice(DriverObject);
  if (!NT_SUCCESS(status)) {
    RtlFreeUnicodeString(&Driver.RegistryPathCopy);
    return status;
  }
  return STATUS_SUCCESS;
}

VOID DeleteControlDevice() {
  if (Driver.ControlDevice == NULL) return;
  UNICODE_STRING linkName;
  RtlInitUnicodeString(&linkName, UnloadLinkNameText);
  (void)IoDeleteSymbolicLink(&linkName);  // a failure does not keep the device
  IoDeleteDevice(Driver.ControlDevice);
  Driver.ControlDevice = NULL;
}

VOID NTAPI UnloadDriver(PDRIVER_OBJECT DriverObject) {
  UNREFERENCED_PARAMETER(DriverObject);
  PAGED_CODE();
  RtlFreeUnicodeString(&Driver.RegistryPathCopy);
  DeleteControlDevice();
}
