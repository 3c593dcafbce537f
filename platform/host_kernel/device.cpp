// Object manager and device tree: device objects and their names,
// symbolic links, attachment into stacks, references, and the per-device
// properties that the Plug and Play manager records for PDOs.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <set>

#include "host_common/faults.h"
#include "internal.h"

namespace hostk {
namespace {

using internal::DataOf;
using internal::DeviceData;
using internal::ObjectLock;
using internal::Report;
using verifier::Rule;

struct SymbolicLink {
  std::string target;  // as given, e.g. "\Device\QELVARD1"
  PDRIVER_OBJECT creator = nullptr;
};

// Both maps are keyed by the upper-cased name: the namespace ignores case.
std::map<std::string, PDEVICE_OBJECT> g_devicesByName;
std::map<std::string, SymbolicLink> g_links;
// Every device object not yet freed, so a pointer from an IRP's stack
// location can be told from freed memory.
std::set<PDEVICE_OBJECT> g_liveDevices;
uint64_t g_nextSerial = 1;
std::function<void(PDEVICE_OBJECT, DEVICE_RELATION_TYPE)> g_invalidateRelations;

// "\DosDevices\X" and "\??\X" name the same link.
std::string LinkKey(std::string_view name) {
  std::string upper = internal::UpperAscii(name);
  constexpr std::string_view kDosDevices = "\\DOSDEVICES\\";
  if (upper.compare(0, kDosDevices.size(), kDosDevices) == 0)
    upper = "\\??\\" + upper.substr(kDosDevices.size());
  return upper;
}

// The extension is filled with a pattern before it goes, as the
// verifier's special pool does, so a driver that reads its record after
// the delete reads garbage pointers and stops at once.
constexpr int kFreedPattern = 0xDD;

void Destroy(DeviceData* data) {
  g_liveDevices.erase(&data->object);
  if (data->extension != nullptr) std::memset(data->extension, kFreedPattern, data->extensionSize);
  std::free(data->extension);
  delete data;
}

// Unhooks a device from its driver's list of devices.
void UnlinkFromDriver(PDEVICE_OBJECT device) {
  PDEVICE_OBJECT* link = &device->DriverObject->DeviceObject;
  while (*link != nullptr && *link != device) link = &(*link)->NextDevice;
  if (*link == device) *link = device->NextDevice;
  device->NextDevice = nullptr;
}

// Frees the device once it is deleted and nobody references it.
void DestroyIfUnused(PDEVICE_OBJECT device) {
  DeviceData* data = DataOf(device);
  // A device deleted while another is still attached above it lives on
  // until that one detaches, as on Windows.
  if (data->deletePending && device->ReferenceCount <= 0 && data->kernelHandles == 0 && device->AttachedDevice == nullptr)
    Destroy(data);
}

}  // namespace

namespace internal {

std::recursive_mutex& ObjectLock() {
  static std::recursive_mutex lock;
  return lock;
}

DeviceData* DataOf(PDEVICE_OBJECT device) {
  return reinterpret_cast<DeviceObjectExtensionHost*>(device->DeviceObjectExtension)->data;
}

PDEVICE_OBJECT ResolveDevicePath(std::string_view path) {
  std::lock_guard<std::recursive_mutex> hold(ObjectLock());
  std::string name(path);
  auto link = g_links.find(LinkKey(name));
  if (link != g_links.end()) name = link->second.target;
  auto device = g_devicesByName.find(UpperAscii(name));
  if (device == g_devicesByName.end()) return nullptr;
  if (DataOf(device->second)->deletePending) return nullptr;
  return device->second;
}

void MarkRemoved(PDEVICE_OBJECT device) {
  std::lock_guard<std::recursive_mutex> hold(ObjectLock());
  if (g_liveDevices.count(device) != 0) DataOf(device)->removed = true;
}

void AddKernelHandle(PDEVICE_OBJECT device) {
  std::lock_guard<std::recursive_mutex> hold(ObjectLock());
  ++DataOf(device)->kernelHandles;
}

void RemoveKernelHandle(PDEVICE_OBJECT device) {
  std::lock_guard<std::recursive_mutex> hold(ObjectLock());
  --DataOf(device)->kernelHandles;
  DestroyIfUnused(device);
}

void DestroyDevicesOfDriver(PDRIVER_OBJECT driver) {
  std::lock_guard<std::recursive_mutex> hold(ObjectLock());
  while (PDEVICE_OBJECT device = driver->DeviceObject) {
    DeviceData* data = DataOf(device);
    if (device->AttachedDevice != nullptr) DataOf(device->AttachedDevice)->lower = nullptr;
    if (data->lower != nullptr) data->lower->AttachedDevice = nullptr;
    if (!data->name.empty()) g_devicesByName.erase(UpperAscii(data->name));
    UnlinkFromDriver(device);
    data->deletePending = true;
    device->ReferenceCount = 0;
    Destroy(data);
  }
}

std::vector<std::string> SymbolicLinksOfDriver(PDRIVER_OBJECT driver) {
  std::lock_guard<std::recursive_mutex> hold(ObjectLock());
  std::vector<std::string> links;
  for (const auto& [key, link] : g_links) {
    bool mine = link.creator == driver;
    auto device = g_devicesByName.find(UpperAscii(link.target));
    if (device != g_devicesByName.end() && device->second->DriverObject == driver) mine = true;
    if (mine) links.push_back(key);
  }
  return links;
}

void DeleteSymbolicLinkByName(const std::string& link) {
  std::lock_guard<std::recursive_mutex> hold(ObjectLock());
  g_links.erase(LinkKey(link));
}

void InvalidateRelations(PDEVICE_OBJECT device, DEVICE_RELATION_TYPE type) {
  std::function<void(PDEVICE_OBJECT, DEVICE_RELATION_TYPE)> handler;
  {
    std::lock_guard<std::recursive_mutex> hold(ObjectLock());
    handler = g_invalidateRelations;
  }
  if (handler) handler(device, type);
}

}  // namespace internal

// --- Host control: device tree bookkeeping

void MarkPhysicalDevice(PDEVICE_OBJECT device) {
  std::lock_guard<std::recursive_mutex> hold(ObjectLock());
  DataOf(device)->physical = true;
}

void SetDeviceProperty(PDEVICE_OBJECT pdo, DEVICE_REGISTRY_PROPERTY property,
                       std::vector<uint8_t> data) {
  std::lock_guard<std::recursive_mutex> hold(ObjectLock());
  DataOf(pdo)->physical = true;
  internal::Property& entry = DataOf(pdo)->properties[property];
  entry.failure = STATUS_SUCCESS;
  entry.data = std::move(data);
}

void SetDevicePropertyString(PDEVICE_OBJECT pdo, DEVICE_REGISTRY_PROPERTY property,
                             std::string_view text) {
  std::vector<WCHAR> wide = internal::WideFromNarrow(text);
  std::vector<uint8_t> bytes(wide.size() * sizeof(WCHAR));
  std::memcpy(bytes.data(), wide.data(), bytes.size());
  SetDeviceProperty(pdo, property, std::move(bytes));
}

void SetDevicePropertyMultiString(PDEVICE_OBJECT pdo, DEVICE_REGISTRY_PROPERTY property,
                                  const std::vector<std::string>& texts) {
  std::vector<uint8_t> bytes;
  for (const std::string& text : texts) {
    std::vector<WCHAR> wide = internal::WideFromNarrow(text);
    const auto* raw = reinterpret_cast<const uint8_t*>(wide.data());
    bytes.insert(bytes.end(), raw, raw + wide.size() * sizeof(WCHAR));
  }
  bytes.push_back(0);
  bytes.push_back(0);
  SetDeviceProperty(pdo, property, std::move(bytes));
}

void SetDevicePropertyFailure(PDEVICE_OBJECT pdo, DEVICE_REGISTRY_PROPERTY property,
                              NTSTATUS status) {
  std::lock_guard<std::recursive_mutex> hold(ObjectLock());
  DataOf(pdo)->physical = true;
  internal::Property& entry = DataOf(pdo)->properties[property];
  entry.failure = status;
  entry.data.clear();
}

void ClearDeviceProperty(PDEVICE_OBJECT pdo, DEVICE_REGISTRY_PROPERTY property) {
  std::lock_guard<std::recursive_mutex> hold(ObjectLock());
  DataOf(pdo)->properties.erase(property);
}

std::vector<PDEVICE_OBJECT> DevicesOf(PDRIVER_OBJECT driverObject) {
  std::lock_guard<std::recursive_mutex> hold(ObjectLock());
  std::vector<PDEVICE_OBJECT> devices;
  for (PDEVICE_OBJECT device = driverObject->DeviceObject; device != nullptr;
       device = device->NextDevice)
    devices.push_back(device);
  std::reverse(devices.begin(), devices.end());
  return devices;
}

std::string DeviceName(PDEVICE_OBJECT device) {
  std::lock_guard<std::recursive_mutex> hold(ObjectLock());
  return DataOf(device)->name;
}

PDEVICE_OBJECT FindDevice(std::string_view name) {
  std::lock_guard<std::recursive_mutex> hold(ObjectLock());
  auto it = g_devicesByName.find(internal::UpperAscii(name));
  return it == g_devicesByName.end() ? nullptr : it->second;
}

PDEVICE_OBJECT LowerDeviceOf(PDEVICE_OBJECT device) {
  std::lock_guard<std::recursive_mutex> hold(ObjectLock());
  return DataOf(device)->lower;
}

PDEVICE_OBJECT BottomOfStack(PDEVICE_OBJECT device) {
  std::lock_guard<std::recursive_mutex> hold(ObjectLock());
  while (DataOf(device)->lower != nullptr) device = DataOf(device)->lower;
  return device;
}

std::string SymbolicLinkTarget(std::string_view link) {
  std::lock_guard<std::recursive_mutex> hold(ObjectLock());
  auto it = g_links.find(LinkKey(link));
  return it == g_links.end() ? std::string() : it->second.target;
}

void SetDeviceContext(PDEVICE_OBJECT device, void* context) {
  std::lock_guard<std::recursive_mutex> hold(ObjectLock());
  DataOf(device)->context = context;
}

void* GetDeviceContext(PDEVICE_OBJECT device) {
  std::lock_guard<std::recursive_mutex> hold(ObjectLock());
  return DataOf(device)->context;
}

void SetInvalidateRelationsHandler(
    std::function<void(PDEVICE_OBJECT, DEVICE_RELATION_TYPE)> handler) {
  std::lock_guard<std::recursive_mutex> hold(ObjectLock());
  g_invalidateRelations = std::move(handler);
}

}  // namespace hostk

