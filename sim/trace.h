// Recorded disk traces: every request of a real machine's disks with its
// issue and completion time, read from one of three text formats.
//
//   wpa        the disk I/O table of the Windows Performance Analyzer
//              exporter: ';' between fields, decimal commas, one header line
//   blkparse   blkparse's default text: D (issued to the device) and C
//              (completed) events, matched by device and sector
//   cambridge  the CSV of the Cambridge block traces: Timestamp (filetime),
//              Hostname, DiskNumber, Type, Offset, Size, ResponseTime
//
// Times are kept in 100-ns ticks, the recorders' own unit (blkparse's
// nanoseconds are cut to the tick). A malformed line stops the reading
// with "FILE:LINE: why"; nothing of a bad file is kept.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/scheduler.h"

namespace sim {

enum class TraceFormat { kAuto, kWpa, kBlkparse, kCambridge };

enum class TraceRequestKind { kRead, kWrite, kFlush };

struct TraceRequest {
  int disk = 0;  // index into Trace::disks
  TraceRequestKind kind = TraceRequestKind::kRead;
  Ticks issue = 0;     // 100-ns ticks of the recording's clock
  Ticks complete = 0;  // never before `issue`
  uint64_t offset = 0;  // bytes
  uint32_t bytes = 0;
};

struct Trace {
  TraceFormat format = TraceFormat::kAuto;
  // The disks in a stable order (by number, or device, or host and number).
  std::vector<std::string> disks;
  // Sorted by issue time, then completion time, then disk.
  std::vector<TraceRequest> requests;
  // Whether the ticks count from 1601-01-01 UTC (a Windows filetime), so a
  // wall-clock time can be told from them.
  bool filetime_clock = false;
};

// "wpa", "blkparse", "cambridge" (and "auto"); false for any other name.
bool ParseTraceFormat(const std::string& name, TraceFormat* format);
const char* TraceFormatName(TraceFormat format);
// The names a user may choose, for messages: "wpa, blkparse, cambridge".
std::string KnownTraceFormats();

// Parses `text` as read from `file` (the name only appears in messages).
// With kAuto the format is told from the first line.
bool ParseTrace(const std::string& file, const std::string& text, TraceFormat format, Trace* trace,
                std::string* error);
bool LoadTrace(const std::string& file, TraceFormat format, Trace* trace, std::string* error);

// The sum of the response times of one disk's requests: what a counter
// that adds up response times ("% Disk Time") reports as busy time.
Ticks TraceResponseSum(const Trace& trace, int disk);

}  // namespace sim
