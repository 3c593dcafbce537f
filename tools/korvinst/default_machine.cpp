// The machine `make demo` boots, as its registry stands once it is up:
// the simulated machine's own registry, with the Control key that the Plug
// and Play manager gives every device it starts.
#include "tools/korvinst/default_machine.h"

#include <mutex>

#include "sim/machine.h"

namespace korvinst {
namespace {

void MarkStarted(hostreg::RegKey* enumerator) {
  for (const auto& device : enumerator->Subkeys()) {
    for (const auto& instance : device->Subkeys()) instance->CreateSubkey("Control");
  }
}

}  // namespace

void WriteDefaultMachine(hostreg::Registry& registry) {
  std::lock_guard<std::recursive_mutex> hold(registry.Mutex());
  registry.Clear();
  sim::WriteDefaultMachineRegistry(registry);
  if (hostreg::RegKey* root = registry.Open("System\\CurrentControlSet\\Enum")) {
    for (const auto& enumerator : root->Subkeys()) MarkStarted(enumerator.get());
  }
}

}  // namespace korvinst
