#include "qelvmon/options.h"
#include "tools/cli_args.h"

#include <CLI/CLI.hpp>
#include <cmath>

namespace qelvmon {
namespace {

// Shorter intervals than this only measure the monitor itself; longer
// ones than a day are surely a typing error.
constexpr double kMinIntervalSeconds = 0.01;
constexpr double kMaxIntervalSeconds = 86400.0;

}  // namespace

ParseResult ParseCommandLine(const std::vector<std::string>& args, std::ostream& out,
                             std::ostream& err) {
  ParseResult result;
  MonitorConfig& config = result.config;

  CLI::App app{
      "Shows how busy each storage bus is, per interval, as measured by the qelvard1 driver "
      "through \\\\.\\QELVARD1. Stops after --count intervals or on Ctrl-C.",
      "qelvmon"};
  double interval_seconds = 1.0;
  std::string format_name = "table";
  app.add_option("-i,--interval", interval_seconds, "Seconds per interval (fractions allowed)")
      ->type_name("SECONDS")
      ->default_str("1")
      ->check(CLI::Validator(
          [](std::string& text) -> std::string {
            double seconds = 0;
            if (!CLI::detail::lexical_cast(text, seconds) || !std::isfinite(seconds)) {
              return "must be a number of seconds";
            }
            if (seconds < kMinIntervalSeconds || seconds > kMaxIntervalSeconds) {
              return "must be between 0.01 and 86400 seconds";
            }
            return {};
          },
          ""));
  app.add_option("-c,--count", config.count, "Number of intervals to report (default: until Ctrl-C)")
      ->type_name("N")
      ->check(CLI::Validator(
          [](std::string& text) -> std::string {
            // strtoull takes "-1" for the largest count; a sign is an error here.
            std::uint64_t count = 0;
            if (text.find('-') != std::string::npos || !CLI::detail::lexical_cast(text, count) ||
                count == 0) {
              return "must be a whole number of intervals, at least 1";
            }
            return {};
          },
          ""));
  app.add_option("-f,--format", format_name, "Output format: table, csv or json")
      ->type_name("FORMAT")
      ->default_str("table")
      ->transform(CLI::Validator(
          [](std::string& text) -> std::string {
            text = CLI::detail::to_lower(text);
            return text == "table" || text == "csv" || text == "json"
                       ? std::string{}
                       : "must be table, csv or json";
          },
          ""));
  app.add_flag("-a,--all", config.all_buses, "Show idle buses without a device too");
  app.add_option("--svg", config.svg,
                 "When the run ends (count reached, Ctrl-C or failure), draw the intervals shown as an SVG "
                 "timeline in FILE")
      ->type_name("FILE")
      ->check(CLI::Validator(
          [](std::string& text) -> std::string { return text.empty() ? "needs a file name" : std::string{}; },
          ""));

  std::vector<std::string> reversed = tools::Cli11Arguments(args);
  try {
    app.parse(reversed);
  } catch (const CLI::ParseError& e) {
    result.outcome = ParseResult::Outcome::kExit;
    result.exit_code = e.get_exit_code() == 0 ? 0 : 2;
    if (e.get_exit_code() == 0) {
      out << app.help();
    } else {
      err << "qelvmon: " << e.what() << "\n"
          << "Run with --help for more information.\n";
    }
    return result;
  }
  config.format = format_name == "csv"    ? OutputFormat::kCsv
                  : format_name == "json" ? OutputFormat::kJson
                                          : OutputFormat::kTable;
  config.interval = std::chrono::nanoseconds(static_cast<std::int64_t>(std::llround(interval_seconds * 1e9)));
  return result;
}

}  // namespace qelvmon
