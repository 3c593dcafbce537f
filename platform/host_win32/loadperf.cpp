// loadperf of the simulation: lodctr and unlodctr over the machine's
// registry, as win32_perf.h describes them. Everything is read and checked
// before the first write, so a refused call changes nothing.
#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "host_common/faults.h"
#include "host_registry/registry.h"
#include "host_win32/win32_perf.h"

namespace {

using hostreg::RegKey;
using hostreg::Registry;

constexpr const char* kServicesPath = "System\\CurrentControlSet\\Services\\";

std::string Upper(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

std::string Trim(const std::string& text) {
  const auto first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) return std::string();
  return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

// What follows the command line's first word: "lodctr x.ini" gives "x.ini".
// Empty when there is no second part: loadperf refuses a bare file name.
std::string Argument(const char* command_line) {
  std::string line = command_line == nullptr ? std::string() : command_line;
  const auto space = line.find(' ');
  if (space == std::string::npos) return std::string();
  std::string rest = Trim(line.substr(space + 1));
  if (rest.size() >= 2 && rest.front() == '"' && rest.back() == '"') rest = rest.substr(1, rest.size() - 2);
  return rest;
}

// An .ini file: section -> key -> value, names in upper case.
using IniFile = std::map<std::string, std::map<std::string, std::string>>;

DWORD ReadIni(const std::string& path, IniFile* ini) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return ERROR_FILE_NOT_FOUND;
  std::string line;
  std::string section;
  while (std::getline(in, line)) {
    line = Trim(line);
    if (line.empty() || line[0] == ';') continue;
    if (line[0] == '[') {
      if (line.back() != ']') return ERROR_BAD_FORMAT;
      section = Upper(Trim(line.substr(1, line.size() - 2)));
      continue;
    }
    const auto equals = line.find('=');
    if (equals == std::string::npos || section.empty()) return ERROR_BAD_FORMAT;
    (*ini)[section][Upper(Trim(line.substr(0, equals)))] = Trim(line.substr(equals + 1));
  }
  return ERROR_SUCCESS;
}

// "#define NAME number" lines; other lines are no business of lodctr's.
DWORD ReadSymbols(const std::string& path, std::map<std::string, DWORD>* symbols) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return ERROR_FILE_NOT_FOUND;
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    std::string directive;
    std::string name;
    std::string value;
    if (!(words >> directive) || directive != "#define") continue;
    if (!(words >> name >> value)) return ERROR_BAD_FORMAT;
    char* end = nullptr;
    const unsigned long offset = std::strtoul(value.c_str(), &end, 0);
    if (*end != 0 || offset % 2 != 0) return ERROR_BAD_FORMAT;  // offsets are even
    (*symbols)[Upper(name)] = static_cast<DWORD>(offset);
  }
  return symbols->empty() ? ERROR_BAD_FORMAT : ERROR_SUCCESS;
}

bool ReadDword(const RegKey* key, const char* name, DWORD* value) {
  const hostreg::RegValue* stored = key == nullptr ? nullptr : key->Value(name);
  if (stored == nullptr || stored->type != REG_DWORD || stored->data.size() != 4) return false;
  *value = static_cast<DWORD>(stored->data[0] | stored->data[1] << 8 | stored->data[2] << 16 |
                              static_cast<DWORD>(stored->data[3]) << 24);
  return true;
}

// A Counter or Help value: index, text, index, text, ...
using TextList = std::vector<std::pair<DWORD, std::string>>;

TextList ReadList(const RegKey* language, const char* value_name) {
  TextList list;
  const hostreg::RegValue* value = language->Value(value_name);
  if (value == nullptr) return list;
  const std::vector<std::string> items = hostreg::DecodeMultiSz(value->data);
  for (std::size_t i = 0; i + 1 < items.size(); i += 2) {
    list.emplace_back(static_cast<DWORD>(std::strtoul(items[i].c_str(), nullptr, 10)), items[i + 1]);
  }
  return list;
}

