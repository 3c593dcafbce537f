#include "scripted_channel.h"

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace qelvmon_test {
namespace {

using qelvmon::Win32Error;

[[noreturn]] void Bad(int line, const std::string& why) {
  throw std::runtime_error("recording line " + std::to_string(line) + ": " + why);
}

std::string Unescape(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] == 'x') {
      out += static_cast<char>(std::stoi(text.substr(i + 2, 2), nullptr, 16));
      i += 3;
    } else {
      out += text[i];
    }
  }
  return out;
}

Win32Error ParseCode(const std::string& text) {
  return static_cast<Win32Error>(std::stoul(text, nullptr, 0));
}

}  // namespace

ScriptedChannel ScriptedChannel::FromText(const std::string& text) {
  ScriptedChannel channel;
  std::istringstream lines(text);
  std::string line;
  int number = 0;
  while (std::getline(lines, line)) {
    ++number;
    if (const auto hash = line.find('#'); hash != std::string::npos) line.erase(hash);
    std::istringstream words(line);
    std::string directive;
    if (!(words >> directive)) continue;
    if (directive == "frequency") {
      if (!(words >> channel.frequency_)) Bad(number, "frequency needs a number");
    } else if (directive == "device") {
      int bus = -1;
      if (!(words >> bus) || bus < 0 || bus > 255) Bad(number, "device needs a bus index");
      std::string name;
      std::getline(words >> std::ws, name);
      channel.devices_[bus] = Unescape(name);
    } else if (directive == "read") {
      Step step;
      if (!(words >> step.reply.interval_start >> step.reply.interval_end)) {
        Bad(number, "read needs START and END");
      }
      std::string pair;
      while (words >> pair) {
        const auto colon = pair.find(':');
        if (colon == std::string::npos) Bad(number, "busy time must be BUS:TICKS");
        const int bus = std::stoi(pair.substr(0, colon));
        if (bus < 0 || bus > 255) Bad(number, "bus index out of range");
        step.reply.busy_time[static_cast<std::size_t>(bus)] = std::stoll(pair.substr(colon + 1));
      }
      channel.steps_.push_back(step);
    } else if (directive == "fail") {
      std::string what;
      std::string code;
      words >> what;
      if (what == "name") {
        int bus = -1;
        words >> bus >> code;
        channel.name_failures_[bus] = ParseCode(code);
      } else if (what == "read") {
        words >> code;
        Step step;
        step.kind = Step::Kind::kFailRead;
        step.error = ParseCode(code);
        channel.steps_.push_back(step);
      } else if (what == "open" || what == "start" || what == "stop") {
        words >> code;
        channel.failures_[what] = ParseCode(code);
      } else {
        Bad(number, "unknown failure '" + what + "'");
      }
    } else if (directive == "interrupt") {
      Step step;
      step.kind = Step::Kind::kInterrupt;
      channel.steps_.push_back(step);
    } else {
      Bad(number, "unknown directive '" + directive + "'");
    }
  }
  return channel;
}

ScriptedChannel ScriptedChannel::FromFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream text;
  text << in.rdbuf();
  return FromText(text.str());
}

Win32Error ScriptedChannel::Open() {
  calls_.emplace_back("open");
  if (auto it = failures_.find("open"); it != failures_.end()) return it->second;
  open_ = true;
  return qelvmon::kSuccess;
}

Win32Error ScriptedChannel::StartCapture() {
  calls_.emplace_back("start");
  if (!open_) return qelvmon::kErrorInvalidHandle;
  if (auto it = failures_.find("start"); it != failures_.end()) return it->second;
  capturing_ = true;
  return qelvmon::kSuccess;
}

Win32Error ScriptedChannel::ReadStatistics(qelvmon::StatisticsBytes& reply) {
  calls_.emplace_back("read");
  if (!open_) return qelvmon::kErrorInvalidHandle;
  if (!capturing_) return qelvmon::kStatusCaptureInactive;
  if (steps_.empty() || steps_.front().kind == Step::Kind::kInterrupt) {
    return 259;  // ERROR_NO_MORE_ITEMS: the recording ran out
  }
  const Step step = steps_.front();
  steps_.pop_front();
  if (step.kind == Step::Kind::kFailRead) return step.error;
  reply = qelvmon::EncodeStatisticsReply(step.reply);
  return qelvmon::kSuccess;
}

Win32Error ScriptedChannel::GetControllerName(std::uint8_t bus, std::string& name) {
  ++name_queries_;
  if (!open_) return qelvmon::kErrorInvalidHandle;
  if (!capturing_) return qelvmon::kStatusCaptureInactive;
  if (auto it = name_failures_.find(bus); it != name_failures_.end()) return it->second;
  auto it = devices_.find(bus);
  if (it == devices_.end()) return qelvmon::kStatusBusNotFound;
  name = it->second;
  return qelvmon::kSuccess;
}

Win32Error ScriptedChannel::StopCapture() {
  calls_.emplace_back("stop");
  if (!open_) return qelvmon::kErrorInvalidHandle;
  if (auto it = failures_.find("stop"); it != failures_.end()) return it->second;
  if (!capturing_) return qelvmon::kStatusCaptureInactive;
  capturing_ = false;
  return qelvmon::kSuccess;
}

void ScriptedChannel::Close() {
  if (!open_) return;
  calls_.emplace_back("close");
  open_ = false;
  capturing_ = false;
}

qelvmon::MonitorHooks ScriptedChannel::Hooks() {
  using namespace std::chrono;
  clock_ = system_clock::time_point(seconds(1709294400));  // 2024-03-01T12:00:00Z
  qelvmon::MonitorHooks hooks;
  hooks.wait_for_interval = [this](std::uint64_t, nanoseconds length) {
    if (!steps_.empty() && steps_.front().kind == Step::Kind::kInterrupt) {
      steps_.pop_front();
      interrupted_ = true;
      return false;
    }
    clock_ += duration_cast<system_clock::duration>(length);
    return true;
  };
  hooks.wall_clock = [this] { return clock_; };
  hooks.interrupted = [this] { return interrupted_; };
  return hooks;
}

}  // namespace qelvmon_test
