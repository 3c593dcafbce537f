// The control device through the real Win32 API (Windows builds only).
#pragma once

#include <memory>

#include "qelvmon/control_channel.h"

namespace qelvmon {

std::unique_ptr<ControlChannel> MakeWin32Channel();

}  // namespace qelvmon
