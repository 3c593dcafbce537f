// The simulated Win32 side: registry handles, SetupAPI device information
// sets over the Enum tree, message boxes and the clock.
#include "win32_setup.h"

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>

#include "host_common/faults.h"
#include "host_registry/registry.h"

namespace {

using hostreg::RegKey;
using hostreg::Registry;

constexpr const char* kClassRoot = "System\\CurrentControlSet\\Control\\Class";
constexpr const char* kEnumRoot = "System\\CurrentControlSet\\Enum";

thread_local DWORD t_last_error = ERROR_SUCCESS;

std::recursive_mutex& TreeMutex() { return Registry::Machine().Mutex(); }

// Asks the fault plan about the call by its name and by what it works on:
// ERROR_SUCCESS when the call goes ahead, else the error it fails with.
DWORD Injected(const char* function, const std::string& target) {
  uint32_t name_error = 0;
  uint32_t target_error = 0;
  bool by_name = hostfault::ShouldFail(function, &name_error);
  bool by_target = !target.empty() && hostfault::ShouldFail(std::string(function) + ":" + target, &target_error);
  if (!by_name && !by_target) return ERROR_SUCCESS;
  if (target_error != 0) return target_error;
  return name_error != 0 ? name_error : ERROR_ACCESS_DENIED;
}

// Sets the thread's last error and gives the call's failure result.
template <typename T>
T FailWith(DWORD error, T result) {
  SetLastError(error);
  return result;
}
BOOL Fail(DWORD error) { return FailWith<BOOL>(error, FALSE); }

const HKEY kInvalidKey = static_cast<HKEY>(INVALID_HANDLE_VALUE);

// ------------------------------------------------------------- strings

bool IsStringType(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

// What an ANSI call sees of stored data: strings in the process's code
// page, '?' for a character that has no form there.
std::vector<uint8_t> ToAnsiData(const hostreg::RegValue& value) {
  if (!IsStringType(value.type)) return value.data;
  std::string text = hostreg::UnitsToAnsi(hostreg::StoredUnits(value.data));
  return std::vector<uint8_t>(text.begin(), text.end());
}

std::vector<uint8_t> FromAnsiData(DWORD type, const BYTE* data, DWORD size) {
  std::vector<uint8_t> out;
  if (data == nullptr) return out;
  if (!IsStringType(type)) return std::vector<uint8_t>(data, data + size);
  std::u16string units = hostreg::AnsiToUnits(std::string_view(reinterpret_cast<const char*>(data), size));
  out.reserve(units.size() * 2);
  for (char16_t unit : units) {
    out.push_back(static_cast<uint8_t>(unit & 0xFF));
    out.push_back(static_cast<uint8_t>(unit >> 8));
  }
  return out;
}

// A value name given to a wide call.
std::string NameFromWide(LPCWSTR name) {
  if (name == nullptr) return std::string();
  return hostreg::UnitsToAnsi(std::u16string_view(name));
}

// One character for _mbsicmp: a double-byte character as lead << 8 |
// trail, a single byte with a-z folded to A-Z; 0 at the end of the string,
// also for a lead byte that only the terminator follows (the runtime reads
// no further than that).
unsigned NextCompareChar(const unsigned char** text) {
  unsigned c = **text;
  if (c == 0) return 0;
  if (hostreg::IsLeadByte(static_cast<uint8_t>(c))) {
    unsigned trail = (*text)[1];
    if (trail == 0) return 0;
    *text += 2;
    return c << 8 | trail;
  }
  ++*text;
  return c >= 'a' && c <= 'z' ? c - ('a' - 'A') : c;
}

std::string Upper(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

bool SameText(const std::string& a, const std::string& b) { return Upper(a) == Upper(b); }

// ------------------------------------------------------------ handles

struct KeyHandle {
  std::string path;
  REGSAM access;
};

// The simulation's state lives for the whole process (never destroyed): a
// library's unload hook may still close handles after static destructors
// have run.
struct KeyTable {
  std::mutex mutex;
  std::map<uintptr_t, KeyHandle> keys;
  uintptr_t next = 0x1000;
};
KeyTable& Keys() {
  static auto* table = new KeyTable;
  return *table;
}

HKEY NewKeyHandle(const std::string& path, REGSAM access) {
  KeyTable& table = Keys();
  std::lock_guard<std::mutex> hold(table.mutex);
  uintptr_t id = table.next;
  table.next += 4;
  table.keys[id] = KeyHandle{path, access};
  return reinterpret_cast<HKEY>(id);
}

// The path and access behind a handle; false for an unknown handle.
bool LookupKey(HKEY key, KeyHandle* out) {
  if (key == HKEY_LOCAL_MACHINE) {
    *out = KeyHandle{std::string(), KEY_ALL_ACCESS};
    return true;
  }
  KeyTable& table = Keys();
  std::lock_guard<std::mutex> hold(table.mutex);
  auto it = table.keys.find(reinterpret_cast<uintptr_t>(key));
  if (it == table.keys.end()) return false;
  *out = it->second;
  return true;
}

// Empty parts of the subkey path (doubled or trailing separators) are
// skipped, and no path names the key itself, as on Windows and Wine; a
// path that begins with a separator is refused with ERROR_BAD_PATHNAME.
LONG JoinPath(const std::string& base, const char* sub, std::string* path) {
  std::string tail = sub == nullptr ? std::string() : std::string(sub);
  if (!tail.empty() && tail.front() == '\\') return ERROR_BAD_PATHNAME;
  *path = tail.empty() ? base : base.empty() ? tail : base + "\\" + tail;
  return ERROR_SUCCESS;
}

// Resolves a handle to its key in the tree (the tree lock must be held).
LONG ResolveKey(HKEY handle, REGSAM need, RegKey** key, KeyHandle* info) {
  if (!LookupKey(handle, info)) return ERROR_INVALID_HANDLE;
  if ((info->access & need) != need) return ERROR_ACCESS_DENIED;
  *key = Registry::Machine().Open(info->path);
  return *key == nullptr ? ERROR_KEY_DELETED : ERROR_SUCCESS;
}

std::string ValueTarget(const KeyHandle& info, LPCSTR name) {
  return info.path + "\\" + (name == nullptr ? std::string() : std::string(name));
}

// The path a call on a subkey of a handle works on; clears *result first.
LONG SubkeyPath(const char* function, HKEY handle, LPCSTR subkey, PHKEY result, KeyHandle* parent,
                std::string* path) {
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  if (!LookupKey(handle, parent)) return ERROR_INVALID_HANDLE;
  LONG status = JoinPath(parent->path, subkey, path);
  if (status != ERROR_SUCCESS) return status;
  return static_cast<LONG>(Injected(function, *path));
}

LONG OpenSubkey(const char* function, HKEY handle, LPCSTR subkey, REGSAM access, PHKEY result) {
  KeyHandle parent;
  std::string path;
  LONG status = SubkeyPath(function, handle, subkey, result, &parent, &path);
  if (status != ERROR_SUCCESS) return status;
  std::lock_guard<std::recursive_mutex> tree(TreeMutex());
  if (Registry::Machine().Open(path) == nullptr) return ERROR_FILE_NOT_FOUND;
  *result = NewKeyHandle(path, access);
  return ERROR_SUCCESS;
}

// Resolves a handle for a call on one of its values, or on the key itself
// (the tree lock must be held): the handle must allow need, and the fault
// plan may refuse the call on its target.
LONG ResolveForValue(const char* function, HKEY handle, REGSAM need, LPCSTR name, RegKey** key) {
  KeyHandle info;
  LONG status = ResolveKey(handle, need, key, &info);
  if (status != ERROR_SUCCESS) return status;
  return static_cast<LONG>(Injected(function, ValueTarget(info, name)));
}

LONG ResolveForKey(const char* function, HKEY handle, REGSAM need, RegKey** key) {
  KeyHandle info;
  LONG status = ResolveKey(handle, need, key, &info);
  if (status != ERROR_SUCCESS) return status;
  return static_cast<LONG>(Injected(function, info.path));
}

// --------------------------------------------------------- device sets

struct DevInfoSet {
  std::vector<std::string> instances;  // device instance ids
};

struct SetTable {
  std::mutex mutex;
  std::set<DevInfoSet*> sets;
};
SetTable& Sets() {
  static auto* table = new SetTable;
  return *table;
}

DevInfoSet* LookupSet(HDEVINFO handle) {
  SetTable& table = Sets();
  std::lock_guard<std::mutex> hold(table.mutex);
  auto* set = static_cast<DevInfoSet*>(handle);
  return table.sets.count(set) != 0 ? set : nullptr;
}

// The instance id a SP_DEVINFO_DATA of this set names, or null.
const std::string* DeviceOf(DevInfoSet* set, const SP_DEVINFO_DATA* data) {
  if (data == nullptr || data->cbSize != sizeof(SP_DEVINFO_DATA)) return nullptr;
  if (data->Reserved == 0 || data->Reserved > set->instances.size()) return nullptr;
  return &set->instances[data->Reserved - 1];
}

const char* PropertyValueName(DWORD property) {
  switch (property) {
    case SPDRP_DEVICEDESC: return "DeviceDesc";
    case SPDRP_HARDWAREID: return "HardwareID";
    case SPDRP_COMPATIBLEIDS: return "CompatibleIDs";
    case SPDRP_SERVICE: return "Service";
    case SPDRP_CLASS: return "Class";
    case SPDRP_CLASSGUID: return "ClassGUID";
    case SPDRP_MFG: return "Mfg";
    case SPDRP_FRIENDLYNAME: return "FriendlyName";
    case SPDRP_LOCATION_INFORMATION: return "LocationInformation";
    case SPDRP_UPPERFILTERS: return "UpperFilters";
    case SPDRP_LOWERFILTERS: return "LowerFilters";
    default: return nullptr;
  }
}

DWORD PropertyType(DWORD property) {
  switch (property) {
    case SPDRP_HARDWAREID:
    case SPDRP_COMPATIBLEIDS:
    case SPDRP_UPPERFILTERS:
    case SPDRP_LOWERFILTERS:
      return REG_MULTI_SZ;
    default:
      return REG_SZ;
  }
}

// Properties that SetupDiSetDeviceRegistryProperty may change.
bool PropertyWritable(DWORD property) {
  return property != SPDRP_CLASS && property != SPDRP_CLASSGUID && PropertyValueName(property) != nullptr;
}

void CollectInstances(RegKey* enumerator, const std::string& classText, bool presentOnly,
                      std::vector<std::string>* out) {
  auto sorted = [](const RegKey* parent) {
    std::vector<RegKey*> keys;
    for (const auto& sub : parent->Subkeys()) keys.push_back(sub.get());
    std::stable_sort(keys.begin(), keys.end(),
                     [](const RegKey* a, const RegKey* b) { return Upper(a->Name()) < Upper(b->Name()); });
    return keys;
  };
  for (RegKey* device : sorted(enumerator)) {
    for (RegKey* instance : sorted(device)) {
      if (presentOnly && instance->Subkey("Control") == nullptr) continue;
      if (!classText.empty()) {
        const hostreg::RegValue* guid = instance->Value("ClassGUID");
        if (guid == nullptr || !IsStringType(guid->type) || !SameText(hostreg::DecodeSz(guid->data), classText)) {
          continue;
        }
      }
      out->push_back(enumerator->Name() + "\\" + device->Name() + "\\" + instance->Name());
    }
  }
}

bool ParseGuidText(const std::string& text, GUID* guid) {
  unsigned d1, d2, d3, b[8];
  char close = 0;
  if (text.size() != 38 ||
      std::sscanf(text.c_str(), "{%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x%c", &d1, &d2, &d3, &b[0], &b[1], &b[2], &b[3],
                  &b[4], &b[5], &b[6], &b[7], &close) != 12 ||
      close != '}') {
    return false;
  }
  guid->Data1 = d1;
  guid->Data2 = static_cast<uint16_t>(d2);
  guid->Data3 = static_cast<uint16_t>(d3);
  for (int i = 0; i < 8; ++i) guid->Data4[i] = static_cast<uint8_t>(b[i]);
  return true;
}

// ------------------------------------------------------- message boxes

struct UserState {
  std::mutex mutex;
  std::vector<hostwin32::MessageBoxRecord> boxes;
  bool tick_fixed = false;
  DWORD tick_value = 0;
};
UserState& User() {
  static auto* state = new UserState;
  return *state;
}

}  // namespace

// ================================================================ host API

namespace hostwin32 {

std::vector<MessageBoxRecord> MessageBoxes() {
  std::lock_guard<std::mutex> hold(User().mutex);
  return User().boxes;
}

void ClearMessageBoxes() {
  std::lock_guard<std::mutex> hold(User().mutex);
  User().boxes.clear();
}

void SetTickCount(DWORD ticks) {
  std::lock_guard<std::mutex> hold(User().mutex);
  User().tick_fixed = true;
  User().tick_value = ticks;
}

void ResetTickCount() {
  std::lock_guard<std::mutex> hold(User().mutex);
  User().tick_fixed = false;
}

int OpenKeyHandles() {
  std::lock_guard<std::mutex> hold(Keys().mutex);
  return static_cast<int>(Keys().keys.size());
}

int OpenDeviceInfoSets() {
  std::lock_guard<std::mutex> hold(Sets().mutex);
  return static_cast<int>(Sets().sets.size());
}

ScopedCodePage::ScopedCodePage(UINT codePage) : previous_(hostreg::AnsiCodePage()) {
  if (!hostreg::SetAnsiCodePage(codePage)) std::abort();  // a test asked for a code page the simulation lacks
}

ScopedCodePage::~ScopedCodePage() { hostreg::SetAnsiCodePage(previous_); }

std::string GuidText(const GUID& guid) {
  char text[40];
  std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                static_cast<unsigned>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1],
                guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
  return text;
}

std::string ClassKeyPath(const GUID& guid) { return std::string(kClassRoot) + "\\" + GuidText(guid); }

std::string EnumKeyPath(const std::string& instanceId) { return std::string(kEnumRoot) + "\\" + instanceId; }

}  // namespace hostwin32

// ================================================================ Win32

extern "C" {

DWORD WINAPI GetLastError(void) { return t_last_error; }

void WINAPI SetLastError(DWORD dwErrCode) { t_last_error = dwErrCode; }

DWORD WINAPI GetTickCount(void) {
  {
    std::lock_guard<std::mutex> hold(User().mutex);
    if (User().tick_fixed) return User().tick_value;
  }
  auto since = std::chrono::steady_clock::now().time_since_epoch();
  return static_cast<DWORD>(std::chrono::duration_cast<std::chrono::milliseconds>(since).count());
}

int _mbsicmp(const unsigned char* string1, const unsigned char* string2) {
  for (;;) {
    unsigned a = NextCompareChar(&string1);
    unsigned b = NextCompareChar(&string2);
    if (a != b) return a < b ? -1 : 1;
    if (a == 0) return 0;
  }
}

UINT WINAPI GetACP(void) { return hostreg::AnsiCodePage(); }

int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte,
                               LPWSTR lpWideCharStr, int cchWideChar) {
  if (lpMultiByteStr == nullptr || cbMultiByte == 0 || cchWideChar < 0 || (cchWideChar > 0 && lpWideCharStr == nullptr) ||
      (CodePage != CP_ACP && CodePage != hostreg::AnsiCodePage())) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  size_t length = cbMultiByte < 0 ? std::strlen(lpMultiByteStr) + 1 : static_cast<size_t>(cbMultiByte);
  std::string_view text(lpMultiByteStr, length);
  if ((dwFlags & MB_ERR_INVALID_CHARS) != 0 && !hostreg::AnsiIsText(text)) {
    SetLastError(ERROR_NO_UNICODE_TRANSLATION);
    return 0;
  }
  std::u16string units = hostreg::AnsiToUnits(text);
  if (cchWideChar == 0) return static_cast<int>(units.size());
  if (units.size() > static_cast<size_t>(cchWideChar)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::copy(units.begin(), units.end(), lpWideCharStr);
  return static_cast<int>(units.size());
}

int WINAPI MessageBoxA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType) {
  std::lock_guard<std::mutex> hold(User().mutex);
  User().boxes.push_back(hostwin32::MessageBoxRecord{hWnd, lpText == nullptr ? "" : lpText,
                                                lpCaption == nullptr ? "Error" : lpCaption, uType});
  return IDOK;
}

int wsprintfA(LPSTR buffer, LPCSTR format, ...) {
  // wsprintf writes at most 1024 characters and its terminator.
  va_list args;
  va_start(args, format);
  int written = std::vsnprintf(buffer, 1025, format, args);
  va_end(args);
  return written > 1024 ? 1024 : written;
}

// ------------------------------------------------------------- registry

LONG WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult) {
  return OpenSubkey("RegOpenKeyExA", hKey, lpSubKey, samDesired, phkResult);
}

