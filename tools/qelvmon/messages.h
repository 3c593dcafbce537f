// Failures of the control device told in words a user can act on.
#pragma once

#include <cstdint>
#include <string>

#include "qelvmon/control_channel.h"

namespace qelvmon {

enum class Operation { kOpen, kStartCapture, kReadStatistics, kGetControllerName, kStopCapture };

// "cannot open \\.\QELVARD1: the qelvard1 driver is not loaded". `bus` is
// used only for the controller-name query.
std::string DescribeFailure(Operation operation, Win32Error error, std::uint8_t bus = 0);

}  // namespace qelvmon
