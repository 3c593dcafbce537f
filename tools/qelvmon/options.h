// The monitor's command line, parsed into a plain config.
#pragma once

#include <chrono>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace qelvmon {

enum class OutputFormat { kTable, kCsv, kJson };

struct MonitorConfig {
  std::chrono::nanoseconds interval = std::chrono::seconds(1);
  // Number of intervals to report; 0 runs until interrupted.
  std::uint64_t count = 0;
  OutputFormat format = OutputFormat::kTable;
  // Show idle buses without a device too.
  bool all_buses = false;
  // Where to draw the intervals shown, when the run ends; empty for none.
  std::string svg;
};

struct ParseResult {
  enum class Outcome { kRun, kExit };
  Outcome outcome = Outcome::kRun;
  int exit_code = 0;  // for kExit: 0 after --help, 2 after a usage error
  MonitorConfig config;
};

// Parses `args` (without the program name). Help goes to `out`, usage
// errors to `err`; either way the caller exits with exit_code.
ParseResult ParseCommandLine(const std::vector<std::string>& args, std::ostream& out,
                             std::ostream& err);

}  // namespace qelvmon
