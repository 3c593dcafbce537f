// The counter DLL's own work per Collect, with the driver's replies given
// (a channel that answers at once, five buses with devices, all busy):
//
//   BM_DecodeReply   decoding one 2064-byte statistics reply: the floor,
//                    what any reader of the driver does per interval
//   BM_Collect       one Collect of the whole Storage Bus object: the read
//                    accumulated, names checked, the block written
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <vector>

#include "tools/qelvperf/collector.h"

namespace {

constexpr int kBuses[] = {0, 1, 2, 20, 30};

qelvmon::StatisticsBytes Reply(std::int64_t end) {
  qelvmon::StatisticsReply reply;
  reply.interval_start = end - 10'000'000;
  reply.interval_end = end;
  for (int bus : kBuses) reply.busy_time[static_cast<std::size_t>(bus)] = 4'000'000 + bus;
  return qelvmon::EncodeStatisticsReply(reply);
}

class AnsweringChannel final : public qelvmon::ControlChannel {
 public:
  qelvmon::Win32Error Open() override { return qelvmon::kSuccess; }
  qelvmon::Win32Error StartCapture() override { return qelvmon::kSuccess; }
  qelvmon::Win32Error ReadStatistics(qelvmon::StatisticsBytes& reply) override {
    end_ += 10'000'000;
    reply = Reply(end_);
    return qelvmon::kSuccess;
  }
  qelvmon::Win32Error GetControllerName(std::uint8_t bus, std::string& name) override {
    for (int b : kBuses) {
      if (b == bus) {
        name = "Primary IDE Channel";
        return qelvmon::kSuccess;
      }
    }
    return qelvmon::kStatusBusNotFound;
  }
  qelvmon::Win32Error StopCapture() override { return qelvmon::kSuccess; }
  void Close() override {}
  std::int64_t CounterFrequency() override { return 10'000'000; }

 private:
  std::int64_t end_ = 10'000'000;
};

void BM_DecodeReply(benchmark::State& state) {
  const qelvmon::StatisticsBytes bytes = Reply(20'000'000);
  for (auto _ : state) benchmark::DoNotOptimize(qelvmon::DecodeStatisticsReply(bytes).busy_time[30]);
}
BENCHMARK(BM_DecodeReply);

void BM_Collect(benchmark::State& state) {
  HKEY key = nullptr;
  RegCreateKeyExA(HKEY_LOCAL_MACHINE, qelvperf::kPerformanceKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
  const DWORD first = 1848;
  const DWORD help = 1849;
  RegSetValueExA(key, "First Counter", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&first), 4);
  RegSetValueExA(key, "First Help", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&help), 4);
  RegCloseKey(key);
  qelvperf::BusCollector collector([] { return std::make_unique<AnsweringChannel>(); });
  collector.Open();
  std::vector<unsigned char> buffer(4096);
  WCHAR global[] = {'G', 'l', 'o', 'b', 'a', 'l', 0};
  for (auto _ : state) {
    void* at = buffer.data();
    DWORD bytes = static_cast<DWORD>(buffer.size());
    DWORD objects = 0;
    collector.Collect(global, &at, &bytes, &objects);
    benchmark::DoNotOptimize(buffer[bytes - 1]);
  }
  collector.Close();
}
BENCHMARK(BM_Collect);

}  // namespace

BENCHMARK_MAIN();
