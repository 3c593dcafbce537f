// The consumer's side of the Storage Bus object in host tests: a Collect
// through the DLL's exports as perflib makes it, and the block it returns
// parsed by the documented layout, every length and offset checked.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "layout_check.h"
#include "tools/qelvperf/qelvperf.h"

namespace perf_test {

inline constexpr DWORD kFirstCounter = 1848;
inline constexpr DWORD kFirstHelp = 1849;

// "First Counter" and "First Help" in the Performance key, as lodctr
// leaves them.
void WriteIndexes(DWORD first_counter = kFirstCounter, DWORD first_help = kFirstHelp);
// The counter names of qelvperf.ini loaded by the simulation's lodctr into
// the default machine's registry, as korvinst perf-install loads them:
// the same indexes.
void LoadCounterNames();

struct Collected {
  DWORD status = 0;
  DWORD bytes = 0;    // *lpcbTotalBytes afterwards
  DWORD objects = 0;  // *lpNumObjectTypes afterwards
  std::vector<unsigned char> data;  // the buffer, `size` bytes and a canary tail
  std::ptrdiff_t advanced = 0;      // how far *lppData moved
};

// One Collect with a buffer of `size` bytes (followed by canary bytes that
// must stay as they were).
Collected Collect(const std::u16string& value_name = u"Global", DWORD size = 65536);

// The object of a successful Collect that returned one; a layout fault
// fails the test.
StorageBus Parse(const Collected& collected);

// Perfmon's formulas for the two counter types, in ticks. PERF_OBJ_TIME_TIMER
// shows 100 (X1 - X0) / (T1 - T0) per cent, T being the object's PerfTime;
// PERF_ELAPSED_TIME shows (T - X) / F seconds, F being its PerfFreq.
struct Ratio {
  std::int64_t numerator = 0;
  std::int64_t denominator = 0;
};
Ratio BusyShare(const StorageBus& before, const StorageBus& after, std::size_t instance);
Ratio IdleShare(const StorageBus& before, const StorageBus& after, std::size_t instance);
std::int64_t BusyTimeTicks(const StorageBus& sample, std::size_t instance);

}  // namespace perf_test
