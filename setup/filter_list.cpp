#include "setup/filter_list.h"

#include <cstdlib>
#include <cstring>

namespace korvset {
namespace {

bool SameName(const char* a, const char* b) {
  return _mbsicmp(reinterpret_cast<const unsigned char*>(a), reinterpret_cast<const unsigned char*>(b)) == 0;
}

void Report(ReadOutcome* outcome, ReadOutcome value) {
  if (outcome != nullptr) *outcome = value;
}

bool IsStringType(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

// Whether the names of a list read in ANSI form convert back to the
// UTF-16 units stored for them. They do not when a character has no form
// in the process's code page: the ANSI calls give '?' for it (or, on
// Windows, a best-fit look-alike), and a list written back from that form
// would hold another name. Only the list's extent counts (the names and
// the final NUL): the terminators the read added stand for stored units
// that are missing, and whatever follows the list is not part of it.
bool NamesSurvived(const char* list, const BYTE* stored, DWORD storedSize) {
  int extent = static_cast<int>(FilterListSize(list));
  // A character never takes more UTF-16 units than it takes ANSI bytes.
  auto* back = static_cast<WCHAR*>(std::calloc(static_cast<size_t>(extent), sizeof(WCHAR)));
  if (back == nullptr) return false;
  int units = MultiByteToWideChar(CP_ACP, 0, list, extent, back, extent);
  DWORD storedUnits = storedSize / sizeof(WCHAR);
  bool same = units > 0;
  for (int i = 0; same && i < units; ++i) {
    WCHAR unit = 0;
    if (static_cast<DWORD>(i) < storedUnits) std::memcpy(&unit, stored + i * sizeof(WCHAR), sizeof unit);
    same = back[i] == unit;
  }
  std::free(back);
  return same;
}

// The stored bytes of a registry value, read through the wide call; null
// when it cannot be read.
BYTE* ReadStoredValue(HKEY key, const char* valueName, DWORD* size) {
  WCHAR wideName[MAX_PATH];
  if (MultiByteToWideChar(CP_ACP, 0, valueName, -1, wideName, MAX_PATH) == 0) return nullptr;
  *size = 0;
  if (RegQueryValueExW(key, wideName, nullptr, nullptr, nullptr, size) != ERROR_SUCCESS) return nullptr;
  auto* data = static_cast<BYTE*>(std::calloc(static_cast<size_t>(*size) + 2, 1));
  if (data == nullptr) return nullptr;
  if (RegQueryValueExW(key, wideName, nullptr, nullptr, data, size) != ERROR_SUCCESS) {
    std::free(data);
    return nullptr;
  }
  return data;
}

// The stored bytes of a device property, read through the wide call;
// null when it cannot be read.
BYTE* ReadStoredProperty(HDEVINFO set, SP_DEVINFO_DATA* device, DWORD property, DWORD* size) {
  *size = 0;
  if (!SetupDiGetDeviceRegistryPropertyW(set, device, property, nullptr, nullptr, 0, size) &&
      GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
    return nullptr;
  }
  auto* data = static_cast<BYTE*>(std::calloc(static_cast<size_t>(*size) + 2, 1));
  if (data == nullptr) return nullptr;
  if (*size != 0 && !SetupDiGetDeviceRegistryPropertyW(set, device, property, nullptr, data, *size, nullptr)) {
    std::free(data);
    return nullptr;
  }
  return data;
}

// Keeps a list read in ANSI form only when it lost nothing on the way:
// otherwise frees it and gives null with ReadFailed.
char* KeepIfFaithful(char* list, BYTE* stored, DWORD storedSize, ReadOutcome* outcome) {
  bool faithful = stored != nullptr && NamesSurvived(list, stored, storedSize);
  std::free(stored);
  if (faithful) return list;
  std::free(list);
  Report(outcome, ReadFailed);
  return nullptr;
}

}  // namespace

uint32_t FilterListSize(const char* list) {
  if (list[0] == '\0') return 1;
  uint32_t size = 0;
  const char* name = list;
  while (*name != '\0') {
    uint32_t len = static_cast<uint32_t>(std::strlen(name)) + 1;
    size += len;
    name += len;
  }
  return size + 1;
}

int FilterListContains(const char* list, const char* name) {
  if (list == nullptr || name == nullptr) return 0;
  for (const char* entry = list; *entry != '\0'; entry += std::strlen(entry) + 1) {
    if (SameName(entry, name)) return 1;
  }
  return 0;
}

int FilterListRemoveAll(const char* name, char* list, int* newSize) {
  int size = static_cast<int>(FilterListSize(list));
  int count = 0;
  int offset = 0;  // bytes of kept names before pos
  char* pos = list;
  while (*pos != '\0') {
    int len = static_cast<int>(std::strlen(pos)) + 1;
    if (SameName(pos, name)) {
      size -= len;
      // The rest of the list, its final NUL included, moves down.
      std::memmove(pos, pos + len, static_cast<size_t>(size - offset));
      ++count;
    } else {
      offset += len;
      pos += len;
    }
  }
  *newSize = size;
  return count;
}

int FilterListPrepend(const char* name, char** list) {
  uint32_t oldSize = FilterListSize(*list);
  size_t nameLen = std::strlen(name);
  char* grown = static_cast<char*>(std::malloc(nameLen + 1 + oldSize));
  if (grown == nullptr) return 0;
  std::memcpy(grown, name, nameLen + 1);
  std::memcpy(grown + nameLen + 1, *list, oldSize);
  std::free(*list);
  *list = grown;
  return 1;
}

void FilterListFree(char* list) { std::free(list); }

int IsCodePageText(const char* name) {
  return MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, name, -1, nullptr, 0) != 0 ? 1 : 0;
}

char* ReadFilterValue(HKEY key, const char* valueName, ReadOutcome* outcome) {
  DWORD type = 0;
  DWORD size = 0;
  LONG status = RegQueryValueExA(key, valueName, nullptr, &type, nullptr, &size);
  if (status != ERROR_SUCCESS) {
    Report(outcome, status == ERROR_FILE_NOT_FOUND ? ReadAbsent : ReadFailed);
    return nullptr;
  }
  // Two zero bytes beyond the data end the list whatever was stored: one
  // name for a REG_SZ, the missing final NUL of a truncated REG_MULTI_SZ.
  char* list = static_cast<char*>(std::calloc(static_cast<size_t>(size) + 2, 1));
  if (list == nullptr) {
    Report(outcome, ReadFailed);
    return nullptr;
  }
  DWORD got = size;
  status = RegQueryValueExA(key, valueName, nullptr, &type, reinterpret_cast<BYTE*>(list), &got);
  if (status != ERROR_SUCCESS) {
    std::free(list);
    Report(outcome, status == ERROR_FILE_NOT_FOUND ? ReadAbsent : ReadFailed);
    return nullptr;
  }
  Report(outcome, ReadOk);
  if (!IsStringType(type)) return list;  // taken byte for byte, nothing converted
  DWORD storedSize = 0;
  BYTE* stored = ReadStoredValue(key, valueName, &storedSize);
  return KeepIfFaithful(list, stored, storedSize, outcome);
}

int WriteFilterValue(HKEY key, const char* valueName, const char* list) {
  uint32_t size = FilterListSize(list);
  if (size > 1) {
    return RegSetValueExA(key, valueName, 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(list), size) ==
                   ERROR_SUCCESS
               ? 1
               : 0;
  }
  // An empty list is never stored: the value goes. A value that is
  // already gone is fine; one that stays still holds the removed name.
  LONG status = RegDeleteValueA(key, valueName);
  return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND ? 1 : 0;
}

namespace {

// What a failed property probe tells of the property: ERROR_INVALID_DATA
// (Windows) and ERROR_FILE_NOT_FOUND (ReactOS, which passes on what its
// registry read of the value gave) are an absent property;
// ERROR_NO_SUCH_DEVINST (Windows) and ERROR_KEY_DELETED (Wine, whose
// device key was deleted under it) a device that no longer exists.
ReadOutcome PropertyErrorOutcome(DWORD error) {
  switch (error) {
    case ERROR_INVALID_DATA:
    case ERROR_FILE_NOT_FOUND: return ReadAbsent;
    case ERROR_NO_SUCH_DEVINST:
    case ERROR_KEY_DELETED: return ReadGone;
    default: return ReadFailed;
  }
}

}  // namespace

char* ReadDeviceProperty(HDEVINFO set, SP_DEVINFO_DATA* device, DWORD property, DWORD* regType,
                         ReadOutcome* outcome) {
  DWORD required = 0;
  if (SetupDiGetDeviceRegistryPropertyA(set, device, property, nullptr, nullptr, 0, &required)) {
    Report(outcome, ReadAbsent);  // present but empty
    return nullptr;
  }
  DWORD error = GetLastError();
  if (error != ERROR_INSUFFICIENT_BUFFER) {
    Report(outcome, PropertyErrorOutcome(error));
    return nullptr;
  }
  if (required == 0) {
    // A value of size 0 (Wine's SetupAPI leaves one where Windows deletes
    // the property) is the empty list; it could never be read anyway.
    Report(outcome, ReadAbsent);
    return nullptr;
  }
  char* data = static_cast<char*>(std::calloc(static_cast<size_t>(required) + 2, 1));
  if (data == nullptr) {
    Report(outcome, ReadFailed);
    return nullptr;
  }
  if (!SetupDiGetDeviceRegistryPropertyA(set, device, property, regType, reinterpret_cast<BYTE*>(data), required,
                                         nullptr)) {
    std::free(data);
    Report(outcome, ReadFailed);
    return nullptr;
  }
  Report(outcome, ReadOk);
  return data;
}

char* ReadDeviceFilterList(HDEVINFO set, SP_DEVINFO_DATA* device, DWORD property, ReadOutcome* outcome) {
  DWORD type = 0;
  char* list = ReadDeviceProperty(set, device, property, &type, outcome);
  if (list == nullptr || !IsStringType(type)) return list;
  DWORD storedSize = 0;
  BYTE* stored = ReadStoredProperty(set, device, property, &storedSize);
  return KeepIfFaithful(list, stored, storedSize, outcome);
}

}  // namespace korvset
