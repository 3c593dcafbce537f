// The simulated machine korvinst starts from when its --machine file does
// not exist yet.
#pragma once

#include "host_registry/registry.h"

namespace korvinst {

void WriteDefaultMachine(hostreg::Registry& registry);

}  // namespace korvinst
