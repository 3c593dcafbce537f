// qelvnt: the checks that run inside the NT guest, against the real
// qelvard1.sys in the real storage stacks. Started by winlogon as the
// setup command line, as LocalSystem and without a console, it reports
// through OutputDebugStringA, which reaches the kernel's serial log. The
// host (tools/nt/ntcheck.py) picks its lines out from among the kernel's:
//
//   QNT ok NAME|DETAIL        a check that passed
//   QNT fail NAME|WHY         a check that failed
//   QNT skip NAME|WHY         a check that could not run here
//   QNT info KEY|TEXT         a fact the host reports or checks itself
//   QNT file NAME|LINE        one line of an output file (qelvmon's CSV...)
//   QNT request WHAT          asks the host for something (a USB hot plug)
//   QNT end PLAN              the last line
//
// Usage: qelvnt PLAN [--power-off], where PLAN names the boot: mode0 (the
// whole run), mode1 or mode2 (the attachment decisions of that "KVFlags"
// mode); --power-off shuts the machine down after the end line.
#include <windows.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "guest_devices.h"
#include "guest_programs.h"
#include "guest_report.h"

namespace qelvnt {
namespace {

constexpr int kTries = 4;  // background requests of the system can spoil one interval

std::string BusyList(const Statistics& stats) {
  std::string text;
  for (int bus = 0; bus < 256; ++bus) {
    if (stats.busy[bus] != 0) text += " bus " + std::to_string(bus) + "=" + std::to_string(stats.busy[bus]);
  }
  return text.empty() ? " none busy" : text;
}

// What one read showed: the buses that were busy during it.
struct ReadResult {
  bool read_ok = false;
  std::string why;
  Statistics stats;
};

ReadResult MeasureRead(Monitor& monitor, const Target& target) {
  ReadResult result;
  Statistics before;
  if (!monitor.Read(before, result.why)) return result;
  result.read_ok = ReadTarget(target, result.why);
  if (result.read_ok && !monitor.Read(result.stats, result.why)) result.read_ok = false;
  return result;
}

// A read counted on `own` and on none of `others`; a busy other bus is
// put down to the system's own requests and the read is tried again.
void CheckCountedOn(Monitor& monitor, const Target& target, int own, const std::vector<int>& others) {
  const std::string name = "counting: " + target.label + " busy on bus " + std::to_string(own) + " only";
  std::string last;
  for (int attempt = 1; attempt <= kTries; ++attempt) {
    const ReadResult result = MeasureRead(monitor, target);
    if (!result.read_ok) return Fail(name, result.why);
    last = BusyList(result.stats);
    if (result.stats.busy[own] <= 0) return Fail(name, "own bus idle:" + last);
    bool quiet = true;
    for (int other : others) quiet = quiet && result.stats.busy[other] == 0;
    if (quiet) return Pass(name, "attempt " + std::to_string(attempt) + ":" + last);
  }
  Fail(name, "another bus busy in " + std::to_string(kTries) + " attempts, last:" + last);
}

// A read that no filter of this driver counts.
void CheckNotCounted(Monitor& monitor, const Target& target, const std::string& why_none) {
  const std::string name = "counting: " + target.label + " counted nowhere (" + why_none + ")";
  std::string last;
  for (int attempt = 1; attempt <= kTries; ++attempt) {
    const ReadResult result = MeasureRead(monitor, target);
    if (!result.read_ok) return Fail(name, result.why);
    last = BusyList(result.stats);
    if (result.stats.BusyBuses() == 0) return Pass(name, "attempt " + std::to_string(attempt));
  }
  Fail(name, "busy in " + std::to_string(kTries) + " attempts, last:" + last);
}

// Every read of a capture: busy times within their interval, and each
// interval starting where the one before ended.
void CheckIntervals(const Monitor& monitor) {
  const std::vector<Statistics>& replies = monitor.Replies();
  std::string why;
  for (std::size_t i = 0; i < replies.size() && why.empty(); ++i) {
    const Statistics& reply = replies[i];
    const std::int64_t length = reply.end - reply.start;
    if (length < 0) why = "reply " + std::to_string(i) + " ends before it starts";
    for (int bus = 0; bus < 256 && why.empty(); ++bus) {
      if (reply.busy[bus] < 0 || reply.busy[bus] > length) {
        why = "reply " + std::to_string(i) + " bus " + std::to_string(bus) + " busy " +
              std::to_string(reply.busy[bus]) + " of " + std::to_string(length);
      }
    }
    if (why.empty() && i > 0 && reply.start != replies[i - 1].end) {
      why = "reply " + std::to_string(i) + " starts at " + std::to_string(reply.start) + ", the one before ended at " +
            std::to_string(replies[i - 1].end);
    }
  }
  if (replies.size() < 2) why = "only " + std::to_string(replies.size()) + " replies";
  Check("counting: every busy time within its interval, replies tile time (" + std::to_string(replies.size()) +
            " replies)",
        why);
}

// After a stop, a new capture on the idle machine reads zero on every
// bus but the CD-ROM's, where the class driver polls for a media change
// about once a second (as Windows 2000's does): a small share. Then each
// device's read is counted again: a request left counted as outstanding
// would keep its bus at zero for good.
void CheckIdleAfterStop(const Devices& devices) {
  const std::string name = "counting: idle capture after a stop: zero on every bus, CD-ROM polling aside";
  std::string last;
  Monitor monitor;
  std::string why;
  Statistics stats;
  for (int attempt = 1; attempt <= kTries; ++attempt) {
    if (!monitor.Open(why) || !monitor.Start(why) || !monitor.Read(stats, why)) return Fail(name, why);
    Sleep(1500);
    if (!monitor.Read(stats, why)) return Fail(name, why);
    last = BusyList(stats);
    const std::int64_t polling = devices.cd_bus >= 0 ? stats.busy[devices.cd_bus] : 0;
    const bool idle = stats.BusyBuses() == (polling != 0 ? 1 : 0) && polling * 100 < stats.end - stats.start;
    if (idle) {
      Pass(name, "attempt " + std::to_string(attempt) + ", 1.5 s:" + last);
      break;
    }
    if (attempt == kTries) return Fail(name, "busy in " + std::to_string(kTries) + " attempts, last:" + last);
    if (!monitor.Stop(why)) return Fail(name, why);
  }
  for (const Target* target : {&devices.disk_raw, &devices.cd_raw, &devices.stick_raw}) {
    const std::string check = "counting: after the stop, " + target->label + " is counted again";
    if (target->path.empty()) continue;
    const ReadResult result = MeasureRead(monitor, *target);
    Check(check, !result.read_ok ? result.why : result.stats.BusyBuses() == 0 ? "no bus busy" : "");
  }
  if (!monitor.Stop(why)) Fail(name, why);
}

// The bus a read was counted on, when exactly one was busy.
int BusOfRead(Monitor& monitor, const Target& target, std::string& busy) {
  for (int attempt = 1; attempt <= kTries; ++attempt) {
    const ReadResult result = MeasureRead(monitor, target);
    if (!result.read_ok) {
      busy = result.why;
      return -1;
    }
    busy = BusyList(result.stats);
    if (result.stats.BusyBuses() == 1) {
      for (int bus = 0; bus < 256; ++bus) {
        if (result.stats.busy[bus] != 0) return bus;
      }
    }
  }
  return -1;
}

void ReportBusNames(Monitor& monitor) {
  for (int bus = 0; bus < 256; ++bus) {
    std::string name;
    std::string why;
    if (monitor.Name(static_cast<unsigned char>(bus), name, why)) Info("bus " + std::to_string(bus), "\"" + name + "\"");
  }
}

// The USB stick's stack: in the boots with the USB class placement
// (modes 0 and 1) a bus filter above usbstor on the mass-storage device
// with a child filter on its disk PDO attached through the bus
// relations; in the boots with the disk class placement (modes 0 and 2)
// the disk class's filter, which finds that PDO filtered already (mode 0)
// or is the only one there (mode 2). The stick is counted on the bus its identification
// gave it: its SCSI port number when its port driver tells one, else the
// fallback for USB, bus 30.
//
// ReactOS's usbstor answers IOCTL_SCSI_GET_ADDRESS (port 0) where Windows
// 2000's fails it, so here the stick has bus 0 and the fallback is not
// taken; with the IDE disk on bus 0 too, the stick's controller name can
// be seen only where the disk has no filter (mode 1).
void CheckStick(Monitor& monitor, const Devices& devices, bool named) {
  const int expected = devices.stick_raw.bus >= 0 ? devices.stick_raw.bus : 30;
  for (const Target* target : {&devices.stick_raw, &devices.stick_file}) {
    const std::string name = "USB stick: " + target->label + " counted on bus " + std::to_string(expected);
    if (target->path.empty()) {
      Fail(name, "no USB stick found");
      continue;
    }
    std::string busy;
    const int bus = BusOfRead(monitor, *target, busy);
    Check(name, bus == expected ? "" : "counted on:" + busy);
  }
  std::string controller;
  std::string why;
  const bool found = monitor.Name(static_cast<unsigned char>(expected), controller, why);
  Info("USB stick bus", std::to_string(expected) + " \"" + controller + "\"");
  if (named) {
    Check("USB stick: a child filter of the USB bus filter, named after the mass-storage device",
          !found ? why : controller.empty() ? "bus " + std::to_string(expected) + " has an empty name" : "");
  }
}

// What one boot's placements and mode make of each device.
struct Expectations {
  bool disk_counted;
  const char* disk_why;
  bool cd_counted;
  const char* cd_why;
  bool stick_named;
};

Expectations ExpectationsOf(int mode) {
  if (mode == 1) {
    // This boot leaves the disk class out, so that only the USB bus
    // filter's child can count the stick. The CD-ROM's filter is a bus
    // filter (mode 1 makes every accepted device one) and its PDO has no
    // children: nothing counts its requests.
    return {false, "mode 1: no filter in the disk stack this boot", false, "mode 1: a bus filter without children",
            true};
  }
  return {true, "", true, "", false};
}

void RunCounting(const Devices& devices, const Expectations& expect) {
  Monitor monitor;
  std::string why;
  if (!monitor.Open(why) || !monitor.Start(why)) return Fail("counting: capture", why);
  const struct {
    const Target* target;
    int own;
    int other;
    bool counted;
    const char* why_not;
  } reads[] = {{&devices.disk_raw, devices.disk_bus, devices.cd_bus, expect.disk_counted, expect.disk_why},
               {&devices.disk_file, devices.disk_bus, devices.cd_bus, expect.disk_counted, expect.disk_why},
               {&devices.cd_raw, devices.cd_bus, devices.disk_bus, expect.cd_counted, expect.cd_why},
               {&devices.cd_file, devices.cd_bus, devices.disk_bus, expect.cd_counted, expect.cd_why}};
  for (const auto& read : reads) {
    if (read.target->path.empty()) {
      Fail("counting: " + read.target->label, "not found");
    } else if (read.counted) {
      CheckCountedOn(monitor, *read.target, read.own, {read.other});
    } else {
      CheckNotCounted(monitor, *read.target, read.why_not);
    }
  }
  CheckStick(monitor, devices, expect.stick_named);
  ReportBusNames(monitor);
  CheckIntervals(monitor);
  if (!monitor.Stop(why)) Fail("counting: stop", why);
}

void RunPlan(const std::string& plan) {
  const int mode = plan == "mode1" ? 1 : plan == "mode2" ? 2 : 0;
  const Expectations expect = ExpectationsOf(mode);
  Info("plan", plan + ", guest tick " + std::to_string(GetTickCount()) + " ms");
  // While no monitor holds the device: its DACL, and an open refused
  // for want of SYSTEM and Administrators, which must leave it free.
  Info("control device DACL", ControlDeviceDacl());
  Info("open without SYSTEM and Administrators", OpenWithoutAdministrators());
  {
    Monitor monitor;
    std::string why;
    Check("driver loaded at boot: \\\\.\\QELVARD1 opens", monitor.Open(why) ? "" : why);
  }
  Devices devices = FindDevices();
  ReportDevices(devices);
  if (mode == 0) RunProtocolSuite(devices);
  RunCounting(devices, expect);
  if (mode == 0) {
    RunMonitor(devices);
    RunHotPlug(devices);
    RunSetupSteps(devices);
  }
  if (!expect.disk_counted) devices.disk_raw.path.clear();
  if (!expect.cd_counted) devices.cd_raw.path.clear();
  CheckIdleAfterStop(devices);
}

}  // namespace
}  // namespace qelvnt

int main(int argc, char** argv) {
  const std::string plan = argc > 1 ? argv[1] : "mode0";
  const bool power_off = argc > 2 && std::strcmp(argv[2], "--power-off") == 0;
  qelvnt::RunPlan(plan);
  qelvnt::End(plan);
  // The host watches the shutdown: the power manager sends its system and
  // device power requests through every stack the driver sits in.
  if (power_off) qelvnt::PowerOff();
  return 0;
}
