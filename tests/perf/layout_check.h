// The documented layout of the Storage Bus object, checked the same way by
// the host tests and by qelvperfread.exe under Wine: sizes, offsets,
// 8-byte alignment, title indexes, counter types, instance names.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/perf_services.h"

namespace perf_test {

struct Instance {
  std::u16string name;
  std::int64_t busy = 0;       // % Busy Time's raw value
  std::int64_t idle = 0;       // % Idle Time's
  std::int64_t busy_time = 0;  // Busy Time's
};

struct StorageBus {
  std::int64_t perf_time = 0;
  std::int64_t perf_freq = 0;
  std::vector<Instance> instances;
};

// The object at the start of `data` (`available` bytes from there to the
// end of what was returned), given lodctr's first indexes. Returns the
// faults found, a sentence each; *bus gets what could be read.
std::vector<std::string> CheckStorageBus(const unsigned char* data, std::size_t available, DWORD first_counter,
                                         DWORD first_help, StorageBus* bus);

}  // namespace perf_test