using hostk::internal::DataOf;
using hostk::internal::DeviceData;
using hostk::internal::ObjectLock;
using hostk::internal::Report;
using hostk::verifier::Rule;

// --- Device objects

extern "C" NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                                         PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                                         ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                                         PDEVICE_OBJECT* DeviceObject) {
  hostk::internal::CheckIrql("IoCreateDevice", PASSIVE_LEVEL);
  *DeviceObject = nullptr;
  if (hostfault::ShouldFail("IoCreateDevice")) return STATUS_INSUFFICIENT_RESOURCES;

  std::string name;
  if (DeviceName != nullptr) {
    name = hostk::internal::NarrowFromUnicode(DeviceName);
    if (name.empty() || name[0] != '\\') return STATUS_OBJECT_NAME_INVALID;
  }

  std::lock_guard<std::recursive_mutex> hold(ObjectLock());
  if (!name.empty() && hostk::g_devicesByName.count(hostk::internal::UpperAscii(name)) != 0)
    return STATUS_OBJECT_NAME_COLLISION;

  auto* data = new DeviceData;
  if (DeviceExtensionSize > 0) {
    data->extension = std::calloc(1, DeviceExtensionSize);
    if (data->extension == nullptr) {
      delete data;
      return STATUS_INSUFFICIENT_RESOURCES;
    }
  }
  data->extensionSize = DeviceExtensionSize;
  data->name = name;
  data->security = hostk::internal::DefaultDeviceSecurity();
  data->serial = hostk::g_nextSerial++;
  data->devobjExt.data = data;
  data->devobjExt.ext.Type = IO_TYPE_DEVICE_OBJECT_EXTENSION;
  data->devobjExt.ext.Size = sizeof(DEVOBJ_EXTENSION);

  PDEVICE_OBJECT device = &data->object;
  data->devobjExt.ext.DeviceObject = device;
  device->Type = IO_TYPE_DEVICE;
  device->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + DeviceExtensionSize);
  device->DriverObject = DriverObject;
  device->Flags = DO_DEVICE_INITIALIZING;
  if (Exclusive) device->Flags |= DO_EXCLUSIVE;
  if (!name.empty()) device->Flags |= DO_DEVICE_HAS_NAME;
  device->Characteristics = DeviceCharacteristics;
  device->DeviceExtension = data->extension;
  device->DeviceType = DeviceType;
  device->StackSize = 1;
  switch (DeviceType) {
    case FILE_DEVICE_DISK:
    case FILE_DEVICE_VIRTUAL_DISK:
    case FILE_DEVICE_DISK_FILE_SYSTEM:
      device->SectorSize = 512;
      break;
    case FILE_DEVICE_CD_ROM:
    case FILE_DEVICE_CD_ROM_FILE_SYSTEM:
      device->SectorSize = 2048;
      break;
    default:
      break;
  }
  KeInitializeEvent(&device->DeviceLock, SynchronizationEvent, TRUE);
  device->DeviceObjectExtension = &data->devobjExt.ext;

  device->NextDevice = DriverObject->DeviceObject;
  DriverObject->DeviceObject = device;
  hostk::g_liveDevices.insert(device);
  if (!name.empty()) hostk::g_devicesByName[hostk::internal::UpperAscii(name)] = device;
  *DeviceObject = device;
  return STATUS_SUCCESS;
}