LONG WINAPI RegOpenKeyA(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult) {
  // RegOpenKey asks for the most the caller may have: all of it here.
  return OpenSubkey("RegOpenKeyA", hKey, lpSubKey, KEY_ALL_ACCESS, phkResult);
}

LONG WINAPI RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass, DWORD dwOptions,
                            REGSAM samDesired, LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                            LPDWORD lpdwDisposition) {
  KeyHandle parent;
  std::string path;
  LONG status = SubkeyPath("RegCreateKeyExA", hKey, lpSubKey, phkResult, &parent, &path);
  if (status != ERROR_SUCCESS) return status;
  std::lock_guard<std::recursive_mutex> tree(TreeMutex());
  Registry& reg = Registry::Machine();
  if (reg.Open(parent.path) == nullptr) return ERROR_KEY_DELETED;
  bool existed = reg.Open(path) != nullptr;
  reg.Create(path);
  if (lpdwDisposition != nullptr) *lpdwDisposition = existed ? REG_OPENED_EXISTING_KEY : REG_CREATED_NEW_KEY;
  *phkResult = NewKeyHandle(path, samDesired);
  return ERROR_SUCCESS;
}

LONG WINAPI RegCloseKey(HKEY hKey) {
  if (hKey == HKEY_LOCAL_MACHINE) return ERROR_SUCCESS;
  std::lock_guard<std::mutex> hold(Keys().mutex);
  return Keys().keys.erase(reinterpret_cast<uintptr_t>(hKey)) != 0 ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

}  // extern "C"

