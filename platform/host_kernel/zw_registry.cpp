// Configuration manager: the Zw* registry calls over the machine's
// in-memory registry. Kernel paths "\Registry\Machine\..." name keys below
// HKEY_LOCAL_MACHINE; handles are kernel handles of this process.
#include <algorithm>

#include "host_common/faults.h"
#include "host_registry/registry.h"
#include <cstring>

#include "internal.h"

namespace hostk {
namespace {

struct KeyHandle {
  std::string path;  // below HKLM
  PDRIVER_OBJECT opener;
};

std::mutex g_handlesMutex;
std::map<ULONG_PTR, KeyHandle> g_keyHandles;
ULONG_PTR g_nextHandle = 0x80000004;  // kernel handles have the top bit

constexpr std::string_view kMachinePrefix = "\\REGISTRY\\MACHINE";

bool PathOfHandle(HANDLE handle, std::string* path) {
  std::lock_guard<std::mutex> hold(g_handlesMutex);
  auto it = g_keyHandles.find(reinterpret_cast<ULONG_PTR>(handle));
  if (it == g_keyHandles.end()) return false;
  *path = it->second.path;
  return true;
}

HANDLE NewHandle(std::string path) {
  std::lock_guard<std::mutex> hold(g_handlesMutex);
  ULONG_PTR value = g_nextHandle;
  g_nextHandle += 4;
  g_keyHandles[value] = KeyHandle{std::move(path), internal::CurrentDriver()};
  return reinterpret_cast<HANDLE>(value);
}

// The key path below HKEY_LOCAL_MACHINE that attributes name.
NTSTATUS ResolvePath(const OBJECT_ATTRIBUTES* attributes, std::string* path) {
  std::string name = internal::NarrowFromUnicode(attributes->ObjectName);
  if (attributes->RootDirectory != nullptr) {
    std::string root;
    if (!PathOfHandle(attributes->RootDirectory, &root)) return STATUS_INVALID_HANDLE;
    if (!name.empty() && name[0] == '\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
    *path = root.empty() ? name : (name.empty() ? root : root + "\\" + name);
    return STATUS_SUCCESS;
  }
  std::string upper = internal::UpperAscii(name);
  if (upper.compare(0, kMachinePrefix.size(), kMachinePrefix) != 0) return STATUS_OBJECT_NAME_NOT_FOUND;
  std::string rest = name.substr(kMachinePrefix.size());
  if (!rest.empty() && rest[0] != '\\') return STATUS_OBJECT_NAME_NOT_FOUND;
  while (!rest.empty() && rest[0] == '\\') rest.erase(0, 1);
  *path = rest;
  return STATUS_SUCCESS;
}

// Fills one of the KEY_VALUE_*_INFORMATION records as the configuration
// manager does: the fixed part when it fits (else STATUS_BUFFER_TOO_SMALL),
// the rest only when all of it fits (else STATUS_BUFFER_OVERFLOW);
// *resultLength is always the size needed.
NTSTATUS FillValueInformation(const hostreg::RegValue& value, KEY_VALUE_INFORMATION_CLASS infoClass,
                              PVOID buffer, ULONG length, PULONG resultLength) {
  std::vector<WCHAR> name = internal::WideFromNarrow(value.name);
  auto nameBytes = static_cast<ULONG>((name.size() - 1) * sizeof(WCHAR));
  auto dataBytes = static_cast<ULONG>(value.data.size());
  auto* out = static_cast<UCHAR*>(buffer);

  switch (infoClass) {
    case KeyValueBasicInformation: {
      ULONG fixed = FIELD_OFFSET(KEY_VALUE_BASIC_INFORMATION, Name);
      *resultLength = fixed + nameBytes;
      if (length < fixed) return STATUS_BUFFER_TOO_SMALL;
      auto* info = static_cast<KEY_VALUE_BASIC_INFORMATION*>(buffer);
      info->TitleIndex = 0;
      info->Type = value.type;
      info->NameLength = nameBytes;
      if (length < *resultLength) return STATUS_BUFFER_OVERFLOW;
      std::memcpy(out + fixed, name.data(), nameBytes);
      return STATUS_SUCCESS;
    }
    case KeyValueFullInformation:
    case KeyValueFullInformationAlign64: {
      ULONG fixed = FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name);
      ULONG align = infoClass == KeyValueFullInformationAlign64 ? 8 : sizeof(ULONG);
      ULONG dataOffset = (fixed + nameBytes + align - 1) & ~(align - 1);
      *resultLength = dataOffset + dataBytes;
      if (length < fixed) return STATUS_BUFFER_TOO_SMALL;
      auto* info = static_cast<KEY_VALUE_FULL_INFORMATION*>(buffer);
      info->TitleIndex = 0;
      info->Type = value.type;
      info->DataOffset = dataOffset;
      info->DataLength = dataBytes;
      info->NameLength = nameBytes;
      if (length < *resultLength) return STATUS_BUFFER_OVERFLOW;
      std::memcpy(out + fixed, name.data(), nameBytes);
      if (dataBytes > 0) std::memcpy(out + dataOffset, value.data.data(), dataBytes);
      return STATUS_SUCCESS;
    }
    case KeyValuePartialInformation:
    case KeyValuePartialInformationAlign64: {
      ULONG fixed = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
      *resultLength = fixed + dataBytes;
      if (length < fixed) return STATUS_BUFFER_TOO_SMALL;
      auto* info = static_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buffer);
      info->TitleIndex = 0;
      info->Type = value.type;
      info->DataLength = dataBytes;
      if (length < *resultLength) return STATUS_BUFFER_OVERFLOW;
      if (dataBytes > 0) std::memcpy(out + fixed, value.data.data(), dataBytes);
      return STATUS_SUCCESS;
    }
  }
  return STATUS_INVALID_PARAMETER;
}

// The common start of ZwOpenKey and ZwCreateKey: the caller's handle is
// cleared, the fault plan may refuse, and the attributes name the path.
NTSTATUS BeginKeyCall(const char* function, PHANDLE handle, const OBJECT_ATTRIBUTES* attributes,
                      std::string* path) {
  internal::CheckIrql(function, PASSIVE_LEVEL);
  *handle = nullptr;
  if (hostfault::ShouldFail(function)) return STATUS_INSUFFICIENT_RESOURCES;
  return ResolvePath(attributes, path);
}

// The key behind a handle, with the registry locked as long as *hold is.
NTSTATUS LockedKeyOfHandle(HANDLE handle, std::unique_lock<std::recursive_mutex>* hold, hostreg::RegKey** key) {
  std::string path;
  if (!PathOfHandle(handle, &path)) return STATUS_INVALID_HANDLE;
  hostreg::Registry& registry = hostreg::Registry::Machine();
  *hold = std::unique_lock<std::recursive_mutex>(registry.Mutex());
  *key = registry.Open(path);
  return *key == nullptr ? STATUS_KEY_DELETED : STATUS_SUCCESS;
}

}  // namespace

