// The Storage Bus counters over the simulated machine: the real driver on
// its five busy buses, the DLL in a user process of the machine, read as
// Perfmon reads it, and qelvmon beside it for the same intervals.
#include <gtest/gtest.h>

#include <sstream>

#include "perf_machine.h"
#include "perf_reader.h"
#include "qelvmon/host_channel.h"
#include "qelvmon/monitor.h"
#include "tools/qelvperf/channel_source.h"

namespace perf_test {
namespace {

// Requests on every bus of the default machine, all second long.
constexpr const char kWorkload[] =
    "ide0.master rate=40 size=64k read=0.7 qd=2\n"
    "ide0.slave  rate=6 size=32k read=1 qd=2 pass=0.3\n"
    "ide1.master qd=1 think=15 size=16k read=0.6 pass=0.2\n"
    "scsi.disk0  rate=60 size=8k read=0.8 qd=4 pass=0.1\n"
    "scsi.tape   qd=1 think=100 size=32k read=0 seq=1\n"
    "usb.disk    rate=6 size=16k qd=1 pass=0.5\n"
    "1394.disk   rate=25 size=64k qd=2\n";

constexpr int kBuses[] = {0, 1, 2, 20, 30};
constexpr std::uint32_t kReaderPid = 0x200;
constexpr std::uint32_t kOtherMonitorPid = 0x300;

class StorageBusCounters : public ::testing::Test {
 protected:
  void Boot() {
    machine_.reset();  // one machine at a time
    machine_ = std::make_unique<SimMachine>(kWorkload, 4);
    LoadCounterNames();
    hostk::UserProcess& process = machine_->Process(kReaderPid);
    qelvperf::SetProcessChannelFactory([&process] { return qelvmon::MakeHostChannel(process); });
  }

  void TearDown() override {
    while (opens_ > 0) Close();
    qelvperf::SetProcessChannelFactory(nullptr);
    hostwin32::ResetTickCount();
    machine_.reset();
    EXPECT_EQ(SimMachine::VerifierReports(), "");
  }

  void Open() {
    ASSERT_EQ(OpenBusPerformanceData(nullptr), static_cast<DWORD>(ERROR_SUCCESS));
    ++opens_;
  }
  void Close() {
    ASSERT_EQ(CloseBusPerformanceData(), static_cast<DWORD>(ERROR_SUCCESS));
    --opens_;
  }

  // qelvmon's reports of `count` one-second intervals from the start.
  qelvmon::Timeline RunQelvmon(int count) {
    auto channel = qelvmon::MakeHostChannel(machine_->Process(kOtherMonitorPid));
    qelvmon::MonitorConfig config;
    config.count = static_cast<std::uint64_t>(count);
    config.format = qelvmon::OutputFormat::kCsv;
    qelvmon::MonitorHooks hooks;
    hooks.wait_for_interval = [this](std::uint64_t index, std::chrono::nanoseconds) {
      machine_->RunUntil(static_cast<std::int64_t>(index) * kTicksPerSecond);
      return true;
    };
    std::ostringstream out;
    std::ostringstream err;
    qelvmon::Timeline shown;
    EXPECT_EQ(qelvmon::RunMonitor(*channel, config, hooks, out, err, &shown), 0) << err.str();
    return shown;
  }