namespace {

// RegQueryValueExA and W: the A call converts strings to the code page,
// the W call gives the stored bytes.
LONG QueryValue(const char* function, bool ansi, HKEY hKey, const std::string& name, LPDWORD lpType, LPBYTE lpData,
                LPDWORD lpcbData) {
  if (lpData != nullptr && lpcbData == nullptr) return ERROR_INVALID_PARAMETER;
  std::lock_guard<std::recursive_mutex> tree(TreeMutex());
  RegKey* key = nullptr;
  LONG status = ResolveForValue(function, hKey, KEY_QUERY_VALUE, name.c_str(), &key);
  if (status != ERROR_SUCCESS) return status;
  const hostreg::RegValue* value = key->Value(name);
  if (value == nullptr) return ERROR_FILE_NOT_FOUND;
  std::vector<uint8_t> data = ansi ? ToAnsiData(*value) : value->data;
  DWORD size = static_cast<DWORD>(data.size());
  if (lpType != nullptr) *lpType = value->type;
  if (lpData == nullptr) {
    if (lpcbData != nullptr) *lpcbData = size;
    return ERROR_SUCCESS;
  }
  if (*lpcbData < size) {
    *lpcbData = size;
    return ERROR_MORE_DATA;
  }
  if (size != 0) std::memcpy(lpData, data.data(), size);
  *lpcbData = size;
  return ERROR_SUCCESS;
}

}  // namespace

