// The simulated Windows 2000 machine: a PCI bus with an IDE controller
// (two channels, each with an ATA disk as master and an ATAPI CD-ROM as
// slave), a SCSI adapter (two disks and a tape drive), a USB host
// controller (root hub, a USB mass-storage disk, and a USB stick that can
// be plugged in and pulled out) and an IEEE 1394 controller (an SBP-2
// disk). Its drivers are built-in driver images that the Plug and Play
// manager loads by service name; its registry describes the devices,
// classes and services as Windows 2000 has them.
//
//   hostreg::Registry& reg = hostreg::Registry::Machine();
//   sim::WriteDefaultMachineRegistry(reg);
//   sim::Machine machine({sim::TimeMode::kVirtual});
//   hostpnp::RegisterDriverImage("qelvard1", DriverEntry);
//   machine.Boot(reg);
//   machine.Submit("ide0.master", {...}, on_done);
//   machine.GetScheduler().RunUntil(ticks);
//   machine.Shutdown();
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <shared_mutex>
#include <string>
#include <vector>

#include "host_pnp/pnp.h"
#include "host_registry/registry.h"
#include "sim/hardware.h"
#include "sim/scheduler.h"

namespace sim {

// Class GUIDs of Windows 2000, braced, upper case.
inline constexpr const char* kClassHdc = "{4D36E96A-E325-11CE-BFC1-08002BE10318}";
inline constexpr const char* kClassScsiAdapter = "{4D36E97B-E325-11CE-BFC1-08002BE10318}";
inline constexpr const char* kClassUsb = "{36FC9E60-C465-11CF-8056-444553540000}";
inline constexpr const char* kClass1394 = "{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}";
inline constexpr const char* kClassSbp2 = "{D48179BE-EC20-11D1-B6B8-00C04FA372A7}";
inline constexpr const char* kClassDisk = "{4D36E967-E325-11CE-BFC1-08002BE10318}";
inline constexpr const char* kClassCdRom = "{4D36E965-E325-11CE-BFC1-08002BE10318}";
inline constexpr const char* kClassTape = "{6D807884-7D21-11CF-801C-08002BE10318}";
inline constexpr const char* kClassMediumChanger = "{CE5939AE-EBDE-11D0-B181-0000F8753EC4}";
inline constexpr const char* kClassSystem = "{4D36E97D-E325-11CE-BFC1-08002BE10318}";

struct MachineOptions {
  TimeMode time = TimeMode::kVirtual;
  uint64_t seed = 1;
  bool usb_stick_plugged = false;  // the stick is in its port at boot
  // Instead of the default hardware: one disk per name, each alone on a
  // SCSI adapter of its own (port number = its place in the list), as a
  // recorded trace's disks are replayed. At most 256.
  std::vector<std::string> recorded_disks;
};

// One storage request of a workload, as a program would issue it.
struct IoRequest {
  bool write = false;
  uint64_t lba = 0;
  uint32_t bytes = 4096;
  bool pass_through = false;  // IOCTL_SCSI_PASS_THROUGH to the port, else a read or write
  bool flush = false;         // a flush (IRP_MJ_FLUSH_BUFFERS) instead of a read or write
  // When set, the device completes the request at this counter value, as a
  // recording says, instead of by its service model.
  std::optional<Ticks> complete_at;
};

// What happened to one request: its start and end on the counter.
struct IoResult {
  NTSTATUS status = STATUS_SUCCESS;
  Ticks start = 0;
  Ticks end = 0;
};

class Machine {
 public:
  explicit Machine(const MachineOptions& options = {});
  ~Machine();
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;

  // The machine whose drivers are running (one at a time).
  static Machine* Current();

  Scheduler& GetScheduler() { return *scheduler_; }
  hostpnp::PnpManager* Pnp() { return pnp_.get(); }

  // Registers the machine's driver images, starts the Plug and Play
  // manager over `registry` and builds every device stack.
  NTSTATUS Boot(hostreg::Registry& registry);
  // Removes every device and unloads every driver. Outstanding requests
  // must have completed (Drain the scheduler first).
  void Shutdown();

  HwNode* Root() { return root_.get(); }
  HwNode* FindNode(const std::string& name);
  StorageDevice* FindDevice(const std::string& name);
  Bus* FindBus(const std::string& name);
  const std::vector<std::unique_ptr<Bus>>& Buses() const { return buses_; }
  std::vector<StorageDevice*> Devices() const;

  // Whether the device's stack is up (its class driver started).
  bool IsReady(StorageDevice* device) const;
  // Sends one request to the device (a read or write to the top of its
  // stack, or a pass-through to the top of its port's stack). `done` runs
  // in the completing context. Returns false when the device is not
  // ready; `done` is then not called.
  bool Submit(StorageDevice* device, const IoRequest& request, std::function<void(const IoResult&)> done);

  // Hot plug: the node arrives or leaves; the parent bus tells the Plug
  // and Play manager, which rebuilds or removes the stacks (on the
  // scheduler's system lane).
  void SetPresent(const std::string& node_name, bool present);

  // The lane that runs Plug and Play work and the monitor.
  static constexpr int kSystemLane = 0;

 private:
  void BuildHardware();
  void BuildRecordedHardware();
  Bus* AddBus(const std::string& name, bool exclusive, int64_t rate);

  MachineOptions options_;
  std::unique_ptr<Scheduler> scheduler_;
  std::unique_ptr<hostpnp::PnpManager> pnp_;
  std::unique_ptr<HwNode> root_;
  std::vector<std::unique_ptr<Bus>> buses_;
  std::vector<std::unique_ptr<StorageDevice>> devices_;
  bool booted_ = false;
  // Held shared while a request is sent into a stack, exclusively while a
  // node is marked closing before its removal.
  mutable std::shared_mutex io_gate_;
};

// Writes the default machine into `registry`: class keys (with
// descriptions and filters), the Enum tree of every device of the default
// hardware, the Services keys and Perflib's counter indexes and names.
// With `with_monitor_filter`, qelvard1 is
// an upper filter of the IDE controller, SCSI adapter, USB, SBP-2, disk and
// CD-ROM classes.
void WriteDefaultMachineRegistry(hostreg::Registry& registry, bool with_monitor_filter = true);
// The registry of a machine with MachineOptions::recorded_disks `disks`,
// qelvard1 an upper filter of the SCSI adapter and disk classes.
void WriteRecordedMachineRegistry(hostreg::Registry& registry, const std::vector<std::string>& disks);

// The machine's built-in driver images, registered with the Plug and Play
// manager (done by Boot too).
void RegisterMachineDrivers();

}  // namespace sim
