#include "sim/workload.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <sstream>

namespace sim {
namespace {

const std::map<std::string, std::string>& BuiltIns() {
  static const std::map<std::string, std::string> workloads = {
      {"mixed",
       "# Every bus busy now and then: disks, CD-ROMs, tape, USB and 1394.\n"
       "ide0.master rate=35 size=64k read=0.7 qd=2\n"
       "ide0.slave  rate=3 size=32k read=1 qd=1 on=1500 off=1000\n"
       "ide1.master qd=1 think=40 size=16k read=0.6 pass=0.1\n"
       "ide1.slave  rate=4 size=64k read=1 seq=1\n"
       "scsi.disk0  rate=40 size=8k read=0.8 qd=4 pass=0.05\n"
       "scsi.disk1  rate=10 size=64k read=0.5 qd=2 burst=16/2000\n"
       "scsi.tape   qd=1 think=200 size=32k read=0 seq=1\n"
       "usb.disk    rate=5 size=16k read=0.5 qd=1\n"
       "1394.disk   rate=30 size=64k read=0.9 qd=2 on=2000 off=2000\n"},
      {"ide",
       "# The two IDE channels, master and slave of each busy at once.\n"
       "ide0.master rate=80 size=64k read=0.7 qd=2\n"
       "ide0.slave  rate=10 size=32k read=1 qd=1\n"
       "ide1.master qd=1 think=20 size=16k read=0.6 pass=0.2\n"
       "ide1.slave  rate=6 size=64k read=1 seq=1\n"},
      {"burst",
       "# Quiet disks with bursts.\n"
       "ide0.master burst=32/3000 size=64k read=0.5 qd=4\n"
       "scsi.disk0  burst=64/2500 size=8k read=0.9 qd=8\n"
       "1394.disk   burst=16/4000 size=64k read=0.9 qd=2\n"},
      {"idle", "# Nothing but an occasional read.\nide0.master rate=1 size=4k read=1\n"},
      {"hotplug",
       "# A USB stick arrives, is written to, and is pulled out while busy.\n"
       "ide0.master rate=40 size=64k read=0.7 qd=2\n"
       "usb.disk    rate=5 size=16k read=0.5\n"
       "usb.stick   qd=1 think=10 size=32k read=0.2\n"
       "plug usb.port2 at=2000\n"
       "unplug usb.port2 at=7000\n"},
  };
  return workloads;
}

bool ParseNumber(const std::string& text, double* out) {
  try {
    size_t used = 0;
    *out = std::stod(text, &used);
    return used == text.size() && std::isfinite(*out);
  } catch (const std::exception&) {
    return false;
  }
}

bool ParseSize(std::string text, uint32_t* out) {
  double scale = 1;
  if (!text.empty() && (text.back() == 'k' || text.back() == 'K')) {
    scale = 1024;
    text.pop_back();
  } else if (!text.empty() && (text.back() == 'm' || text.back() == 'M')) {
    scale = 1024 * 1024;
    text.pop_back();
  }
  double value = 0;
  if (!ParseNumber(text, &value) || value * scale < 512 || value * scale > 16 * 1024 * 1024) return false;
  *out = static_cast<uint32_t>(value * scale) / 512 * 512;
  return true;
}

}  // namespace

std::vector<std::string> BuiltInWorkloads() {
  std::vector<std::string> names;
  for (const auto& entry : BuiltIns()) names.push_back(entry.first);
  return names;
}

bool ParseWorkload(const std::string& text, WorkloadSpec* spec, std::string* error) {
  WorkloadSpec out;
  std::istringstream lines(text);
  std::string line;
  int number = 0;
  auto fail = [&](const std::string& why) {
    *error = "line " + std::to_string(number) + ": " + why;
    return false;
  };
  while (std::getline(lines, line)) {
    ++number;
    line = line.substr(0, line.find('#'));
    std::istringstream words(line);
    std::string head;
    if (!(words >> head)) continue;
    if (head == "plug" || head == "unplug") {
      HotPlugEvent event;
      event.present = head == "plug";
      std::string at;
      if (!(words >> event.node >> at) || at.rfind("at=", 0) != 0 || !ParseNumber(at.substr(3), &event.at_ms) ||
          event.at_ms < 0) {
        return fail("expected \"" + head + " <node> at=<ms>\"");
      }
      out.hot_plug.push_back(event);
      continue;
    }
    DeviceWorkload device;
    device.device = head;
    std::string word;
    while (words >> word) {
      size_t eq = word.find('=');
      if (eq == std::string::npos) return fail("expected key=value, got \"" + word + "\"");
      std::string key = word.substr(0, eq);
      std::string value = word.substr(eq + 1);
      double number_value = 0;
      if (key == "size") {
        if (!ParseSize(value, &device.size)) return fail("size must be 512 bytes to 16m");
        continue;
      }
      if (key == "burst") {
        size_t slash = value.find('/');
        double count = 0;
        if (slash == std::string::npos || !ParseNumber(value.substr(0, slash), &count) ||
            !ParseNumber(value.substr(slash + 1), &device.burst_every_ms) || count < 1 || count > 100000 ||
            device.burst_every_ms <= 0) {
          return fail("burst must be <count>/<ms>");
        }
        device.burst_count = static_cast<int>(count);
        continue;
      }
      static const char* const kNumericKeys[] = {"rate", "read", "qd", "think", "seq", "pass", "on", "off", "start", "stop"};
      if (std::find(std::begin(kNumericKeys), std::end(kNumericKeys), key) == std::end(kNumericKeys)) {
        return fail("unknown key \"" + key + "\"");
      }
      if (!ParseNumber(value, &number_value)) return fail("\"" + value + "\" is not a number");
      if (key == "rate") {
        if (number_value < 0 || number_value > 100000) return fail("rate must be 0 to 100000");
        device.rate = number_value;
      } else if (key == "read") {
        if (number_value < 0 || number_value > 1) return fail("read must be 0 to 1");
        device.read_fraction = number_value;
      } else if (key == "qd") {
        if (number_value < 1 || number_value > 256) return fail("qd must be 1 to 256");
        device.queue_depth = static_cast<int>(number_value);
      } else if (key == "think") {
        if (number_value < 0) return fail("think must not be negative");
        device.think_ms = number_value;
      } else if (key == "seq") {
        device.sequential = number_value != 0;
      } else if (key == "pass") {
        if (number_value < 0 || number_value > 1) return fail("pass must be 0 to 1");
        device.pass_fraction = number_value;
      } else if (key == "on") {
        if (number_value < 0) return fail("on must not be negative");
        device.on_ms = number_value;
      } else if (key == "off") {
        if (number_value < 0) return fail("off must not be negative");
        device.off_ms = number_value;
      } else if (key == "start") {
        if (number_value < 0) return fail("start must not be negative");
        device.start_ms = number_value;
      } else if (key == "stop") {
        if (number_value < 0) return fail("stop must not be negative");
        device.stop_ms = number_value;
      } else {
        return fail("unknown key \"" + key + "\"");
      }
    }
    out.devices.push_back(device);
  }
  *spec = std::move(out);
  return true;
}

bool LoadWorkload(const std::string& name_or_file, WorkloadSpec* spec, std::string* error) {
  auto it = BuiltIns().find(name_or_file);
  if (it != BuiltIns().end()) return ParseWorkload(it->second, spec, error);
  std::ifstream file(name_or_file);
  if (!file) {
    std::string names;
    for (const auto& n : BuiltInWorkloads()) names += (names.empty() ? "" : ", ") + n;
    *error = "no built-in workload or readable file \"" + name_or_file + "\" (built in: " + names + ")";
    return false;
  }
  std::stringstream text;
  text << file.rdbuf();
  std::string parse_error;
  if (!ParseWorkload(text.str(), spec, &parse_error)) {
    *error = name_or_file + ": " + parse_error;
    return false;
  }
  return true;
}

// --- Runner ------------------------------------------------------------------

struct WorkloadRunner::DeviceState {
  DeviceWorkload config;
  StorageDevice* device = nullptr;
  Random random{1};
  int outstanding = 0;
  uint64_t backlog = 0;
  uint64_t next_lba = 0;
};

WorkloadRunner::WorkloadRunner(Machine* machine, WorkloadSpec spec, uint64_t seed)
    : machine_(machine), spec_(std::move(spec)), seed_(seed) {}

WorkloadRunner::~WorkloadRunner() { StopIssuing(); }

Ticks WorkloadRunner::Ms(double ms) const {
  return static_cast<Ticks>(std::llround(ms * static_cast<double>(machine_->GetScheduler().Frequency()) / 1000.0));
}

void WorkloadRunner::Start(Ticks duration) {
  Scheduler& scheduler = machine_->GetScheduler();
  begin_ = scheduler.Now();
  end_ = begin_ + duration;
  uint64_t index = 0;
  for (const DeviceWorkload& config : spec_.devices) {
    auto state = std::make_unique<DeviceState>();
    state->config = config;
    state->device = machine_->FindDevice(config.device);
    state->random = Random(seed_ * 1000003 + (++index) * 7777);
    if (state->device == nullptr) continue;
    DeviceState* raw = state.get();
    states_.push_back(std::move(state));
    int lane = raw->device->GetBus()->Lane();
    Ticks first = begin_ + Ms(config.start_ms);
    if (config.rate > 0) {
      scheduler.At(lane, first, [this, raw] { ScheduleArrival(raw); });
    } else if (config.burst_count == 0) {
      scheduler.At(lane, first, [this, raw] { Issue(raw); });
    }
    if (config.burst_count > 0) {
      scheduler.At(lane, first + Ms(config.burst_every_ms), [this, raw] { ScheduleBurst(raw); });
    }
  }
  for (const HotPlugEvent& event : spec_.hot_plug) {
    std::string node = event.node;
    bool present = event.present;
    scheduler.At(Machine::kSystemLane, begin_ + Ms(event.at_ms), [this, node, present] {
      machine_->SetPresent(node, present);
    });
  }
}

void WorkloadRunner::StopIssuing() {
  std::lock_guard<std::mutex> lock(mutex_);
  stopping_ = true;
}

bool WorkloadRunner::Active(const DeviceState* state, Ticks now) const {
  const DeviceWorkload& c = state->config;
  if (now >= end_) return false;
  Ticks from = begin_ + Ms(c.start_ms);
  if (now < from) return false;
  if (c.stop_ms >= 0 && now >= begin_ + Ms(c.stop_ms)) return false;
  if (c.on_ms > 0 && c.off_ms > 0) {
    Ticks cycle = Ms(c.on_ms + c.off_ms);
    if (cycle > 0 && (now - from) % cycle >= Ms(c.on_ms)) return false;
  }
  return true;
}

void WorkloadRunner::ScheduleArrival(DeviceState* state) {
  Scheduler& scheduler = machine_->GetScheduler();
  Ticks now = scheduler.Now();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_ || now >= end_) return;
  }
  Arrive(state);
  double mean_ms = 1000.0 / state->config.rate;
  Ticks delay = std::max<Ticks>(1, Ms(state->random.Exponential(mean_ms)));
  if (now + delay >= end_) return;
  scheduler.At(state->device->GetBus()->Lane(), now + delay, [this, state] { ScheduleArrival(state); });
}