namespace internal {

void CheckKeyHandlesOfDriver(PDRIVER_OBJECT driver, const char* when) {
  size_t leaked = 0;
  std::string first;
  {
    std::lock_guard<std::mutex> hold(g_handlesMutex);
    for (auto it = g_keyHandles.begin(); it != g_keyHandles.end();) {
      if (it->second.opener != driver) {
        ++it;
        continue;
      }
      if (leaked++ == 0) first = it->second.path;
      it = g_keyHandles.erase(it);
    }
  }
  if (leaked > 0)
    internal::Report(verifier::Rule::kHandleLeak, "%s: %zu registry key handle(s) left open, first HKLM\\%s", when,
                     leaked, first.c_str());
}

}  // namespace internal
}  // namespace hostk

extern "C" NTSTATUS NTAPI ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                                    POBJECT_ATTRIBUTES ObjectAttributes) {
  std::string path;
  NTSTATUS status = hostk::BeginKeyCall("ZwOpenKey", KeyHandle, ObjectAttributes, &path);
  if (!NT_SUCCESS(status)) return status;
  hostreg::Registry& registry = hostreg::Registry::Machine();
  {
    std::lock_guard<std::recursive_mutex> hold(registry.Mutex());
    if (registry.Open(path) == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
  }
  *KeyHandle = hostk::NewHandle(path);
  return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                                      POBJECT_ATTRIBUTES ObjectAttributes, ULONG TitleIndex,
                                      PUNICODE_STRING Class, ULONG CreateOptions,
                                      PULONG Disposition) {
  std::string path;
  NTSTATUS status = hostk::BeginKeyCall("ZwCreateKey", KeyHandle, ObjectAttributes, &path);
  if (!NT_SUCCESS(status)) return status;
  hostreg::Registry& registry = hostreg::Registry::Machine();
  {
    std::lock_guard<std::recursive_mutex> hold(registry.Mutex());
    if (registry.Open(path) != nullptr) {
      if (Disposition != nullptr) *Disposition = REG_OPENED_EXISTING_KEY;
    } else {
      // Only the last component is created; a missing parent fails.
      size_t cut = path.rfind('\\');
      std::string parent = cut == std::string::npos ? std::string() : path.substr(0, cut);
      if (registry.Open(parent) == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
      registry.Create(path);
      if (Disposition != nullptr) *Disposition = REG_CREATED_NEW_KEY;
    }
  }
  *KeyHandle = hostk::NewHandle(path);
  return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                                          KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                                          PVOID KeyValueInformation, ULONG Length,
                                          PULONG ResultLength) {
  hostk::internal::CheckIrql("ZwQueryValueKey", PASSIVE_LEVEL);
  *ResultLength = 0;
  if (hostfault::ShouldFail("ZwQueryValueKey")) return STATUS_INSUFFICIENT_RESOURCES;
  std::unique_lock<std::recursive_mutex> hold;
  hostreg::RegKey* key = nullptr;
  NTSTATUS status = hostk::LockedKeyOfHandle(KeyHandle, &hold, &key);
  if (!NT_SUCCESS(status)) return status;
  const hostreg::RegValue* value = key->Value(hostk::internal::NarrowFromUnicode(ValueName));
  if (value == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
  return hostk::FillValueInformation(*value, KeyValueInformationClass, KeyValueInformation, Length,
                                     ResultLength);
}

extern "C" NTSTATUS NTAPI ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                                        ULONG TitleIndex, ULONG Type, PVOID Data, ULONG DataSize) {
  hostk::internal::CheckIrql("ZwSetValueKey", PASSIVE_LEVEL);
  if (hostfault::ShouldFail("ZwSetValueKey")) return STATUS_INSUFFICIENT_RESOURCES;
  std::unique_lock<std::recursive_mutex> hold;
  hostreg::RegKey* key = nullptr;
  NTSTATUS status = hostk::LockedKeyOfHandle(KeyHandle, &hold, &key);
  if (!NT_SUCCESS(status)) return status;
  const auto* bytes = static_cast<const uint8_t*>(Data);
  key->SetValue(hostk::internal::NarrowFromUnicode(ValueName), Type,
                std::vector<uint8_t>(bytes, bytes + (bytes != nullptr ? DataSize : 0)));
  return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI ZwDeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName) {
  hostk::internal::CheckIrql("ZwDeleteValueKey", PASSIVE_LEVEL);
  std::unique_lock<std::recursive_mutex> hold;
  hostreg::RegKey* key = nullptr;
  NTSTATUS status = hostk::LockedKeyOfHandle(KeyHandle, &hold, &key);
  if (!NT_SUCCESS(status)) return status;
  return key->DeleteValue(hostk::internal::NarrowFromUnicode(ValueName)) ? STATUS_SUCCESS
                                                                       : STATUS_OBJECT_NAME_NOT_FOUND;
}

extern "C" NTSTATUS NTAPI ZwClose(HANDLE Handle) {
  {
    std::lock_guard<std::mutex> hold(hostk::g_handlesMutex);
    if (hostk::g_keyHandles.erase(reinterpret_cast<ULONG_PTR>(Handle)) != 0) return STATUS_SUCCESS;
  }
  return hostk::internal::CloseObjectHandle(Handle);
}
