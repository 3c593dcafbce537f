#include "sim/trace.h"

#include <algorithm>
#include <cctype>
#include <deque>
#include <fstream>
#include <map>
#include <sstream>
#include <tuple>

namespace sim {
namespace {

// Seconds since a recording began are read with at most this many digits
// (31 years), so every tick count, and any time of day derived from it,
// stays well inside 64 bits.
constexpr size_t kMaxSecondDigits = 9;

const char kCambridgeHeader[] = "Timestamp,Hostname,DiskNumber,Type,Offset,Size,ResponseTime";

// One line of the file with its number (from 1), without its line end.
struct Line {
  int number;
  std::string text;
};

std::vector<Line> SplitLines(const std::string& text) {
  std::vector<Line> lines;
  size_t at = 0;
  // A UTF-8 byte-order mark is not part of the first field.
  if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) at = 3;
  int number = 1;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back({number++, line});
    at = end + 1;
  }
  return lines;
}

std::vector<std::string> SplitFields(const std::string& line, char separator) {
  std::vector<std::string> fields;
  size_t at = 0;
  while (true) {
    size_t end = line.find(separator, at);
    fields.push_back(line.substr(at, end == std::string::npos ? std::string::npos : end - at));
    if (end == std::string::npos) return fields;
    at = end + 1;
  }
}

std::vector<std::string> SplitWords(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> words;
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}

