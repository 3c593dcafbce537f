#include <gtest/gtest.h>

#include <sstream>

#include "qelvmon/options.h"

namespace {

using qelvmon::OutputFormat;
using qelvmon::ParseCommandLine;
using qelvmon::ParseResult;

struct Parsed {
  ParseResult result;
  std::string out;
  std::string err;
};

Parsed Parse(const std::vector<std::string>& args) {
  std::ostringstream out;
  std::ostringstream err;
  Parsed parsed{ParseCommandLine(args, out, err), "", ""};
  parsed.out = out.str();
  parsed.err = err.str();
  return parsed;
}

TEST(Options, DefaultsAreOneSecondTableUntilInterrupted) {
  const Parsed p = Parse({});
  ASSERT_EQ(p.result.outcome, ParseResult::Outcome::kRun);
  EXPECT_EQ(p.result.config.interval, std::chrono::seconds(1));
  EXPECT_EQ(p.result.config.count, 0u);
  EXPECT_EQ(p.result.config.format, OutputFormat::kTable);
  EXPECT_FALSE(p.result.config.all_buses);
}

TEST(Options, EveryOptionLandsInTheConfig) {
  const Parsed p = Parse({"--interval", "0.25", "--count", "12", "--format", "JSON", "--all"});
  ASSERT_EQ(p.result.outcome, ParseResult::Outcome::kRun);
  EXPECT_EQ(p.result.config.interval, std::chrono::milliseconds(250));
  EXPECT_EQ(p.result.config.count, 12u);
  EXPECT_EQ(p.result.config.format, OutputFormat::kJson);
  EXPECT_TRUE(p.result.config.all_buses);
  EXPECT_EQ(p.err, "");
}

TEST(Options, ShortFormsWork) {
  const Parsed p = Parse({"-i", "2", "-c", "1", "-f", "csv", "-a"});
  ASSERT_EQ(p.result.outcome, ParseResult::Outcome::kRun);
  EXPECT_EQ(p.result.config.interval, std::chrono::seconds(2));
  EXPECT_EQ(p.result.config.format, OutputFormat::kCsv);
}

TEST(Options, HelpExitsWithZeroAndPrintsUsage) {
  const Parsed p = Parse({"--help"});
  EXPECT_EQ(p.result.outcome, ParseResult::Outcome::kExit);
  EXPECT_EQ(p.result.exit_code, 0);
  EXPECT_NE(p.out.find("--interval SECONDS"), std::string::npos);
  EXPECT_EQ(p.err, "");
}

struct BadCase {
  const char* name;
  std::vector<std::string> args;
  const char* first_line;
};

class BadOptionTest : public testing::TestWithParam<BadCase> {};

TEST_P(BadOptionTest, IsAUsageErrorWithAReason) {
  const BadCase& c = GetParam();
  const Parsed p = Parse(c.args);
  EXPECT_EQ(p.result.outcome, ParseResult::Outcome::kExit);
  EXPECT_EQ(p.result.exit_code, 2);
  EXPECT_EQ(p.err, std::string(c.first_line) + "\nRun with --help for more information.\n");
  EXPECT_EQ(p.out, "");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BadOptionTest,
    testing::Values(
        BadCase{"ZeroInterval", {"--interval", "0"},
                "qelvmon: --interval: must be between 0.01 and 86400 seconds"},
        BadCase{"TooShortInterval", {"--interval", "0.009"},
                "qelvmon: --interval: must be between 0.01 and 86400 seconds"},
        BadCase{"NotANumber", {"--interval", "nan"}, "qelvmon: --interval: must be a number of seconds"},
        BadCase{"Words", {"--interval", "soon"}, "qelvmon: --interval: must be a number of seconds"},
        BadCase{"ZeroCount", {"--count", "0"},
                "qelvmon: --count: must be a whole number of intervals, at least 1"},
        BadCase{"NegativeCount", {"--count", "-1"},
                "qelvmon: --count: must be a whole number of intervals, at least 1"},
        BadCase{"FractionalCount", {"--count", "1.5"},
                "qelvmon: --count: must be a whole number of intervals, at least 1"},
        BadCase{"UnknownFormat", {"--format", "xml"}, "qelvmon: --format: must be table, csv or json"},
        BadCase{"MissingValue", {"--interval"}, "qelvmon: --interval: 1 required SECONDS missing"},
        // "--svg=" is an empty file name, not a name still to come.
        BadCase{"EmptySvgName", {"--svg=", "-c", "1"}, "qelvmon: --svg: needs a file name"},
        BadCase{"UnknownOption", {"--bogus"},
                "qelvmon: The following argument was not expected: --bogus"}),
    [](const testing::TestParamInfo<BadCase>& param_info) { return param_info.param.name; });

}  // namespace
