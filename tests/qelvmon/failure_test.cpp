// Every way the control device can refuse, as the user reads it, and what
// the monitor still cleans up afterwards.
#include <gtest/gtest.h>

#include "monitor_run.h"
#include <nlohmann/json.hpp>

#include "qelvmon/messages.h"

namespace {

using qelvmon::Operation;
using qelvmon_test::MonitorRun;
using qelvmon_test::RunRecording;

struct MessageCase {
  const char* name;
  Operation operation;
  qelvmon::Win32Error error;
  const char* message;
};

class FailureMessageTest : public testing::TestWithParam<MessageCase> {};

TEST_P(FailureMessageTest, SaysWhatWentWrongInWords) {
  const MessageCase& c = GetParam();
  EXPECT_EQ(qelvmon::DescribeFailure(c.operation, c.error, 12), c.message);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FailureMessageTest,
    testing::Values(
        MessageCase{"DriverNotLoaded", Operation::kOpen, 2,
                    "cannot open \\\\.\\QELVARD1: the qelvard1 driver is not loaded"},
        MessageCase{"NoSuchPath", Operation::kOpen, 3,
                    "cannot open \\\\.\\QELVARD1: the qelvard1 driver is not loaded"},
        MessageCase{"AnotherMonitor", Operation::kOpen, 0xE0008108,
                    "cannot open \\\\.\\QELVARD1: another monitor holds the device, and only one can hold it "
                    "at a time (Performance Monitor and counter logs showing qelvard1's counters are "
                    "monitors too)"},
        MessageCase{"CaptureRunning", Operation::kStartCapture, 0xE0008103,
                    "cannot start the capture: a capture is already running"},
        MessageCase{"StopWhileIdle", Operation::kStopCapture, 0xE0008105,
                    "cannot stop the capture: no capture is running"},
        MessageCase{"ReadWhileIdle", Operation::kReadStatistics, 0xE0008105,
                    "cannot read the bus statistics: no capture is running (it was stopped "
                    "behind the monitor's back)"},
        MessageCase{"BadBufferSize", Operation::kReadStatistics, 0xE0008001,
                    "cannot read the bus statistics: the driver rejected the size of the "
                    "request's buffer"},
        MessageCase{"BusNotFound", Operation::kGetControllerName, 0xE0008100,
                    "cannot ask for the controller name of bus 12: no device is on that bus"},
        MessageCase{"ShortReply", Operation::kReadStatistics, 0x20000001,
                    "cannot read the bus statistics: the driver's reply was shorter than the "
                    "protocol requires"},
        MessageCase{"UnknownRequest", Operation::kStartCapture, 1,
                    "cannot start the capture: the driver does not know this request (is it a "
                    "different version?)"},
        MessageCase{"AccessDenied", Operation::kOpen, 5,
                    "cannot open \\\\.\\QELVARD1: access is denied: only SYSTEM and administrators may "
                    "open it; run qelvmon as an administrator"},
        MessageCase{"AccessDeniedAfterTheOpen", Operation::kStartCapture, 5,
                    "cannot start the capture: access is denied"},
        MessageCase{"AnythingElseKeepsItsCode", Operation::kStopCapture, 0xC000009A,
                    "cannot stop the capture: error 0xC000009A"}),
    [](const testing::TestParamInfo<MessageCase>& param_info) { return param_info.param.name; });

qelvmon::MonitorConfig TwoJsonIntervals() {
  qelvmon::MonitorConfig config;
  config.format = qelvmon::OutputFormat::kJson;
  config.count = 2;
  return config;
}

TEST(FailedRun, OpenFailurePrintsNothingButTheReason) {
  const MonitorRun run = RunRecording("fail open 2\n", TwoJsonIntervals());
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "qelvmon: cannot open \\\\.\\QELVARD1: the qelvard1 driver is not loaded\n");
  EXPECT_EQ(run.calls, std::vector<std::string>{"open"});
}

TEST(FailedRun, SecondMonitorIsTurnedAway) {
  const MonitorRun run = RunRecording("fail open 0xE0008108\n", TwoJsonIntervals());
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_EQ(run.err,
            "qelvmon: cannot open \\\\.\\QELVARD1: another monitor holds the device, and only one can "
            "hold it at a time (Performance Monitor and counter logs showing qelvard1's counters are "
            "monitors too)\n");
}

TEST(FailedRun, StartFailureClosesTheDevice) {
  const MonitorRun run = RunRecording("fail start 0xE0008103\n", TwoJsonIntervals());
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "qelvmon: cannot start the capture: a capture is already running\n");
  EXPECT_EQ(run.calls, (std::vector<std::string>{"open", "start", "close"}));
}

TEST(FailedRun, NameQueryFailureOtherThanNoDeviceEndsTheRun) {
  const MonitorRun run = RunRecording("read 0 10\nfail name 7 0xE0008001\n", TwoJsonIntervals());
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_EQ(nlohmann::json::parse(run.out), nlohmann::json::array());
  EXPECT_EQ(run.err,
            "qelvmon: cannot ask for the controller name of bus 7: the driver rejected the size "
            "of the request's buffer\n");
  EXPECT_EQ(run.calls, (std::vector<std::string>{"open", "start", "read", "stop", "close"}));
}

TEST(FailedRun, StopFailureAfterAGoodRunIsReported) {
  const MonitorRun run =
      RunRecording("read 0 10\nread 10 20\nfail stop 0xE0008105\n", TwoJsonIntervals());
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_EQ(run.err, "qelvmon: cannot stop the capture: no capture is running\n");
  EXPECT_EQ(run.calls.back(), "close");
}

TEST(FailedRun, StopFailureAfterAFailedReadAddsNoSecondMessage) {
  const MonitorRun run =
      RunRecording("fail read 0xE0008105\nfail stop 0xE0008105\n", TwoJsonIntervals());
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_EQ(run.err,
            "qelvmon: cannot read the bus statistics: no capture is running (it was stopped "
            "behind the monitor's back)\n");
}

}  // namespace
