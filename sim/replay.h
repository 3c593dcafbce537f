// A recorded trace played on a machine built with its disks
// (MachineOptions::recorded_disks = the trace's disks): each request is
// sent by its disk's class driver at its recorded issue time and completed
// by the disk at its recorded completion time, however many are
// outstanding. Virtual time only: the counter is the recording's tick plus
// a fixed offset, so every time converts exactly.
#pragma once

#include <cstdint>
#include <vector>

#include "sim/machine.h"
#include "sim/trace.h"

namespace sim {

struct ReplayDiskFigures {
  uint64_t sent = 0;
  uint64_t completed = 0;
  uint64_t failed = 0;    // completed with an error status
  uint64_t refused = 0;   // the machine could not send it (device not ready)
  size_t outstanding = 0;
  size_t peak_outstanding = 0;
};

class TraceReplay {
 public:
  // `trace` must outlive the replay.
  TraceReplay(Machine* machine, const Trace& trace, Ticks offset);
  TraceReplay(const TraceReplay&) = delete;
  TraceReplay& operator=(const TraceReplay&) = delete;

  // Schedules the first issue; the rest follow on the scheduler.
  void Start();
  // Nothing more is sent; what is outstanding still completes.
  void StopIssuing() { stopped_ = true; }

  const std::vector<ReplayDiskFigures>& Figures() const { return figures_; }

 private:
  void IssueDue();
  void Issue(const TraceRequest& request);
  void ScheduleNext();

  Machine* machine_;
  const Trace& trace_;
  Ticks offset_;
  std::vector<StorageDevice*> devices_;
  std::vector<ReplayDiskFigures> figures_;
  size_t next_ = 0;  // the first request not yet sent
  bool stopped_ = false;
};

}  // namespace sim