void WriteList(RegKey* language, const char* value_name, const TextList& list) {
  std::vector<std::string> items;
  for (const auto& [index, text] : list) {
    items.push_back(std::to_string(index));
    items.push_back(text);
  }
  language->SetValue(value_name, REG_MULTI_SZ, hostreg::EncodeMultiSz(items));
}

// One [text] entry: SYMBOL_LANG_NAME or SYMBOL_LANG_HELP.
struct TextEntry {
  std::string symbol;
  std::string language;
  bool help = false;
};

bool SplitTextKey(const std::string& key, TextEntry* entry) {
  const auto kind = key.rfind('_');
  if (kind == std::string::npos || kind == 0) return false;
  const std::string suffix = key.substr(kind + 1);
  if (suffix != "NAME" && suffix != "HELP") return false;
  const auto lang = key.rfind('_', kind - 1);
  if (lang == std::string::npos || lang == 0) return false;
  entry->symbol = key.substr(0, lang);
  entry->language = key.substr(lang + 1, kind - lang - 1);
  entry->help = suffix == "HELP";
  return !entry->language.empty();
}

DWORD Load(const std::string& ini_path) {
  IniFile ini;
  if (DWORD error = ReadIni(ini_path, &ini); error != ERROR_SUCCESS) return error;
  const std::string driver = ini["INFO"]["DRIVERNAME"];
  const std::string symbol_file = ini["INFO"]["SYMBOLFILE"];
  if (driver.empty() || symbol_file.empty()) return ERROR_BAD_FORMAT;
  const auto slash = ini_path.rfind('/');
  const std::string folder = slash == std::string::npos ? std::string() : ini_path.substr(0, slash + 1);
  std::map<std::string, DWORD> symbols;
  if (DWORD error = ReadSymbols(folder + symbol_file, &symbols); error != ERROR_SUCCESS) return error;
  DWORD highest = 0;
  for (const auto& [name, offset] : symbols) highest = std::max(highest, offset);

  Registry& registry = Registry::Machine();
  std::lock_guard<std::recursive_mutex> hold(registry.Mutex());
  RegKey* service = registry.Open(kServicesPath + driver);
  if (service == nullptr) return ERROR_FILE_NOT_FOUND;
  RegKey* performance = service->Subkey("Performance");
  DWORD existing = 0;
  if (ReadDword(performance, "First Counter", &existing)) return ERROR_ALREADY_EXISTS;
  RegKey* perflib = registry.Open(hostwin32::kPerflibPath);
  DWORD last_counter = 0;
  DWORD last_help = 0;
  if (!ReadDword(perflib, "Last Counter", &last_counter) || !ReadDword(perflib, "Last Help", &last_help)) {
    return ERROR_FILE_NOT_FOUND;
  }
  const DWORD first_counter = last_counter + 2;
  const DWORD first_help = last_help + 2;

  // The new texts of each language that Perflib has a key for.
  std::map<std::string, std::pair<TextList, TextList>> added;
  for (const auto& [key, text] : ini["TEXT"]) {
    TextEntry entry;
    if (!SplitTextKey(key, &entry) || symbols.count(entry.symbol) == 0) return ERROR_BAD_FORMAT;
    if (perflib->Subkey(entry.language) == nullptr) continue;
    auto& lists = added[entry.language];
    const DWORD offset = symbols[entry.symbol];
    (entry.help ? lists.second : lists.first).emplace_back((entry.help ? first_help : first_counter) + offset, text);
  }
  std::string objects;
  for (const auto& [key, text] : ini["OBJECTS"]) {
    TextEntry entry;
    if (!SplitTextKey(key, &entry) || symbols.count(entry.symbol) == 0) return ERROR_BAD_FORMAT;
    if (!objects.empty()) objects += ' ';
    objects += std::to_string(first_counter + symbols[entry.symbol]);
  }

  for (auto& [language, lists] : added) {
    RegKey* key = perflib->Subkey(language);
    TextList counters = ReadList(key, "Counter");
    TextList helps = ReadList(key, "Help");
    std::sort(lists.first.begin(), lists.first.end());
    std::sort(lists.second.begin(), lists.second.end());
    counters.insert(counters.end(), lists.first.begin(), lists.first.end());
    helps.insert(helps.end(), lists.second.begin(), lists.second.end());
    WriteList(key, "Counter", counters);
    WriteList(key, "Help", helps);
  }
  performance = service->CreateSubkey("Performance");
  performance->SetValue("First Counter", REG_DWORD, hostreg::EncodeDword(first_counter));
  performance->SetValue("Last Counter", REG_DWORD, hostreg::EncodeDword(first_counter + highest));
  performance->SetValue("First Help", REG_DWORD, hostreg::EncodeDword(first_help));
  performance->SetValue("Last Help", REG_DWORD, hostreg::EncodeDword(first_help + highest));
  if (!objects.empty()) performance->SetValue("Object List", REG_SZ, hostreg::EncodeSz(objects));
  perflib->SetValue("Last Counter", REG_DWORD, hostreg::EncodeDword(first_counter + highest));
  perflib->SetValue("Last Help", REG_DWORD, hostreg::EncodeDword(first_help + highest));
  return ERROR_SUCCESS;
}

