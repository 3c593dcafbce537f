// The monitor's side of the qelvard1 control device, behind one small
// interface so that the same monitor runs against the real device on
// Windows, the simulated kernel on the host, and recorded replies in tests.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "driver/kv_control.h"

namespace qelvmon {

// A failure as GetLastError reports it; 0 is success. The driver's own
// NT statuses (customer bit set) arrive unchanged.
using Win32Error = std::uint32_t;

inline constexpr Win32Error kSuccess = 0;
inline constexpr Win32Error kErrorInvalidFunction = 1;
inline constexpr Win32Error kErrorFileNotFound = 2;
inline constexpr Win32Error kErrorPathNotFound = 3;
inline constexpr Win32Error kErrorAccessDenied = 5;
inline constexpr Win32Error kErrorInvalidHandle = 6;

// The driver's statuses, as GetLastError passes them on.
inline constexpr Win32Error kStatusBadBufferSize = static_cast<Win32Error>(KV_STATUS_BAD_BUFFER_SIZE);
inline constexpr Win32Error kStatusBusNotFound = static_cast<Win32Error>(KV_STATUS_BUS_NOT_FOUND);
inline constexpr Win32Error kStatusCaptureActive = static_cast<Win32Error>(KV_STATUS_CAPTURE_ACTIVE);
inline constexpr Win32Error kStatusCaptureInactive = static_cast<Win32Error>(KV_STATUS_CAPTURE_INACTIVE);
inline constexpr Win32Error kStatusAlreadyOpen = static_cast<Win32Error>(KV_STATUS_ALREADY_OPEN);

// The monitor's own failure (application bit 29 set, as Win32 reserves
// for applications): the driver answered with fewer bytes than the reply
// must have.
inline constexpr Win32Error kErrorShortReply = 0x20000001;

inline constexpr char kControlDevicePath[] = KV_CONTROL_DEVICE_USER_PATH;

inline constexpr std::uint32_t kIoctlStartCapture = IOCTL_KV_START_CAPTURE;
inline constexpr std::uint32_t kIoctlStopCapture = IOCTL_KV_STOP_CAPTURE;
inline constexpr std::uint32_t kIoctlGetControllerName = IOCTL_KV_GET_CONTROLLER_NAME;
inline constexpr std::uint32_t kIoctlReadStatistics = IOCTL_KV_READ_STATISTICS;

inline constexpr std::size_t kBusCount = KV_BUS_COUNT;
inline constexpr std::size_t kStatisticsReplySize = KV_STATISTICS_SIZE;
inline constexpr std::size_t kControllerNameReplySize = KV_NAME_QUERY_OUTPUT_SIZE;
inline constexpr std::size_t kControllerNameRequestSize = KV_NAME_QUERY_INPUT_SIZE;
static_assert(kStatisticsReplySize == 16 + 8 * kBusCount, "statistics reply layout");

using StatisticsBytes = std::array<std::uint8_t, kStatisticsReplySize>;

// The statistics reply decoded: counter values and busy ticks per bus.
struct StatisticsReply {
  std::int64_t interval_start = 0;
  std::int64_t interval_end = 0;
  std::array<std::int64_t, kBusCount> busy_time{};
};

// Decodes the little-endian wire layout (IntervalStart at 0, IntervalEnd
// at 8, BusyTime of bus b at 16 + 8 b) on any host byte order.
StatisticsReply DecodeStatisticsReply(const StatisticsBytes& bytes);
// The inverse, for fakes and recordings.
StatisticsBytes EncodeStatisticsReply(const StatisticsReply& reply);

class ControlChannel {
 public:
  virtual ~ControlChannel() = default;

  virtual Win32Error Open() = 0;
  virtual Win32Error StartCapture() = 0;
  // Fills all 2064 bytes or fails; a shorter answer is kErrorShortReply.
  virtual Win32Error ReadStatistics(StatisticsBytes& reply) = 0;
  // The controller's ANSI name, without its NUL. kStatusBusNotFound when
  // no device record carries the bus index.
  virtual Win32Error GetControllerName(std::uint8_t bus, std::string& name) = 0;
  virtual Win32Error StopCapture() = 0;
  // Safe to call when not open, and more than once.
  virtual void Close() = 0;
  // Counts per second of the counter the driver stamps its values with;
  // 0 when the machine has no such counter.
  virtual std::int64_t CounterFrequency() = 0;
};

}  // namespace qelvmon
