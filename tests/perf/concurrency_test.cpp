// Two readers of one process (a chart and a counter log) collecting at the
// same time from different threads, while the machine runs: each sees
// whole, consistent samples of the shared totals.
#include <gtest/gtest.h>

#include <thread>

#include "perf_machine.h"
#include "perf_reader.h"
#include "qelvmon/host_channel.h"
#include "tools/qelvperf/channel_source.h"

namespace perf_test {
namespace {

TEST(StorageBusReaders, TwoThreadsCollectingAtOnceSeeConsistentSamples) {
  auto machine = std::make_unique<SimMachine>("ide0.master rate=40 size=64k qd=2\nscsi.disk0 rate=60 qd=4\n", 2);
  LoadCounterNames();
  hostk::UserProcess& process = machine->Process(0x200);
  qelvperf::SetProcessChannelFactory([&process] { return qelvmon::MakeHostChannel(process); });
  ASSERT_EQ(OpenBusPerformanceData(nullptr), static_cast<DWORD>(ERROR_SUCCESS));
  ASSERT_EQ(OpenBusPerformanceData(nullptr), static_cast<DWORD>(ERROR_SUCCESS));

  auto reader = [] {
    StorageBus last;
    for (int i = 0; i < 200; ++i) {
      const StorageBus sample = Parse(Collect());
      ASSERT_EQ(sample.instances.size(), 5u);
      ASSERT_GE(sample.perf_time, last.perf_time);
      for (std::size_t b = 0; b < sample.instances.size() && !last.instances.empty(); ++b) {
        const Ratio busy = BusyShare(last, sample, b);
        const Ratio idle = IdleShare(last, sample, b);
        ASSERT_GE(busy.numerator, 0);
        ASSERT_EQ(busy.numerator + idle.numerator, busy.denominator);
      }
      last = sample;
    }
  };
  std::thread chart(reader);
  std::thread log(reader);
  for (int ms = 1; ms <= 2000; ++ms) machine->RunUntil(ms * (kTicksPerSecond / 1000));
  chart.join();
  log.join();

  EXPECT_EQ(CloseBusPerformanceData(), static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_EQ(CloseBusPerformanceData(), static_cast<DWORD>(ERROR_SUCCESS));
  qelvperf::SetProcessChannelFactory(nullptr);
  machine.reset();
  EXPECT_EQ(SimMachine::VerifierReports(), "");
}

}  // namespace
}  // namespace perf_test
