// `korvinst perf-install` and `perf-uninstall`: the Storage Bus counters of
// qelvperf.dll registered under the qelvard1 service the Windows way, its
// Performance key naming the DLL and its exports, and the counter names and
// help texts loaded by lodctr (loadperf's LoadPerfCounterTextStrings) or
// taken back out by unlodctr (UnloadPerfCounterTextStrings).
#pragma once

#include <string>

namespace korvinst {

// Each returns true on success; *report gets a sentence either way.
// `ini` is the counters' .ini file, its symbol file beside it.
bool PerfInstall(const std::string& ini, std::string* report);
bool PerfUninstall(std::string* report);

}  // namespace korvinst
