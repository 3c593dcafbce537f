// qelvmon: per-interval busy share of every storage bus, read from the
// qelvard1 control device. Sleeps in real time and stops on Ctrl-C.
#include <atomic>
#include <chrono>
#include <csignal>
#include <iostream>
#include <string>
#include <vector>

#include "qelvmon/monitor.h"

#if defined(_WIN32)
#include <windows.h>

#include "qelvmon/win32_channel.h"
#else
#include <thread>
#endif

namespace {

std::atomic<bool> g_interrupted{false};

#if defined(_WIN32)
BOOL WINAPI OnConsoleControl(DWORD event) {
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT || event == CTRL_CLOSE_EVENT) {
    g_interrupted.store(true);
    return TRUE;
  }
  return FALSE;
}

void CatchInterrupts() { SetConsoleCtrlHandler(OnConsoleControl, TRUE); }

// GetSystemTimeAsFileTime exists on every NT 5 system, unlike the precise
// variant the C++ runtime may reach for.
std::chrono::system_clock::time_point WallClock() {
  FILETIME ft{};
  GetSystemTimeAsFileTime(&ft);
  const std::int64_t since_1601 =
      (static_cast<std::int64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  const std::int64_t since_1970 = since_1601 - 116444736000000000LL;
  return std::chrono::system_clock::time_point(
      std::chrono::duration_cast<std::chrono::system_clock::duration>(
          std::chrono::duration<std::int64_t, std::ratio<1, 10000000>>(since_1970)));
}

std::int64_t MonotonicMs() { return static_cast<std::int64_t>(GetTickCount()); }
void SleepMs(std::int64_t ms) { Sleep(static_cast<DWORD>(ms)); }
#else
extern "C" void OnSignal(int) { g_interrupted.store(true); }

void CatchInterrupts() {
  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
}

std::chrono::system_clock::time_point WallClock() { return std::chrono::system_clock::now(); }

std::int64_t MonotonicMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}
void SleepMs(std::int64_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
#endif

#if !defined(_WIN32)
class NoMachineChannel final : public qelvmon::ControlChannel {
 public:
  qelvmon::Win32Error Open() override { return qelvmon::kErrorFileNotFound; }
  qelvmon::Win32Error StartCapture() override { return qelvmon::kErrorInvalidHandle; }
  qelvmon::Win32Error ReadStatistics(qelvmon::StatisticsBytes&) override {
    return qelvmon::kErrorInvalidHandle;
  }
  qelvmon::Win32Error GetControllerName(std::uint8_t, std::string&) override {
    return qelvmon::kErrorInvalidHandle;
  }
  qelvmon::Win32Error StopCapture() override { return qelvmon::kErrorInvalidHandle; }
  void Close() override {}
  std::int64_t CounterFrequency() override { return 0; }
};
#endif

// Paces intervals against one origin so that they do not drift by the
// time each report takes; wakes often enough to notice Ctrl-C quickly.
class Pacer {
 public:
  bool WaitFor(std::uint64_t index, std::chrono::nanoseconds length) {
    if (index == 1) origin_ms_ = MonotonicMs();
    const std::int64_t due_ms =
        origin_ms_ + static_cast<std::int64_t>(index) *
                         std::chrono::duration_cast<std::chrono::milliseconds>(length).count();
    for (;;) {
      if (g_interrupted.load()) return false;
      const std::int64_t left = due_ms - MonotonicMs();
      if (left <= 0) return true;
      SleepMs(left < 100 ? left : 100);
    }
  }

 private:
  std::int64_t origin_ms_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  static_assert(std::atomic<bool>::is_always_lock_free, "the interrupt flag is set from a handler");
  const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  CatchInterrupts();

  Pacer pacer;
  qelvmon::MonitorHooks hooks;
  hooks.wait_for_interval = [&pacer](std::uint64_t index, std::chrono::nanoseconds length) {
    return pacer.WaitFor(index, length);
  };
  hooks.wall_clock = WallClock;
  hooks.interrupted = [] { return g_interrupted.load(); };

#if defined(_WIN32)
  const auto channel = qelvmon::MakeWin32Channel();
  return qelvmon::RunCommandLine(args, *channel, hooks, std::cout, std::cerr);
#else
  // A host process on its own has no simulated machine, so no driver to
  // talk to; qelvsim runs the monitor inside its machine instead.
  NoMachineChannel channel;
  return qelvmon::RunCommandLine(args, channel, hooks, std::cout, std::cerr);
#endif
}
