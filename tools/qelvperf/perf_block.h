// The Storage Bus object as the system reads it from a counter DLL: one
// PERF_OBJECT_TYPE, its PERF_COUNTER_DEFINITIONs, then per instance a
// PERF_INSTANCE_DEFINITION, its UTF-16 name and a PERF_COUNTER_BLOCK with
// the counters. Every part's length is a multiple of 8, so each part that
// follows stays 8-byte aligned.
//
// The counters are over the object's own time base, PerfTime and PerfFreq
// of PERF_OBJECT_TYPE: the driver's counter ticks.
//   % Busy Time  PERF_OBJ_TIME_TIMER, busy ticks so far:  100 (X1 - X0) / (T1 - T0)
//   % Idle Time  PERF_OBJ_TIME_TIMER, idle ticks so far:  100 (X1 - X0) / (T1 - T0)
//   Busy Time    PERF_ELAPSED_TIME, PerfTime - busy ticks: (T - X) / F seconds
#pragma once

#include <cstdint>

#include "platform/perf_services.h"

namespace qelvperf {

inline constexpr DWORD kCounterCount = 3;

struct Indexes {
  DWORD first_counter = 0;
  DWORD first_help = 0;
};

// One instance's counters: cumulative ticks.
struct BusTicks {
  std::int64_t busy = 0;
  std::int64_t idle = 0;
};

// Bytes of the object header and counter definitions; where the first
// instance starts.
DWORD DefinitionLength();
// Bytes of one instance with a name of `name_bytes` (its NUL included).
DWORD InstanceLength(DWORD name_bytes);

// Each writes its part at `out`, which has room for it, and returns where
// the next part starts. Padding is written as zeros.
unsigned char* WriteDefinition(unsigned char* out, const Indexes& indexes, DWORD total_length, LONG instances,
                               std::int64_t perf_time, std::int64_t perf_freq);
unsigned char* WriteInstance(unsigned char* out, const WCHAR* name, DWORD name_bytes, const BusTicks& ticks,
                             std::int64_t perf_time);

}  // namespace qelvperf
