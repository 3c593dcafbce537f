#include "qelvsim/simulation.h"

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "driver/driver.h"
#include "host_kernel/host_control.h"
#include "host_pnp/pnp.h"
#include "qelvmon/ioctl_channel.h"
#include "qelvmon/monitor.h"
#include "sim/machine.h"
#include "sim/replay.h"
#include "sim/workload.h"

namespace qelvsim {
namespace {

volatile std::sig_atomic_t g_interrupted = 0;

void OnInterrupt(int /*signal*/) { g_interrupted = 1; }

// Win32-style device I/O of a simulated user process, for qelvmon.
class ProcessApi {
 public:
  using Handle = HANDLE;
  explicit ProcessApi(hostk::UserProcess* process) : process_(process) {}
  static Handle InvalidHandle() { return INVALID_HANDLE_VALUE; }
  Handle OpenDevice(const char* path) { return process_->CreateFileA(path); }
  bool Ioctl(Handle handle, std::uint32_t code, const void* in, std::uint32_t in_size, void* out,
             std::uint32_t out_size, std::uint32_t* returned) {
    hostk::DWORD bytes = 0;
    hostk::BOOL ok =
        process_->DeviceIoControl(handle, code, const_cast<void*>(in), in_size, out, out_size, &bytes, nullptr);
    *returned = bytes;
    return ok != 0;
  }
  void CloseDevice(Handle handle) { process_->CloseHandle(handle); }
  qelvmon::Win32Error LastError() { return hostk::UserProcess::GetLastError(); }
  std::int64_t CounterFrequency() {
    LARGE_INTEGER frequency;
    return process_->QueryPerformanceFrequency(&frequency) ? frequency.QuadPart : 0;
  }

