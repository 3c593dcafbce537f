// The guest's storage devices as this run knows them, and a monitor's
// side of the control device.
#pragma once

#include <windows.h>

#include "driver/kv_control.h"

#include <cstdint>
#include <string>
#include <vector>

namespace qelvnt {

// One thing to read from: a raw device or a file on one.
struct Target {
  std::string label;  // "disk raw", "CD file", ...
  std::string path;   // empty when not found
  std::int64_t size = 0;
  int bus = -1;  // the SCSI port number its port driver tells; -1: none
};

struct Devices {
  Target disk_raw{"IDE disk raw", "", 0, -1};
  Target disk_file{"IDE disk file", "", 0, -1};
  Target cd_raw{"CD-ROM raw", "", 0, -1};
  Target cd_file{"CD-ROM file", "", 0, -1};
  Target stick_raw{"USB stick raw", "", 0, -1};
  Target stick_file{"USB stick file", "", 0, -1};
  int disk_bus = -1;  // SCSI port numbers the port drivers report
  int cd_bus = -1;
  std::vector<Target> sticks;       // every USB disk
  std::vector<std::string> facts;  // what was found, for the report
  std::string work_folder;         // a writable folder (the IDE disk's root)
};

Devices FindDevices();
// Reads 1 MiB of `target` unbuffered, from a new offset at each call.
bool ReadTarget(const Target& target, std::string& why);
void ReportDevices(const Devices& devices);

struct Statistics {
  std::int64_t start = 0;
  std::int64_t end = 0;
  std::int64_t busy[KV_BUS_COUNT] = {};
  int BusyBuses() const;
};

class Monitor {
 public:
  Monitor() = default;
  ~Monitor() { Close(); }
  Monitor(const Monitor&) = delete;
  Monitor& operator=(const Monitor&) = delete;

  bool Open(std::string& why);
  bool Start(std::string& why) { return Control(IOCTL_KV_START_CAPTURE, "start", why); }
  bool Stop(std::string& why) { return Control(IOCTL_KV_STOP_CAPTURE, "stop", why); }
  bool Read(Statistics& stats, std::string& why);
  bool Name(unsigned char bus, std::string& name, std::string& why);
  void Close();
  const std::vector<Statistics>& Replies() const { return replies_; }

 private:
  bool Control(DWORD code, const char* what, std::string& why);

  HANDLE device_ = INVALID_HANDLE_VALUE;
  std::vector<Statistics> replies_;
};

std::string Hex(unsigned long value);

// The control device's DACL, each entry as "allow S-1-5-18 0x001F01FF",
// comma-separated, read through a handle opened for READ_CONTROL alone;
// "error: ..." when it cannot be read.
std::string ControlDeviceDacl();
// An open of the control device by this thread impersonating its own
// token with SYSTEM and Administrators made deny-only: "opened",
// "error 0x..." or "not tried: ...".
std::string OpenWithoutAdministrators();

}  // namespace qelvnt
