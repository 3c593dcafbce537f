// One interval's results, as the writers print them.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "qelvmon/options.h"

namespace qelvmon {

struct BusRow {
  std::uint8_t bus = 0;
  // False when no device record carries the bus index.
  bool has_device = false;
  std::string controller;  // ANSI, as the driver returned it
  std::int64_t busy_ticks = 0;
  std::optional<std::int64_t> busy_permille;  // empty for an empty interval
};

struct IntervalReport {
  std::uint64_t index = 0;  // 1 for the first interval
  std::chrono::system_clock::time_point time;  // wall clock at the read
  std::int64_t interval_ticks = 0;
  std::int64_t elapsed_ticks = 0;  // since the capture started
  std::vector<BusRow> rows;
};

struct RunInfo {
  std::int64_t counter_frequency = 0;  // 0 when unknown
  std::chrono::nanoseconds interval{};
};

// Prints a run in one format. Begin and End bracket every run that got as
// far as a started capture, interrupted or not, so machine formats stay
// whole.
class ReportWriter {
 public:
  virtual ~ReportWriter() = default;
  virtual void Begin(const RunInfo& info) = 0;
  virtual void Interval(const IntervalReport& report) = 0;
  virtual void End() = 0;
};

std::unique_ptr<ReportWriter> MakeReportWriter(OutputFormat format, std::ostream& out);

// Helpers the writers share, exposed for tests.
std::string Iso8601Utc(std::chrono::system_clock::time_point time);  // 2024-01-01T00:00:01.000Z
std::string CsvField(const std::string& text);
// Bytes of the driver's ANSI text as UTF-8 (the Windows code page on
// Windows, Latin-1 elsewhere); control characters become '?'.
std::string AnsiToUtf8(const std::string& text);

}  // namespace qelvmon
