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

// 1 when name is text of the process's code page. A name that is not (a
// lead byte without its trail byte, say) would be stored as '?' in its
// place, so it is never written into a list.
int IsCodePageText(const char* name);

// What a read found, when it gives null: the value or property is absent
// (or empty); the device it belongs to no longer exists, so it has no list
// and none can be written; or it exists and could not be read faithfully.
// An unreadable list must not be overwritten: the names in it would be
// lost.
enum ReadOutcome { ReadOk = 0, ReadAbsent = 1, ReadFailed = 2, ReadGone = 3 };

// The value as a list: REG_MULTI_SZ as stored, any other type as one
// name. The buffer always ends in two zero bytes beyond the stored data,
// so a value stored without its terminators still ends the scan. A string
// value holding a character that the process's code page cannot represent
// gives null (ReadFailed): its ANSI form lost that character.
char* ReadFilterValue(HKEY key, const char* valueName, ReadOutcome* outcome = nullptr);

// Stores the list as REG_MULTI_SZ, or deletes the value when the list is
// empty (a value that is already absent counts as deleted; one that
// cannot be deleted is a failure).
int WriteFilterValue(HKEY key, const char* valueName, const char* list);

// A device registry property's data; like ReadFilterValue, two zero
// bytes follow the data. A property of size 0 is absent.
char* ReadDeviceProperty(HDEVINFO set, SP_DEVINFO_DATA* device, DWORD property, DWORD* regType,
                         ReadOutcome* outcome = nullptr);

// A device's filter list property (SPDRP_UPPERFILTERS or
// SPDRP_LOWERFILTERS): ReadDeviceProperty, and null (ReadFailed) when a
// name in it has no form in the process's code page.
char* ReadDeviceFilterList(HDEVINFO set, SP_DEVINFO_DATA* device, DWORD property, ReadOutcome* outcome = nullptr);

}  // namespace korvset