extern "C" VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
  hostk::internal::CheckIrql("IoDeleteDevice", PASSIVE_LEVEL);
  hostk::internal::RunHook(hostk::HookPoint::kDeviceDelete, DeviceObject);
  std::lock_guard<std::recursive_mutex> hold(ObjectLock());
  DeviceData* data = DataOf(DeviceObject);
  // A removal goes down the stack first and each driver deletes its device
  // after the call down returns, so a lower device is deleted while the
  // ones above are still attached; they detach afterwards. Only a device
  // still attached to a lower one is a fault.
  if (data->lower != nullptr)
    Report(Rule::kDeleteAttachedDevice,
           "IoDeleteDevice(%p): still attached to %p, IoDetachDevice was not called",
           static_cast<void*>(DeviceObject), static_cast<void*>(data->lower));
  if (data->extension != nullptr)
    hostk::internal::CheckRemoveLocksIn(data->extension, data->extensionSize, DeviceObject);

  // A stale stack would lead to freed memory: unhook what the driver
  // forgot (after reporting it).
  if (data->lower != nullptr) data->lower->AttachedDevice = nullptr;
  data->lower = nullptr;

  if (!data->name.empty()) hostk::g_devicesByName.erase(hostk::internal::UpperAscii(data->name));
  hostk::UnlinkFromDriver(DeviceObject);
  data->deletePending = true;
  data->removed = true;
  hostk::DestroyIfUnused(DeviceObject);
}

