// The control device through a user process of the simulated kernel (host
// builds only). Kept out of qelvmon_core: the kernel's headers build with
// a 16-bit wchar_t, which the rest of the monitor need not share.
#pragma once

#include <memory>

#include "qelvmon/control_channel.h"

namespace hostk {
class UserProcess;
}

namespace qelvmon {

// The process must outlive the channel.
std::unique_ptr<ControlChannel> MakeHostChannel(hostk::UserProcess& process);

}  // namespace qelvmon
