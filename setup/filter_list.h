// Filter lists: REG_MULTI_SZ values of driver service names in memory,
// each name NUL-terminated, the list ended by one more NUL (the empty
// list is the single byte 0). Lists are heap buffers (malloc) that the
// caller owns and frees with FilterListFree; "no list" is null.
#pragma once

#include <cstdint>

#include "platform/setup_services.h"

namespace korvset {

// Bytes of the list up to and including its final NUL.
uint32_t FilterListSize(const char* list);

// 1 when some name of the list equals name, ignoring case; 0 for a null
// list or name.
int FilterListContains(const char* list, const char* name);

// Removes every occurrence of name in place; newSize gets the list's new
// size. Gives the number of names removed.
int FilterListRemoveAll(const char* name, char* list, int* newSize);

// Puts name in front of *list in a new buffer and frees the old one; 0
// (and *list untouched) when the new buffer cannot be had.
int FilterListPrepend(const char* name, char** list);

void FilterListFree(char* list);

// What a read found, when it gives null: the value or property is absent
// (or empty), or it exists and could not be read. An unreadable list must
// not be overwritten: the names in it would be lost.
enum ReadOutcome { ReadOk = 0, ReadAbsent = 1, ReadFailed = 2 };

// The value as a list: REG_MULTI_SZ as stored, any other type as one
// name. The buffer always ends in two zero bytes beyond the stored data,
// so a value stored without its terminators still ends the scan.
char* ReadFilterValue(HKEY key, const char* valueName, ReadOutcome* outcome = nullptr);

// Stores the list as REG_MULTI_SZ, or deletes the value when the list is
// empty (a value that is already absent counts as deleted; one that
// cannot be deleted is a failure).
int WriteFilterValue(HKEY key, const char* valueName, const char* list);

// A device registry property's data; like ReadFilterValue, two zero
// bytes follow the data.
char* ReadDeviceProperty(HDEVINFO set, SP_DEVINFO_DATA* device, DWORD property, DWORD* regType,
                         ReadOutcome* outcome = nullptr);

}  // namespace korvset
