// The counter DLL against recorded driver replies: failures of the device
// at each step, and how often it asks for controller names.
#include <gtest/gtest.h>

#include <deque>

#include "../qelvmon/scripted_channel.h"
#include "host_registry/registry.h"
#include "perf_reader.h"
#include "tools/qelvperf/channel_source.h"

namespace perf_test {
namespace {

using qelvmon_test::ScriptedChannel;

// Hands the DLL the channel of each connection in turn; the test keeps
// them, so it can read their calls after the DLL let go.
class Channel final : public qelvmon::ControlChannel {
 public:
  explicit Channel(ScriptedChannel* target) : target_(target) {}
  qelvmon::Win32Error Open() override { return target_->Open(); }
  qelvmon::Win32Error StartCapture() override { return target_->StartCapture(); }
  qelvmon::Win32Error ReadStatistics(qelvmon::StatisticsBytes& reply) override {
    return target_->ReadStatistics(reply);
  }
  qelvmon::Win32Error GetControllerName(std::uint8_t bus, std::string& name) override {
    return target_->GetControllerName(bus, name);
  }
  qelvmon::Win32Error StopCapture() override { return target_->StopCapture(); }
  void Close() override { target_->Close(); }
  std::int64_t CounterFrequency() override { return target_->CounterFrequency(); }

 private:
  ScriptedChannel* target_;
};

class RecordedDevice : public ::testing::Test {
 protected:
  void SetUp() override {
    hostreg::Registry::Machine().Clear();
    hostwin32::SetTickCount(10000);
    qelvperf::SetProcessChannelFactory([this]() -> std::unique_ptr<qelvmon::ControlChannel> {
      if (connections_ >= scripts_.size()) return nullptr;
      return std::make_unique<Channel>(&scripts_[connections_++]);
    });
  }
  void TearDown() override {
    CloseBusPerformanceData();
    qelvperf::SetProcessChannelFactory(nullptr);
    hostwin32::ResetTickCount();
    hostreg::Registry::Machine().Clear();
  }
  void Connection(const char* script) { scripts_.push_back(ScriptedChannel::FromText(script)); }
  static void After(DWORD milliseconds) { hostwin32::SetTickCount(10000 + milliseconds); }

  std::deque<ScriptedChannel> scripts_;
  std::size_t connections_ = 0;
};

TEST_F(RecordedDevice, NamesAreAskedOnceExceptWhereTheyWereEmptyOrABusAppears) {
  WriteIndexes();
  Connection(
      "frequency 1000\n"
      "device 0 Primary IDE Channel\n"
      "device 30\n"
      "read 0 100 0:70\n"     // the capture's first read: a baseline
      "read 100 200 0:40\n"
      "read 200 300 5:10\n");  // bus 5 busy without a device record
  ASSERT_EQ(OpenBusPerformanceData(nullptr), static_cast<DWORD>(ERROR_SUCCESS));
  const ScriptedChannel& device = scripts_[0];
  EXPECT_EQ(device.NameQueries(), 256);

  const StorageBus first = Parse(Collect());
  ASSERT_EQ(first.instances.size(), 2u);
  EXPECT_EQ(first.instances[0].name, u"0 Primary IDE Channel");
  EXPECT_EQ(first.instances[1].name, u"30");
  EXPECT_EQ(first.perf_time, 100);
  EXPECT_EQ(first.instances[0].busy, 0);
  EXPECT_EQ(device.NameQueries(), 256 + 1);  // bus 30 again

  const StorageBus second = Parse(Collect());
  EXPECT_EQ(second.perf_time, 200);
  EXPECT_EQ(second.perf_freq, 1000);
  EXPECT_EQ(second.instances[0].busy, 40);
  EXPECT_EQ(second.instances[0].idle, 60);
  EXPECT_EQ(device.NameQueries(), 256 + 2);

  Parse(Collect());
  EXPECT_EQ(device.NameQueries(), 256 + 4);  // bus 30, and bus 5 once it was busy
}

// The device goes away between two reads (driver unloaded, handle closed by
// the system, capture stopped under it): no object, the device let go, and
// a new connection no sooner than five seconds later, whose first read
// adds nothing, so that Perfmon sees no time that nobody measured.
TEST_F(RecordedDevice, ADeviceLostMidCaptureIsLetGoAndFoundAgainLater) {
  WriteIndexes();
  Connection("frequency 1000\ndevice 0 Primary IDE Channel\nread 0 100\nread 100 200 0:40\nfail read 6\n");
  Connection("frequency 1000\ndevice 0 Primary IDE Channel\nread 5000 5100 0:100\nread 5100 5300 0:50\n");
  ASSERT_EQ(OpenBusPerformanceData(nullptr), static_cast<DWORD>(ERROR_SUCCESS));
  Collect();
  const StorageBus before = Parse(Collect());

  EXPECT_EQ(Collect().objects, 0u);
  EXPECT_EQ(scripts_[0].Calls(), (std::vector<std::string>{"open", "start", "read", "read", "read", "stop", "close"}));
  After(4999);
  EXPECT_EQ(Collect().objects, 0u);
  EXPECT_EQ(connections_, 1u);

  After(5000);
  const StorageBus baseline = Parse(Collect());
  EXPECT_EQ(connections_, 2u);
  EXPECT_EQ(baseline.perf_time, before.perf_time);
  EXPECT_EQ(baseline.instances[0].busy, before.instances[0].busy);
  const StorageBus after = Parse(Collect());
  EXPECT_EQ(BusyShare(baseline, after, 0).numerator, 50);
  EXPECT_EQ(BusyShare(baseline, after, 0).denominator, 200);
}

// Each way of not getting the device: no object, no error, and whatever
// was opened or started is stopped and closed at once.
TEST_F(RecordedDevice, WithoutCountersOrDeviceThereIsNoObject) {
  using Calls = std::vector<std::string>;
  struct Case {
    const char* what;
    bool indexes;
    const char* script;
    Calls calls;
  };
  const Case cases[] = {
      {"no counter indexes (lodctr never ran)", false, "frequency 1000\nread 0 1\n", {}},
      {"refused: not an administrator", true, "fail open 5\n", {"open"}},
      {"refused: another monitor", true, "fail open 0xE0008108\n", {"open"}},
      {"driver not loaded", true, "fail open 2\n", {"open"}},
      {"no counter frequency", true, "read 0 1\n", {"open", "close"}},
      {"capture refused", true, "frequency 1000\nfail start 0xE0008103\n", {"open", "start", "close"}},
      {"name query fails", true, "frequency 1000\nfail name 7 6\n", {"open", "start", "stop", "close"}},
      {"short reply", true, "frequency 1000\nfail read 0x20000001\n", {"open", "start", "read", "stop", "close"}},
      {"reply running backwards", true, "frequency 1000\nread 100 50\n", {"open", "start", "read", "stop", "close"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    scripts_.clear();
    connections_ = 0;
    hostreg::Registry::Machine().Clear();
    if (c.indexes) WriteIndexes();
    Connection(c.script);
    ASSERT_EQ(OpenBusPerformanceData(nullptr), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(Collect().objects, 0u);
    EXPECT_EQ(Collect().objects, 0u);
    EXPECT_EQ(scripts_[0].Calls(), c.calls);
    ASSERT_EQ(CloseBusPerformanceData(), static_cast<DWORD>(ERROR_SUCCESS));
  }
}

}  // namespace
}  // namespace perf_test
