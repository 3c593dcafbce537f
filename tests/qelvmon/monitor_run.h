// Runs the monitor over a recording and keeps what it printed.
#pragma once

#include <fstream>
#include <sstream>
#include <string>

#include "qelvmon/monitor.h"
#include "scripted_channel.h"

namespace qelvmon_test {

inline std::string TestFile(const std::string& relative) {
  return std::string(QELVMON_TEST_DIR) + "/" + relative;
}

struct MonitorRun {
  int exit_code = -1;
  std::string out;
  std::string err;
  std::vector<std::string> calls;
  int name_queries = 0;
};

inline MonitorRun RunMonitor(ScriptedChannel channel, const qelvmon::MonitorConfig& config) {
  std::ostringstream out;
  std::ostringstream err;
  MonitorRun run;
  run.exit_code = qelvmon::RunMonitor(channel, config, channel.Hooks(), out, err);
  run.out = out.str();
  run.err = err.str();
  run.calls = channel.Calls();
  run.name_queries = channel.NameQueries();
  return run;
}

inline MonitorRun RunRecording(const std::string& text, const qelvmon::MonitorConfig& config) {
  return RunMonitor(ScriptedChannel::FromText(text), config);
}

}  // namespace qelvmon_test
