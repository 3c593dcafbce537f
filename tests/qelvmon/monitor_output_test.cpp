// Recorded captures through the whole monitor, compared with expected
// output files; machine formats parsed back after interrupted runs.
#include <gtest/gtest.h>

#include <cstdlib>
#include <nlohmann/json.hpp>

#include "monitor_run.h"

namespace {

using qelvmon::MonitorConfig;
using qelvmon::OutputFormat;
using qelvmon_test::MonitorRun;
using qelvmon_test::ParseCsv;
using qelvmon_test::ReadFile;
using qelvmon_test::RunRecording;
using qelvmon_test::ScriptedChannel;
using qelvmon_test::TestFile;

MonitorConfig Config(OutputFormat format, std::uint64_t count = 0) {
  MonitorConfig config;
  config.format = format;
  config.count = count;
  return config;
}

struct GoldenCase {
  const char* name;
  OutputFormat format;
  const char* expected;
};

class GoldenOutputTest : public testing::TestWithParam<GoldenCase> {};

// Three intervals of the "mixed" recording: a half-busy bus, an idle named
// one, an unnamed device, a name with a comma and quotes, a busy bus with
// no device, a claim above 100 %, a Latin-1 name and a half-length interval.
TEST_P(GoldenOutputTest, MixedRecordingMatchesExpectedFile) {
  const GoldenCase& c = GetParam();
  const MonitorRun run = qelvmon_test::RunMonitor(
      ScriptedChannel::FromFile(TestFile("data/mixed.capture")), Config(c.format, 3));
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.err, "");
  const std::string expected_path = TestFile(std::string("expected/") + c.expected);
  if (std::getenv("QELVMON_UPDATE_EXPECTED") != nullptr) {
    std::ofstream(expected_path, std::ios::binary) << run.out;
  }
  EXPECT_EQ(run.out, ReadFile(expected_path));
}

INSTANTIATE_TEST_SUITE_P(
    Formats, GoldenOutputTest,
    testing::Values(GoldenCase{"Table", OutputFormat::kTable, "mixed.table"},
                    GoldenCase{"Csv", OutputFormat::kCsv, "mixed.csv"},
                    GoldenCase{"Json", OutputFormat::kJson, "mixed.json"}),
    [](const testing::TestParamInfo<GoldenCase>& param_info) { return param_info.param.name; });

constexpr char kInterrupted[] = R"(
frequency 3579545
device 0 Primary IDE Channel
device 4 USB Mass Storage, "Port 2"
read 0 3579545 0:1789772 4:10
read 3579545 7159090 0:3579545
interrupt
read 7159090 10738635 0:1
)";

TEST(InterruptedRun, JsonIsAClosedArrayOfTheReportedIntervals) {
  const MonitorRun run = RunRecording(kInterrupted, Config(OutputFormat::kJson));
  EXPECT_EQ(run.exit_code, 0);
  const auto records = nlohmann::json::parse(run.out);
  ASSERT_TRUE(records.is_array());
  ASSERT_EQ(records.size(), 4u);  // two buses in each of two intervals
  EXPECT_EQ(records[3]["interval"], 2);
  EXPECT_EQ(records[3]["bus"], 4);
  EXPECT_EQ(records[3]["controller"], "USB Mass Storage, \"Port 2\"");
  EXPECT_EQ(records[2]["busy_pct"], 100.0);
  EXPECT_EQ(run.calls, (std::vector<std::string>{"open", "start", "read", "read", "stop", "close"}));
}

TEST(InterruptedRun, CsvHasWholeRecordsUnderItsHeader) {
  const MonitorRun run = RunRecording(kInterrupted, Config(OutputFormat::kCsv));
  EXPECT_EQ(run.exit_code, 0);
  const auto records = ParseCsv(run.out);
  ASSERT_EQ(records.size(), 5u);
  EXPECT_EQ(records[0][0], "time");
  for (const auto& record : records) EXPECT_EQ(record.size(), 10u);
  EXPECT_EQ(records[2][6], "USB Mass Storage, \"Port 2\"");
  EXPECT_EQ(records[2][9], "0.0");
}