extern "C" {

LONG WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                             LPDWORD lpcbData) {
  return QueryValue("RegQueryValueExA", true, hKey, lpValueName == nullptr ? "" : lpValueName, lpType, lpData,
                    lpcbData);
}

LONG WINAPI RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                             LPDWORD lpcbData) {
  return QueryValue("RegQueryValueExW", false, hKey, NameFromWide(lpValueName), lpType, lpData, lpcbData);
}

LONG WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData,
                           DWORD cbData) {
  if (lpData == nullptr && cbData != 0) return ERROR_NOACCESS;
  std::lock_guard<std::recursive_mutex> tree(TreeMutex());
  RegKey* key = nullptr;
  LONG status = ResolveForValue("RegSetValueExA", hKey, KEY_SET_VALUE, lpValueName, &key);
  if (status != ERROR_SUCCESS) return status;
  key->SetValue(lpValueName == nullptr ? "" : lpValueName, dwType, FromAnsiData(dwType, lpData, cbData));
  return ERROR_SUCCESS;
}

LONG WINAPI RegDeleteValueA(HKEY hKey, LPCSTR lpValueName) {
  std::lock_guard<std::recursive_mutex> tree(TreeMutex());
  RegKey* key = nullptr;
  LONG status = ResolveForValue("RegDeleteValueA", hKey, KEY_SET_VALUE, lpValueName, &key);
  if (status != ERROR_SUCCESS) return status;
  return key->DeleteValue(lpValueName == nullptr ? "" : lpValueName) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
}