 private:
  hostk::UserProcess* process_;
};

// A repeatable wall clock for virtual time: the counter from a fixed day.
std::chrono::system_clock::time_point VirtualWallClock() {
  constexpr std::int64_t kEpoch = 950745600;  // 2000-02-17T00:00:00Z
  std::int64_t ticks = hostk::PerformanceCounter();
  std::int64_t frequency = hostk::PerformanceFrequency();
  auto since = std::chrono::microseconds(ticks / frequency * 1000000 + (ticks % frequency) * 1000000 / frequency);
  return std::chrono::system_clock::time_point(std::chrono::seconds(kEpoch)) +
         std::chrono::duration_cast<std::chrono::system_clock::duration>(since);
}

void PrintStacks(sim::Machine& machine, std::ostream& out) {
  hostpnp::PnpManager* pnp = machine.Pnp();
  out << "Device stacks (bottom first):\n";
  for (hostpnp::DeviceNode* node : pnp->AllNodes()) {
    int depth = 0;
    for (hostpnp::DeviceNode* p = node->parent; p != nullptr && p != pnp->Root(); p = p->parent) ++depth;
    out << "  " << std::string(static_cast<size_t>(depth) * 2, ' ') << node->instance_path << "\n";
    std::vector<std::string> services = pnp->StackServices(node);
    std::string line;
    for (const auto& s : services) line += (line.empty() ? "" : " < ") + (s.empty() ? std::string("?") : s);
    out << "  " << std::string(static_cast<size_t>(depth) * 2, ' ') << "  [" << line << "]";
    if (node->state != hostpnp::NodeState::kStarted) out << " (not started)";
    out << "\n";
  }
}

qelvmon::OutputFormat OutputFormatOf(const SimOptions& options) {
  return options.format == "csv"    ? qelvmon::OutputFormat::kCsv
         : options.format == "json" ? qelvmon::OutputFormat::kJson
                                    : qelvmon::OutputFormat::kTable;
}

// With a machine format on standard output, the people's text goes to
// standard error, so the output is that format alone.
std::ostream& TextStream(const SimOptions& options, std::ostream& out, std::ostream& err) {
  return OutputFormatOf(options) == qelvmon::OutputFormat::kTable ? out : err;
}

sim::Ticks IntervalTicks(const SimOptions& options, const sim::Scheduler& scheduler) {
  return static_cast<sim::Ticks>(std::llround(options.interval * static_cast<double>(scheduler.Frequency())));
}

void SetAttachMode(hostreg::Registry& registry, int attach_mode) {
  if (attach_mode < 0) return;
  std::lock_guard<std::recursive_mutex> lock(registry.Mutex());
  registry.Create("System\\CurrentControlSet\\Services\\qelvard1")
      ->SetValue("KVFlags", hostreg::kRegDword, hostreg::EncodeDword(static_cast<uint32_t>(attach_mode)));
}

bool BootMachine(sim::Machine& machine, hostreg::Registry& registry, std::ostream& err) {
  hostpnp::RegisterDriverImage("qelvard1", DriverEntry);
  NTSTATUS status = machine.Boot(registry);
  if (!NT_SUCCESS(status)) {
    err << "qelvsim: the machine did not boot (status 0x" << std::hex << static_cast<uint32_t>(status) << std::dec
        << ")\n";
    return false;
  }
  return true;
}

void ReportStacks(sim::Machine& machine, std::ostream& out) {
  PrintStacks(machine, out);
  if (machine.Pnp()->LoadedDriver("qelvard1") == nullptr) {
    out << "qelvsim: qelvard1 is not a filter of any device on this machine; the monitor will find no driver\n";
  }
  out << "\n";
}

// qelvmon as a user process of the machine: `count` intervals from
// `begin`, the machine run up to each read.
int MonitorMachine(sim::Scheduler& scheduler, const SimOptions& options, sim::Ticks begin, std::uint64_t count,
                   const std::function<std::chrono::system_clock::time_point()>& wall_clock, std::ostream& out,
                   std::ostream& err, qelvmon::Timeline* shown) {
  hostk::UserProcess process(1234);
  qelvmon::IoctlChannel<ProcessApi> channel{ProcessApi(&process)};
  qelvmon::MonitorConfig config;
  config.interval = std::chrono::nanoseconds(static_cast<std::int64_t>(options.interval * 1e9));
  config.count = count;
  config.format = OutputFormatOf(options);
  qelvmon::MonitorHooks hooks;
  const sim::Ticks interval_ticks = IntervalTicks(options, scheduler);
  hooks.wait_for_interval = [&](std::uint64_t index, std::chrono::nanoseconds /*length*/) {
    if (options.virtual_time && options.pace > 0) {
      std::this_thread::sleep_for(std::chrono::microseconds(static_cast<std::int64_t>(options.pace * 1e6)));
    }
    scheduler.RunUntil(begin + static_cast<sim::Ticks>(index) * interval_ticks);
    return g_interrupted == 0;
  };
  hooks.interrupted = [] { return g_interrupted != 0; };
  if (options.virtual_time) hooks.wall_clock = wall_clock;
  auto previous = std::signal(SIGINT, OnInterrupt);
  int exit_code = qelvmon::RunMonitor(channel, config, hooks, out, err, shown);
  std::signal(SIGINT, previous);
  return exit_code;
}

bool DrawTimeline(const SimOptions& options, const qelvmon::Timeline& timeline, std::ostream& out, std::ostream& err) {
  if (options.svg.empty()) return true;
  std::string why;
  if (!qelvmon::WriteTimelineSvg(options.svg, timeline, &why)) {
    err << "qelvsim: " << why << "\n";
    return false;
  }
  out << "qelvsim: utilisation timeline written to " << options.svg << "\n";
  return true;
}

int RunWorkload(const SimOptions& options, std::ostream& out, std::ostream& err, qelvmon::Timeline* timeline_out) {
  std::ostream& text = TextStream(options, out, err);
  std::string error;
  sim::WorkloadSpec workload;
  if (!sim::LoadWorkload(options.workload, &workload, &error)) {
    err << "qelvsim: workload: " << error << "\n";
    return 2;
  }

  // The machine's registry: the file, or the default machine.
  hostreg::Registry& registry = hostreg::Registry::Machine();
  registry.Clear();
  bool from_file = false;
  if (!options.machine_file.empty()) {
    std::ifstream probe(options.machine_file);
    if (probe) {
      if (!registry.LoadFile(options.machine_file, &error)) {
        err << "qelvsim: " << options.machine_file << ": " << error << "\n";
        return 1;
      }
      from_file = true;
    }
  }
  if (!from_file) sim::WriteDefaultMachineRegistry(registry);
  SetAttachMode(registry, options.attach_mode);

  sim::MachineOptions machine_options;
  machine_options.time = options.virtual_time ? sim::TimeMode::kVirtual : sim::TimeMode::kReal;
  machine_options.seed = options.seed;
  sim::Machine machine(machine_options);
  if (!BootMachine(machine, registry, err)) return 1;
  text << "qelvsim: machine booted from " << (from_file ? options.machine_file : std::string("the default machine"))
      << ", " << (options.virtual_time ? "virtual" : "real") << " time, workload " << options.workload << "\n";
  ReportStacks(machine, text);

  sim::Scheduler& scheduler = machine.GetScheduler();
  auto duration = static_cast<sim::Ticks>(std::llround(options.seconds * static_cast<double>(scheduler.Frequency())));
  sim::WorkloadRunner runner(&machine, workload, options.seed);
  runner.Start(duration);
  sim::Ticks begin = scheduler.Now();

  qelvmon::Timeline timeline;
  auto count = static_cast<std::uint64_t>(std::max(1.0, std::floor(options.seconds / options.interval)));
  int monitor_exit = MonitorMachine(scheduler, options, begin, count, VirtualWallClock, out, err, &timeline);

  // Let what is in flight finish, then take the machine down.
  runner.StopIssuing();
  scheduler.Drain();
  std::vector<sim::RequestRecord> records = runner.Records();
  machine.Shutdown();
  scheduler.Stop();

  text << "\nqelvsim: " << records.size() << " requests completed";
  std::map<std::string, size_t> per_bus;
  for (const auto& r : records) ++per_bus[r.bus];
  std::string sep = " (";
  for (const auto& entry : per_bus) {
    text << sep << entry.first << " " << entry.second;
    sep = ", ";
  }
  text << (per_bus.empty() ? "" : ")") << "\n";

  if (!options.machine_file.empty()) {
    if (!registry.SaveFile(options.machine_file, &error)) {
      err << "qelvsim: could not save " << options.machine_file << ": " << error << "\n";
      return 1;
    }
    text << "qelvsim: machine saved to " << options.machine_file << "\n";
  }
  if (!DrawTimeline(options, timeline, text, err)) return 1;
  if (timeline_out != nullptr) *timeline_out = timeline;
  return monitor_exit;
}

// --- Replay of a recorded trace ----------------------------------------------

// Where the recording's ticks sit on the machine's counter, and the
// capture around them.
struct ReplayClock {
  sim::Ticks offset = 0;         // counter = recording tick + offset
  sim::Ticks capture_start = 0;  // on the counter
  std::uint64_t intervals = 0;
  sim::Ticks first_issue = 0;  // recording ticks
  sim::Ticks last_completion = 0;
};

// The capture starts at the first issue rounded down to a whole interval
// and ends with the interval of the last completion. The recording's own
// ticks are the counter's whenever the machine's clock has not passed
// them; else they move on by whole intervals.
ReplayClock PlanReplayClock(const sim::Trace& trace, sim::Ticks now, sim::Ticks interval) {
  ReplayClock clock;
  clock.first_issue = trace.requests.front().issue;
  for (const sim::TraceRequest& r : trace.requests) clock.last_completion = std::max(clock.last_completion, r.complete);
  const sim::Ticks start = clock.first_issue / interval * interval;
  if (start < now) clock.offset = (now - start + interval - 1) / interval * interval;
  clock.capture_start = start + clock.offset;
  clock.intervals = static_cast<std::uint64_t>(std::max<sim::Ticks>(1, (clock.last_completion - start + interval - 1) / interval));
  return clock;
}

// The wall-clock time stamped on the reports: a recording on the filetime
// clock of the years 1970 to 2199 carries its own day; any other runs from
// the fixed day of virtual runs.
std::function<std::chrono::system_clock::time_point()> ReplayWallClock(const sim::Trace& trace,
                                                                       const ReplayClock& clock) {
  using FiletimeTicks = std::chrono::duration<std::int64_t, std::ratio<1, 10000000>>;
  constexpr std::int64_t kFiletime1970 = 116444736000000000LL;
  constexpr std::int64_t kFiletime2200 = 189563328000000000LL;
  const sim::Ticks recorded_start = clock.capture_start - clock.offset;
  if (!trace.filetime_clock) return VirtualWallClock;
  std::chrono::system_clock::time_point start(std::chrono::seconds(950745600));  // 2000-02-17T00:00:00Z
  if (recorded_start >= kFiletime1970 && recorded_start < kFiletime2200) {
    start = std::chrono::system_clock::time_point(
        std::chrono::duration_cast<std::chrono::system_clock::duration>(FiletimeTicks(recorded_start - kFiletime1970)));
  }
  const sim::Ticks capture_start = clock.capture_start;
  return [start, capture_start] {
    return start + std::chrono::duration_cast<std::chrono::system_clock::duration>(
                       FiletimeTicks(hostk::PerformanceCounter() - capture_start));
  };
}

// Seconds to 100 ns, the resolution of every recording format read.
std::string Seconds(sim::Ticks ticks, sim::Ticks frequency) {
  constexpr long long kDigitsScale = 10000000;
  const long long fraction = static_cast<long long>(
      static_cast<unsigned __int128>(ticks % frequency) * kDigitsScale / static_cast<unsigned __int128>(frequency));
  char text[48];
  std::snprintf(text, sizeof text, "%lld.%07lld", static_cast<long long>(ticks / frequency), fraction);
  return text;
}

std::string Percent(sim::Ticks part, sim::Ticks whole) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f", whole > 0 ? 100.0 * static_cast<double>(part) / static_cast<double>(whole) : 0.0);
  return text;
}

// Per disk: what the driver measured beside what adding up response
// times would claim, both over the span of the trace.
void PrintReplaySummary(const sim::Trace& trace, const ReplayClock& clock, const sim::TraceReplay& replay,
                        const qelvmon::Timeline& timeline, sim::Ticks frequency, std::ostream& out) {
  const sim::Ticks span = clock.last_completion - clock.first_issue;
  out << "\nqelvsim: replayed " << trace.requests.size() << " requests (" << sim::TraceFormatName(trace.format)
      << " trace) over " << Seconds(span, frequency) << " s, from the first issue to the last completion\n";
  out << "  bus  disk                       requests  busy s        busy %  peak outstanding  response sum s  "
         "\"% Disk Time\"\n";
  for (size_t disk = 0; disk < trace.disks.size(); ++disk) {
    sim::Ticks busy = 0;
    for (const qelvmon::TimelineSample& sample : timeline.samples) busy += sample.busy[disk];
    const sim::Ticks response = sim::TraceResponseSum(trace, static_cast<int>(disk));
    const sim::ReplayDiskFigures& figures = replay.Figures()[disk];
    char line[256];
    std::snprintf(line, sizeof line, "  %-4zu %-26s %8llu  %-12s %7s  %16zu  %-14s %13s\n", disk,
                  trace.disks[disk].c_str(), static_cast<unsigned long long>(figures.completed),
                  Seconds(busy, frequency).c_str(), Percent(busy, span).c_str(), figures.peak_outstanding,
                  Seconds(response, frequency).c_str(), Percent(response, span).c_str());
    out << line;
    if (figures.failed != 0 || figures.refused != 0) {
      out << "       " << figures.failed << " completed with an error, " << figures.refused << " could not be sent\n";
    }
  }
  out << "  (busy: the driver's time with at least one request outstanding; \"% Disk Time\": the sum of response\n"
         "   times over the same span, as counters that add them up report it)\n";
}

int RunReplay(const SimOptions& options, std::ostream& out, std::ostream& err, qelvmon::Timeline* timeline_out) {
  std::ostream& text = TextStream(options, out, err);
  std::string error;
  sim::Trace trace;
  if (!sim::LoadTrace(options.replay, options.trace_format, &trace, &error)) {
    err << "qelvsim: " << error << "\n";
    return 1;
  }
  if (trace.disks.size() > 256) {
    err << "qelvsim: " << options.replay << ": " << trace.disks.size()
        << " disks; a machine has bus indexes for at most 256\n";
    return 1;
  }
  hostreg::Registry& registry = hostreg::Registry::Machine();
  registry.Clear();
  sim::WriteRecordedMachineRegistry(registry, trace.disks);
  SetAttachMode(registry, options.attach_mode);

  sim::MachineOptions machine_options;
  machine_options.recorded_disks = trace.disks;
  sim::Machine machine(machine_options);
  if (!BootMachine(machine, registry, err)) return 1;
  text << "qelvsim: machine booted with the " << trace.disks.size() << " disk(s) of " << options.replay << " ("
      << sim::TraceFormatName(trace.format) << " trace, " << trace.requests.size() << " requests), virtual time\n";
  ReportStacks(machine, text);

  sim::Scheduler& scheduler = machine.GetScheduler();
  const ReplayClock clock = PlanReplayClock(trace, scheduler.Now(), IntervalTicks(options, scheduler));
  scheduler.RunUntil(clock.capture_start);
  sim::TraceReplay replay(&machine, trace, clock.offset);
  replay.Start();

  qelvmon::Timeline timeline;
  int monitor_exit = MonitorMachine(scheduler, options, clock.capture_start, clock.intervals,
                                    ReplayWallClock(trace, clock), out, err, &timeline);
  replay.StopIssuing();
  scheduler.Drain();
  machine.Shutdown();
  scheduler.Stop();

  PrintReplaySummary(trace, clock, replay, timeline, scheduler.Frequency(), text);
  if (!DrawTimeline(options, timeline, text, err)) return 1;
  if (timeline_out != nullptr) *timeline_out = timeline;
  bool all_done = true;
  for (const sim::ReplayDiskFigures& figures : replay.Figures()) {
    all_done = all_done && figures.failed == 0 && figures.refused == 0;
  }
  return all_done ? monitor_exit : 1;
}

}  // namespace

int RunSimulation(const SimOptions& options, std::ostream& out, std::ostream& err, qelvmon::Timeline* timeline_out) {
  if (!options.write_machine.empty()) {
    std::string error;
    hostreg::Registry& registry = hostreg::Registry::Machine();
    registry.Clear();
    sim::WriteDefaultMachineRegistry(registry, /*with_monitor_filter=*/false);
    if (!registry.SaveFile(options.write_machine, &error)) {
      err << "qelvsim: could not write " << options.write_machine << ": " << error << "\n";
      return 1;
    }
    out << "qelvsim: default machine written to " << options.write_machine << "\n";
    return 0;
  }
  if (!options.replay.empty()) return RunReplay(options, out, err, timeline_out);
  return RunWorkload(options, out, err, timeline_out);
}

}  // namespace qelvsim
