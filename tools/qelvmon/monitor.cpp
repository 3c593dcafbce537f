#include "qelvmon/monitor.h"

#include "qelvmon/messages.h"
#include "qelvmon/report.h"
#include "qelvmon/utilisation.h"

namespace qelvmon {
namespace {

// Closes the channel on every way out of a run.
class OpenChannel {
 public:
  explicit OpenChannel(ControlChannel& channel) : channel_(channel) {}
  ~OpenChannel() { channel_.Close(); }
  OpenChannel(const OpenChannel&) = delete;
  OpenChannel& operator=(const OpenChannel&) = delete;

 private:
  ControlChannel& channel_;
};

struct Failure {
  Operation operation;
  Win32Error error;
  std::uint8_t bus;
};

// Builds the rows of one interval. Every bus is asked for its controller,
// every interval: devices come and go while a capture runs.
bool CollectRows(ControlChannel& channel, const StatisticsReply& reply, bool all_buses,
                 std::vector<BusRow>& rows, Failure& failure) {
  for (std::size_t b = 0; b < kBusCount; ++b) {
    BusRow row;
    row.bus = static_cast<std::uint8_t>(b);
    row.busy_ticks = reply.busy_time[b];
    row.busy_permille = BusyPermille(row.busy_ticks, reply.interval_start, reply.interval_end);
    const Win32Error error = channel.GetControllerName(row.bus, row.controller);
    if (error == kSuccess) {
      row.has_device = true;
    } else if (error != kStatusBusNotFound) {
      failure = {Operation::kGetControllerName, error, row.bus};
      return false;
    }
    if (all_buses || row.has_device || row.busy_ticks != 0) rows.push_back(std::move(row));
  }
  return true;
}

// A caller may leave out what it does not need: no pacing (each interval
// is due at once), the system clock, no interruption.
MonitorHooks WithDefaults(MonitorHooks hooks) {
  if (!hooks.wait_for_interval) {
    hooks.wait_for_interval = [](std::uint64_t, std::chrono::nanoseconds) { return true; };
  }
  if (!hooks.wall_clock) hooks.wall_clock = [] { return std::chrono::system_clock::now(); };
  if (!hooks.interrupted) hooks.interrupted = [] { return false; };
  return hooks;
}

// Keeps what a report showed, for the picture.
void AddToTimeline(const StatisticsReply& reply, const IntervalReport& report, Timeline& timeline) {
  TimelineSample sample;
  sample.interval_start = reply.interval_start;
  sample.interval_end = reply.interval_end;
  sample.busy = reply.busy_time;
  timeline.samples.push_back(sample);
  for (const BusRow& row : report.rows) {
    if (row.has_device) timeline.names[row.bus] = row.controller;
  }
}

}  // namespace

int RunMonitor(ControlChannel& channel, const MonitorConfig& config,
               const MonitorHooks& given_hooks, std::ostream& out, std::ostream& err, Timeline* shown) {
  const MonitorHooks hooks = WithDefaults(given_hooks);
  OpenChannel guard(channel);
  if (const Win32Error error = channel.Open(); error != kSuccess) {
    err << "qelvmon: " << DescribeFailure(Operation::kOpen, error) << "\n";
    return 1;
  }
  if (const Win32Error error = channel.StartCapture(); error != kSuccess) {
    err << "qelvmon: " << DescribeFailure(Operation::kStartCapture, error) << "\n";
    return 1;
  }

  RunInfo info;
  info.counter_frequency = channel.CounterFrequency();
  info.interval = config.interval;
  const auto writer = MakeReportWriter(config.format, out);
  writer->Begin(info);
  Timeline timeline;
  timeline.frequency = info.counter_frequency;

  bool failed = false;
  Failure failure{};
  std::optional<std::int64_t> capture_start;
  for (std::uint64_t index = 1; config.count == 0 || index <= config.count; ++index) {
    if (!hooks.wait_for_interval(index, config.interval) || hooks.interrupted()) break;
    StatisticsBytes bytes{};
    if (const Win32Error error = channel.ReadStatistics(bytes); error != kSuccess) {
      failure = {Operation::kReadStatistics, error, 0};
      failed = true;
      break;
    }
    const StatisticsReply reply = DecodeStatisticsReply(bytes);
    if (!capture_start) capture_start = reply.interval_start;

    IntervalReport report;
    report.index = index;
    report.time = hooks.wall_clock();
    report.interval_ticks = reply.interval_end - reply.interval_start;
    report.elapsed_ticks = reply.interval_end - *capture_start;
    if (!CollectRows(channel, reply, config.all_buses, report.rows, failure)) {
      failed = true;
      break;
    }
    writer->Interval(report);
    AddToTimeline(reply, report, timeline);
    if (hooks.interrupted()) break;
  }
  writer->End();
  if (failed) {
    err << "qelvmon: " << DescribeFailure(failure.operation, failure.error, failure.bus) << "\n";
  }
  if (std::string why; !config.svg.empty() && !WriteTimelineSvg(config.svg, timeline, &why)) {
    err << "qelvmon: " << why << "\n";
    failed = true;
  }
  if (shown != nullptr) *shown = std::move(timeline);

  if (const Win32Error error = channel.StopCapture(); error != kSuccess) {
    // After a failed read the capture may well be gone already; the first
    // failure is the one worth reading.
    if (!failed) err << "qelvmon: " << DescribeFailure(Operation::kStopCapture, error) << "\n";
    failed = true;
  }
  return failed ? 1 : 0;
}

int RunCommandLine(const std::vector<std::string>& args, ControlChannel& channel,
                   const MonitorHooks& hooks, std::ostream& out, std::ostream& err) {
  const ParseResult parsed = ParseCommandLine(args, out, err);
  if (parsed.outcome == ParseResult::Outcome::kExit) return parsed.exit_code;
  return RunMonitor(channel, parsed.config, hooks, out, err);
}

}  // namespace qelvmon
