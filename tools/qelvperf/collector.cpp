#include "tools/qelvperf/collector.h"

#include <algorithm>

#include "tools/qelvperf/qelvperfsym.h"
#include "tools/qelvperf/value_name.h"

namespace qelvperf {
namespace {

class Hold {
 public:
  explicit Hold(CRITICAL_SECTION* lock) : lock_(lock) { EnterCriticalSection(lock_); }
  ~Hold() { LeaveCriticalSection(lock_); }
  Hold(const Hold&) = delete;
  Hold& operator=(const Hold&) = delete;

 private:
  CRITICAL_SECTION* lock_;
};

DWORD NothingCollected(DWORD* total_bytes, DWORD* object_count) {
  *total_bytes = 0;
  *object_count = 0;
  return ERROR_SUCCESS;
}

bool ReadDword(HKEY key, const char* name, DWORD* value) {
  DWORD type = 0;
  DWORD size = sizeof *value;
  return RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(value), &size) == ERROR_SUCCESS &&
         type == REG_DWORD && size == sizeof *value;
}

}  // namespace

BusCollector::BusCollector(ChannelFactory factory) : factory_(std::move(factory)) {
  InitializeCriticalSection(&lock_);
}

// A collector still open at unload leaves its handle to the process's end:
// the device is not driven from under the loader lock.
BusCollector::~BusCollector() {
  static_cast<void>(channel_.release());
  DeleteCriticalSection(&lock_);
}

DWORD BusCollector::Open() {
  Hold hold(&lock_);
  if (open_count_++ == 0) {
    ResetTotals();
    Connect();
  }
  return ERROR_SUCCESS;
}

DWORD BusCollector::Close() {
  Hold hold(&lock_);
  if (open_count_ > 0 && --open_count_ == 0) {
    Disconnect();
    ResetTotals();
  }
  return ERROR_SUCCESS;
}

DWORD BusCollector::Collect(const WCHAR* value_name, void** data, DWORD* total_bytes, DWORD* object_count) {
  // The contract knows no failure but a short buffer: a call that cannot
  // be answered gets "nothing", as far as it can be told.
  if (data == nullptr || *data == nullptr || total_bytes == nullptr || object_count == nullptr) {
    if (total_bytes != nullptr) *total_bytes = 0;
    if (object_count != nullptr) *object_count = 0;
    return ERROR_SUCCESS;
  }
  Hold hold(&lock_);
  if (open_count_ == 0) return NothingCollected(total_bytes, object_count);
  if (!connected_ && GetTickCount() - last_attempt_ >= kRetryMilliseconds) Connect();
  if (!connected_ || !AskedFor(value_name)) return NothingCollected(total_bytes, object_count);
  if (!Read()) {
    Disconnect();
    return NothingCollected(total_bytes, object_count);
  }
  const DWORD length = BlockLength();
  if (*total_bytes < length) {
    NothingCollected(total_bytes, object_count);
    return ERROR_MORE_DATA;
  }
  WriteBlock(static_cast<unsigned char*>(*data), length);
  *data = static_cast<unsigned char*>(*data) + length;
  *total_bytes = length;
  *object_count = 1;
  return ERROR_SUCCESS;
}

bool BusCollector::AskedFor(const WCHAR* value_name) const {
  switch (KindOf(value_name)) {
    case Query::kGlobal:
      return true;
    case Query::kItems:
      return ListHolds(value_name, indexes_.first_counter + STORAGE_BUS_OBJECT);
    case Query::kForeign:
    case Query::kCostly:
      break;
  }
  return false;
}

// Counter indexes, device, capture, the names of the buses that have a
// device: all of it, or nothing held.
bool BusCollector::Connect() {
  last_attempt_ = GetTickCount();
  if (!have_indexes_ && !LoadIndexes()) return false;
  channel_ = factory_ ? factory_() : nullptr;
  if (channel_ == nullptr) return false;
  if (channel_->Open() != qelvmon::kSuccess) {
    channel_.reset();
    return false;
  }
  connected_ = true;
  perf_freq_ = channel_->CounterFrequency();
  capturing_ = perf_freq_ > 0 && channel_->StartCapture() == qelvmon::kSuccess;
  if (!capturing_ || !ScanNames()) {
    Disconnect();
    return false;
  }
  baseline_due_ = true;
  return true;
}

void BusCollector::Disconnect() {
  if (channel_ != nullptr) {
    if (capturing_) channel_->StopCapture();  // fails harmlessly when the capture is gone already
    channel_->Close();
    channel_.reset();
  }
  if (connected_) last_attempt_ = GetTickCount();
  connected_ = false;
  capturing_ = false;
  for (Bus& bus : buses_) bus.present = false;
}