extern "C" PDEVICE_OBJECT NTAPI IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice,
                                                            PDEVICE_OBJECT TargetDevice) {
  hostk::internal::CheckIrql("IoAttachDeviceToDeviceStack", DISPATCH_LEVEL);
  if (hostfault::ShouldFail("IoAttachDeviceToDeviceStack")) return nullptr;
  std::lock_guard<std::recursive_mutex> hold(ObjectLock());
  PDEVICE_OBJECT top = IoGetAttachedDevice(TargetDevice);
  if (DataOf(top)->deletePending) return nullptr;
  // A new AddDevice over a PDO that stayed present: the stack is being
  // built again, and may be sent to.
  for (PDEVICE_OBJECT below = top; below != nullptr; below = DataOf(below)->lower) {
    if (!DataOf(below)->deletePending) DataOf(below)->removed = false;
  }
  top->AttachedDevice = SourceDevice;
  SourceDevice->StackSize = static_cast<CCHAR>(top->StackSize + 1);
  SourceDevice->AlignmentRequirement = top->AlignmentRequirement;
  SourceDevice->SectorSize = top->SectorSize;
  DataOf(SourceDevice)->lower = top;
  return top;
}

extern "C" VOID NTAPI IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
  std::lock_guard<std::recursive_mutex> hold(ObjectLock());
  PDEVICE_OBJECT above = TargetDevice->AttachedDevice;
  if (above == nullptr) {
    Report(Rule::kDetachNothing, "IoDetachDevice(%p)", static_cast<void*>(TargetDevice));
    return;
  }
  DataOf(above)->lower = nullptr;
  TargetDevice->AttachedDevice = nullptr;
  hostk::DestroyIfUnused(TargetDevice);
}

extern "C" PDEVICE_OBJECT NTAPI IoGetAttachedDevice(PDEVICE_OBJECT DeviceObject) {
  std::lock_guard<std::recursive_mutex> hold(ObjectLock());
  while (DeviceObject->AttachedDevice != nullptr) DeviceObject = DeviceObject->AttachedDevice;
  return DeviceObject;
}

