// The guest's report lines (see guest.cpp) and the running of the
// project's programs as child processes whose output comes back as lines.
#pragma once

#include <string>
#include <vector>

namespace qelvnt {

void Pass(const std::string& name, const std::string& detail);
void Fail(const std::string& name, const std::string& why);
void Skip(const std::string& name, const std::string& why);
// Pass when `why` is empty, else Fail with it.
void Check(const std::string& name, const std::string& why);
void Info(const std::string& key, const std::string& text);
void FileLines(const std::string& name, const std::vector<std::string>& lines);
void Request(const std::string& what);
void End(const std::string& plan);

// Shuts the machine down and powers it off; returns only when refused.
void PowerOff();

struct ChildRun {
  bool started = false;
  bool timed_out = false;
  unsigned long exit_code = 0;
  std::vector<std::string> lines;  // its standard output, then its standard error
  std::string why;                 // when it could not be started
};

// Runs `command_line` with its output in `output_path`, waiting at most
// `timeout_ms`.
ChildRun RunChild(const std::string& command_line, const std::string& output_path, unsigned long timeout_ms);

}  // namespace qelvnt
