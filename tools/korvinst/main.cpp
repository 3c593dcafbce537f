// korvinst: calls one export of the setup library per invocation, as an
// installer program would, shows the filter lists the library manages, or
// registers the Storage Bus performance counters.
// Exit status: 0 when the export gave 1, 1 when it gave 0, 2 when the
// command line, the library or the machine file is wrong.
#include <cstdio>
#include <string>

#include <CLI/CLI.hpp>

#include "tools/cli_args.h"
#include "tools/korvinst/library.h"
#include "tools/korvinst/perf_install.h"
#include "tools/korvinst/show.h"

#if !defined(_WIN32)
#include <fstream>

#include "host_registry/registry.h"
#include "tools/korvinst/default_machine.h"
#endif

namespace {

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

struct Command {
  std::string name;
  std::string argument;
};

int CallExport(const korvinst::SetupLibrary& library, const Command& command, int showMessage) {
  const char* arg = command.argument.c_str();
  if (command.name == "install-bus-filters") return library.InstallBusFilters(nullptr, showMessage);
  if (command.name == "uninstall-bus-filters") return library.UninstallBusFilters(nullptr, showMessage);
  if (command.name == "ide-install") return library.IdeInstallFilter(nullptr, arg, showMessage);
  if (command.name == "ide-uninstall") return library.IdeUninstallFilter(nullptr, arg, showMessage);
  return library.InitStartupInfo(nullptr, arg, showMessage);  // init-startup
}

#if !defined(_WIN32)
// The simulated machine: loaded from the file (or the default machine when
// the file does not exist yet) before the command, saved after it.
bool LoadMachine(const std::string& file, bool* created) {
  hostreg::Registry& registry = hostreg::Registry::Machine();
  *created = file.empty() || !std::ifstream(file).good();
  if (*created) {
    korvinst::WriteDefaultMachine(registry);
    return true;
  }
  std::string error;
  if (!registry.LoadFile(file, &error)) {
    std::fprintf(stderr, "korvinst: %s\n", error.c_str());
    return false;
  }
  return true;
}

bool SaveMachine(const std::string& file) {
  if (file.empty()) return true;
  std::string error;
  if (!hostreg::Registry::Machine().SaveFile(file, &error)) {
    std::fprintf(stderr, "korvinst: %s\n", error.c_str());
    return false;
  }
  return true;
}

void PrintMessageBoxes() {
  for (const hostwin32::MessageBoxRecord& box : hostwin32::MessageBoxes()) {
    std::printf("message box \"%s\" (flags 0x%X): %s\n", box.caption.c_str(), box.flags, box.text.c_str());
  }
  hostwin32::ClearMessageBoxes();
}
#endif

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Calls the korvset setup library: installs or removes filter drivers in device class filter lists."};
  app.require_subcommand(1, 1);

  bool message = false;
  std::string libraryPath;
  std::string machineFile;
  app.add_flag("--message", message, "let the library show its result in a message box");
  app.add_option("--library", libraryPath, "the setup library to load (default: korvset beside this program)");
#if !defined(_WIN32)
  app.add_option("--machine", machineFile,
                 "registry file of the simulated machine: loaded before, saved after; created from the default "
                 "machine when it does not exist");
#endif

  Command command;
  app.add_subcommand("install-bus-filters", "korvflt1 into the UpperFilters of every bus class (and out of the "
                                            "storage classes and devices)");
  app.add_subcommand("uninstall-bus-filters", "korvflt1 out of every list the library manages");
  app.add_subcommand("ide-install", "SERVICE into the UpperFilters of the IDE controller class")
      ->add_option("SERVICE", command.argument, "driver service name")
      ->required();
  app.add_subcommand("ide-uninstall", "SERVICE out of the UpperFilters of the IDE controller class")
      ->add_option("SERVICE", command.argument, "driver service name")
      ->required();
  app.add_subcommand("init-startup", "OSStartTime, RebootNeeded and UpdateNotify under HKEY_LOCAL_MACHINE\\KEYPATH")
      ->add_option("KEYPATH", command.argument, "key path below HKEY_LOCAL_MACHINE")
      ->required();
  app.add_subcommand("show", "the filter lists of the managed classes and their present devices (changes nothing)");
  std::string perfIni = "qelvperf.ini";
  app.add_subcommand("perf-install", "the Storage Bus counters of qelvperf.dll: the Performance key of qelvard1, "
                                     "and the counter names of INI through lodctr")
      ->add_option("INI", perfIni, "the counters' .ini file, with its symbol file beside it (default qelvperf.ini)");
  app.add_subcommand("perf-uninstall", "the Storage Bus counters out again: their names (unlodctr) and the "
                                       "Performance key of qelvard1");

  try {
    app.parse(tools::Cli11Arguments(std::vector<std::string>(argv + 1, argv + argc)));
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    app.exit(e);
    return kExitUsage;
  }
  command.name = app.get_subcommands().front()->get_name();

#if !defined(_WIN32)
  bool created = false;
  if (!LoadMachine(machineFile, &created)) return kExitUsage;
#endif

  int status;
  if (command.name == "show") {
    std::fputs(korvinst::ShowFilters().c_str(), stdout);
    status = 0;
  } else if (command.name == "perf-install" || command.name == "perf-uninstall") {
    std::string report;
    const bool done = command.name == "perf-install" ? korvinst::PerfInstall(perfIni, &report)
                                                     : korvinst::PerfUninstall(&report);
    std::printf("%s: %s\n", command.name.c_str(), report.c_str());
    status = done ? 0 : kExitFailed;
  } else {
    korvinst::SetupLibrary library;
    std::string error;
    if (!library.Load(libraryPath.empty() ? korvinst::DefaultLibraryPath(argv[0]) : libraryPath, &error)) {
      std::fprintf(stderr, "korvinst: %s\n", error.c_str());
      return kExitUsage;
    }
    int result = CallExport(library, command, message ? 1 : 0);
#if !defined(_WIN32)
    if (message) PrintMessageBoxes();
#endif
    std::printf("%s: %s\n", command.name.c_str(), result ? "done" : "failed");
    status = result ? 0 : kExitFailed;
  }

#if !defined(_WIN32)
  // show changes nothing: an existing file stays as it was.
  if ((command.name != "show" || created) && !SaveMachine(machineFile)) return kExitUsage;
#endif
  return status;
}
