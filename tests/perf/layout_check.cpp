#include "layout_check.h"

#include <algorithm>
#include <cstring>

namespace perf_test {
namespace {

template <typename Record>
Record At(const unsigned char* data, std::size_t offset) {
  Record record;
  std::memcpy(&record, data + offset, sizeof record);
  return record;
}

std::string N(unsigned long long n) { return std::to_string(n); }

struct Expected {
  DWORD offset_from_first;
  DWORD type;
  DWORD data_offset;
};
constexpr Expected kCounters[] = {{2, PERF_OBJ_TIME_TIMER, 8}, {4, PERF_OBJ_TIME_TIMER, 16}, {6, PERF_ELAPSED_TIME, 24}};
constexpr std::size_t kCounterBlock = 32;

}  // namespace

std::vector<std::string> CheckStorageBus(const unsigned char* data, std::size_t available, DWORD first_counter,
                                         DWORD first_help, StorageBus* bus) {
  std::vector<std::string> faults;
  auto expect = [&faults](bool ok, const std::string& what) {
    if (!ok) faults.push_back(what);
  };
  const std::size_t definition = sizeof(PERF_OBJECT_TYPE) + 3 * sizeof(PERF_COUNTER_DEFINITION);
  if (available < definition) return {"the object is " + N(available) + " bytes, shorter than its definitions"};
  const auto object = At<PERF_OBJECT_TYPE>(data, 0);
  expect(object.TotalByteLength <= available, "TotalByteLength " + N(object.TotalByteLength) + " beyond the data");
  expect(object.TotalByteLength % 8 == 0, "TotalByteLength " + N(object.TotalByteLength) + " is no multiple of 8");
  expect(object.HeaderLength == sizeof(PERF_OBJECT_TYPE), "HeaderLength " + N(object.HeaderLength));
  expect(object.DefinitionLength == definition, "DefinitionLength " + N(object.DefinitionLength));
  expect(object.ObjectNameTitleIndex == first_counter, "ObjectNameTitleIndex " + N(object.ObjectNameTitleIndex));
  expect(object.ObjectHelpTitleIndex == first_help, "ObjectHelpTitleIndex " + N(object.ObjectHelpTitleIndex));
  expect(object.NumCounters == 3 && object.DefaultCounter == 0, "not 3 counters with % Busy Time first");
  expect(object.CodePage == 0, "CodePage " + N(object.CodePage) + ": names are not UTF-16");
  expect(object.PerfFreq.QuadPart > 0, "no PerfFreq");
  bus->perf_time = object.PerfTime.QuadPart;
  bus->perf_freq = object.PerfFreq.QuadPart;
  for (std::size_t i = 0; i < 3; ++i) {
    const auto counter = At<PERF_COUNTER_DEFINITION>(data, sizeof object + i * sizeof(PERF_COUNTER_DEFINITION));
    const Expected& want = kCounters[i];
    expect(counter.ByteLength == sizeof counter && counter.CounterSize == 8 &&
               counter.CounterNameTitleIndex == first_counter + want.offset_from_first &&
               counter.CounterHelpTitleIndex == first_help + want.offset_from_first &&
               counter.CounterType == want.type && counter.CounterOffset == want.data_offset,
           "counter " + N(i) + ": index " + N(counter.CounterNameTitleIndex) + ", type " + N(counter.CounterType) +
               ", offset " + N(counter.CounterOffset));
  }
  const std::size_t end = std::min<std::size_t>(object.TotalByteLength, available);
  std::size_t at = object.DefinitionLength;
  for (LONG i = 0; i < object.NumInstances; ++i) {
    if (at + sizeof(PERF_INSTANCE_DEFINITION) > end) {
      faults.push_back("instance " + N(static_cast<unsigned long long>(i)) + " lies beyond the object");
      return faults;
    }
    const auto instance = At<PERF_INSTANCE_DEFINITION>(data, at);
    const std::size_t name_end = at + instance.NameOffset + instance.NameLength;
    if (instance.ByteLength % 8 != 0 || instance.NameOffset != sizeof instance || instance.NameLength < 2 ||
        instance.NameLength % 2 != 0 || instance.ByteLength < instance.NameOffset + instance.NameLength ||
        at + instance.ByteLength + kCounterBlock > end || instance.UniqueID != PERF_NO_UNIQUE_ID) {
      faults.push_back("instance " + N(static_cast<unsigned long long>(i)) + ": length " + N(instance.ByteLength) +
                       ", name at " + N(instance.NameOffset) + " of " + N(instance.NameLength) + " bytes");
      return faults;
    }
    Instance parsed;
    for (std::size_t u = at + instance.NameOffset; u + 2 < name_end; u += 2) {
      parsed.name += static_cast<char16_t>(data[u] | data[u + 1] << 8);
    }
    expect(data[name_end - 2] == 0 && data[name_end - 1] == 0, "instance name without its NUL");
    at += instance.ByteLength;
    const auto block = At<PERF_COUNTER_BLOCK>(data, at);
    expect(block.ByteLength == kCounterBlock, "counter block of " + N(block.ByteLength) + " bytes");
    parsed.busy = At<std::int64_t>(data, at + 8);
    parsed.idle = At<std::int64_t>(data, at + 16);
    parsed.busy_time = At<std::int64_t>(data, at + 24);
    at += kCounterBlock;
    bus->instances.push_back(parsed);
  }
  expect(at == object.TotalByteLength, "instances end at " + N(at) + ", the object at " + N(object.TotalByteLength));
  return faults;
}

}  // namespace perf_test
