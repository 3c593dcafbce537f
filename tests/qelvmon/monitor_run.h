// Runs the monitor over a recording and keeps what it printed.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "qelvmon/monitor.h"
#include "scripted_channel.h"

namespace qelvmon_test {

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

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

// RFC 4180 records: fields split at commas outside quotes, "" inside
// quotes for one quote. Fails the test on a malformed record.
inline std::vector<std::vector<std::string>> ParseCsv(const std::string& text) {
  std::vector<std::vector<std::string>> records;
  std::vector<std::string> record;
  std::string field;
  bool quoted = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (quoted) {
      if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
        field += '"';
        ++i;
      } else if (c == '"') {
        quoted = false;
      } else {
        field += c;
      }
    } else if (c == '"') {
      EXPECT_TRUE(field.empty()) << "quote inside an unquoted field";
      quoted = true;
    } else if (c == ',') {
      record.push_back(field);
      field.clear();
    } else if (c == '\n') {
      record.push_back(field);
      field.clear();
      records.push_back(record);
      record.clear();
    } else {
      field += c;
    }
  }
  EXPECT_FALSE(quoted) << "unterminated quote";
  EXPECT_TRUE(field.empty() && record.empty()) << "last record has no line end";
  return records;
}

}  // namespace qelvmon_test