// As on NT: a key that still has subkeys is not deleted.
LONG WINAPI RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey) {
  if (lpSubKey == nullptr || *lpSubKey == 0) return ERROR_INVALID_PARAMETER;
  KeyHandle parent;
  std::string path;
  HKEY unused = nullptr;
  LONG status = SubkeyPath("RegDeleteKeyA", hKey, lpSubKey, &unused, &parent, &path);
  if (status != ERROR_SUCCESS) return status;
  std::lock_guard<std::recursive_mutex> tree(TreeMutex());
  Registry& reg = Registry::Machine();
  RegKey* key = reg.Open(path);
  if (key == nullptr) return ERROR_FILE_NOT_FOUND;
  if (!key->Subkeys().empty()) return ERROR_ACCESS_DENIED;
  reg.Delete(path);
  return ERROR_SUCCESS;
}

LONG WINAPI RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved,
                          LPSTR lpClass, LPDWORD lpcchClass, void* lpftLastWriteTime) {
  if (lpName == nullptr || lpcchName == nullptr) return ERROR_INVALID_PARAMETER;
  std::lock_guard<std::recursive_mutex> tree(TreeMutex());
  RegKey* key = nullptr;
  LONG status = ResolveForKey("RegEnumKeyExA", hKey, KEY_ENUMERATE_SUB_KEYS, &key);
  if (status != ERROR_SUCCESS) return status;
  // Windows keeps subkeys sorted without regard to case.
  std::vector<std::string> names;
  for (const auto& sub : key->Subkeys()) names.push_back(sub->Name());
  std::stable_sort(names.begin(), names.end(),
                   [](const std::string& a, const std::string& b) { return Upper(a) < Upper(b); });
  if (dwIndex >= names.size()) return ERROR_NO_MORE_ITEMS;
  const std::string& name = names[dwIndex];
  if (*lpcchName <= name.size()) return ERROR_MORE_DATA;
  std::memcpy(lpName, name.c_str(), name.size() + 1);
  *lpcchName = static_cast<DWORD>(name.size());
  if (lpcchClass != nullptr) *lpcchClass = 0;
  if (lpClass != nullptr) *lpClass = 0;
  return ERROR_SUCCESS;
}

