#include "tools/korvinst/perf_install.h"

#include <string>
#include <vector>

#include "platform/perf_services.h"
#include "tools/qelvperf/qelvperf.h"

namespace korvinst {
namespace {

constexpr const char kService[] = "SYSTEM\\CurrentControlSet\\Services\\qelvard1";

class Key {
 public:
  Key() = default;
  ~Key() {
    if (key_ != nullptr) RegCloseKey(key_);
  }
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  HKEY* Out() { return &key_; }
  HKEY Get() const { return key_; }

 private:
  HKEY key_ = nullptr;
};

std::string Error(DWORD error) { return "error " + std::to_string(error); }

bool FirstCounter(HKEY performance, DWORD* index) {
  DWORD type = 0;
  DWORD size = sizeof *index;
  return RegQueryValueExA(performance, "First Counter", nullptr, &type, reinterpret_cast<BYTE*>(index), &size) ==
             ERROR_SUCCESS &&
         type == REG_DWORD && size == sizeof *index;
}

LONG SetText(HKEY key, const char* name, const char* text) {
  return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                        static_cast<DWORD>(std::char_traits<char>::length(text) + 1));
}

// Calls lodctr's or unlodctr's function of loadperf with a command line of
// a word, a space and `argument`. On Windows loadperf.dll is loaded when a
// counters command runs, not imported: every other command of korvinst
// then works on a system without it (the ReactOS image of `make nt` has
// none).
DWORD CallLoadperf(bool load, const std::string& argument, std::string* why) {
  std::string line = "korvinst ";
  line += argument.find(' ') == std::string::npos ? argument : "\"" + argument + "\"";
  std::vector<char> command(line.c_str(), line.c_str() + line.size() + 1);
#if defined(_WIN32)
  using Proc = DWORD(WINAPI*)(LPSTR, BOOL);
  const char* name = load ? "LoadPerfCounterTextStringsA" : "UnloadPerfCounterTextStringsA";
  HMODULE loadperf = LoadLibraryA("loadperf.dll");
  FARPROC address = loadperf != nullptr ? GetProcAddress(loadperf, name) : nullptr;
  if (address == nullptr) {
    *why = "loadperf.dll or its " + std::string(name) + " is missing";
    if (loadperf != nullptr) FreeLibrary(loadperf);
    return ERROR_PROC_NOT_FOUND;
  }
  const DWORD result = reinterpret_cast<Proc>(reinterpret_cast<void*>(address))(command.data(), TRUE);
  FreeLibrary(loadperf);
#else
  const DWORD result = load ? LoadPerfCounterTextStringsA(command.data(), TRUE)
                            : UnloadPerfCounterTextStringsA(command.data(), TRUE);
#endif
  *why = Error(result);
  return result;
}

}  // namespace

bool PerfInstall(const std::string& ini, std::string* report) {
  Key service;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kService, 0, KEY_CREATE_SUB_KEY, service.Out()) != ERROR_SUCCESS) {
    *report = "the qelvard1 service is not installed (qelvard1.inf installs it)";
    return false;
  }
  Key performance;
  LONG status = RegCreateKeyExA(service.Get(), "Performance", 0, nullptr, REG_OPTION_NON_VOLATILE,
                                KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, performance.Out(), nullptr);
  const std::pair<const char*, const char*> values[] = {
      {"Library", kQelvperfLibrary}, {"Open", kQelvperfOpen}, {"Collect", kQelvperfCollect}, {"Close", kQelvperfClose}};
  for (const auto& [name, text] : values) {
    if (status == ERROR_SUCCESS) status = SetText(performance.Get(), name, text);
  }
  if (status != ERROR_SUCCESS) {
    *report = "cannot write the Performance key of qelvard1 (" + Error(static_cast<DWORD>(status)) + ")";
    return false;
  }
  DWORD index = 0;
  if (FirstCounter(performance.Get(), &index)) {
    *report = "the counter names are loaded already, from index " + std::to_string(index) +
              " (perf-uninstall takes them out)";
    return true;
  }
  std::string why;
  if (CallLoadperf(true, ini, &why) != ERROR_SUCCESS) {
    *report = "lodctr refused " + ini + " (" + why + ")";
    return false;
  }
  *report = FirstCounter(performance.Get(), &index)
                ? "Storage Bus counters registered, names from index " + std::to_string(index)
                : "Storage Bus counters registered, but lodctr gave them no index";
  return true;
}

bool PerfUninstall(std::string* report) {
  Key service;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kService, 0, KEY_ALL_ACCESS, service.Out()) != ERROR_SUCCESS) {
    *report = "the qelvard1 service is not installed: nothing to take out";
    return true;
  }
  {
    Key performance;
    DWORD index = 0;
    if (RegOpenKeyExA(service.Get(), "Performance", 0, KEY_QUERY_VALUE, performance.Out()) != ERROR_SUCCESS) {
      *report = "no Storage Bus counters are registered";
      return true;
    }
    if (FirstCounter(performance.Get(), &index)) {
      std::string why;
      if (CallLoadperf(false, "qelvard1", &why) != ERROR_SUCCESS) {
        *report = "unlodctr refused qelvard1 (" + why + ")";
        return false;
      }
    }
  }
  const LONG deleted = RegDeleteKeyA(service.Get(), "Performance");
  if (deleted != ERROR_SUCCESS) {
    *report = "cannot delete the Performance key of qelvard1 (" + Error(static_cast<DWORD>(deleted)) + ")";
    return false;
  }
  *report = "Storage Bus counters removed";
  return true;
}

}  // namespace korvinst
