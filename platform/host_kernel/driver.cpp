// Loading and unloading statically linked drivers, and calling their
// AddDevice as the Plug and Play manager does, with the verifier's checks
// of what a driver leaves behind.
#include <algorithm>
#include <set>

#include <cstring>

#include "internal.h"

namespace hostk {
namespace {

using internal::Report;
using verifier::Rule;

constexpr std::string_view kServicesPath = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\";

struct DriverRecord {
  DRIVER_OBJECT object{};
  DRIVER_EXTENSION extension{};
  std::string service;
  std::vector<WCHAR> serviceName;
  std::vector<WCHAR> driverName;
  std::vector<WCHAR> hardwareDatabaseText;
  UNICODE_STRING hardwareDatabase{};
};

std::mutex g_mutex;
std::vector<std::unique_ptr<DriverRecord>> g_loaded;
// Unloaded drivers stay allocated: a device deleted while still open
// keeps pointing at its driver object until its last close.
std::vector<std::unique_ptr<DriverRecord>> g_retired;

void InitString(UNICODE_STRING* target, std::vector<WCHAR>* storage, std::string_view text) {
  *storage = internal::WideFromNarrow(text);
  target->Buffer = storage->data();
  target->Length = static_cast<USHORT>((storage->size() - 1) * sizeof(WCHAR));
  target->MaximumLength = static_cast<USHORT>(storage->size() * sizeof(WCHAR));
}

// Verifier checks of everything a driver still owns, and its release.
void CheckLeftovers(PDRIVER_OBJECT driver, const char* when) {
  // Handles first: closing one may be what frees a deleted device.
  internal::CheckObjectHandlesOfDriver(driver, when);
  internal::CheckKeyHandlesOfDriver(driver, when);
  std::vector<PDEVICE_OBJECT> devices = DevicesOf(driver);
  if (!devices.empty()) {
    Report(Rule::kDeviceLeak, "%s: %zu device object(s) of driver %s left", when, devices.size(),
           internal::NarrowFromUnicode(&driver->DriverName).c_str());
    internal::DestroyDevicesOfDriver(driver);
  }
  std::vector<std::string> links = internal::SymbolicLinksOfDriver(driver);
  if (!links.empty()) {
    Report(Rule::kSymbolicLinkLeak, "%s: %zu symbolic link(s) left, first %s", when, links.size(),
           links.front().c_str());
    for (const std::string& link : links) internal::DeleteSymbolicLinkByName(link);
  }
  internal::CheckPoolOfDriver(driver, when);
}

}  // namespace

NTSTATUS LoadDriver(std::string_view serviceName, PDRIVER_INITIALIZE entry,
                    PDRIVER_OBJECT* driverObject) {
  *driverObject = nullptr;
  internal::CheckIrql("LoadDriver", PASSIVE_LEVEL);
  if (FindDriver(serviceName) != nullptr) return STATUS_IMAGE_ALREADY_LOADED;

  auto record = std::make_unique<DriverRecord>();
  record->service = std::string(serviceName);
  PDRIVER_OBJECT driver = &record->object;
  driver->Type = IO_TYPE_DRIVER;
  driver->Size = sizeof(DRIVER_OBJECT);
  driver->DriverExtension = &record->extension;
  driver->DriverInit = entry;
  record->extension.DriverObject = driver;
  InitString(&record->extension.ServiceKeyName, &record->serviceName, serviceName);
  InitString(&driver->DriverName, &record->driverName, "\\Driver\\" + std::string(serviceName));
  InitString(&record->hardwareDatabase, &record->hardwareDatabaseText,
             "\\REGISTRY\\MACHINE\\HARDWARE\\DESCRIPTION\\SYSTEM");
  driver->HardwareDatabase = &record->hardwareDatabase;
  std::fill(std::begin(driver->MajorFunction), std::end(driver->MajorFunction),
            internal::InvalidDeviceRequest);

  // The path lives only while DriverEntry runs, as on Windows.
  std::vector<WCHAR> pathText;
  UNICODE_STRING registryPath;
  InitString(&registryPath, &pathText, std::string(kServicesPath) + std::string(serviceName));

  NTSTATUS status;
  {
    internal::DriverContext context(driver);
    status = entry(driver, &registryPath);
  }
  std::fill(pathText.begin(), pathText.end(), static_cast<WCHAR>(0xDEAD));
  if (KeGetCurrentIrql() != PASSIVE_LEVEL)
    Report(Rule::kIrqlNotRestored, "DriverEntry of %s returned at IRQL %u", record->service.c_str(),
           KeGetCurrentIrql());

  if (!NT_SUCCESS(status)) {
    CheckLeftovers(driver, "failed DriverEntry");
    std::lock_guard<std::mutex> hold(g_mutex);
    g_retired.push_back(std::move(record));
    return status;
  }
  for (PDEVICE_OBJECT device : DevicesOf(driver)) device->Flags &= ~DO_DEVICE_INITIALIZING;
  std::lock_guard<std::mutex> hold(g_mutex);
  g_loaded.push_back(std::move(record));
  *driverObject = driver;
  return status;
}

NTSTATUS UnloadDriver(PDRIVER_OBJECT driverObject) {
  internal::CheckIrql("UnloadDriver", PASSIVE_LEVEL);
  if (driverObject->DriverUnload == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
  for (PDEVICE_OBJECT device : DevicesOf(driverObject)) {
    if (device->ReferenceCount > 0)
      Report(Rule::kOpenHandlesAtUnload, "device %p (%s) has %d reference(s)", static_cast<void*>(device),
             DeviceName(device).c_str(), static_cast<int>(device->ReferenceCount));
  }
  {
    internal::DriverContext context(driverObject);
    driverObject->DriverUnload(driverObject);
  }
  driverObject->Flags |= 0x00000001;  // DRVO_UNLOAD_INVOKED
  CheckLeftovers(driverObject, "driver unload");

  std::lock_guard<std::mutex> hold(g_mutex);
  auto it = std::find_if(g_loaded.begin(), g_loaded.end(),
                         [driverObject](const auto& r) { return &r->object == driverObject; });
  if (it != g_loaded.end()) {
    g_retired.push_back(std::move(*it));
    g_loaded.erase(it);
  }
  return STATUS_SUCCESS;
}

PDRIVER_OBJECT FindDriver(std::string_view serviceName) {
  std::string wanted = internal::UpperAscii(serviceName);
  std::lock_guard<std::mutex> hold(g_mutex);
  for (const auto& record : g_loaded)
    if (internal::UpperAscii(record->service) == wanted) return &record->object;
  return nullptr;
}

NTSTATUS CallAddDevice(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT pdo) {
  internal::CheckIrql("AddDevice", PASSIVE_LEVEL);
  PDRIVER_ADD_DEVICE addDevice = driverObject->DriverExtension->AddDevice;
  if (addDevice == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
  std::vector<PDEVICE_OBJECT> before = DevicesOf(driverObject);
  NTSTATUS status;
  {
    internal::DriverContext context(driverObject);
    status = addDevice(driverObject, pdo);
  }
  if (KeGetCurrentIrql() != PASSIVE_LEVEL)
    Report(Rule::kIrqlNotRestored, "AddDevice returned at IRQL %u", KeGetCurrentIrql());
  for (PDEVICE_OBJECT device : DevicesOf(driverObject)) {
    if (std::find(before.begin(), before.end(), device) == before.end() &&
        (device->Flags & DO_DEVICE_INITIALIZING) != 0)
      Report(Rule::kDeviceInitializing, "device %p created by AddDevice", static_cast<void*>(device));
  }
  return status;
}

}  // namespace hostk
