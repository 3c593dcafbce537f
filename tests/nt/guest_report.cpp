#include "guest_report.h"

#include <windows.h>

#include <fstream>

namespace qelvnt {
namespace {

// DbgPrint cuts a message at 512 bytes; the host expects whole lines.
constexpr std::size_t kLineLimit = 400;

void Emit(const std::string& kind, const std::string& text) {
  std::string line = "QNT " + kind + " " + text;
  for (char& c : line) {
    if (c == '\r' || c == '\n') c = ' ';
  }
  if (line.size() > kLineLimit) line.resize(kLineLimit);
  line += "\n";
  OutputDebugStringA(line.c_str());
}

std::vector<std::string> ReadLines(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

}  // namespace

void Pass(const std::string& name, const std::string& detail) { Emit("ok", name + "|" + detail); }
void Fail(const std::string& name, const std::string& why) { Emit("fail", name + "|" + why); }
void Skip(const std::string& name, const std::string& why) { Emit("skip", name + "|" + why); }

void Check(const std::string& name, const std::string& why) {
  if (why.empty()) {
    Pass(name, "");
  } else {
    Fail(name, why);
  }
}

void Info(const std::string& key, const std::string& text) { Emit("info", key + "|" + text); }

void FileLines(const std::string& name, const std::vector<std::string>& lines) {
  for (const std::string& line : lines) Emit("file", name + "|" + line);
}

void Request(const std::string& what) { Emit("request", what); }
void End(const std::string& plan) { Emit("end", plan); }

void PowerOff() {
  HANDLE token = nullptr;
  if (OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) {
    TOKEN_PRIVILEGES privileges;
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    if (LookupPrivilegeValueA(nullptr, "SeShutdownPrivilege", &privileges.Privileges[0].Luid)) {
      AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr);
    }
    CloseHandle(token);
  }
  // Straight to the kernel's power manager, whatever winlogon makes of
  // the setup program's session.
  using ShutdownSystem = LONG(WINAPI*)(int action);
  const auto shutdown = reinterpret_cast<ShutdownSystem>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtShutdownSystem")));
  constexpr int kShutdownPowerOff = 2;
  const LONG status = shutdown != nullptr ? shutdown(kShutdownPowerOff) : -1;
  Emit("info", "shutdown|refused with status " + std::to_string(status));
}

ChildRun RunChild(const std::string& command_line, const std::string& output_path, unsigned long timeout_ms) {
  ChildRun run;
  SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
  const HANDLE output = CreateFileA(output_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
  if (output == INVALID_HANDLE_VALUE) {
    run.why = "cannot create " + output_path + ": error " + std::to_string(GetLastError());
    return run;
  }
  STARTUPINFOA startup;
  ZeroMemory(&startup, sizeof(startup));
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = nullptr;
  startup.hStdOutput = output;
  startup.hStdError = output;
  PROCESS_INFORMATION process;
  std::vector<char> text(command_line.begin(), command_line.end());
  text.push_back('\0');
  run.started = CreateProcessA(nullptr, text.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr,
                               &startup, &process) != 0;
  if (!run.started) run.why = "cannot start: error " + std::to_string(GetLastError());
  CloseHandle(output);
  if (!run.started) return run;

  if (WaitForSingleObject(process.hProcess, timeout_ms) == WAIT_TIMEOUT) {
    run.timed_out = true;
    TerminateProcess(process.hProcess, 255);
    WaitForSingleObject(process.hProcess, 5000);
  }
  GetExitCodeProcess(process.hProcess, &run.exit_code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  run.lines = ReadLines(output_path);
  return run;
}

}  // namespace qelvnt
