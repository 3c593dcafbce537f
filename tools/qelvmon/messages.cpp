#include "qelvmon/messages.h"

#include <cstdio>

#if defined(_WIN32)
#include <windows.h>
#endif

namespace qelvmon {
namespace {

std::string WhatFailed(Operation operation, std::uint8_t bus) {
  switch (operation) {
    case Operation::kOpen:
      return std::string("cannot open ") + kControlDevicePath;
    case Operation::kStartCapture:
      return "cannot start the capture";
    case Operation::kReadStatistics:
      return "cannot read the bus statistics";
    case Operation::kGetControllerName:
      return "cannot ask for the controller name of bus " + std::to_string(bus);
    case Operation::kStopCapture:
      return "cannot stop the capture";
  }
  return "control request failed";
}

std::string Hex(Win32Error error) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(error));
  return text;
}

std::string SystemText(Win32Error error) {
#if defined(_WIN32)
  char text[512] = {};
  const DWORD length =
      FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
                     0, text, sizeof text, nullptr);
  std::string s(text, length);
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == '.' || s.back() == ' ')) {
    s.pop_back();
  }
  if (!s.empty()) return s + " (error " + Hex(error) + ")";
#endif
  return "error " + Hex(error);
}

std::string Reason(Operation operation, Win32Error error) {
  switch (error) {
    case kErrorFileNotFound:
    case kErrorPathNotFound:
      return "the qelvard1 driver is not loaded";
    case kStatusAlreadyOpen:
      return "another monitor holds the device, and only one can hold it at a time (Performance Monitor and "
             "counter logs showing qelvard1's counters are monitors too)";
    case kStatusCaptureActive:
      return "a capture is already running";
    case kStatusCaptureInactive:
      return operation == Operation::kStopCapture
                 ? "no capture is running"
                 : "no capture is running (it was stopped behind the monitor's back)";
    case kStatusBadBufferSize:
      return "the driver rejected the size of the request's buffer";
    case kStatusBusNotFound:
      return "no device is on that bus";
    case kErrorShortReply:
      return "the driver's reply was shorter than the protocol requires";
    case kErrorInvalidFunction:
      return "the driver does not know this request (is it a different version?)";
    case kErrorAccessDenied:
      return operation == Operation::kOpen
                 ? "access is denied: only SYSTEM and administrators may open it; run qelvmon as an administrator"
                 : "access is denied";
    case kErrorInvalidHandle:
      return "the control device is not open";
    default:
      return SystemText(error);
  }
}

}  // namespace

std::string DescribeFailure(Operation operation, Win32Error error, std::uint8_t bus) {
  return WhatFailed(operation, bus) + ": " + Reason(operation, error);
}

}  // namespace qelvmon