bool AllDigits(const std::string& text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// A decimal number of at most `max_digits` digits.
bool ParseUnsigned(const std::string& text, size_t max_digits, uint64_t* value) {
  if (!AllDigits(text) || text.size() > max_digits) return false;
  *value = 0;
  for (char c : text) *value = *value * 10 + static_cast<uint64_t>(c - '0');
  return true;
}

// Seconds with up to nine decimals after `point` ("11,000385200"), in
// nanoseconds.
bool ParseSecondsNs(const std::string& text, char point, uint64_t* ns) {
  size_t sep = text.find(point);
  std::string whole = text.substr(0, sep);
  std::string fraction = sep == std::string::npos ? "" : text.substr(sep + 1);
  uint64_t seconds = 0;
  uint64_t part = 0;
  if (!ParseUnsigned(whole, kMaxSecondDigits, &seconds)) return false;
  if (sep != std::string::npos && !ParseUnsigned(fraction, 9, &part)) return false;
  for (size_t i = fraction.size(); i < 9; ++i) part *= 10;
  *ns = seconds * 1'000'000'000ull + part;
  return true;
}

// "16.384": digits in groups of three after the first.
bool ParseGroupedSize(const std::string& text, uint32_t* bytes) {
  std::vector<std::string> groups = SplitFields(text, '.');
  std::string digits;
  for (size_t i = 0; i < groups.size(); ++i) {
    const std::string& g = groups[i];
    if (!AllDigits(g) || g.size() > 3 || (i > 0 && g.size() != 3)) return false;
    digits += g;
  }
  uint64_t value = 0;
  if (!ParseUnsigned(digits, 10, &value) || value > UINT32_MAX) return false;
  *bytes = static_cast<uint32_t>(value);
  return true;
}

bool ParseHex(const std::string& text, uint64_t* value) {
  if (text.size() < 3 || text.size() > 18 || text[0] != '0' || (text[1] != 'x' && text[1] != 'X')) return false;
  *value = 0;
  for (size_t i = 2; i < text.size(); ++i) {
    if (!std::isxdigit(static_cast<unsigned char>(text[i]))) return false;
    int digit = std::isdigit(static_cast<unsigned char>(text[i])) ? text[i] - '0'
                                                                  : std::tolower(static_cast<unsigned char>(text[i])) - 'a' + 10;
    *value = *value * 16 + static_cast<uint64_t>(digit);
  }
  return true;
}

// Collects the errors of one file as "FILE:LINE: why".
class Reader {
 public:
  Reader(const std::string& file, std::string* error) : file_(file), error_(error) {}
  bool Fail(int line, const std::string& why) {
    *error_ = file_ + ":" + std::to_string(line) + ": " + why;
    return false;
  }

 private:
  const std::string& file_;
  std::string* error_;
};

// Disks by a sortable key, labelled for people; indexes are assigned once
// every disk is known, in key order.
class DiskTable {
 public:
  using Key = std::tuple<std::string, uint64_t, uint64_t>;
  int Add(const Key& key, const std::string& label) {
    auto found = index_.find(key);
    if (found != index_.end()) return found->second;
    int provisional = static_cast<int>(labels_.size());
    index_.emplace(key, provisional);
    labels_.push_back(label);
    return provisional;
  }
  // Renumbers `requests` in key order and fills `disks`.
  void Finish(std::vector<TraceRequest>* requests, std::vector<std::string>* disks) const {
    std::vector<int> final_index(labels_.size());
    int next = 0;
    for (const auto& entry : index_) {
      final_index[static_cast<size_t>(entry.second)] = next++;
      disks->push_back(labels_[static_cast<size_t>(entry.second)]);
    }
    for (TraceRequest& r : *requests) r.disk = final_index[static_cast<size_t>(r.disk)];
  }

 private:
  std::map<Key, int> index_;
  std::vector<std::string> labels_;
};

// --- WPA disk I/O table ----------------------------------------------------

struct WpaColumns {
  size_t type, issue, complete, size, offset, disk;
  size_t count = SIZE_MAX;  // optional
  size_t total;
};

bool FindWpaColumns(Reader& reader, const Line& header, WpaColumns* columns) {
  std::vector<std::string> names = SplitFields(header.text, ';');
  auto find = [&](const char* name, size_t* at) {
    auto it = std::find(names.begin(), names.end(), name);
    if (it == names.end()) return reader.Fail(header.number, std::string("no column \"") + name + "\" in the header");
    *at = static_cast<size_t>(it - names.begin());
    return true;
  };
  columns->total = names.size();
  if (!find("IO Type", &columns->type) || !find("Init Time (s)", &columns->issue) ||
      !find("Complete Time (s)", &columns->complete) || !find("Size (B)", &columns->size) ||
      !find("Min Offset", &columns->offset) || !find("Disk", &columns->disk)) {
    return false;
  }
  auto count = std::find(names.begin(), names.end(), "Count");
  if (count != names.end()) columns->count = static_cast<size_t>(count - names.begin());
  return true;
}

bool ParseWpaKind(const std::string& text, TraceRequestKind* kind) {
  if (text == "Read") *kind = TraceRequestKind::kRead;
  else if (text == "Write") *kind = TraceRequestKind::kWrite;
  else if (text == "Flush") *kind = TraceRequestKind::kFlush;
  else return false;
  return true;
}

// Exporter times step in 100 ns; a finer one is not from such a recording.
bool ParseWpaTime(Reader& reader, int line, const char* what, const std::string& text, Ticks* ticks) {
  uint64_t ns = 0;
  if (!ParseSecondsNs(text, ',', &ns)) {
    return reader.Fail(line, std::string(what) + " \"" + text + "\" is not a time in seconds such as 11,000385200");
  }
  if (ns % 100 != 0) return reader.Fail(line, std::string(what) + " \"" + text + "\" is finer than 100 ns");
  *ticks = static_cast<Ticks>(ns / 100);
  return true;
}

bool ParseWpaRow(Reader& reader, const Line& line, const WpaColumns& c, DiskTable* disks, TraceRequest* request) {
  std::vector<std::string> f = SplitFields(line.text, ';');
  if (f.size() != c.total) {
    return reader.Fail(line.number, std::to_string(f.size()) + " fields where the header has " + std::to_string(c.total));
  }
  if (!ParseWpaKind(f[c.type], &request->kind)) {
    return reader.Fail(line.number, "unknown IO Type \"" + f[c.type] + "\" (known: Read, Write, Flush)");
  }
  if (!ParseWpaTime(reader, line.number, "Init Time", f[c.issue], &request->issue) ||
      !ParseWpaTime(reader, line.number, "Complete Time", f[c.complete], &request->complete)) {
    return false;
  }
  if (!ParseGroupedSize(f[c.size], &request->bytes)) {
    return reader.Fail(line.number, "Size \"" + f[c.size] + "\" is not a byte count such as 16.384");
  }
  if (!ParseHex(f[c.offset], &request->offset)) {
    return reader.Fail(line.number, "Min Offset \"" + f[c.offset] + "\" is not a hexadecimal offset such as 0x1F000");
  }
  uint64_t disk = 0;
  if (!ParseUnsigned(f[c.disk], 9, &disk)) return reader.Fail(line.number, "Disk \"" + f[c.disk] + "\" is not a disk number");
  if (c.count != SIZE_MAX && f[c.count] != "1") {
    return reader.Fail(line.number, "Count \"" + f[c.count] + "\": a row must be one request, not a sum of several");
  }
  request->disk = disks->Add({"", disk, 0}, "disk " + f[c.disk]);
  return true;
}

bool ParseWpa(Reader& reader, const std::vector<Line>& lines, DiskTable* disks, std::vector<TraceRequest>* requests,
              std::vector<int>* line_numbers) {
  if (lines.empty()) return reader.Fail(1, "the file is empty; a header line is expected");
  WpaColumns columns{};
  if (!FindWpaColumns(reader, lines[0], &columns)) return false;
  for (size_t i = 1; i < lines.size(); ++i) {
    if (lines[i].text.empty()) continue;
    TraceRequest request;
    if (!ParseWpaRow(reader, lines[i], columns, disks, &request)) return false;
    requests->push_back(request);
    line_numbers->push_back(lines[i].number);
  }
  return true;
}

// --- blkparse text --------------------------------------------------------

struct BlkEvent {
  int line;
  bool issue;          // D, else C
  std::string device;  // "8,0"
  Ticks time;
  int64_t sector;  // -1 for a request without one (a flush)
  uint64_t sectors;
  std::string rwbs;
};

bool IsBlkparseSummary(const std::vector<std::string>& words) {
  const std::string& first = words[0];
  return first == "Total" || (first.rfind("CPU", 0) == 0 && first.size() > 3 && AllDigits(first.substr(3)));
}

bool ParseDevice(const std::string& text, uint64_t* major, uint64_t* minor) {
  std::vector<std::string> parts = SplitFields(text, ',');
  return parts.size() == 2 && ParseUnsigned(parts[0], 9, major) && ParseUnsigned(parts[1], 9, minor);
}

bool LooksLikeBlkparse(const std::string& line) {
  std::vector<std::string> w = SplitWords(line);
  uint64_t major = 0;
  uint64_t minor = 0;
  uint64_t ns = 0;
  return w.size() >= 6 && ParseDevice(w[0], &major, &minor) && ParseSecondsNs(w[3], '.', &ns);
}

// Parses the D or C event of one line into `event`; false with the
// reason for a line that is not one. Other actions set `skip`.
bool ParseBlkLine(Reader& reader, const Line& line, const std::vector<std::string>& w, BlkEvent* event, bool* skip) {
  *skip = false;
  uint64_t major = 0;
  uint64_t minor = 0;
  uint64_t number = 0;
  uint64_t ns = 0;
  if (w.size() < 6 || !ParseDevice(w[0], &major, &minor)) {
    return reader.Fail(line.number, "not a blkparse event line (device such as 8,0 expected first)");
  }
  if (!ParseUnsigned(w[1], 9, &number) || !ParseUnsigned(w[2], 19, &number)) {
    return reader.Fail(line.number, "CPU and sequence number must be whole numbers");
  }
  if (w[3].find('.') == std::string::npos || !ParseSecondsNs(w[3], '.', &ns)) {
    return reader.Fail(line.number, "time \"" + w[3] + "\" is not seconds such as 0.000123456");
  }
  if (w[5] != "D" && w[5] != "C") {
    *skip = true;  // queued, merged, plugged ...: not an issue or a completion
    return true;
  }
  if (w.size() < 7) return reader.Fail(line.number, "the " + w[5] + " event has no RWBS field");
  event->line = line.number;
  event->issue = w[5] == "D";
  event->device = w[0];
  event->time = static_cast<Ticks>(ns / 100);
  event->rwbs = w[6];
  event->sector = -1;
  event->sectors = 0;
  if (w.size() >= 10 && AllDigits(w[7]) && w[8] == "+") {
    uint64_t sector = 0;
    if (!ParseUnsigned(w[7], 18, &sector) || !ParseUnsigned(w[9], 9, &event->sectors)) {
      return reader.Fail(line.number, "sector and count must be whole numbers");
    }
    event->sector = static_cast<int64_t>(sector);
  } else if (w.size() >= 8 && w[7].front() != '[' && w[7].front() != '(') {
    return reader.Fail(line.number, "\"" + w[7] + "\" where SECTOR + COUNT or [name] was expected");
  }
  return true;
}

bool BlkKind(Reader& reader, const BlkEvent& issue, TraceRequestKind* kind) {
  const std::string& rwbs = issue.rwbs;
  auto has = [&](char c) { return rwbs.find(c) != std::string::npos; };
  if (has('D') || has('E')) {
    return reader.Fail(issue.line, "RWBS \"" + rwbs + "\": discards cannot be replayed (reads, writes and flushes only)");
  }
  if (issue.sectors == 0 && has('F')) *kind = TraceRequestKind::kFlush;
  else if (has('R')) *kind = TraceRequestKind::kRead;
  else if (has('W')) *kind = TraceRequestKind::kWrite;
  else return reader.Fail(issue.line, "RWBS \"" + rwbs + "\" is neither a read, a write nor a flush");
  return true;
}

std::string SectorText(const BlkEvent& e) { return e.sector < 0 ? "without a sector" : "sector " + std::to_string(e.sector); }

bool ParseBlkparse(Reader& reader, const std::vector<Line>& lines, DiskTable* disks, std::vector<TraceRequest>* requests,
                   std::vector<int>* line_numbers) {
  std::vector<BlkEvent> events;
  for (const Line& line : lines) {
    std::vector<std::string> words = SplitWords(line.text);
    if (words.empty()) continue;
    if (IsBlkparseSummary(words)) break;  // the per-CPU and total figures that close the output
    BlkEvent event;
    bool skip = false;
    if (!ParseBlkLine(reader, line, words, &event, &skip)) return false;
    if (!skip) events.push_back(event);
  }
  // Lines may come in any order; a completion pairs with the oldest issue
  // of its device and sector.
  std::stable_sort(events.begin(), events.end(), [](const BlkEvent& a, const BlkEvent& b) { return a.time < b.time; });
  std::map<std::pair<std::string, int64_t>, std::deque<size_t>> waiting;
  std::vector<bool> completed(events.size(), false);
  for (size_t i = 0; i < events.size(); ++i) {
    const BlkEvent& e = events[i];
    std::deque<size_t>& queue = waiting[{e.device, e.sector}];
    if (e.issue) {
      queue.push_back(i);
      continue;
    }
    if (queue.empty()) {
      return reader.Fail(e.line, "completion of " + e.device + " " + SectorText(e) + " before any issue of it");
    }
    const BlkEvent& issue = events[queue.front()];
    completed[queue.front()] = true;
    queue.pop_front();
    TraceRequest request;
    if (!BlkKind(reader, issue, &request.kind)) return false;
    uint64_t major = 0;
    uint64_t minor = 0;
    ParseDevice(issue.device, &major, &minor);
    request.disk = disks->Add({"", major, minor}, "device " + issue.device);
    request.issue = issue.time;
    request.complete = e.time;
    request.offset = issue.sector < 0 ? 0 : static_cast<uint64_t>(issue.sector) * 512;
    request.bytes = static_cast<uint32_t>(std::min<uint64_t>(issue.sectors * 512, UINT32_MAX));
    requests->push_back(request);
    line_numbers->push_back(issue.line);
  }
  for (size_t i = 0; i < events.size(); ++i) {
    if (events[i].issue && !completed[i]) {
      return reader.Fail(events[i].line, "issue of " + events[i].device + " " + SectorText(events[i]) + " never completes");
    }
  }
  return true;
}

// --- Cambridge block traces ------------------------------------------------

bool LooksLikeCambridgeRow(const std::string& line) {
  std::vector<std::string> f = SplitFields(line, ',');
  return f.size() == 7 && AllDigits(f[0]) && (f[3] == "Read" || f[3] == "Write");
}

bool ParseCambridgeRow(Reader& reader, const Line& line, DiskTable* disks, TraceRequest* request) {
  std::vector<std::string> f = SplitFields(line.text, ',');
  if (f.size() != 7) {
    return reader.Fail(line.number, std::to_string(f.size()) +
                                        " fields where 7 are expected (Timestamp,Hostname,DiskNumber,Type,Offset,Size,ResponseTime)");
  }
  uint64_t timestamp = 0;
  uint64_t disk = 0;
  uint64_t size = 0;
  uint64_t response = 0;
  if (!ParseUnsigned(f[0], 18, &timestamp)) return reader.Fail(line.number, "Timestamp \"" + f[0] + "\" is not a filetime");
  if (f[1].empty() || !std::all_of(f[1].begin(), f[1].end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' || c == '.';
      })) {
    return reader.Fail(line.number, "Hostname \"" + f[1] + "\" is not a host name");
  }
  if (!ParseUnsigned(f[2], 9, &disk)) return reader.Fail(line.number, "DiskNumber \"" + f[2] + "\" is not a disk number");
  if (f[3] == "Read") request->kind = TraceRequestKind::kRead;
  else if (f[3] == "Write") request->kind = TraceRequestKind::kWrite;
  else return reader.Fail(line.number, "unknown Type \"" + f[3] + "\" (known: Read, Write)");
  if (!ParseUnsigned(f[4], 19, &request->offset)) return reader.Fail(line.number, "Offset \"" + f[4] + "\" is not a byte offset");
  if (!ParseUnsigned(f[5], 10, &size) || size > UINT32_MAX) {
    return reader.Fail(line.number, "Size \"" + f[5] + "\" is not a byte count");
  }
  if (f[6].rfind('-', 0) == 0) return reader.Fail(line.number, "ResponseTime \"" + f[6] + "\": the completion is before the issue");
  if (!ParseUnsigned(f[6], 15, &response)) {
    return reader.Fail(line.number, "ResponseTime \"" + f[6] + "\" is not a count of 100 ns");
  }
  request->bytes = static_cast<uint32_t>(size);
  request->issue = static_cast<Ticks>(timestamp);
  request->complete = static_cast<Ticks>(timestamp + response);
  request->disk = disks->Add({f[1], disk, 0}, f[1] + " disk " + f[2]);
  return true;
}

