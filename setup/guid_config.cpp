#include "setup/guid_config.h"

#include <cstring>

namespace korvset {

const GUID kBuiltinBusGuids[kBuiltinBusGuidCount] = {
    {0x4D36E96A, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}},  // IDE ATA/ATAPI controllers
    {0x4D36E97B, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}},  // SCSI and RAID controllers
    {0x36FC9E60, 0xC465, 0x11CF, {0x80, 0x56, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}},  // USB controllers
    {0xD48179BE, 0xEC20, 0x11D1, {0xB6, 0xB8, 0x00, 0xC0, 0x4F, 0xA3, 0x72, 0xA7}},  // SBP-2 IEEE 1394 devices
};

const GUID kBuiltinClassGuids[kBuiltinClassGuidCount] = {
    {0x4D36E967, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}},  // disk drives
    {0x4D36E965, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}},  // CD-ROM drives
    {0x6D807884, 0x7D21, 0x11CF, {0x80, 0x1C, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}},  // tape drives
    {0x6BDD1FC6, 0x810F, 0x11D0, {0xBE, 0xC7, 0x08, 0x00, 0x2B, 0xE2, 0x09, 0x2F}},  // listed as IEEE 1394 host controllers (Windows names this GUID's class "Image")
    {0xCE5939AE, 0xEBDE, 0x11D0, {0xB1, 0x81, 0x00, 0x00, 0xF8, 0x75, 0x3E, 0xC4}},  // medium changers
};

const GUID kIdeControllerClassGuid = kBuiltinBusGuids[0];

int SameGuid(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0 ? 1 : 0; }

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

int ParseHexField(const char* text, uint32_t* value) {
  *value = 0;
  size_t end = std::strlen(text);
  while (end > 0 && (text[end - 1] == ' ' || text[end - 1] == 'h')) --end;
  size_t start = 0;
  while (start < end && text[start] == ' ') ++start;
  if (start == end) return 0;
  uint32_t result = 0;
  for (size_t i = start; i < end; ++i) {
    int digit = HexDigitValue(text[i]);
    if (digit < 0) return 0;
    result = result * 16 + static_cast<uint32_t>(digit);
  }
  *value = result;
  return 1;
}

namespace {

// The field of `length` characters at `pos` of a 38-character text.
int ParseField(const char* text, int pos, int length, uint32_t* value) {
  char field[9];
  std::memcpy(field, text + pos, static_cast<size_t>(length));
  field[length] = '\0';
  return ParseHexField(field, value);
}

}  // namespace

int ParseGuidString(const char* text, GUID* guid) {
  if (text == nullptr || std::strlen(text) != 38 || text[0] != '{' || text[37] != '}') return 0;
  uint32_t data1 = 0, data2 = 0, data3 = 0;
  if (!ParseField(text, 1, 8, &data1) || !ParseField(text, 10, 4, &data2) || !ParseField(text, 15, 4, &data3)) {
    return 0;
  }
  GUID parsed;
  parsed.Data1 = data1;
  parsed.Data2 = static_cast<uint16_t>(data2);
  parsed.Data3 = static_cast<uint16_t>(data3);
  for (int k = 0; k < 8; ++k) {
    uint32_t byte = 0;
    if (!ParseField(text, 20 + 2 * k + (k >= 2 ? 1 : 0), 2, &byte)) return 0;
    parsed.Data4[k] = static_cast<uint8_t>(byte);
  }
  *guid = parsed;
  return 1;
}

int OpenGuidKey(HKEY* key) {
  char path[MAX_PATH];
  wsprintfA(path, "Software\\Orlenta Software\\Korvelware\\%s", "GUIDs");
  return RegOpenKeyA(HKEY_LOCAL_MACHINE, path, key) == ERROR_SUCCESS ? 1 : 0;
}

GuidValue ReadConfiguredGuid(HKEY key, const char* stem, int index, GUID* guid) {
  char name[MAX_PATH];
  wsprintfA(name, "%s%d", stem, index);
  // One byte more than offered: a value that fills all 260 bytes still
  // ends in a NUL here, and its 260 characters are no GUID text.
  char text[MAX_PATH + 1];
  std::memset(text, 0, sizeof text);
  DWORD type = 0;
  DWORD size = MAX_PATH;
  if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(text), &size) != ERROR_SUCCESS) {
    return GuidValueEnd;
  }
  if (type != REG_SZ) return GuidValueEnd;
  return ParseGuidString(text, guid) ? GuidValueRead : GuidValueSkip;
}

}  // namespace korvset
