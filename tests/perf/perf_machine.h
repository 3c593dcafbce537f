// The simulated machine for the counter DLL's tests, behind an interface
// without the kernel's headers (their WCHAR is not the Win32 side's): the
// default machine with qelvard1 on its storage stacks, in virtual time at
// 10 MHz, a workload on its disks, and user processes for the DLL and for
// other monitors.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace hostk {
class UserProcess;
}

namespace perf_test {

inline constexpr std::int64_t kTicksPerSecond = 10'000'000;

// The default machine's registry, with qelvard1 in its filter lists, in
// place of whatever the registry held.
void WriteDefaultRegistry();

class SimMachine {
 public:
  // Boots the machine; `workload` (qelvsim's workload text) starts at once
  // and issues requests for `seconds`.
  SimMachine(const char* workload, int seconds);
  ~SimMachine();
  SimMachine(const SimMachine&) = delete;
  SimMachine& operator=(const SimMachine&) = delete;

  // Runs the machine up to `ticks` after the workload's start.
  void RunUntil(std::int64_t ticks);
  // A user process of the machine (pid > 4), made on first use.
  hostk::UserProcess& Process(std::uint32_t pid);
  // The same for a user in neither SYSTEM nor Administrators.
  hostk::UserProcess& StandardUserProcess(std::uint32_t pid);
  // Verifier reports so far, one line each; empty when there were none.
  static std::string VerifierReports();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace perf_test