LONG WINAPI RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName,
                          LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
  if (lpValueName == nullptr || lpcchValueName == nullptr) return ERROR_INVALID_PARAMETER;
  if (lpData != nullptr && lpcbData == nullptr) return ERROR_INVALID_PARAMETER;
  std::lock_guard<std::recursive_mutex> tree(TreeMutex());
  RegKey* key = nullptr;
  LONG status = ResolveForKey("RegEnumValueA", hKey, KEY_QUERY_VALUE, &key);
  if (status != ERROR_SUCCESS) return status;
  if (dwIndex >= key->Values().size()) return ERROR_NO_MORE_ITEMS;
  const hostreg::RegValue& value = key->Values()[dwIndex];
  if (*lpcchValueName <= value.name.size()) return ERROR_MORE_DATA;
  std::vector<uint8_t> data = ToAnsiData(value);
  DWORD size = static_cast<DWORD>(data.size());
  if (lpData != nullptr && *lpcbData < size) {
    *lpcbData = size;
    return ERROR_MORE_DATA;
  }
  std::memcpy(lpValueName, value.name.c_str(), value.name.size() + 1);
  *lpcchValueName = static_cast<DWORD>(value.name.size());
  if (lpType != nullptr) *lpType = value.type;
  if (lpData != nullptr && size != 0) std::memcpy(lpData, data.data(), size);
  if (lpcbData != nullptr) *lpcbData = size;
  return ERROR_SUCCESS;
}

// ------------------------------------------------------------- SetupAPI

