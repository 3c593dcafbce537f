#include "qelvsim/options.h"
#include "tools/cli_args.h"

#include <CLI/CLI.hpp>
#include <cmath>
#include <functional>
#include <vector>

namespace qelvsim {
namespace {

// The text of a number as the old hand-written parser took it (std::stod,
// the whole text, finite), so scripts keep working.
bool ParseNumber(const std::string& text, double* number) {
  try {
    size_t used = 0;
    *number = std::stod(text, &used);
    return used == text.size() && std::isfinite(*number);
  } catch (const std::exception&) {
    return false;
  }
}

// A check of an option's text; CLI11 puts the option's name before `why`.
CLI::Validator Check(std::function<bool(const std::string&)> good, std::string why) {
  return CLI::Validator(
      [good = std::move(good), why = std::move(why)](std::string& text) { return good(text) ? std::string{} : why; },
      "");
}

CLI::Validator NumberIn(double low, double high, bool whole, std::string why) {
  return Check(
      [=](const std::string& text) {
        double number = 0;
        return ParseNumber(text, &number) && number >= low && number <= high && (!whole || number == std::floor(number));
      },
      std::move(why));
}

CLI::Validator NotEmpty(std::string why) {
  return Check([](const std::string& text) { return !text.empty(); }, std::move(why));
}

const char kDescription[] =
    "Boots a simulated Windows 2000 machine whose storage stacks the Plug and Play manager builds from the "
    "registry, runs a workload on its disks and runs qelvmon against qelvard1, then draws each bus's "
    "utilisation. --replay plays a recorded disk trace instead of a workload; --write-machine only writes "
    "the default machine.";

}  // namespace

int ParseOptions(int argc, const char* const* argv, SimOptions* options, std::ostream& out, std::ostream& err) {
  CLI::App app{kDescription, "qelvsim"};
  double attach_mode = -1;
  double seed = static_cast<double>(options->seed);
  std::string time = options->virtual_time ? "virtual" : "real";
  std::string trace_format = "auto";

  app.add_option("--interval", options->interval, "Seconds per monitor report")
      ->type_name("SECONDS")
      ->capture_default_str()
      ->check(NumberIn(0.01, 86400, false, "must be 0.01 to 86400 seconds"));
  app.add_option("--svg", options->svg, "Where to draw the timeline (\"\" for none)")
      ->type_name("FILE")
      ->capture_default_str();
  app.add_option("--format", options->format, "qelvmon's output: table, csv or json (only that on standard "
                                              "output; the rest goes to standard error)")
      ->type_name("FORMAT")
      ->capture_default_str()
      ->transform(CLI::Validator(
          [](std::string& text) {
            text = CLI::detail::to_lower(text);
            return text == "table" || text == "csv" || text == "json" ? std::string{} : "must be table, csv or json";
          },
          ""));
  app.add_option("--attach-mode", attach_mode, "Write KVFlags = N for qelvard1 before the machine boots")
      ->type_name("0-7")
      ->check(NumberIn(0, 7, true, "must be a whole number from 0 to 7"));

  const std::string run = "Workload run";
  CLI::Option* machine =
      app.add_option("--machine", options->machine_file,
                     "Registry of the machine (regedit text); made from the default machine when missing, saved "
                     "back at the end")
          ->type_name("FILE.reg")
          ->group(run);
  CLI::Option* workload =
      app.add_option("--workload", options->workload, "Built-in workload (mixed, ide, burst, idle, hotplug) or a "
                                                      "workload file")
          ->type_name("NAME|FILE")
          ->capture_default_str()
          ->group(run);
  CLI::Option* seconds = app.add_option("--seconds", options->seconds, "Length of the run")
                             ->type_name("SECONDS")
                             ->capture_default_str()
                             ->check(Check(
                                 [](const std::string& text) {
                                   double number = 0;
                                   return ParseNumber(text, &number) && number > 0 && number <= 86400;
                                 },
                                 "must be a number of seconds, above 0 and at most 86400"))
                             ->group(run);
  CLI::Option* time_option =
      app.add_option("--time", time, "virtual (exact and repeatable) or real (the buses on threads)")
          ->type_name("real|virtual")
          ->capture_default_str()
          ->check(Check([](const std::string& text) { return text == "real" || text == "virtual"; },
                        "must be real or virtual"))
          ->group(run);
  CLI::Option* pace =
      app.add_option("--pace", options->pace, "Virtual time: wait this long in real time per report, so the table "
                                              "builds up as if live")
          ->type_name("SECONDS")
          ->capture_default_str()
          ->check(NumberIn(0, 60, false, "must be 0 to 60 seconds"))
          ->group(run);
  CLI::Option* seed_option = app.add_option("--seed", seed, "Seed of the workload and the disks")
                                 ->type_name("N")
                                 ->default_str("1")
                                 ->check(NumberIn(0, 1e15, true, "must be a whole number"))
                                 ->group(run);
  CLI::Option* write_machine =
      app.add_option("--write-machine", options->write_machine,
                     "Write the default machine without qelvard1 in any filter list (for an installer to add it) "
                     "and stop")
          ->type_name("FILE.reg")
          ->check(NotEmpty("needs a file name"))
          ->group(run);

  const std::string replay_group = "Replay";
  CLI::Option* replay =
      app.add_option("--replay", options->replay,
                     "Replay a recorded disk trace instead of a workload: each disk of the trace on a bus of its "
                     "own, every request sent and completed at its recorded times (virtual time)")
          ->type_name("TRACE")
          ->check(NotEmpty("needs a trace file"))
          ->group(replay_group);
  // The trace makes the machine, its time and its requests.
  for (CLI::Option* other : {machine, workload, seconds, time_option, seed_option, write_machine, pace}) {
    replay->excludes(other);
  }
  app.add_option("--trace-format", trace_format,
                 "wpa (Windows Performance Analyzer disk I/O CSV), blkparse (text), cambridge (block trace CSV); "
                 "auto tells them by the first line")
      ->type_name("FORMAT")
      ->capture_default_str()
      ->check(CLI::Validator(
          [](std::string& text) {
            sim::TraceFormat format;
            return sim::ParseTraceFormat(text, &format)
                       ? std::string{}
                       : "unknown format \"" + text + "\" (known: " + sim::KnownTraceFormats() + ")";
          },
          ""))
      ->needs(replay)
      ->group(replay_group);

  std::vector<std::string> reversed = tools::Cli11Arguments(std::vector<std::string>(argv, argv + argc));
  try {
    app.parse(reversed);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) {
      out << app.help();
      return 0;
    }
    err << "qelvsim: " << e.what() << "\n"
        << "Run with --help for more information.\n";
    return 2;
  }
  options->virtual_time = time == "virtual";
  if (attach_mode >= 0) options->attach_mode = static_cast<int>(attach_mode);
  options->seed = static_cast<std::uint64_t>(seed);
  sim::ParseTraceFormat(trace_format, &options->trace_format);
  return -1;
}

}  // namespace qelvsim
