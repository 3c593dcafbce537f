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

// Passes everything on and keeps what the monitor read, for the picture.
class RecordingChannel final : public qelvmon::ControlChannel {
 public:
  RecordingChannel(qelvmon::ControlChannel& inner, Timeline* timeline) : inner_(inner), timeline_(timeline) {}
  qelvmon::Win32Error Open() override { return inner_.Open(); }
  qelvmon::Win32Error StartCapture() override { return inner_.StartCapture(); }
  qelvmon::Win32Error ReadStatistics(qelvmon::StatisticsBytes& reply) override {
    qelvmon::Win32Error error = inner_.ReadStatistics(reply);
    if (error == qelvmon::kSuccess) {
      qelvmon::StatisticsReply decoded = qelvmon::DecodeStatisticsReply(reply);
      TimelineSample sample;
      sample.interval_start = decoded.interval_start;
      sample.interval_end = decoded.interval_end;
      sample.busy = decoded.busy_time;
      timeline_->samples.push_back(sample);
    }
    return error;
  }
  qelvmon::Win32Error GetControllerName(std::uint8_t bus, std::string& name) override {
    qelvmon::Win32Error error = inner_.GetControllerName(bus, name);
    if (error == qelvmon::kSuccess) timeline_->names[bus] = name;
    return error;
  }
  qelvmon::Win32Error StopCapture() override { return inner_.StopCapture(); }
  void Close() override { inner_.Close(); }
  std::int64_t CounterFrequency() override { return inner_.CounterFrequency(); }

 private:
  qelvmon::ControlChannel& inner_;
  Timeline* timeline_;
};

const char kUsage[] =
    "usage: qelvsim [--machine FILE.reg] [--workload NAME|FILE] [--seconds N]\n"
    "               [--attach-mode 0-7] [--time real|virtual] [--interval SECONDS]\n"
    "               [--svg FILE] [--pace SECONDS] [--seed N] [--format table|csv|json]\n"
    "       qelvsim --write-machine FILE.reg\n"
    "\n"
    "Boots a simulated Windows 2000 machine whose storage stacks the Plug and\n"
    "Play manager builds from the registry, runs a workload on its disks and\n"
    "runs qelvmon against qelvard1, then draws each bus's utilisation.\n"
    "\n"
    "  --machine FILE    registry of the machine (regedit text); made from the\n"
    "                    default machine when missing, saved back at the end\n"
    "  --workload W      built-in workload (mixed, ide, burst, idle, hotplug) or a\n"
    "                    workload file (default mixed)\n"
    "  --seconds N       length of the run (default 10)\n"
    "  --attach-mode N   writes KVFlags = N for qelvard1 before the machine boots\n"
    "  --time T          virtual (exact and repeatable, the default) or real\n"
    "  --interval S      seconds per monitor report (default 1)\n"
    "  --svg FILE        where to draw the timeline (default qelvsim-timeline.svg;\n"
    "                    \"\" for none)\n"
    "  --pace S          virtual time: wait S real seconds per report, so the\n"
    "                    table builds up as if live (default 0)\n"
    "  --seed N          seed of the workload and the disks (default 1)\n"
    "  --format F        qelvmon output: table, csv or json (default table)\n"
    "  --write-machine FILE  write the default machine without qelvard1 in any\n"
    "                    filter list (for an installer to add it) and stop\n";

bool ParseDouble(const std::string& text, double* out) {
  try {
    size_t used = 0;
    *out = std::stod(text, &used);
    return used == text.size() && std::isfinite(*out);
  } catch (const std::exception&) {
    return false;
  }
}

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

}  // namespace

int ParseOptions(int argc, const char* const* argv, SimOptions* options, std::ostream& out, std::ostream& err) {
  for (int i = 0; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      out << kUsage;
      return 0;
    }
    std::string value;
    size_t eq = arg.find('=');
    if (arg.rfind("--", 0) == 0 && eq != std::string::npos) {
      value = arg.substr(eq + 1);
      arg = arg.substr(0, eq);
    } else if (i + 1 < argc) {
      value = argv[++i];
    } else {
      err << "qelvsim: " << arg << " needs a value\n" << kUsage;
      return 2;
    }
    double number = 0;
    auto bad = [&](const std::string& why) {
      err << "qelvsim: " << arg << ": " << why << "\n";
      return 2;
    };
    if (arg == "--machine") {
      options->machine_file = value;
    } else if (arg == "--workload") {
      options->workload = value;
    } else if (arg == "--seconds") {
      if (!ParseDouble(value, &number) || number <= 0 || number > 86400) return bad("must be a number of seconds, above 0 and at most 86400");
      options->seconds = number;
    } else if (arg == "--attach-mode") {
      if (!ParseDouble(value, &number) || number < 0 || number > 7 || number != std::floor(number)) {
        return bad("must be a whole number from 0 to 7");
      }
      options->attach_mode = static_cast<int>(number);
    } else if (arg == "--time") {
      if (value != "real" && value != "virtual") return bad("must be real or virtual");
      options->virtual_time = value == "virtual";
    } else if (arg == "--interval") {
      if (!ParseDouble(value, &number) || number < 0.01 || number > 86400) return bad("must be 0.01 to 86400 seconds");
      options->interval = number;
    } else if (arg == "--svg") {
      options->svg = value;
    } else if (arg == "--pace") {
      if (!ParseDouble(value, &number) || number < 0 || number > 60) return bad("must be 0 to 60 seconds");
      options->pace = number;
    } else if (arg == "--seed") {
      if (!ParseDouble(value, &number) || number < 0 || number != std::floor(number) || number > 1e15) {
        return bad("must be a whole number");
      }
      options->seed = static_cast<std::uint64_t>(number);
    } else if (arg == "--write-machine") {
      if (value.empty()) return bad("needs a file name");
      options->write_machine = value;
    } else if (arg == "--format") {
      if (value != "table" && value != "csv" && value != "json") return bad("must be table, csv or json");
      options->format = value;
    } else {
      err << "qelvsim: unknown option " << arg << "\n" << kUsage;
      return 2;
    }
  }
  return -1;
}