DWORD Unload(const std::string& driver) {
  Registry& registry = Registry::Machine();
  std::lock_guard<std::recursive_mutex> hold(registry.Mutex());
  RegKey* performance = registry.Open(kServicesPath + driver + "\\Performance");
  RegKey* perflib = registry.Open(hostwin32::kPerflibPath);
  DWORD first_counter = 0;
  DWORD last_counter = 0;
  DWORD first_help = 0;
  DWORD last_help = 0;
  if (!ReadDword(performance, "First Counter", &first_counter) ||
      !ReadDword(performance, "Last Counter", &last_counter) || !ReadDword(performance, "First Help", &first_help) ||
      !ReadDword(performance, "Last Help", &last_help) || perflib == nullptr) {
    return ERROR_FILE_NOT_FOUND;
  }
  auto within = [](DWORD first, DWORD last) {
    return [first, last](const std::pair<DWORD, std::string>& item) { return item.first >= first && item.first <= last; };
  };
  for (const auto& language : perflib->Subkeys()) {
    for (const char* value : {"Counter", "Help"}) {
      if (language->Value(value) == nullptr) continue;
      const bool help = value[0] == 'H';
      TextList list = ReadList(language.get(), value);
      list.erase(std::remove_if(list.begin(), list.end(),
                                help ? within(first_help, last_help) : within(first_counter, last_counter)),
                 list.end());
      WriteList(language.get(), value, list);
    }
  }
  // The driver's indexes were the last ones given out: the next driver gets
  // them again.
  DWORD perflib_counter = 0;
  DWORD perflib_help = 0;
  if (ReadDword(perflib, "Last Counter", &perflib_counter) && perflib_counter == last_counter) {
    perflib->SetValue("Last Counter", REG_DWORD, hostreg::EncodeDword(first_counter - 2));
  }
  if (ReadDword(perflib, "Last Help", &perflib_help) && perflib_help == last_help) {
    perflib->SetValue("Last Help", REG_DWORD, hostreg::EncodeDword(first_help - 2));
  }
  for (const char* name : {"First Counter", "Last Counter", "First Help", "Last Help", "Object List"}) {
    performance->DeleteValue(name);
  }
  return ERROR_SUCCESS;
}

}  // namespace

extern "C" {

DWORD WINAPI LoadPerfCounterTextStringsA(LPSTR lpCommandLine, BOOL bQuietModeArg) {
  if (hostfault::ShouldFail("LoadPerfCounterTextStringsA")) return ERROR_ACCESS_DENIED;
  const std::string ini = Argument(lpCommandLine);
  return ini.empty() ? static_cast<DWORD>(ERROR_INVALID_PARAMETER) : Load(ini);
}

DWORD WINAPI UnloadPerfCounterTextStringsA(LPSTR lpCommandLine, BOOL bQuietModeArg) {
  if (hostfault::ShouldFail("UnloadPerfCounterTextStringsA")) return ERROR_ACCESS_DENIED;
  const std::string driver = Argument(lpCommandLine);
  return driver.empty() ? static_cast<DWORD>(ERROR_INVALID_PARAMETER) : Unload(driver);
}

}  // extern "C"