extern "C" PDEVICE_OBJECT NTAPI IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject) {
  std::lock_guard<std::recursive_mutex> hold(ObjectLock());
  PDEVICE_OBJECT top = IoGetAttachedDevice(DeviceObject);
  ++top->ReferenceCount;
  return top;
}

extern "C" LONG_PTR FASTCALL ObfReferenceObject(PVOID Object) {
  auto* device = static_cast<PDEVICE_OBJECT>(Object);
  if (device->Type != IO_TYPE_DEVICE) return 1;  // only device objects are counted here
  std::lock_guard<std::recursive_mutex> hold(ObjectLock());
  return ++device->ReferenceCount;
}

extern "C" LONG_PTR FASTCALL ObfDereferenceObject(PVOID Object) {
  auto* device = static_cast<PDEVICE_OBJECT>(Object);
  if (device->Type != IO_TYPE_DEVICE) return 0;
  std::lock_guard<std::recursive_mutex> hold(ObjectLock());
  LONG left = --device->ReferenceCount;
  hostk::DestroyIfUnused(device);
  return left;
}

// --- Symbolic links

extern "C" NTSTATUS NTAPI IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName,
                                               PUNICODE_STRING DeviceName) {
  hostk::internal::CheckIrql("IoCreateSymbolicLink", PASSIVE_LEVEL);
  if (hostfault::ShouldFail("IoCreateSymbolicLink")) return STATUS_INSUFFICIENT_RESOURCES;
  std::string link = hostk::internal::NarrowFromUnicode(SymbolicLinkName);
  std::string target = hostk::internal::NarrowFromUnicode(DeviceName);
  if (link.empty() || link[0] != '\\') return STATUS_OBJECT_NAME_INVALID;
  std::lock_guard<std::recursive_mutex> hold(ObjectLock());
  std::string key = hostk::LinkKey(link);
  if (hostk::g_links.count(key) != 0 || hostk::g_devicesByName.count(key) != 0)
    return STATUS_OBJECT_NAME_COLLISION;
  hostk::g_links[key] = hostk::SymbolicLink{target, hostk::internal::CurrentDriver()};
  return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName) {
  hostk::internal::CheckIrql("IoDeleteSymbolicLink", PASSIVE_LEVEL);
  std::lock_guard<std::recursive_mutex> hold(ObjectLock());
  auto it = hostk::g_links.find(hostk::LinkKey(hostk::internal::NarrowFromUnicode(SymbolicLinkName)));
  if (it == hostk::g_links.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
  hostk::g_links.erase(it);
  return STATUS_SUCCESS;
}

// --- Device properties

extern "C" NTSTATUS NTAPI IoGetDeviceProperty(PDEVICE_OBJECT DeviceObject,
                                              DEVICE_REGISTRY_PROPERTY DeviceProperty,
                                              ULONG BufferLength, PVOID PropertyBuffer,
                                              PULONG ResultLength) {
  hostk::internal::CheckIrql("IoGetDeviceProperty", PASSIVE_LEVEL);
  *ResultLength = 0;
  std::lock_guard<std::recursive_mutex> hold(ObjectLock());
  // Only the Plug and Play manager's own device objects have properties;
  // Windows stops with bug check 0xCA for any other, a filter or function
  // device attached above a PDO included.
  if (!DataOf(DeviceObject)->physical || DataOf(DeviceObject)->lower != nullptr) {
    Report(Rule::kNotPhysicalDevice, "IoGetDeviceProperty(%p, property %d)", static_cast<void*>(DeviceObject),
           static_cast<int>(DeviceProperty));
    return STATUS_INVALID_DEVICE_REQUEST;
  }
  const auto& properties = DataOf(DeviceObject)->properties;
  auto it = properties.find(DeviceProperty);
  if (it == properties.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
  if (!NT_SUCCESS(it->second.failure)) return it->second.failure;
  const std::vector<uint8_t>& data = it->second.data;
  *ResultLength = static_cast<ULONG>(data.size());
  if (BufferLength < data.size()) return STATUS_BUFFER_TOO_SMALL;
  if (!data.empty()) std::memcpy(PropertyBuffer, data.data(), data.size());
  return STATUS_SUCCESS;
}

extern "C" VOID NTAPI IoInvalidateDeviceRelations(PDEVICE_OBJECT DeviceObject,
                                                  DEVICE_RELATION_TYPE Type) {
  hostk::internal::InvalidateRelations(DeviceObject, Type);
}