int RunSimulation(const SimOptions& options, std::ostream& out, std::ostream& err, Timeline* timeline_out) {
  std::string error;
  if (!options.write_machine.empty()) {
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
  if (options.attach_mode >= 0) {
    std::lock_guard<std::recursive_mutex> lock(registry.Mutex());
    registry.Create("System\\CurrentControlSet\\Services\\qelvard1")
        ->SetValue("KVFlags", hostreg::kRegDword, hostreg::EncodeDword(static_cast<uint32_t>(options.attach_mode)));
  }

  sim::MachineOptions machine_options;
  machine_options.time = options.virtual_time ? sim::TimeMode::kVirtual : sim::TimeMode::kReal;
  machine_options.seed = options.seed;
  sim::Machine machine(machine_options);
  hostpnp::RegisterDriverImage("qelvard1", DriverEntry);
  NTSTATUS status = machine.Boot(registry);
  if (!NT_SUCCESS(status)) {
    err << "qelvsim: the machine did not boot (status 0x" << std::hex << static_cast<uint32_t>(status) << std::dec
        << ")\n";
    return 1;
  }
  out << "qelvsim: machine booted from " << (from_file ? options.machine_file : std::string("the default machine"))
      << ", " << (options.virtual_time ? "virtual" : "real") << " time, workload " << options.workload << "\n";
  PrintStacks(machine, out);
  PDRIVER_OBJECT filter = machine.Pnp()->LoadedDriver("qelvard1");
  if (filter == nullptr) {
    out << "qelvsim: qelvard1 is not a filter of any device on this machine; the monitor will find no driver\n";
  }
  out << "\n";

  sim::Scheduler& scheduler = machine.GetScheduler();
  sim::Ticks frequency = scheduler.Frequency();
  auto duration = static_cast<sim::Ticks>(std::llround(options.seconds * static_cast<double>(frequency)));
  sim::WorkloadRunner runner(&machine, workload, options.seed);
  runner.Start(duration);
  sim::Ticks begin = scheduler.Now();

  // qelvmon, as a user process of the machine.
  Timeline timeline;
  timeline.frequency = frequency;
  int monitor_exit = 0;
  {
    hostk::UserProcess process(1234);
    qelvmon::IoctlChannel<ProcessApi> channel{ProcessApi(&process)};
    RecordingChannel recording(channel, &timeline);
    qelvmon::MonitorConfig config;
    config.interval = std::chrono::nanoseconds(static_cast<std::int64_t>(options.interval * 1e9));
    config.count = static_cast<std::uint64_t>(std::max(1.0, std::floor(options.seconds / options.interval)));
    config.format = options.format == "csv" ? qelvmon::OutputFormat::kCsv
                    : options.format == "json" ? qelvmon::OutputFormat::kJson
                                               : qelvmon::OutputFormat::kTable;
    qelvmon::MonitorHooks hooks;
    sim::Ticks interval_ticks = static_cast<sim::Ticks>(std::llround(options.interval * static_cast<double>(frequency)));
    hooks.wait_for_interval = [&](std::uint64_t index, std::chrono::nanoseconds /*length*/) {
      if (options.virtual_time && options.pace > 0) {
        std::this_thread::sleep_for(std::chrono::microseconds(static_cast<std::int64_t>(options.pace * 1e6)));
      }
      scheduler.RunUntil(begin + static_cast<sim::Ticks>(index) * interval_ticks);
      return g_interrupted == 0;
    };
    hooks.interrupted = [] { return g_interrupted != 0; };
    if (options.virtual_time) hooks.wall_clock = VirtualWallClock;
    auto previous = std::signal(SIGINT, OnInterrupt);
    monitor_exit = qelvmon::RunMonitor(recording, config, hooks, out, err);
    std::signal(SIGINT, previous);
  }

  // Let what is in flight finish, then take the machine down.
  runner.StopIssuing();
  scheduler.Drain();
  std::vector<sim::RequestRecord> records = runner.Records();
  machine.Shutdown();
  scheduler.Stop();

  out << "\nqelvsim: " << records.size() << " requests completed";
  std::map<std::string, size_t> per_bus;
  for (const auto& r : records) ++per_bus[r.bus];
  std::string sep = " (";
  for (const auto& entry : per_bus) {
    out << sep << entry.first << " " << entry.second;
    sep = ", ";
  }
  out << (per_bus.empty() ? "" : ")") << "\n";

  if (!options.machine_file.empty()) {
    if (!registry.SaveFile(options.machine_file, &error)) {
      err << "qelvsim: could not save " << options.machine_file << ": " << error << "\n";
      return 1;
    }
    out << "qelvsim: machine saved to " << options.machine_file << "\n";
  }
  if (!options.svg.empty()) {
    std::ofstream file(options.svg, std::ios::binary | std::ios::trunc);
    file << TimelineSvg(timeline);
    if (!file) {
      err << "qelvsim: could not write " << options.svg << "\n";
      return 1;
    }
    out << "qelvsim: utilisation timeline written to " << options.svg << "\n";
  }
  if (timeline_out != nullptr) *timeline_out = timeline;
  return monitor_exit;
}

}  // namespace qelvsim
