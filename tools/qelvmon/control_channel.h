// The monitor's side of the qelvard1 control device, behind one small
// interface so that the same monitor runs against the real device on
// Windows, the simulated kernel on the host, and recorded replies in tests.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

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

inline constexpr Win32Error kStatusBadBufferSize = 0xE0008001;
inline constexpr Win32Error kStatusBusNotFound = 0xE0008100;
inline constexpr Win32Error kStatusCaptureActive = 0xE0008103;
inline constexpr Win32Error kStatusCaptureInactive = 0xE0008105;
inline constexpr Win32Error kStatusAlreadyOpen = 0xE0008108;

// The monitor's own failure (application bit 29 set, as Win32 reserves
// for applications): the driver answered with fewer bytes than the reply
// must have.
inline constexpr Win32Error kErrorShortReply = 0x20000001;

inline constexpr char kControlDevicePath[] = "\\\\.\\QELVARD1";

inline constexpr std::uint32_t kIoctlStartCapture = 0x222004;
inline constexpr std::uint32_t kIoctlStopCapture = 0x222008;
inline constexpr std::uint32_t kIoctlGetControllerName = 0x22200C;
inline constexpr std::uint32_t kIoctlReadStatistics = 0x222010;

inline constexpr std::size_t kBusCount = 256;
inline constexpr std::size_t kStatisticsReplySize = 16 + 8 * kBusCount;  // 2064
inline constexpr std::size_t kControllerNameReplySize = 256;
inline constexpr std::size_t kControllerNameRequestSize = 4;

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
