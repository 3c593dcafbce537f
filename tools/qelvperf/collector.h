// The state behind the three exports: the control device of qelvard1, held
// while the DLL is open, and the cumulative busy and idle ticks of every
// bus, into which each Collect adds one statistics read.
//
// The driver admits one monitor at a time and a read restarts its
// interval, so a process has one collector, and every reader in it (a
// chart and a counter log, say) shares the totals. Each capture's first
// read is a baseline and adds nothing: the interval since the capture's
// start may carry busy time from before it, and the time between two
// captures was measured by nobody. The object's PerfTime is the last read's
// IntervalEnd less the time no capture of this collector measured, so two
// samples differ by exactly the measured ticks.
//
// Calls may come from several threads at once; one critical section
// serialises them.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/perf_services.h"
#include "qelvmon/control_channel.h"
#include "tools/qelvperf/perf_block.h"

namespace qelvperf {

using ChannelFactory = std::function<std::unique_ptr<qelvmon::ControlChannel>()>;

// How long a collector waits after a failed connection before it tries
// again, in GetTickCount milliseconds.
inline constexpr DWORD kRetryMilliseconds = 5000;

// The service whose Performance key holds the counter indexes.
inline constexpr const char kPerformanceKey[] = "SYSTEM\\CurrentControlSet\\Services\\qelvard1\\Performance";

class BusCollector {
 public:
  explicit BusCollector(ChannelFactory factory);
  ~BusCollector();
  BusCollector(const BusCollector&) = delete;
  BusCollector& operator=(const BusCollector&) = delete;

  // The exports' contract (winperf.h): Open and Close pair up, the device
  // is held from the first Open to the last Close; Collect answers with
  // ERROR_SUCCESS in every case but a buffer too small (ERROR_MORE_DATA).
  DWORD Open();
  DWORD Collect(const WCHAR* value_name, void** data, DWORD* total_bytes, DWORD* object_count);
  DWORD Close();

 private:
  // Longest instance name in UTF-16 units with its NUL: "255 ", the
  // controller's name (at most 255 ANSI bytes, so as many units) and NUL.
  static constexpr int kNameUnits = 4 + 255 + 1;

  struct Bus {
    bool present = false;     // a device record carries this index
    bool name_empty = false;  // its controller had no name when last asked
    BusTicks ticks;           // cumulative, from this collector's first read
    DWORD name_bytes = 0;     // the instance name with its NUL
    WCHAR name[kNameUnits] = {};
  };

  bool AskedFor(const WCHAR* value_name) const;
  bool Connect();
  void Disconnect();
  bool LoadIndexes();
  bool ScanNames();
  bool AskName(std::uint8_t bus);
  void SetInstanceName(std::uint8_t bus, const std::string& controller);
  bool Read();
  bool RefreshNames(const qelvmon::StatisticsReply& reply);
  DWORD BlockLength() const;
  void WriteBlock(unsigned char* out, DWORD length) const;
  void ResetTotals();

  CRITICAL_SECTION lock_;
  ChannelFactory factory_;
  std::unique_ptr<qelvmon::ControlChannel> channel_;
  int open_count_ = 0;
  bool connected_ = false;  // the device is open
  bool capturing_ = false;  // and a capture of ours runs on it
  bool have_indexes_ = false;
  Indexes indexes_;
  DWORD last_attempt_ = 0;  // GetTickCount of the last connection attempt
  bool baseline_due_ = false;
  bool have_time_ = false;
  std::int64_t perf_time_ = 0;
  std::int64_t perf_freq_ = 0;
  qelvmon::StatisticsBytes reply_bytes_{};
  std::string controller_;  // reused for every name query
  Bus buses_[qelvmon::kBusCount];
};

}  // namespace qelvperf
