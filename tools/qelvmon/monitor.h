// The monitor loop: open, start, one report per interval, stop, close.
// Everything but the process entry point, so a simulated machine can run
// the monitor as one of its user processes.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "qelvmon/control_channel.h"
#include "qelvmon/options.h"
#include "qelvmon/timeline.h"

namespace qelvmon {

// Where time comes from. Real runs sleep; a simulated machine advances its
// virtual clock instead. Any hook left empty gets a default: intervals due
// at once, the system clock, never interrupted.
struct MonitorHooks {
  // Blocks until interval `index` (1, 2, ...) of `length` is due, counted
  // from the first call. Returns false when the run was interrupted.
  std::function<bool(std::uint64_t index, std::chrono::nanoseconds length)> wait_for_interval;
  // Wall-clock time stamped on each record.
  std::function<std::chrono::system_clock::time_point()> wall_clock;
  // True once the user asked to stop (Ctrl-C).
  std::function<bool()> interrupted;
};

// Runs one monitor session. Reports go to `out`, failures as sentences to
// `err`; with config.svg the intervals shown are drawn there at the end.
// Returns the process exit code: 0 when the run ended by --count or by
// interruption, 1 after a failure. `shown` (optional) receives the
// intervals reported, with the controller names they showed.
int RunMonitor(ControlChannel& channel, const MonitorConfig& config, const MonitorHooks& hooks,
               std::ostream& out, std::ostream& err, Timeline* shown = nullptr);

// ParseCommandLine then RunMonitor: the whole program given its arguments
// (without the program name). 2 on a usage error.
int RunCommandLine(const std::vector<std::string>& args, ControlChannel& channel,
                   const MonitorHooks& hooks, std::ostream& out, std::ostream& err);

}  // namespace qelvmon
