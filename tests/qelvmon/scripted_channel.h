// A control channel that plays back a recorded capture, for tests.
//
// Recording format, one directive per line ('#' starts a comment):
//   frequency HZ                      counter frequency (default 0: unknown)
//   device BUS [NAME]                 a device record on BUS; NAME may hold \xHH
//   read START END [BUS:TICKS ...]    the next statistics reply
//   fail read|open|start|stop CODE    the next such request fails with CODE
//   fail name BUS CODE                name queries for BUS fail with CODE
//   interrupt                         Ctrl-C while waiting for the next interval
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "qelvmon/control_channel.h"
#include "qelvmon/monitor.h"

namespace qelvmon_test {

class ScriptedChannel final : public qelvmon::ControlChannel {
 public:
  static ScriptedChannel FromText(const std::string& text);
  static ScriptedChannel FromFile(const std::string& path);

  qelvmon::Win32Error Open() override;
  qelvmon::Win32Error StartCapture() override;
  qelvmon::Win32Error ReadStatistics(qelvmon::StatisticsBytes& reply) override;
  qelvmon::Win32Error GetControllerName(std::uint8_t bus, std::string& name) override;
  qelvmon::Win32Error StopCapture() override;
  void Close() override;
  std::int64_t CounterFrequency() override { return frequency_; }

  // Pacing and wall clock for the monitor: no sleeping; the clock starts at
  // 2024-03-01T12:00:00Z and moves on by one interval per wait.
  qelvmon::MonitorHooks Hooks();

  // Requests seen, except name queries: "open", "start", "read", "stop", "close".
  const std::vector<std::string>& Calls() const { return calls_; }
  int NameQueries() const { return name_queries_; }

 private:
  struct Step {
    enum class Kind { kRead, kFailRead, kInterrupt } kind = Kind::kRead;
    qelvmon::StatisticsReply reply;
    qelvmon::Win32Error error = 0;
  };

  std::int64_t frequency_ = 0;
  std::map<int, std::string> devices_;
  std::map<int, qelvmon::Win32Error> name_failures_;
  std::map<std::string, qelvmon::Win32Error> failures_;  // open, start, stop
  std::deque<Step> steps_;
  std::vector<std::string> calls_;
  int name_queries_ = 0;
  bool open_ = false;
  bool capturing_ = false;
  bool interrupted_ = false;
  std::chrono::system_clock::time_point clock_;
};

}  // namespace qelvmon_test