void WorkloadRunner::ScheduleBurst(DeviceState* state) {
  Scheduler& scheduler = machine_->GetScheduler();
  Ticks now = scheduler.Now();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_ || now >= end_) return;
    if (Active(state, now)) state->backlog += static_cast<uint64_t>(state->config.burst_count);
  }
  Issue(state);
  Ticks next = now + Ms(state->config.burst_every_ms);
  if (next < end_) scheduler.At(state->device->GetBus()->Lane(), next, [this, state] { ScheduleBurst(state); });
}

void WorkloadRunner::Arrive(DeviceState* state) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!Active(state, machine_->GetScheduler().Now())) return;
    ++state->backlog;
  }
  Issue(state);
}

void WorkloadRunner::Issue(DeviceState* state) {
  Scheduler& scheduler = machine_->GetScheduler();
  const DeviceWorkload& c = state->config;
  bool closed_loop = c.rate == 0 && c.burst_count == 0;
  while (true) {
    IoRequest request;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      Ticks now = scheduler.Now();
      if (stopping_ || now >= end_) return;
      if (state->outstanding >= c.queue_depth) return;
      if (closed_loop) {
        if (!Active(state, now)) {
          // Look again when the next active period may have begun.
          Ticks retry = now + Ms(c.off_ms > 0 ? std::min(c.off_ms, 100.0) : 100.0);
          if (state->outstanding == 0 && retry < end_) {
            scheduler.At(state->device->GetBus()->Lane(), retry, [this, state] { Issue(state); });
          }
          return;
        }
      } else {
        if (state->backlog == 0) return;
        --state->backlog;
      }
      const ServiceModel& model = state->device->Model();
      uint64_t blocks = c.size / 512;
      request.bytes = c.size;
      request.write = state->random.Unit() >= c.read_fraction;
      request.pass_through = c.pass_fraction > 0 && state->random.Unit() < c.pass_fraction;
      uint64_t span = model.capacity_blocks > blocks ? model.capacity_blocks - blocks : 1;
      if (c.sequential) {
        request.lba = state->next_lba % span;
      } else {
        request.lba = state->random.Below(span);
      }
      state->next_lba = request.lba + blocks;
      ++state->outstanding;
      ++in_flight_;
    }
    bool sent = machine_->Submit(state->device, request,
                                 [this, state, request](const IoResult& result) { OnComplete(state, request, result); });
    if (!sent) {
      std::lock_guard<std::mutex> lock(mutex_);
      --state->outstanding;
      --in_flight_;
      ++dropped_;
      if (closed_loop && state->outstanding == 0) {
        Ticks retry = scheduler.Now() + Ms(100);
        if (retry < end_) scheduler.At(state->device->GetBus()->Lane(), retry, [this, state] { Issue(state); });
      }
      return;
    }
  }
}

