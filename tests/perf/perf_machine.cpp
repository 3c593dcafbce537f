#include "perf_machine.h"

#include <map>
#include <mutex>

#include "driver/driver.h"
#include "host_kernel/host_control.h"
#include "host_pnp/pnp.h"
#include "sim/machine.h"
#include "sim/workload.h"

namespace perf_test {

void WriteDefaultRegistry() {
  hostreg::Registry& registry = hostreg::Registry::Machine();
  registry.Clear();
  sim::WriteDefaultMachineRegistry(registry, /*with_monitor_filter=*/true);
}

struct SimMachine::Impl {
  sim::Machine machine{sim::MachineOptions{}};
  std::unique_ptr<sim::WorkloadRunner> runner;
  sim::Ticks begin = 0;
  std::map<std::uint32_t, std::unique_ptr<hostk::UserProcess>> processes;
};

SimMachine::SimMachine(const char* workload, int seconds) {
  hostk::verifier::Clear();
  hostk::verifier::SetHandler([](const hostk::verifier::Violation&) {});  // kept for VerifierReports
  WriteDefaultRegistry();
  hostreg::Registry& registry = hostreg::Registry::Machine();
  hostpnp::RegisterDriverImage("qelvard1", DriverEntry);
  impl_ = std::make_unique<Impl>();
  if (!NT_SUCCESS(impl_->machine.Boot(registry))) std::abort();
  sim::Scheduler& scheduler = impl_->machine.GetScheduler();
  scheduler.Drain();
  sim::WorkloadSpec plan;
  std::string error;
  if (!sim::ParseWorkload(workload, &plan, &error)) std::abort();
  impl_->runner = std::make_unique<sim::WorkloadRunner>(&impl_->machine, plan, 7);
  impl_->begin = scheduler.Now();
  impl_->runner->Start(seconds * kTicksPerSecond);
}

SimMachine::~SimMachine() {
  impl_->processes.clear();  // their handles close as at process exit
  impl_->runner->StopIssuing();
  impl_->machine.GetScheduler().Drain();
  impl_->runner.reset();
  impl_->machine.Shutdown();
}

void SimMachine::RunUntil(std::int64_t ticks) { impl_->machine.GetScheduler().RunUntil(impl_->begin + ticks); }

hostk::UserProcess& SimMachine::Process(std::uint32_t pid) {
  auto& process = impl_->processes[pid];
  if (process == nullptr) process = std::make_unique<hostk::UserProcess>(pid);
  return *process;
}

hostk::UserProcess& SimMachine::StandardUserProcess(std::uint32_t pid) {
  auto& process = impl_->processes[pid];
  if (process == nullptr) process = std::make_unique<hostk::UserProcess>(pid, hostk::StandardUserToken());
  return *process;
}

std::string SimMachine::VerifierReports() {
  std::string text;
  for (const auto& violation : hostk::verifier::Violations()) text += violation.message + "\n";
  return text;
}

}  // namespace perf_test