bool ParseCambridge(Reader& reader, const std::vector<Line>& lines, DiskTable* disks,
                    std::vector<TraceRequest>* requests, std::vector<int>* line_numbers) {
  for (const Line& line : lines) {
    if (line.text.empty()) continue;
    if (line.number == 1 && line.text == kCambridgeHeader) continue;
    TraceRequest request;
    if (!ParseCambridgeRow(reader, line, disks, &request)) return false;
    requests->push_back(request);
    line_numbers->push_back(line.number);
  }
  return true;
}

// --- Common -----------------------------------------------------------------

TraceFormat DetectFormat(const std::vector<Line>& lines) {
  const std::string first = lines.empty() ? "" : lines[0].text;
  if (first.rfind("IO Type;", 0) == 0) return TraceFormat::kWpa;
  if (first == kCambridgeHeader || LooksLikeCambridgeRow(first)) return TraceFormat::kCambridge;
  if (LooksLikeBlkparse(first)) return TraceFormat::kBlkparse;
  return TraceFormat::kAuto;
}

}  // namespace

bool ParseTraceFormat(const std::string& name, TraceFormat* format) {
  if (name == "auto") *format = TraceFormat::kAuto;
  else if (name == "wpa") *format = TraceFormat::kWpa;
  else if (name == "blkparse") *format = TraceFormat::kBlkparse;
  else if (name == "cambridge") *format = TraceFormat::kCambridge;
  else return false;
  return true;
}