void WorkloadRunner::OnComplete(DeviceState* state, const IoRequest& request, const IoResult& result) {
  Scheduler& scheduler = machine_->GetScheduler();
  Ticks next_at = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    RequestRecord record;
    record.device = state->config.device;
    record.bus = state->device->GetBus()->Name();
    record.start = result.start;
    record.end = result.end;
    record.status = result.status;
    record.pass_through = request.pass_through;
    record.write = request.write;
    record.bytes = request.bytes;
    records_.push_back(record);
    --state->outstanding;
    --in_flight_;
    if (stopping_ || result.end >= end_) return;
    next_at = result.end + (state->config.rate == 0 && state->config.burst_count == 0 ? Ms(state->config.think_ms) : 0);
  }
  // The next request starts from the program's thread, not from inside the
  // completion.
  scheduler.At(state->device->GetBus()->Lane(), next_at, [this, state] { Issue(state); });
}

std::vector<RequestRecord> WorkloadRunner::Records() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return records_;
}

size_t WorkloadRunner::InFlight() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return in_flight_;
}

uint64_t WorkloadRunner::Dropped() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return dropped_;
}

Ticks BusyUnion(const std::vector<RequestRecord>& records, const std::string& bus, Ticks from, Ticks to) {
  std::vector<std::pair<Ticks, Ticks>> spans;
  for (const RequestRecord& r : records) {
    if (r.bus != bus) continue;
    Ticks start = std::max(r.start, from);
    Ticks end = std::min(r.end, to);
    if (end > start) spans.emplace_back(start, end);
  }
  std::sort(spans.begin(), spans.end());
  Ticks total = 0;
  Ticks run_start = 0;
  Ticks run_end = 0;
  bool open = false;
  for (const auto& span : spans) {
    if (open && span.first <= run_end) {
      run_end = std::max(run_end, span.second);
      continue;
    }
    if (open) total += run_end - run_start;
    run_start = span.first;
    run_end = span.second;
    open = true;
  }
  if (open) total += run_end - run_start;
  return total;
}

}  // namespace sim
