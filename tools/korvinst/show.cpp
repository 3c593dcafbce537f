#include "tools/korvinst/show.h"

#include <cstring>
#include <vector>

#include "setup/guid_config.h"

namespace korvinst {
namespace {

using korvset::SameGuid;

std::string GuidText(const GUID& guid) {
  char text[40];
  wsprintfA(text, "{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", static_cast<unsigned long>(guid.Data1),
            guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4],
            guid.Data4[5], guid.Data4[6], guid.Data4[7]);
  return text;
}

// A multi-string (or any string) as "a, b"; the data ends at its first
// empty name or at its end.
std::string JoinNames(const std::vector<char>& data) {
  std::string out;
  size_t pos = 0;
  while (pos < data.size() && data[pos] != '\0') {
    size_t end = pos;
    while (end < data.size() && data[end] != '\0') ++end;
    if (!out.empty()) out += ", ";
    out.append(&data[pos], end - pos);
    pos = end + 1;
  }
  return out.empty() ? "(empty)" : out;
}

std::string ClassValue(HKEY key, const char* name) {
  DWORD type = 0;
  DWORD size = 0;
  LONG status = RegQueryValueExA(key, name, nullptr, &type, nullptr, &size);
  if (status == ERROR_FILE_NOT_FOUND) return "(none)";
  std::vector<char> data(size);
  if (status == ERROR_SUCCESS && size != 0) {
    status = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size);
  }
  if (status != ERROR_SUCCESS) return "(unreadable, error " + std::to_string(status) + ")";
  return JoinNames(data);
}

bool DeviceText(HDEVINFO set, SP_DEVINFO_DATA* device, DWORD property, std::string* text) {
  DWORD size = 0;
  if (SetupDiGetDeviceRegistryPropertyA(set, device, property, nullptr, nullptr, 0, &size)) {
    text->clear();
    return true;
  }
  DWORD error = GetLastError();
  if (error == ERROR_INVALID_DATA) return false;
  if (error != ERROR_INSUFFICIENT_BUFFER) {
    *text = "(unreadable, error " + std::to_string(error) + ")";
    return true;
  }
  std::vector<char> data(size + 2, '\0');
  if (!SetupDiGetDeviceRegistryPropertyA(set, device, property, nullptr, reinterpret_cast<BYTE*>(data.data()), size,
                                         nullptr)) {
    *text = "(unreadable, error " + std::to_string(GetLastError()) + ")";
    return true;
  }
  *text = property == SPDRP_UPPERFILTERS || property == SPDRP_LOWERFILTERS ? JoinNames(data)
                                                                            : std::string(data.data());
  return true;
}

void ShowDevices(const GUID& guid, std::string& out) {
  HDEVINFO set = SetupDiGetClassDevsA(&guid, nullptr, nullptr, DIGCF_PRESENT);
  if (set == INVALID_HANDLE_VALUE) {
    out += "    devices: (cannot list, error " + std::to_string(GetLastError()) + ")\n";
    return;
  }
  for (DWORD member = 0;; ++member) {
    SP_DEVINFO_DATA device;
    std::memset(&device, 0, sizeof device);
    device.cbSize = sizeof device;
    if (!SetupDiEnumDeviceInfo(set, member, &device)) break;
    std::string name;
    std::string location;
    if (!DeviceText(set, &device, SPDRP_FRIENDLYNAME, &name) && !DeviceText(set, &device, SPDRP_DEVICEDESC, &name)) {
      name = "(no name)";
    }
    out += "    device \"" + name + "\"";
    if (DeviceText(set, &device, SPDRP_LOCATION_INFORMATION, &location) && !location.empty()) {
      out += " at \"" + location + "\"";
    }
    out += "\n";
    std::string upper;
    std::string lower;
    out += "      UpperFilters: " + (DeviceText(set, &device, SPDRP_UPPERFILTERS, &upper) ? upper : "(none)") + "\n";
    out += "      LowerFilters: " + (DeviceText(set, &device, SPDRP_LOWERFILTERS, &lower) ? lower : "(none)") + "\n";
  }
  SetupDiDestroyDeviceInfoList(set);
}

void ShowClass(const char* kind, const GUID& guid, std::string& out) {
  char description[MAX_PATH + 1];
  std::memset(description, 0, sizeof description);
  out += std::string(kind) + " " + GuidText(guid);
  if (!SetupDiGetClassDescriptionA(&guid, description, MAX_PATH, nullptr)) {
    out += " (not on this machine)\n";
    return;
  }
  out += " \"" + std::string(description) + "\"\n";
  HKEY key = static_cast<HKEY>(SetupDiOpenClassRegKey(&guid, KEY_READ));
  if (key == static_cast<HKEY>(INVALID_HANDLE_VALUE)) {
    out += "    class key: (cannot open, error " + std::to_string(GetLastError()) + ")\n";
  } else {
    out += "    UpperFilters: " + ClassValue(key, "UpperFilters") + "\n";
    out += "    LowerFilters: " + ClassValue(key, "LowerFilters") + "\n";
    RegCloseKey(key);
  }
  ShowDevices(guid, out);
}

// The built-ins followed by the configured GUIDs, as the library reads them.
std::vector<GUID> ManagedGuids(const GUID* builtins, int count, const char* stem) {
  std::vector<GUID> guids(builtins, builtins + count);
  HKEY key = nullptr;
  if (!korvset::OpenGuidKey(&key)) return guids;
  for (int n = 0;; ++n) {
    GUID guid;
    korvset::GuidValue got = korvset::ReadConfiguredGuid(key, stem, n, &guid);
    if (got == korvset::GuidValueEnd) break;
    if (got != korvset::GuidValueRead) continue;
    bool known = false;
    for (const GUID& have : guids) known = known || SameGuid(have, guid);
    if (!known) guids.push_back(guid);
  }
  RegCloseKey(key);
  return guids;
}

}  // namespace

std::string ShowFilters() {
  std::string out;
  for (const GUID& guid : ManagedGuids(korvset::kBuiltinBusGuids, korvset::kBuiltinBusGuidCount, "BusGuid")) {
    ShowClass("bus class", guid, out);
  }
  for (const GUID& guid : ManagedGuids(korvset::kBuiltinClassGuids, korvset::kBuiltinClassGuidCount, "ClassGuid")) {
    ShowClass("storage class", guid, out);
  }
  return out;
}

}  // namespace korvinst
