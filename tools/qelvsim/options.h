// qelvsim's command line, parsed into a plain record.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>

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

// Parses the command line (without the program name). Help goes to `out`,
// usage errors to `err`. Returns -1 to run, else the exit code (0 after
// --help, 2 after a usage error).
int ParseOptions(int argc, const char* const* argv, SimOptions* options, std::ostream& out, std::ostream& err);

}  // namespace qelvsim