TEST(InterruptedRun, BeforeTheFirstReportStillLeavesValidJson) {
  const MonitorRun run = RunRecording("interrupt\n", Config(OutputFormat::kJson));
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(nlohmann::json::parse(run.out), nlohmann::json::array());
  EXPECT_EQ(run.calls, (std::vector<std::string>{"open", "start", "stop", "close"}));
}

TEST(InterruptedRun, FailedReadClosesTheJsonArrayAndSaysWhy) {
  const MonitorRun run = RunRecording(R"(
device 1 Secondary IDE Channel
read 100 200 1:50
fail read 0xE0008105
)",
                                      Config(OutputFormat::kJson));
  EXPECT_EQ(run.exit_code, 1);
  const auto records = nlohmann::json::parse(run.out);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0]["busy_pct"], 50.0);
  EXPECT_EQ(records[0]["interval_s"], nullptr);  // no frequency in this recording
  EXPECT_EQ(run.err,
            "qelvmon: cannot read the bus statistics: no capture is running "
            "(it was stopped behind the monitor's back)\n");
}

constexpr char kTwoIntervals[] = R"(
frequency 1000
device 0 Primary IDE Channel
read 0 1000 0:250
read 1000 2000
read 2000 3000
)";

TEST(MonitorLoop, CountEndsTheRunAfterThatManyReads) {
  const MonitorRun run = RunRecording(kTwoIntervals, Config(OutputFormat::kCsv, 2));
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.calls, (std::vector<std::string>{"open", "start", "read", "read", "stop", "close"}));
  EXPECT_EQ(run.name_queries, 512);  // every bus, every interval
  EXPECT_EQ(ParseCsv(run.out).size(), 3u);
}

TEST(MonitorLoop, AllShowsEveryBusEveryInterval) {
  MonitorConfig config = Config(OutputFormat::kJson, 1);
  config.all_buses = true;
  const MonitorRun run = RunRecording(kTwoIntervals, config);
  const auto records = nlohmann::json::parse(run.out);
  ASSERT_EQ(records.size(), 256u);
  EXPECT_EQ(records[255]["bus"], 255);
  EXPECT_EQ(records[255]["device"], false);
  EXPECT_EQ(records[255]["controller"], nullptr);
  EXPECT_EQ(records[0]["busy_pct"], 25.0);
}

TEST(MonitorLoop, IdleBusWithoutDeviceIsLeftOutByDefault) {
  const MonitorRun run = RunRecording(kTwoIntervals, Config(OutputFormat::kJson, 2));
  const auto records = nlohmann::json::parse(run.out);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[1]["bus"], 0);
  EXPECT_EQ(records[1]["busy_ticks"], 0);
  EXPECT_EQ(records[1]["elapsed_s"], 2.0);
}

TEST(MonitorLoop, TableWithoutFrequencyShowsTicks) {
  const MonitorRun run = RunRecording("device 3 Disk\nread 0 4000 3:1000\n", Config(OutputFormat::kTable, 1));
  EXPECT_EQ(run.out,
            "qelvmon: bus activity of \\\\.\\QELVARD1, every 1.000 s, counter frequency unknown\n"
            "%busy: share of the interval with a request outstanding; busy ms: that time in "
            "milliseconds\n"
            "\n"
            "2024-03-01 12:00:01.000 UTC  interval 1  length 4000 ticks\n"
            " bus   %busy     busy ms  bar                     controller\n"
            "   3    25.0           -  [#####               ]  Disk\n");
}

TEST(MonitorLoop, EmptyIntervalHasNoPercentage) {
  const MonitorRun run = RunRecording("frequency 10\nread 50 50 2:1\n", Config(OutputFormat::kCsv, 1));
  const auto records = ParseCsv(run.out);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[1][9], "");
  EXPECT_EQ(records[1][3], "0.000000");
}

}  // namespace
