// The performance counter: the host's monotonic clock at 10 MHz, or a
// virtual clock that only tests move.
#include <atomic>
#include <chrono>

#include "host_control.h"

namespace {

constexpr int64_t kRealFrequency = 10'000'000;

std::atomic<bool> g_virtual{false};
std::atomic<int64_t> g_virtualTicks{0};
std::atomic<int64_t> g_virtualFrequency{kRealFrequency};

int64_t RealTicks() {
  auto now = std::chrono::steady_clock::now().time_since_epoch();
  return std::chrono::duration_cast<std::chrono::nanoseconds>(now).count() / 100;
}

}  // namespace

namespace hostk {

void UseVirtualClock(int64_t frequency) {
  g_virtualFrequency = frequency;
  g_virtualTicks = 0;
  g_virtual = true;
}

void SetVirtualTicks(int64_t ticks) { g_virtualTicks = ticks; }

void AdvanceVirtualTicks(int64_t ticks) { g_virtualTicks += ticks; }

void UseRealClock() { g_virtual = false; }

int64_t PerformanceFrequency() { return g_virtual ? g_virtualFrequency.load() : kRealFrequency; }

int64_t PerformanceCounter() { return g_virtual ? g_virtualTicks.load() : RealTicks(); }

}  // namespace hostk

extern "C" LARGE_INTEGER NTAPI KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency) {
  LARGE_INTEGER now;
  now.QuadPart = hostk::PerformanceCounter();
  if (PerformanceFrequency != nullptr) PerformanceFrequency->QuadPart = hostk::PerformanceFrequency();
  return now;
}