// "First Counter" and "First Help", as lodctr wrote them.
bool BusCollector::LoadIndexes() {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kPerformanceKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return false;
  Indexes found;
  have_indexes_ = ReadDword(key, "First Counter", &found.first_counter) &&
                  ReadDword(key, "First Help", &found.first_help);
  RegCloseKey(key);
  if (have_indexes_) indexes_ = found;
  return have_indexes_;
}

bool BusCollector::ScanNames() {
  for (std::size_t b = 0; b < qelvmon::kBusCount; ++b) {
    if (!AskName(static_cast<std::uint8_t>(b))) return false;
  }
  return true;
}

// False when the device failed the query for another reason than a bus
// without a device.
bool BusCollector::AskName(std::uint8_t bus) {
  const qelvmon::Win32Error error = channel_->GetControllerName(bus, controller_);
  Bus& entry = buses_[bus];
  if (error == qelvmon::kStatusBusNotFound) {
    entry.present = false;
    return true;
  }
  if (error != qelvmon::kSuccess) return false;
  entry.present = true;
  entry.name_empty = controller_.empty();
  SetInstanceName(bus, controller_);
  return true;
}

// "0 Primary IDE Channel"; "30" alone for a controller without a name.
void BusCollector::SetInstanceName(std::uint8_t bus, const std::string& controller) {
  Bus& entry = buses_[bus];
  char prefix[8];
  int n = 0;
  if (bus >= 100) prefix[n++] = static_cast<char>('0' + bus / 100);
  if (bus >= 10) prefix[n++] = static_cast<char>('0' + bus / 10 % 10);
  prefix[n++] = static_cast<char>('0' + bus % 10);
  int units = 0;
  for (int i = 0; i < n; ++i) entry.name[units++] = static_cast<WCHAR>(prefix[i]);
  if (!controller.empty()) {
    const int room = kNameUnits - 1 - (units + 1);
    const int converted = MultiByteToWideChar(CP_ACP, 0, controller.data(), static_cast<int>(controller.size()),
                                              entry.name + units + 1, room);
    if (converted > 0) {
      entry.name[units] = ' ';
      units += 1 + converted;
    }
  }
  entry.name[units++] = 0;
  entry.name_bytes = static_cast<DWORD>(units * sizeof(WCHAR));
}

bool BusCollector::Read() {
  if (channel_->ReadStatistics(reply_bytes_) != qelvmon::kSuccess) return false;
  const qelvmon::StatisticsReply reply = qelvmon::DecodeStatisticsReply(reply_bytes_);
  const std::int64_t length = reply.interval_end - reply.interval_start;
  if (length < 0) return false;
  if (baseline_due_) {
    // The first read of a capture: the time base goes on from where the
    // last capture left it.
    if (!have_time_) perf_time_ = reply.interval_end;
    have_time_ = true;
    baseline_due_ = false;
  } else {
    perf_time_ += length;
    for (std::size_t b = 0; b < qelvmon::kBusCount; ++b) {
      const std::int64_t busy = reply.busy_time[b];
      buses_[b].ticks.busy += busy;
      buses_[b].ticks.idle += length - std::clamp<std::int64_t>(busy, 0, length);
    }
  }
  return RefreshNames(reply);
}

// Names are asked again only where something changed: a bus busy without
// a known device has just got one, and a controller without a name may
// have one now.
bool BusCollector::RefreshNames(const qelvmon::StatisticsReply& reply) {
  for (std::size_t b = 0; b < qelvmon::kBusCount; ++b) {
    const Bus& entry = buses_[b];
    const bool ask = entry.present ? entry.name_empty : reply.busy_time[b] != 0;
    if (ask && !AskName(static_cast<std::uint8_t>(b))) return false;
  }
  return true;
}

DWORD BusCollector::BlockLength() const {
  DWORD length = DefinitionLength();
  for (const Bus& bus : buses_) {
    if (bus.present) length += InstanceLength(bus.name_bytes);
  }
  return length;
}

void BusCollector::WriteBlock(unsigned char* out, DWORD length) const {
  LONG instances = 0;
  for (const Bus& bus : buses_) instances += bus.present ? 1 : 0;
  out = WriteDefinition(out, indexes_, length, instances, perf_time_, perf_freq_);
  for (const Bus& bus : buses_) {
    if (bus.present) out = WriteInstance(out, bus.name, bus.name_bytes, bus.ticks, perf_time_);
  }
}

void BusCollector::ResetTotals() {
  for (Bus& bus : buses_) bus = Bus{};
  have_indexes_ = false;
  have_time_ = false;
  perf_time_ = 0;
}

}  // namespace qelvperf
