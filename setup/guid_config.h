// Class GUIDs: the built-in lists, their braced text form, and the
// configured additions under HKEY_LOCAL_MACHINE\Software\Orlenta
// Software\Korvelware\GUIDs (REG_SZ values BusGuid0, BusGuid1, ... and
// ClassGuid0, ...).
#pragma once

#include <cstdint>

#include "platform/setup_services.h"

namespace korvset {

// Bus and controller classes, whose UpperFilters get the filter.
constexpr int kBuiltinBusGuidCount = 4;
extern const GUID kBuiltinBusGuids[kBuiltinBusGuidCount];
// Storage device classes.
constexpr int kBuiltinClassGuidCount = 5;
extern const GUID kBuiltinClassGuids[kBuiltinClassGuidCount];
// IDE ATA/ATAPI controllers.
extern const GUID kIdeControllerClassGuid;

int SameGuid(const GUID& a, const GUID& b);

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}": exactly 38 characters in braces;
// the characters where the dashes stand are not examined. 1 on success.
int ParseGuidString(const char* text, GUID* guid);
// Hex digits after trailing spaces and lowercase h's and then leading
// spaces are cut off; 1 on success, 0 (value 0) when nothing or a non-digit
// remains.
int ParseHexField(const char* text, uint32_t* value);
int HexDigitValue(char c);  // -1 for anything but 0-9, a-f, A-F

// The GUIDs key, opened with RegOpenKeyA; 0 when it cannot be opened.
int OpenGuidKey(HKEY* key);

enum GuidValue { GuidValueEnd = -1, GuidValueSkip = 0, GuidValueRead = 1 };
// Reads the value stem + index: GuidValueRead with *guid set; GuidValueSkip
// for a REG_SZ that is no GUID text; GuidValueEnd when the value is absent,
// too long or of another type, which ends the list.
GuidValue ReadConfiguredGuid(HKEY key, const char* stem, int index, GUID* guid);

}  // namespace korvset
