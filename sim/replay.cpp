#include "sim/replay.h"

#include <algorithm>

namespace sim {

TraceReplay::TraceReplay(Machine* machine, const Trace& trace, Ticks offset)
    : machine_(machine), trace_(trace), offset_(offset), figures_(trace.disks.size()) {
  for (size_t i = 0; i < trace.disks.size(); ++i) {
    devices_.push_back(machine->FindDevice("rec" + std::to_string(i) + ".disk"));
  }
}

void TraceReplay::Start() { ScheduleNext(); }

// One event per issue time: the completions due at the same tick were
// posted earlier and so run first, as a request that ends at the tick
// another begins does not overlap it.
void TraceReplay::ScheduleNext() {
  if (stopped_ || next_ >= trace_.requests.size()) return;
  machine_->GetScheduler().At(Machine::kSystemLane, trace_.requests[next_].issue + offset_, [this] { IssueDue(); });
}

void TraceReplay::IssueDue() {
  const Ticks now = machine_->GetScheduler().Now();
  while (!stopped_ && next_ < trace_.requests.size() && trace_.requests[next_].issue + offset_ <= now) {
    Issue(trace_.requests[next_++]);
  }
  ScheduleNext();
}

void TraceReplay::Issue(const TraceRequest& request) {
  const auto disk = static_cast<size_t>(request.disk);
  ReplayDiskFigures& figures = figures_[disk];
  IoRequest io;
  io.write = request.kind == TraceRequestKind::kWrite;
  io.flush = request.kind == TraceRequestKind::kFlush;
  io.lba = request.offset / 512;
  io.bytes = request.bytes;
  io.complete_at = request.complete + offset_;
  // Counted before the send: a request that fails on its way down
  // completes before Submit returns.
  const size_t peak_before = figures.peak_outstanding;
  figures.peak_outstanding = std::max(figures.peak_outstanding, ++figures.outstanding);
  bool sent = devices_[disk] != nullptr && machine_->Submit(devices_[disk], io, [this, disk](const IoResult& result) {
    ReplayDiskFigures& f = figures_[disk];
    --f.outstanding;
    ++f.completed;
    if (!NT_SUCCESS(result.status)) ++f.failed;
  });
  if (sent) {
    ++figures.sent;
  } else {
    --figures.outstanding;
    figures.peak_outstanding = peak_before;
    ++figures.refused;
  }
}

}  // namespace sim
