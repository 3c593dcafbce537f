#include "perf_reader.h"

#include <cstring>

namespace perf_test {
namespace {

constexpr unsigned char kCanary = 0xA5;
constexpr DWORD kCanaryBytes = 64;

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
  EXPECT_EQ(collected.status, static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_EQ(collected.objects, 1u);
  if (collected.objects != 1 || collected.bytes < sizeof(DWORD)) return bus;
  DWORD total = 0;
  std::memcpy(&total, collected.data.data(), sizeof total);
  EXPECT_EQ(total, collected.bytes) << "TotalByteLength is not what Collect returned";
  for (const std::string& fault : CheckStorageBus(collected.data.data(), collected.bytes, kFirstCounter, kFirstHelp, &bus)) {
    ADD_FAILURE() << fault;
  }
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
