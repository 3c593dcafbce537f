// qelvsim's command line, its picture, its output streams, and whole short runs.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>
#include <unistd.h>

#include "qelvsim/simulation.h"
#include "qelvmon/timeline.h"

namespace {

int Parse(std::vector<const char*> args, qelvsim::SimOptions* options, std::string* err_text = nullptr) {
  std::ostringstream out;
  std::ostringstream err;
  int code = qelvsim::ParseOptions(static_cast<int>(args.size()), args.data(), options, out, err);
  if (err_text != nullptr) *err_text = err.str();
  return code;
}

TEST(QelvsimOptions, ParsesEveryOption) {
  qelvsim::SimOptions options;
  ASSERT_EQ(Parse({"--machine", "m.reg", "--workload=ide", "--seconds", "3.5", "--attach-mode", "2", "--time", "real",
                   "--interval", "0.5", "--svg=", "--pace", "0.1", "--seed", "9", "--format", "CSV"},
                  &options),
            -1);
  EXPECT_EQ(options.machine_file, "m.reg");
  EXPECT_EQ(options.workload, "ide");
  EXPECT_EQ(options.seconds, 3.5);
  EXPECT_EQ(options.attach_mode, 2);
  EXPECT_FALSE(options.virtual_time);
  EXPECT_EQ(options.interval, 0.5);
  EXPECT_EQ(options.svg, "");
  EXPECT_EQ(options.pace, 0.1);
  EXPECT_EQ(options.seed, 9u);
  EXPECT_EQ(options.format, "csv");
}

TEST(QelvsimOptions, HelpGoesToStandardOutputInTheLayoutOfTheOtherTools) {
  qelvsim::SimOptions options;
  std::ostringstream out;
  std::ostringstream err;
  const char* args[] = {"--help"};
  EXPECT_EQ(qelvsim::ParseOptions(1, args, &options, out, err), 0);
  EXPECT_NE(out.str().find("\nUsage: qelvsim [OPTIONS]\n\nOptions:\n  -h,--help "), std::string::npos) << out.str();
  EXPECT_NE(out.str().find("\nReplay:\n  --replay TRACE "), std::string::npos) << out.str();
  EXPECT_EQ(err.str(), "");
}

TEST(QelvsimOptions, BadValuesAreUsageErrorsWithAReason) {
  struct Case {
    std::vector<const char*> args;
    const char* message;
  };
  const Case cases[] = {
      {{"--attach-mode", "8"}, "--attach-mode: must be a whole number from 0 to 7"},
      {{"--attach-mode", "1.5"}, "--attach-mode: must be a whole number from 0 to 7"},
      {{"--seconds", "0"}, "--seconds: must be a number of seconds, above 0 and at most 86400"},
      {{"--seconds", "nan"}, "--seconds: must be a number of seconds, above 0 and at most 86400"},
      {{"--time", "fast"}, "--time: must be real or virtual"},
      {{"--interval", "0.001"}, "--interval: must be 0.01 to 86400 seconds"},
      {{"--seed", "-1"}, "--seed: must be a whole number"},
      {{"--format", "xml"}, "--format: must be table, csv or json"},
      {{"--write-machine="}, "--write-machine: needs a file name"},
      {{"--bogus"}, "The following argument was not expected: --bogus"},
      {{"--seconds"}, "--seconds: 1 required SECONDS missing"},
      {{"--seconds", "1", "--seconds", "2"}, "--seconds: At Most 1 required but received 2"},
  };
  for (const Case& c : cases) {
    qelvsim::SimOptions options;
    std::string err;
    EXPECT_EQ(Parse(c.args, &options, &err), 2) << c.message;
    EXPECT_EQ(err, std::string("qelvsim: ") + c.message + "\nRun with --help for more information.\n");
  }
}

TEST(Timeline, OneLinePerBusWithItsNameAndUtilisationHeldAcrossEachInterval) {
  qelvmon::Timeline timeline;
  timeline.frequency = 100;
  qelvmon::TimelineSample first;
  first.interval_start = 0;
  first.interval_end = 100;
  first.busy[0] = 50;   // 50 %
  first.busy[30] = 100;  // 100 %
  qelvmon::TimelineSample second = first;
  second.interval_start = 100;
  second.interval_end = 200;
  second.busy[0] = 0;
  timeline.samples = {first, second};
  timeline.names[0] = "Primary IDE Channel";
  timeline.names[2] = "A & B <SCSI>";  // named, never busy

  EXPECT_EQ(qelvmon::TimelineBuses(timeline), (std::vector<int>{0, 2, 30}));
  std::string svg = qelvmon::TimelineSvg(timeline);
  size_t lines = 0;
  for (size_t at = svg.find("<polyline"); at != std::string::npos; at = svg.find("<polyline", at + 1)) ++lines;
  EXPECT_EQ(lines, 3u);
  EXPECT_NE(svg.find(">bus 0: Primary IDE Channel<"), std::string::npos);
  EXPECT_NE(svg.find(">bus 2: A &amp; B &lt;SCSI&gt;<"), std::string::npos);
  // Plot 600 wide from x=60, 300 high from y=40: bus 0 at 50 % then 0 %.
  EXPECT_NE(svg.find("points=\"60.00,190.00 360.00,190.00 360.00,340.00 660.00,340.00 \""), std::string::npos);
  EXPECT_NE(svg.find(">2.00 s<"), std::string::npos);
}

TEST(Qelvsim, AShortVirtualRunShowsEveryBusAndDrawsIt) {
  qelvsim::SimOptions options;
  options.seconds = 2;
  options.svg = "";
  std::ostringstream out;
  std::ostringstream err;
  qelvmon::Timeline timeline;
  EXPECT_EQ(qelvsim::RunSimulation(options, out, err, &timeline), 0) << err.str();
  EXPECT_EQ(timeline.samples.size(), 2u);
  EXPECT_EQ(timeline.names.at(0), "Primary IDE Channel");
  EXPECT_EQ(timeline.names.at(30), "USB Mass Storage Device");
  EXPECT_EQ(timeline.samples[1].interval_end - timeline.samples[0].interval_start, 2 * timeline.frequency);
  EXPECT_NE(out.str().find("[atapi < qelvard1 < disk < PartMgr]"), std::string::npos);
  EXPECT_EQ(err.str(), "");
}

// Fields per line of a CSV text, quotes honoured.
std::vector<size_t> CsvWidths(const std::string& text) {
  std::vector<size_t> widths;
  size_t fields = 1;
  bool quoted = false;
  for (char c : text) {
    if (c == '"') quoted = !quoted;
    if (quoted) continue;
    if (c == ',') ++fields;
    if (c == '\n') {
      widths.push_back(fields);
      fields = 1;
    }
  }
  return widths;
}

TEST(Qelvsim, AMachineFormatIsAloneOnStandardOutputAndTheTextGoesToStandardError) {
  const std::string excerpt = std::string(QELV_SHARED_DIR) + "/traces/win11-boot-11s-14s.csv";
  const std::string svg = testing::TempDir() + "qelvsim-formats-" + std::to_string(getpid()) + ".svg";
  const struct {
    const char* name;
    std::vector<const char*> args;
    const char* text;
    size_t records;  // buses shown times intervals
  } cases[] = {
      {"workload, json", {"--seconds", "2", "--svg", "", "--format", "json"}, "Device stacks (bottom first):", 10},
      {"workload, csv", {"--seconds", "2", "--svg", "", "--format", "csv"}, "requests completed (", 10},
      {"replay, json", {"--replay", excerpt.c_str(), "--svg", svg.c_str(), "--format", "json"},
       "utilisation timeline written to", 3},
      {"replay, csv", {"--replay", excerpt.c_str(), "--svg", "", "--format", "csv"}, "qelvsim: replayed 6590 requests", 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    qelvsim::SimOptions options;
    ASSERT_EQ(Parse(c.args, &options), -1);
    std::ostringstream out;
    std::ostringstream err;
    ASSERT_EQ(qelvsim::RunSimulation(options, out, err), 0) << err.str();
    EXPECT_NE(err.str().find(c.text), std::string::npos) << err.str();
    if (options.format == "json") {
      const nlohmann::json records = nlohmann::json::parse(out.str());
      ASSERT_TRUE(records.is_array());
      EXPECT_EQ(records.size(), c.records);
    } else {
      EXPECT_EQ(out.str().rfind("time,interval,", 0), 0u) << out.str();
      const std::vector<size_t> widths = CsvWidths(out.str());
      EXPECT_EQ(widths, std::vector<size_t>(c.records + 1, widths.front())) << out.str();
      EXPECT_EQ(out.str().back(), '\n');
    }
  }
  std::remove(svg.c_str());
}

}  // namespace

namespace {

TEST(Qelvsim, ARealTimeRunCompletesOnTheBusThreadsAndReportsEveryInterval) {
  qelvsim::SimOptions options;
  options.virtual_time = false;
  options.seconds = 1;
  options.interval = 0.25;
  options.svg = "";
  options.workload = "mixed";
  std::ostringstream out;
  std::ostringstream err;
  qelvmon::Timeline timeline;
  EXPECT_EQ(qelvsim::RunSimulation(options, out, err, &timeline), 0) << err.str();
  EXPECT_EQ(timeline.samples.size(), 4u);
}

}  // namespace
