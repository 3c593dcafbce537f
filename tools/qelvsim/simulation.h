// qelvsim's job: boot the simulated machine from its registry, run a
// workload, run qelvmon against the control device as a user process of
// the machine, and draw the utilisation timeline.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>

#include "qelvmon/timeline.h"
#include "sim/trace.h"

namespace qelvsim {

struct SimOptions {
  std::string machine_file;      // empty: the default machine, not saved
  std::string workload = "mixed";
  double seconds = 10;
  int attach_mode = -1;          // < 0: leave "KVFlags" as the registry has it
  bool virtual_time = true;
  std::string svg = "qelvsim-timeline.svg";  // empty: no picture
  double interval = 1;           // seconds per monitor report
  double pace = 0;               // virtual time: real seconds to wait per report
  std::uint64_t seed = 1;
  std::string format = "table";  // qelvmon's output format
  // Only write the default machine, without qelvard1 in any filter list,
  // to this file (for an installer to work on) and stop.
  std::string write_machine;
  // Replay this recorded trace instead of running a workload.
  std::string replay;
  sim::TraceFormat trace_format = sim::TraceFormat::kAuto;
};

// Parses the command line (without the program name). Returns -1 to run,
// else the exit code (0 after --help, 2 after a usage error).
int ParseOptions(int argc, const char* const* argv, SimOptions* options, std::ostream& out, std::ostream& err);

// Runs the whole job; returns the exit code. `timeline` (optional)
// receives what the monitor showed.
int RunSimulation(const SimOptions& options, std::ostream& out, std::ostream& err,
                  qelvmon::Timeline* timeline = nullptr);

}  // namespace qelvsim
