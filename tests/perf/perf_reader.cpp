#include "perf_reader.h"

#include <cstring>

namespace perf_test {
namespace {

constexpr unsigned char kCanary = 0xA5;
constexpr DWORD kCanaryBytes = 64;

template <typename Record>
Record At(const std::vector<unsigned char>& data, std::size_t offset) {
  Record record;
  std::memcpy(&record, data.data() + offset, sizeof record);
  return record;
}

std::int64_t Int64At(const std::vector<unsigned char>& data, std::size_t offset) {
  return At<std::int64_t>(data, offset);
}

struct ExpectedCounter {
  DWORD offset_from_first;
  DWORD type;
  DWORD data_offset;
};
constexpr ExpectedCounter kCounters[] = {
    {2, PERF_OBJ_TIME_TIMER, 8}, {4, PERF_OBJ_TIME_TIMER, 16}, {6, PERF_ELAPSED_TIME, 24}};

}  // namespace

void WriteIndexes(DWORD first_counter, DWORD first_help) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\qelvard1\\Performance", 0,
                            nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  RegSetValueExA(key, "First Counter", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&first_counter), 4);
  RegSetValueExA(key, "First Help", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&first_help), 4);
  RegCloseKey(key);
}

void LoadCounterNames() {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\qelvard1\\Performance", 0,
                            nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(key);
  std::string command = "lodctr " QELVPERF_SOURCE_DIR "/qelvperf.ini";
  ASSERT_EQ(LoadPerfCounterTextStringsA(command.data(), TRUE), static_cast<DWORD>(ERROR_SUCCESS));
}

Collected Collect(const std::u16string& value_name, DWORD size) {
  Collected result;
  result.data.assign(size + kCanaryBytes, kCanary);
  void* pointer = result.data.data();
  result.bytes = size;
  result.objects = 0xDEAD;
  std::u16string name = value_name;
  result.status = CollectBusPerformanceData(name.data(), &pointer, &result.bytes, &result.objects);
  result.advanced = static_cast<unsigned char*>(pointer) - result.data.data();
  for (DWORD i = result.status == ERROR_SUCCESS ? result.bytes : 0; i < result.data.size(); ++i) {
    if (result.data[i] != kCanary) {
      ADD_FAILURE() << "byte " << i << " written beyond the " << result.bytes << " bytes returned";
      break;
    }
  }
  if (result.status != ERROR_SUCCESS || result.objects == 0) {
    EXPECT_EQ(result.bytes, 0u);
    EXPECT_EQ(result.objects, 0u);
    EXPECT_EQ(result.advanced, 0);
  } else {
    EXPECT_EQ(result.advanced, static_cast<std::ptrdiff_t>(result.bytes));
  }
  result.data.resize(size);
  return result;
}

StorageBus Parse(const Collected& collected) {
  StorageBus bus;
  const std::vector<unsigned char>& data = collected.data;
  EXPECT_EQ(collected.status, static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_EQ(collected.objects, 1u);
  if (collected.objects != 1 || collected.bytes < sizeof(PERF_OBJECT_TYPE)) return bus;
  const auto object = At<PERF_OBJECT_TYPE>(data, 0);
  EXPECT_EQ(object.TotalByteLength, collected.bytes);
  EXPECT_EQ(object.TotalByteLength % 8, 0u);
  EXPECT_EQ(object.HeaderLength, sizeof(PERF_OBJECT_TYPE));
  EXPECT_EQ(object.DefinitionLength, sizeof(PERF_OBJECT_TYPE) + 3 * sizeof(PERF_COUNTER_DEFINITION));
  EXPECT_EQ(object.ObjectNameTitleIndex, kFirstCounter);
  EXPECT_EQ(object.ObjectHelpTitleIndex, kFirstHelp);
  EXPECT_EQ(object.NumCounters, 3u);
  EXPECT_EQ(object.DefaultCounter, 0);
  EXPECT_EQ(object.CodePage, 0u);
  bus.perf_time = object.PerfTime.QuadPart;
  bus.perf_freq = object.PerfFreq.QuadPart;
  for (DWORD i = 0; i < 3; ++i) {
    const auto counter = At<PERF_COUNTER_DEFINITION>(data, sizeof object + i * sizeof(PERF_COUNTER_DEFINITION));
    EXPECT_EQ(counter.ByteLength, sizeof counter);
    EXPECT_EQ(counter.CounterNameTitleIndex, kFirstCounter + kCounters[i].offset_from_first);
    EXPECT_EQ(counter.CounterHelpTitleIndex, kFirstHelp + kCounters[i].offset_from_first);
    EXPECT_EQ(counter.CounterType, kCounters[i].type);
    EXPECT_EQ(counter.CounterSize, 8u);
    EXPECT_EQ(counter.CounterOffset, kCounters[i].data_offset);
  }
  std::size_t at = object.DefinitionLength;
  for (LONG i = 0; i < object.NumInstances; ++i) {
    if (at + sizeof(PERF_INSTANCE_DEFINITION) > collected.bytes) {
      ADD_FAILURE() << "instance " << i << " lies beyond the object";
      return bus;
    }
    const auto instance = At<PERF_INSTANCE_DEFINITION>(data, at);
    EXPECT_EQ(instance.ByteLength % 8, 0u);
    EXPECT_EQ(instance.NameOffset, sizeof instance);
    EXPECT_EQ(instance.UniqueID, PERF_NO_UNIQUE_ID);
    EXPECT_EQ(instance.NameLength % 2, 0u);
    Instance parsed;
    for (DWORD u = 0; u + 2 < instance.NameLength; u += 2) {
      parsed.name += static_cast<char16_t>(data[at + instance.NameOffset + u] |
                                           data[at + instance.NameOffset + u + 1] << 8);
    }
    EXPECT_EQ(At<char16_t>(data, at + instance.NameOffset + instance.NameLength - 2), u'\0');
    EXPECT_GE(instance.ByteLength, instance.NameOffset + instance.NameLength);
    at += instance.ByteLength;
    const auto block = At<PERF_COUNTER_BLOCK>(data, at);
    EXPECT_EQ(block.ByteLength, 32u);
    parsed.busy = Int64At(data, at + 8);
    parsed.idle = Int64At(data, at + 16);
    parsed.busy_time = Int64At(data, at + 24);
    at += block.ByteLength;
    bus.instances.push_back(parsed);
  }
  EXPECT_EQ(at, object.TotalByteLength);
  return bus;
}

Ratio BusyShare(const StorageBus& before, const StorageBus& after, std::size_t i) {
  return {after.instances[i].busy - before.instances[i].busy, after.perf_time - before.perf_time};
}

Ratio IdleShare(const StorageBus& before, const StorageBus& after, std::size_t i) {
  return {after.instances[i].idle - before.instances[i].idle, after.perf_time - before.perf_time};
}

std::int64_t BusyTimeTicks(const StorageBus& sample, std::size_t i) {
  return sample.perf_time - sample.instances[i].busy_time;
}

}  // namespace perf_test
