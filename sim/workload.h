// Workloads: what the programs of the simulated machine ask of its storage
// devices, and the record of every request they made.
//
// A workload is text, one directive per line ('#' starts a comment):
//
//   <device> key=value ...       requests to one device
//   plug <node> at=<ms>          hot plug: the node arrives
//   unplug <node> at=<ms>        the node leaves
//
// Device keys: rate (requests per second; 0, the default, keeps `qd`
// requests outstanding, each followed by `think` ms), size (bytes, k and m
// suffixes), read (fraction of reads, 0..1), qd (most requests outstanding
// at once), think (ms), seq (1: sequential addresses), pass (fraction sent
// as SCSI pass-through to the port), burst=<n>/<ms> (n more requests every
// ms), on=<ms> off=<ms> (active and idle periods, in turn), start=<ms>,
// stop=<ms>. Every choice comes from a seeded random source, so a workload
// is the same on every run.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sim/machine.h"

namespace sim {

struct DeviceWorkload {
  std::string device;
  double rate = 0;
  uint32_t size = 65536;
  double read_fraction = 0.7;
  int queue_depth = 1;
  double think_ms = 0;
  bool sequential = false;
  double pass_fraction = 0;
  int burst_count = 0;
  double burst_every_ms = 0;
  double on_ms = 0;
  double off_ms = 0;
  double start_ms = 0;
  double stop_ms = -1;  // < 0: until the end of the run
};

struct HotPlugEvent {
  std::string node;
  bool present = true;
  double at_ms = 0;
};

struct WorkloadSpec {
  std::vector<DeviceWorkload> devices;
  std::vector<HotPlugEvent> hot_plug;
};

// Parses workload text. On error returns false with a message naming the
// line.
bool ParseWorkload(const std::string& text, WorkloadSpec* spec, std::string* error);
// A built-in workload by name ("mixed", "ide", "burst", "idle", "hotplug"),
// or the contents of a file. False with a message when neither.
bool LoadWorkload(const std::string& name_or_file, WorkloadSpec* spec, std::string* error);
std::vector<std::string> BuiltInWorkloads();

// One request as the workload saw it: sent at `start`, completion seen at
// `end`, both on the performance counter.
struct RequestRecord {
  std::string device;
  std::string bus;
  Ticks start = 0;
  Ticks end = 0;
  NTSTATUS status = STATUS_SUCCESS;
  bool pass_through = false;
  bool write = false;
  uint32_t bytes = 0;
};

// Drives a workload on a booted machine through its scheduler.
class WorkloadRunner {
 public:
  WorkloadRunner(Machine* machine, WorkloadSpec spec, uint64_t seed);
  ~WorkloadRunner();
  WorkloadRunner(const WorkloadRunner&) = delete;
  WorkloadRunner& operator=(const WorkloadRunner&) = delete;

  // Schedules the workload from the current counter value until `end`
  // ticks later; nothing new starts after that.
  void Start(Ticks duration);
  // Stops issuing at once (requests in flight still complete).
  void StopIssuing();

  std::vector<RequestRecord> Records() const;
  size_t InFlight() const;
  // Requests that could not be sent (device absent).
  uint64_t Dropped() const;

 private:
  struct DeviceState;
  void Arrive(DeviceState* state);
  void Issue(DeviceState* state);
  void OnComplete(DeviceState* state, const IoRequest& request, const IoResult& result);
  void ScheduleArrival(DeviceState* state);
  void ScheduleBurst(DeviceState* state);
  bool Active(const DeviceState* state, Ticks now) const;
  Ticks Ms(double ms) const;

  Machine* machine_;
  WorkloadSpec spec_;
  uint64_t seed_;
  Ticks begin_ = 0;
  Ticks end_ = 0;
  mutable std::mutex mutex_;
  bool stopping_ = false;
  std::vector<std::unique_ptr<DeviceState>> states_;
  std::vector<RequestRecord> records_;
  size_t in_flight_ = 0;
  uint64_t dropped_ = 0;
};

// The union of the [start, end) intervals of `bus`'s records, clipped to
// [from, to): the time the bus had at least one request outstanding.
Ticks BusyUnion(const std::vector<RequestRecord>& records, const std::string& bus, Ticks from, Ticks to);

}  // namespace sim