BOOL WINAPI SetupDiGetClassDescriptionA(const GUID* ClassGuid, PSTR ClassDescription, DWORD ClassDescriptionSize,
                                        PDWORD RequiredSize) {
  if (ClassGuid == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (DWORD error = Injected("SetupDiGetClassDescriptionA", hostwin32::GuidText(*ClassGuid))) return Fail(error);
  std::lock_guard<std::recursive_mutex> tree(TreeMutex());
  RegKey* key = Registry::Machine().Open(hostwin32::ClassKeyPath(*ClassGuid));
  const hostreg::RegValue* value = key == nullptr ? nullptr : key->Value("");
  // A class without a description is known by its class name.
  if (key != nullptr && (value == nullptr || !IsStringType(value->type))) value = key->Value("Class");
  if (value == nullptr || !IsStringType(value->type)) return Fail(ERROR_INVALID_CLASS);
  std::string text = hostreg::DecodeSz(value->data);
  DWORD need = static_cast<DWORD>(text.size() + 1);
  if (RequiredSize != nullptr) *RequiredSize = need;
  if (ClassDescription == nullptr || ClassDescriptionSize < need) return Fail(ERROR_INSUFFICIENT_BUFFER);
  std::memcpy(ClassDescription, text.c_str(), need);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID* ClassGuid, PCSTR Enumerator, HWND hwndParent, DWORD Flags) {
  if (ClassGuid == nullptr && (Flags & DIGCF_ALLCLASSES) == 0) {
    return FailWith(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
  }
  std::string classText = (Flags & DIGCF_ALLCLASSES) != 0 ? std::string() : hostwin32::GuidText(*ClassGuid);
  if (DWORD error = Injected("SetupDiGetClassDevsA", classText)) return FailWith(error, INVALID_HANDLE_VALUE);
  auto set = std::make_unique<DevInfoSet>();
  {
    std::lock_guard<std::recursive_mutex> tree(TreeMutex());
    if (RegKey* root = Registry::Machine().Open(kEnumRoot)) {
      std::vector<RegKey*> enumerators;
      for (const auto& sub : root->Subkeys()) {
        if (Enumerator == nullptr || SameText(sub->Name(), Enumerator)) enumerators.push_back(sub.get());
      }
      std::stable_sort(enumerators.begin(), enumerators.end(),
                       [](const RegKey* a, const RegKey* b) { return Upper(a->Name()) < Upper(b->Name()); });
      for (RegKey* enumerator : enumerators) {
        CollectInstances(enumerator, classText, (Flags & DIGCF_PRESENT) != 0, &set->instances);
      }
    }
  }
  std::lock_guard<std::mutex> hold(Sets().mutex);
  DevInfoSet* raw = set.release();
  Sets().sets.insert(raw);
  SetLastError(ERROR_SUCCESS);
  return raw;
}

BOOL WINAPI SetupDiEnumDeviceInfo(HDEVINFO DeviceInfoSet, DWORD MemberIndex, PSP_DEVINFO_DATA DeviceInfoData) {
  DevInfoSet* set = LookupSet(DeviceInfoSet);
  if (set == nullptr) return Fail(ERROR_INVALID_HANDLE);
  if (DeviceInfoData == nullptr || DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) {
    return Fail(ERROR_INVALID_USER_BUFFER);
  }
  if (MemberIndex >= set->instances.size()) return Fail(ERROR_NO_MORE_ITEMS);
  const std::string& instance = set->instances[MemberIndex];
  if (DWORD error = Injected("SetupDiEnumDeviceInfo", instance)) return Fail(error);
  GUID guid{};
  {
    std::lock_guard<std::recursive_mutex> tree(TreeMutex());
    RegKey* key = Registry::Machine().Open(hostwin32::EnumKeyPath(instance));
    const hostreg::RegValue* value = key == nullptr ? nullptr : key->Value("ClassGUID");
    if (value != nullptr) ParseGuidText(hostreg::DecodeSz(value->data), &guid);
  }
  DeviceInfoData->ClassGuid = guid;
  DeviceInfoData->DevInst = MemberIndex + 1;
  DeviceInfoData->Reserved = MemberIndex + 1;
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

}  // extern "C"

namespace {

// SetupDiGetDeviceRegistryPropertyA and W. A call with no buffer fails
// with ERROR_INSUFFICIENT_BUFFER and the required size whatever the size
// of the value, 0 included, as Wine's SetupAPI answers: so a value of
// size 0 (which Wine leaves where Windows deletes the property) can never
// be read.
BOOL GetDeviceProperty(const char* function, bool ansi, HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                       DWORD Property, PDWORD PropertyRegDataType, PBYTE PropertyBuffer, DWORD PropertyBufferSize,
                       PDWORD RequiredSize) {
  DevInfoSet* set = LookupSet(DeviceInfoSet);
  if (set == nullptr) return Fail(ERROR_INVALID_HANDLE);
  const std::string* instance = DeviceOf(set, DeviceInfoData);
  if (instance == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  const char* name = PropertyValueName(Property);
  if (name == nullptr) return Fail(ERROR_INVALID_REG_PROPERTY);
  if (PropertyBuffer == nullptr && PropertyBufferSize != 0) return Fail(ERROR_INVALID_USER_BUFFER);
  if (DWORD error = Injected(function, *instance + "\\" + name)) return Fail(error);
  std::lock_guard<std::recursive_mutex> tree(TreeMutex());
  RegKey* key = Registry::Machine().Open(hostwin32::EnumKeyPath(*instance));
  if (key == nullptr) return Fail(ERROR_NO_SUCH_DEVINST);
  const hostreg::RegValue* value = key->Value(name);
  if (value == nullptr) return Fail(ERROR_INVALID_DATA);
  std::vector<uint8_t> data = ansi ? ToAnsiData(*value) : value->data;
  DWORD size = static_cast<DWORD>(data.size());
  if (PropertyRegDataType != nullptr) *PropertyRegDataType = value->type;
  if (RequiredSize != nullptr) *RequiredSize = size;
  if (PropertyBufferSize == 0 || PropertyBufferSize < size) return Fail(ERROR_INSUFFICIENT_BUFFER);
  if (size != 0) std::memcpy(PropertyBuffer, data.data(), size);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

}  // namespace

extern "C" {

BOOL WINAPI SetupDiGetDeviceRegistryPropertyA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                              DWORD Property, PDWORD PropertyRegDataType, PBYTE PropertyBuffer,
                                              DWORD PropertyBufferSize, PDWORD RequiredSize) {
  return GetDeviceProperty("SetupDiGetDeviceRegistryPropertyA", true, DeviceInfoSet, DeviceInfoData, Property,
                           PropertyRegDataType, PropertyBuffer, PropertyBufferSize, RequiredSize);
}

BOOL WINAPI SetupDiGetDeviceRegistryPropertyW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                              DWORD Property, PDWORD PropertyRegDataType, PBYTE PropertyBuffer,
                                              DWORD PropertyBufferSize, PDWORD RequiredSize) {
  return GetDeviceProperty("SetupDiGetDeviceRegistryPropertyW", false, DeviceInfoSet, DeviceInfoData, Property,
                           PropertyRegDataType, PropertyBuffer, PropertyBufferSize, RequiredSize);
}

BOOL WINAPI SetupDiSetDeviceRegistryPropertyA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                              DWORD Property, const BYTE* PropertyBuffer,
                                              DWORD PropertyBufferSize) {
  DevInfoSet* set = LookupSet(DeviceInfoSet);
  if (set == nullptr) return Fail(ERROR_INVALID_HANDLE);
  const std::string* instance = DeviceOf(set, DeviceInfoData);
  if (instance == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (!PropertyWritable(Property)) return Fail(ERROR_INVALID_REG_PROPERTY);
  if (PropertyBuffer == nullptr && PropertyBufferSize != 0) return Fail(ERROR_INVALID_PARAMETER);
  const char* name = PropertyValueName(Property);
  if (DWORD error = Injected("SetupDiSetDeviceRegistryPropertyA", *instance + "\\" + name)) return Fail(error);
  std::lock_guard<std::recursive_mutex> tree(TreeMutex());
  RegKey* key = Registry::Machine().Open(hostwin32::EnumKeyPath(*instance));
  if (key == nullptr) return Fail(ERROR_NO_SUCH_DEVINST);
  if (PropertyBuffer == nullptr) {
    key->DeleteValue(name);  // no data: the property goes away
  } else {
    DWORD type = PropertyType(Property);
    key->SetValue(name, type, FromAnsiData(type, PropertyBuffer, PropertyBufferSize));
  }
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

HKEY WINAPI SetupDiOpenClassRegKey(const GUID* ClassGuid, REGSAM samDesired) {
  if (ClassGuid == nullptr) return FailWith(ERROR_INVALID_PARAMETER, kInvalidKey);
  std::string path = hostwin32::ClassKeyPath(*ClassGuid);
  if (DWORD error = Injected("SetupDiOpenClassRegKey", hostwin32::GuidText(*ClassGuid))) {
    return FailWith(error, kInvalidKey);
  }
  std::lock_guard<std::recursive_mutex> tree(TreeMutex());
  if (Registry::Machine().Open(path) == nullptr) return FailWith(ERROR_INVALID_CLASS, kInvalidKey);
  SetLastError(ERROR_SUCCESS);
  return NewKeyHandle(path, samDesired);
}

BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet) {
  std::unique_ptr<DevInfoSet> owned;
  {
    std::lock_guard<std::mutex> hold(Sets().mutex);
    auto* set = static_cast<DevInfoSet*>(DeviceInfoSet);
    if (Sets().sets.erase(set) == 0) return Fail(ERROR_INVALID_HANDLE);
    owned.reset(set);
  }
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

}  // extern "C"