  std::unique_ptr<SimMachine> machine_;
  int opens_ = 0;
};

TEST_F(StorageBusCounters, PerfmonsBusyShareIsQelvmonsToTheTick) {
  Boot();
  const qelvmon::Timeline qelvmon = RunQelvmon(4);
  ASSERT_EQ(qelvmon.samples.size(), 4u);

  // The same machine and workload again, sampled by the DLL at the
  // instants qelvmon read.
  Boot();
  Open();
  std::vector<StorageBus> samples;
  for (int second = 1; second <= 4; ++second) {
    machine_->RunUntil(second * kTicksPerSecond);
    samples.push_back(Parse(Collect()));
    ASSERT_EQ(samples.back().instances.size(), std::size(kBuses));
  }
  for (std::size_t k = 1; k < samples.size(); ++k) {
    const qelvmon::TimelineSample& interval = qelvmon.samples[k];
    EXPECT_EQ(samples[k].perf_time, interval.interval_end);
    for (std::size_t i = 0; i < std::size(kBuses); ++i) {
      const Ratio busy = BusyShare(samples[k - 1], samples[k], i);
      const Ratio idle = IdleShare(samples[k - 1], samples[k], i);
      EXPECT_GT(busy.numerator, 0) << "bus " << kBuses[i] << ", interval " << k + 1;
      EXPECT_EQ(busy.numerator, interval.busy[kBuses[i]]) << "bus " << kBuses[i] << ", interval " << k + 1;
      EXPECT_EQ(busy.denominator, interval.interval_end - interval.interval_start);
      EXPECT_EQ(idle.numerator, busy.denominator - busy.numerator);
    }
  }
  // Busy Time: every busy tick after the first sample, in seconds of the
  // driver's counter.
  EXPECT_EQ(samples.back().perf_freq, kTicksPerSecond);
  for (std::size_t i = 0; i < std::size(kBuses); ++i) {
    const int bus = kBuses[i];
    EXPECT_EQ(BusyTimeTicks(samples.back(), i),
              qelvmon.samples[1].busy[bus] + qelvmon.samples[2].busy[bus] + qelvmon.samples[3].busy[bus]);
  }
}

TEST_F(StorageBusCounters, OneInstancePerBusWithADeviceNamedByIndexAndController) {
  Boot();
  Open();
  machine_->RunUntil(kTicksPerSecond);
  const StorageBus bus = Parse(Collect());
  std::vector<std::u16string> names;
  for (const Instance& instance : bus.instances) names.push_back(instance.name);
  EXPECT_EQ(names, (std::vector<std::u16string>{u"0 Primary IDE Channel", u"1 Secondary IDE Channel",
                                                u"2 Ultra2 SCSI Host Adapter", u"20 SBP2 Compliant IEEE 1394 Device",
                                                u"30 USB Mass Storage Device"}));
}

TEST_F(StorageBusCounters, EveryBufferShorterThanTheObjectGetsMoreDataAndNothingWritten) {
  Boot();
  Open();
  const DWORD needed = Collect().bytes;
  ASSERT_GT(needed, 0u);
  for (DWORD size = 0; size < needed; ++size) {
    ASSERT_EQ(Collect(u"Global", size).status, static_cast<DWORD>(ERROR_MORE_DATA)) << size << " bytes";
  }
  EXPECT_EQ(Parse(Collect(u"Global", needed)).instances.size(), std::size(kBuses));
}

// Value names as perflib passes them: only its own object's index (1848
// here) or "Global" gets the object.
TEST_F(StorageBusCounters, AnswersOnlyWhenItsObjectIsAskedFor) {
  struct Case {
    const char16_t* value_name;
    DWORD objects;
  };
  const Case cases[] = {
      {u"Global", 1},       {u"", 1},           {u"gLoBaL", 1},         {u"1848", 1},
      {u"238 1848 2", 1},   {u"  1848  ", 1},   {u"0000001848", 1},     {u"1850", 0},
      {u"238 2 4", 0},      {u"Costly", 0},     {u"Foreign ALPHA", 0},  {u"18481848", 0},
      {u"1848x 12", 0},     {u"x1848", 0},      {u"4294968144", 0},     {u"Global 1", 0},
  };
  Boot();
  Open();
  for (const Case& c : cases) {
    const Collected collected = Collect(c.value_name);
    const std::string shown(c.value_name, c.value_name + std::char_traits<char16_t>::length(c.value_name));
    EXPECT_EQ(collected.status, static_cast<DWORD>(ERROR_SUCCESS)) << "value name \"" << shown << "\"";
    EXPECT_EQ(collected.objects, c.objects) << "value name \"" << shown << "\"";
  }
}

TEST_F(StorageBusCounters, AnotherMonitorKeepsTheObjectAwayUntilItLeaves) {
  Boot();
  hostwin32::SetTickCount(1000);
  auto qelvmon = qelvmon::MakeHostChannel(machine_->Process(kOtherMonitorPid));
  ASSERT_EQ(qelvmon->Open(), qelvmon::kSuccess);
  Open();
  EXPECT_EQ(Collect().objects, 0u);

  // Tried again no sooner than five seconds after the refusal.
  qelvmon->Close();
  hostwin32::SetTickCount(1000 + 4999);
  EXPECT_EQ(Collect().objects, 0u);
  hostwin32::SetTickCount(1000 + 5000);
  EXPECT_EQ(Parse(Collect()).instances.size(), std::size(kBuses));

  // Now the DLL holds the device, until its Close.
  EXPECT_EQ(qelvmon->Open(), qelvmon::kStatusAlreadyOpen);
  Close();
  EXPECT_EQ(qelvmon->Open(), qelvmon::kSuccess);
}

TEST_F(StorageBusCounters, AReaderThatMayNotOpenTheDeviceGetsNoObjectAndNoError) {
  Boot();
  hostk::UserProcess& user = machine_->StandardUserProcess(0x400);
  qelvperf::SetProcessChannelFactory([&user] { return qelvmon::MakeHostChannel(user); });
  Open();
  EXPECT_EQ(Collect().objects, 0u);
  // The refusal holds no slot: an administrator's monitor opens.
  auto qelvmon = qelvmon::MakeHostChannel(machine_->Process(kOtherMonitorPid));
  EXPECT_EQ(qelvmon->Open(), qelvmon::kSuccess);
  qelvmon->Close();
}

TEST_F(StorageBusCounters, CallsOutOfTurnCollectNothing) {
  Boot();
  EXPECT_EQ(Collect().objects, 0u);  // before Open
  EXPECT_EQ(CloseBusPerformanceData(), static_cast<DWORD>(ERROR_SUCCESS));  // a Close without Open
  Open();
  DWORD bytes = 4096;
  DWORD objects = 7;
  void* none = nullptr;
  EXPECT_EQ(CollectBusPerformanceData(nullptr, &none, &bytes, &objects), static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_EQ(bytes, 0u);
  EXPECT_EQ(objects, 0u);
  EXPECT_EQ(CollectBusPerformanceData(nullptr, nullptr, nullptr, nullptr), static_cast<DWORD>(ERROR_SUCCESS));

  // A null value name is "Global".
  std::vector<unsigned char> buffer(4096);
  void* at = buffer.data();
  bytes = static_cast<DWORD>(buffer.size());
  EXPECT_EQ(CollectBusPerformanceData(nullptr, &at, &bytes, &objects), static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_EQ(objects, 1u);
  Close();
  EXPECT_EQ(Collect().objects, 0u);  // after Close
}

}  // namespace
}  // namespace perf_test
