#include "guest_programs.h"

#include <windows.h>
#include <setupapi.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "guest_report.h"

namespace qelvnt {
namespace {

constexpr int kMonitorReports = 4;

std::string OutputPath(const Devices& devices, const char* name) { return devices.work_folder + name; }

bool Contains(const std::vector<std::string>& lines, const std::string& text) {
  for (const std::string& line : lines) {
    if (line.find(text) != std::string::npos) return true;
  }
  return false;
}

std::string ExitText(const ChildRun& run) {
  if (!run.started) return run.why;
  if (run.timed_out) return "timed out";
  return "exit " + std::to_string(run.exit_code);
}

// Reads its targets in turn, with a pause after each, until told to stop:
// something for the monitor to show.
struct LoadThread {
  std::vector<const Target*> targets;
  DWORD pause_ms = 0;
  volatile LONG stop = 0;
  HANDLE thread = nullptr;

  static DWORD WINAPI Run(LPVOID self) {
    auto* load = static_cast<LoadThread*>(self);
    std::string why;
    while (load->stop == 0) {
      for (const Target* target : load->targets) {
        ReadTarget(*target, why);
        Sleep(load->pause_ms);
      }
    }
    return 0;
  }
  void Start(std::vector<const Target*> what, DWORD pause) {
    targets = std::move(what);
    pause_ms = pause;
    thread = CreateThread(nullptr, 0, Run, this, 0, nullptr);
  }
  void Finish() {
    InterlockedExchange(&stop, 1);
    if (thread != nullptr) {
      WaitForSingleObject(thread, 30000);
      CloseHandle(thread);
    }
  }
};

// --- the live registry, as far as the setup library touches it ---------

using FilterDump = std::map<std::string, std::string>;  // "key\value" -> "a,b,"

std::string ReadMultiSz(HKEY key, const char* value, bool* present) {
  char data[2048] = {};
  DWORD size = sizeof(data) - 2;
  DWORD type = 0;
  *present = RegQueryValueExA(key, value, nullptr, &type, reinterpret_cast<BYTE*>(data), &size) == ERROR_SUCCESS;
  std::string list;
  for (const char* entry = data; *present && *entry != '\0'; entry += std::strlen(entry) + 1) {
    list += std::string(entry) + ",";
  }
  return list;
}

// An absent list and an empty one mean the same to the Plug and Play
// manager; the dump keeps only lists with entries.
void DumpFilters(HKEY key, const std::string& path, FilterDump& dump) {
  for (const char* value : {"UpperFilters", "LowerFilters"}) {
    bool present = false;
    const std::string list = ReadMultiSz(key, value, &present);
    if (!list.empty()) dump[path + "\\" + value] = list;
  }
}

void DumpTree(HKEY parent, const std::string& path, int depth, FilterDump& dump) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(parent, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return;
  DumpFilters(key, path, dump);
  if (depth > 0) {
    char name[256];
    for (DWORD i = 0;; ++i) {
      DWORD length = sizeof(name);
      if (RegEnumKeyExA(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
      DumpTree(HKEY_LOCAL_MACHINE, path + "\\" + name, depth - 1, dump);
    }
  }
  RegCloseKey(key);
}

const char kClassRoot[] = "SYSTEM\\CurrentControlSet\\Control\\Class";
const char kEnumRoot[] = "SYSTEM\\CurrentControlSet\\Enum";
const char kHdcClass[] = "{4D36E96A-E325-11CE-BFC1-08002BE10318}";

FilterDump DumpAll() {
  FilterDump dump;
  DumpTree(HKEY_LOCAL_MACHINE, kClassRoot, 1, dump);
  DumpTree(HKEY_LOCAL_MACHINE, kEnumRoot, 3, dump);
  return dump;
}

std::string Differences(const FilterDump& before, const FilterDump& after) {
  std::string text;
  for (const auto& [key, list] : after) {
    auto old = before.find(key);
    if (old == before.end() || old->second != list) {
      text += " " + key + "=" + list + (old == before.end() ? " (new)" : " (was " + old->second + ")");
    }
  }
  for (const auto& [key, list] : before) {
    if (after.find(key) == after.end()) text += " " + key + " emptied (was " + list + ")";
  }
  return text;
}

// Keys whose list names `service` (in any letter case), with its count.
std::map<std::string, int> Naming(const FilterDump& dump, const std::string& service) {
  std::map<std::string, int> found;
  for (const auto& [key, list] : dump) {
    std::size_t from = 0;
    for (std::size_t comma; (comma = list.find(',', from)) != std::string::npos; from = comma + 1) {
      if (lstrcmpiA(list.substr(from, comma - from).c_str(), service.c_str()) == 0) ++found[key];
    }
  }
  return found;
}

std::string ClassKey(const char* guid, const char* value) {
  return std::string(kClassRoot) + "\\" + guid + "\\" + value;
}

ChildRun Korvinst(const Devices& devices, const std::string& arguments, int step) {
  const std::string output = OutputPath(devices, ("korvinst-" + std::to_string(step) + ".txt").c_str());
  ChildRun run = RunChild("korvinst.exe " + arguments, output, 60000);
  FileLines("korvinst-" + std::to_string(step) + ".txt", run.lines);
  return run;
}

std::string ExpectExit(const ChildRun& run, DWORD status) {
  return run.started && !run.timed_out && run.exit_code == status ? "" : ExitText(run);
}
std::string ExpectExit0(const ChildRun& run) { return ExpectExit(run, 0); }

// Whether SetupAPI lists the present devices of the disk and CD-ROM
// classes, as Windows 2000 does. ReactOS's SetupDiGetClassDevs fails for
// a class that has devices (ERROR_GEN_FAILURE here): its CreateDeviceInfo
// looks each device up again (CM_Locate_DevNode_Ex with
// CM_LOCATE_DEVNODE_PHANTOM) and that failure fails the whole call. korvset
// cannot then examine those devices, so the bus-filter calls rightly
// report failure (exit status 1), while every list they can reach still
// ends as on Windows.
std::string StorageDevicesUnlisted() {
  const GUID classes[] = {{0x4D36E967, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}},
                          {0x4D36E965, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}}};
  std::string why;
  for (const GUID& guid : classes) {
    const HDEVINFO set = SetupDiGetClassDevsA(&guid, nullptr, nullptr, DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE) {
      char text[64];
      std::snprintf(text, sizeof text, " class %08lX: error %lu", static_cast<unsigned long>(guid.Data1),
                    static_cast<unsigned long>(GetLastError()));
      why += text;
    } else {
      SetupDiDestroyDeviceInfoList(set);
    }
  }
  return why;
}

void CheckStartupValues(const Devices& devices) {
  const char key_path[] = "SOFTWARE\\Orlenta Software\\Korvelware\\Startup";
  const ChildRun run = Korvinst(devices, std::string("init-startup \"") + key_path + "\"", 7);
  std::string why = ExpectExit0(run);
  const long booted = static_cast<long>(std::time(nullptr)) - static_cast<long>(GetTickCount() / 1000);
  HKEY key = nullptr;
  if (why.empty() && RegOpenKeyExA(HKEY_LOCAL_MACHINE, key_path, 0, KEY_READ, &key) != ERROR_SUCCESS) {
    why = "no key HKLM\\" + std::string(key_path);
  }
  DWORD values[3] = {0, 0, 0};
  const char* names[3] = {"OSStartTime", "RebootNeeded", "UpdateNotify"};
  for (int i = 0; key != nullptr && i < 3; ++i) {
    DWORD type = 0;
    DWORD size = sizeof(DWORD);
    if (RegQueryValueExA(key, names[i], nullptr, &type, reinterpret_cast<BYTE*>(&values[i]), &size) != ERROR_SUCCESS ||
        type != REG_DWORD) {
      why += std::string(" no REG_DWORD ") + names[i];
    }
  }
  if (key != nullptr) RegCloseKey(key);
  if (why.empty()) {
    const long off = static_cast<long>(values[0]) - booted;
    if (off > 5 || off < -5) why = "OSStartTime " + std::to_string(values[0]) + ", booted " + std::to_string(booted);
    if (values[1] != 1) why += " RebootNeeded " + std::to_string(values[1]);
    if (values[2] != 0) why += " UpdateNotify " + std::to_string(values[2]);
  }
  Check("korvinst init-startup: OSStartTime is the boot time, RebootNeeded 1, UpdateNotify 0", why);
}

}  // namespace

void RunProtocolSuite(const Devices& devices) {
  const ChildRun run = RunChild("qelvproto.exe --with-filters", OutputPath(devices, "protocol.txt"), 120000);
  FileLines("protocol.txt", run.lines);
  std::string why;
  if (!run.started || run.timed_out) {
    why = ExitText(run);
  } else if (!Contains(run.lines, "qelvproto: end of suite,") || !Contains(run.lines, " 0 failed,")) {
    why = ExitText(run) + ", the suite did not end with 0 failed";
  }
  for (const std::string& line : run.lines) {
    if (line.rfind("FAIL ", 0) == 0) why += "; " + line;
  }
  Check("protocol suite against the real driver, single-open cases included", why);
}

void RunMonitor(const Devices& devices) {
  for (const char* format : {"csv", "json"}) {
    LoadThread load;
    load.Start({&devices.disk_raw, &devices.cd_raw}, 200);
    const std::string name = std::string("qelvmon.") + format;
    const ChildRun run = RunChild("qelvmon.exe --count " + std::to_string(kMonitorReports) +
                                      " --interval 1 --format " + format,
                                  OutputPath(devices, name.c_str()), 60000);
    load.Finish();
    FileLines(name, run.lines);
    Check("qelvmon.exe --count " + std::to_string(kMonitorReports) + " --format " + format + " runs",
          ExpectExit0(run));
  }
}

void RunHotPlug(const Devices& devices) {
  const std::string name = "hot plug: a USB stick added and removed during a capture";
  Monitor monitor;
  std::string why;
  Statistics stats;
  if (!monitor.Open(why) || !monitor.Start(why) || !monitor.Read(stats, why)) return Fail(name, why);
  Request("hotplug-add");
  Target hot{"hot-plugged stick raw", "", 0, -1};
  for (int wait = 0; wait < 60 && hot.path.empty(); ++wait) {
    Sleep(500);
    const Devices now = FindDevices();
    for (const Target& stick : now.sticks) {
      if (stick.path != devices.stick_raw.path) hot = stick;
    }
  }
  if (hot.path.empty()) {
    Request("hotplug-remove");
    return Fail(name, "no new USB disk within 30 s");
  }
  Info("hot plug", "arrived as " + hot.path);
  // Counted on the bus its identification gave it, as the boot stick.
  const int expected = hot.bus >= 0 ? hot.bus : 30;
  int bus = -1;
  for (int attempt = 0; attempt < 4 && bus != expected; ++attempt) {
    if (!monitor.Read(stats, why) || !ReadTarget(hot, why) || !monitor.Read(stats, why)) return Fail(name, why);
    bus = stats.busy[expected] > 0 ? expected : -1;
  }
  std::string controller;
  const bool named = monitor.Name(static_cast<unsigned char>(expected), controller, why);
  Info("hot plug", "expected on bus " + std::to_string(expected) + ", name \"" + controller + "\"");
  // Removed with no handle of ours open: with reads in flight at the
  // removal, ReactOS's Plug and Play manager once stopped in its debugger
  // ("Leaking device USBSTOR\Disk..., refCount = 2", then "Assertion
  // failed: DeviceNode->Child == NULL", devnode.c line 335).
  Request("hotplug-remove");
  bool gone = false;
  for (int wait = 0; wait < 60 && !gone; ++wait) {
    Sleep(500);
    const HANDLE probe = CreateFileA(hot.path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                     0, nullptr);
    gone = probe == INVALID_HANDLE_VALUE;
    if (!gone) CloseHandle(probe);
  }
  // The stick shares its bus with the IDE disk here: a request of the
  // stick left counted would keep that bus at zero.
  std::string after;
  const bool goes_on = monitor.Read(stats, after) && ReadTarget(devices.disk_raw, after) &&
                       monitor.Read(stats, after) && stats.busy[devices.disk_bus] > 0 && monitor.Stop(after);
  if (bus < 0) why = "the read of the new stick was not counted on bus " + std::to_string(expected);
  if (!named) why += " its bus has no device record";
  if (!gone) why += " the stick did not go away within 30 s";
  if (!goes_on) why += " the capture did not go on: " + after;
  Check(name, why);
}

void RunSetupSteps(const Devices& devices) {
  const FilterDump original = DumpAll();
  Info("filter lists before korvinst", std::to_string(original.size()) + " lists:" + Differences({}, original));

  const std::string unlisted = StorageDevicesUnlisted();
  const DWORD bus_status = unlisted.empty() ? 0 : 1;
  if (!unlisted.empty()) Info("storage devices SetupAPI cannot list", unlisted + "; bus-filter calls must exit 1");

  ChildRun run = Korvinst(devices, "install-bus-filters", 1);
  const FilterDump installed = DumpAll();
  std::string why = ExpectExit(run, bus_status);
  const auto bus_named = Naming(installed, "korvflt1");
  for (const char* guid : {kHdcClass, "{4D36E97B-E325-11CE-BFC1-08002BE10318}", "{36FC9E60-C465-11CF-8056-444553540000}",
                           "{D48179BE-EC20-11D1-B6B8-00C04FA372A7}"}) {
    if (bus_named.count(ClassKey(guid, "UpperFilters")) == 0) why += std::string(" no korvflt1 in ") + guid;
  }
  for (const auto& [key, count] : bus_named) {
    if (count != 1) why += " " + key + " names korvflt1 " + std::to_string(count) + " times";
    if (key.find("UpperFilters") == std::string::npos || key.rfind(kClassRoot, 0) != 0) {
      why += " korvflt1 in " + key;
    }
  }
  Check("korvinst install-bus-filters: korvflt1 in UpperFilters of the four bus classes only", why);
  Info("install-bus-filters changed", Differences(original, installed));

  run = Korvinst(devices, "install-bus-filters", 2);
  Check("korvinst install-bus-filters again writes nothing",
        ExpectExit(run, bus_status) + Differences(installed, DumpAll()));

  run = Korvinst(devices, "ide-install qelvard1", 3);
  const FilterDump ide = DumpAll();
  why = ExpectExit0(run);
  const std::string hdc_upper = ClassKey(kHdcClass, "UpperFilters");
  const auto ide_named = Naming(ide, "qelvard1");
  FilterDump others = ide;
  others.erase(hdc_upper);
  FilterDump others_before = installed;
  others_before.erase(hdc_upper);
  if (ide_named.count(hdc_upper) == 0 || ide_named.at(hdc_upper) != 1) {
    why += " qelvard1 not once in the hdc class UpperFilters:" + Differences(installed, ide);
  }
  why += Differences(others_before, others);
  Check("korvinst ide-install qelvard1: once in the IDE controller class UpperFilters, nothing else changed", why);

  run = Korvinst(devices, "ide-install QELVARD1", 4);
  Check("korvinst ide-install QELVARD1 (already there) writes nothing", ExpectExit0(run) + Differences(ide, DumpAll()));

  run = Korvinst(devices, "ide-uninstall QelvArd1", 5);
  Check("korvinst ide-uninstall QelvArd1: the list is as before the install",
        ExpectExit0(run) + Differences(installed, DumpAll()));

  run = Korvinst(devices, "uninstall-bus-filters", 6);
  Check("korvinst uninstall-bus-filters: every list is as before",
        ExpectExit(run, bus_status) + Differences(original, DumpAll()));

  CheckStartupValues(devices);
}

}  // namespace qelvnt
