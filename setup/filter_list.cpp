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
  return list;
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

char* ReadDeviceProperty(HDEVINFO set, SP_DEVINFO_DATA* device, DWORD property, DWORD* regType,
                         ReadOutcome* outcome) {
  DWORD required = 0;
  if (SetupDiGetDeviceRegistryPropertyA(set, device, property, nullptr, nullptr, 0, &required)) {
    Report(outcome, ReadAbsent);  // present but empty
    return nullptr;
  }
  DWORD error = GetLastError();
  if (error != ERROR_INSUFFICIENT_BUFFER) {
    Report(outcome, error == ERROR_INVALID_DATA ? ReadAbsent : ReadFailed);
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

}  // namespace korvset