const char* TraceFormatName(TraceFormat format) {
  switch (format) {
    case TraceFormat::kWpa: return "wpa";
    case TraceFormat::kBlkparse: return "blkparse";
    case TraceFormat::kCambridge: return "cambridge";
    case TraceFormat::kAuto: break;
  }
  return "auto";
}

std::string KnownTraceFormats() { return "wpa, blkparse, cambridge"; }

bool ParseTrace(const std::string& file, const std::string& text, TraceFormat format, Trace* trace, std::string* error) {
  Reader reader(file, error);
  std::vector<Line> lines = SplitLines(text);
  if (format == TraceFormat::kAuto) format = DetectFormat(lines);
  if (format == TraceFormat::kAuto) {
    return reader.Fail(1, "cannot tell the trace format from the first line; choose one with --trace-format (known: " +
                              KnownTraceFormats() + ")");
  }
  DiskTable disks;
  std::vector<TraceRequest> requests;
  std::vector<int> line_numbers;  // of each request, for the order check
  bool ok = format == TraceFormat::kWpa        ? ParseWpa(reader, lines, &disks, &requests, &line_numbers)
            : format == TraceFormat::kBlkparse ? ParseBlkparse(reader, lines, &disks, &requests, &line_numbers)
                                               : ParseCambridge(reader, lines, &disks, &requests, &line_numbers);
  if (!ok) return false;
  for (size_t i = 0; i < requests.size(); ++i) {
    if (requests[i].complete < requests[i].issue) {
      return reader.Fail(line_numbers[i], "the completion is before the issue");
    }
  }
  if (requests.empty()) return reader.Fail(std::max(1, static_cast<int>(lines.size())), "the trace holds no request");

  Trace result;
  result.format = format;
  result.filetime_clock = format == TraceFormat::kCambridge;
  disks.Finish(&requests, &result.disks);
  std::stable_sort(requests.begin(), requests.end(), [](const TraceRequest& a, const TraceRequest& b) {
    return std::tie(a.issue, a.complete, a.disk) < std::tie(b.issue, b.complete, b.disk);
  });
  result.requests = std::move(requests);
  *trace = std::move(result);
  return true;
}

bool LoadTrace(const std::string& file, TraceFormat format, Trace* trace, std::string* error) {
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    *error = file + ": cannot be read";
    return false;
  }
  std::ostringstream text;
  text << in.rdbuf();
  return ParseTrace(file, text.str(), format, trace, error);
}

Ticks TraceResponseSum(const Trace& trace, int disk) {
  Ticks sum = 0;
  for (const TraceRequest& r : trace.requests) {
    if (r.disk == disk) sum += r.complete - r.issue;
  }
  return sum;
}

}  // namespace sim
