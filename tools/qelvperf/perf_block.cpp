#include "tools/qelvperf/perf_block.h"

#include <cstring>

#include "tools/qelvperf/qelvperfsym.h"

namespace qelvperf {
namespace {

// The counter block: its length, 4 bytes of padding so the 64-bit values
// are aligned, then the three values.
constexpr DWORD kBusyOffset = 8;
constexpr DWORD kIdleOffset = 16;
constexpr DWORD kBusyTimeOffset = 24;
constexpr DWORD kCounterBlockLength = 32;

constexpr DWORD Align8(DWORD n) { return (n + 7u) & ~7u; }

struct CounterKind {
  DWORD symbol;
  DWORD type;
  DWORD offset;
};

constexpr CounterKind kCounters[kCounterCount] = {
    {BUSY_PERCENT, PERF_OBJ_TIME_TIMER, kBusyOffset},
    {IDLE_PERCENT, PERF_OBJ_TIME_TIMER, kIdleOffset},
    {BUSY_TIME, PERF_ELAPSED_TIME, kBusyTimeOffset},
};

template <typename Record>
unsigned char* Put(unsigned char* out, const Record& record) {
  std::memcpy(out, &record, sizeof record);
  return out + sizeof record;
}

unsigned char* PutInt64(unsigned char* out, std::int64_t value) {
  std::memcpy(out, &value, sizeof value);
  return out + sizeof value;
}

}  // namespace

DWORD DefinitionLength() {
  return static_cast<DWORD>(sizeof(PERF_OBJECT_TYPE) + kCounterCount * sizeof(PERF_COUNTER_DEFINITION));
}

DWORD InstanceLength(DWORD name_bytes) {
  return static_cast<DWORD>(sizeof(PERF_INSTANCE_DEFINITION)) + Align8(name_bytes) + kCounterBlockLength;
}

unsigned char* WriteDefinition(unsigned char* out, const Indexes& indexes, DWORD total_length, LONG instances,
                               std::int64_t perf_time, std::int64_t perf_freq) {
  PERF_OBJECT_TYPE object;
  std::memset(&object, 0, sizeof object);
  object.TotalByteLength = total_length;
  object.DefinitionLength = DefinitionLength();
  object.HeaderLength = sizeof(PERF_OBJECT_TYPE);
  object.ObjectNameTitleIndex = indexes.first_counter + STORAGE_BUS_OBJECT;
  object.ObjectHelpTitleIndex = indexes.first_help + STORAGE_BUS_OBJECT;
  object.DetailLevel = PERF_DETAIL_NOVICE;
  object.NumCounters = kCounterCount;
  object.DefaultCounter = 0;  // % Busy Time
  object.NumInstances = instances;
  object.CodePage = 0;  // instance names are UTF-16
  object.PerfTime.QuadPart = perf_time;
  object.PerfFreq.QuadPart = perf_freq;
  out = Put(out, object);
  for (const CounterKind& kind : kCounters) {
    PERF_COUNTER_DEFINITION counter;
    std::memset(&counter, 0, sizeof counter);
    counter.ByteLength = sizeof(PERF_COUNTER_DEFINITION);
    counter.CounterNameTitleIndex = indexes.first_counter + kind.symbol;
    counter.CounterHelpTitleIndex = indexes.first_help + kind.symbol;
    counter.DefaultScale = 0;
    counter.DetailLevel = PERF_DETAIL_NOVICE;
    counter.CounterType = kind.type;
    counter.CounterSize = sizeof(std::int64_t);
    counter.CounterOffset = kind.offset;
    out = Put(out, counter);
  }
  return out;
}

unsigned char* WriteInstance(unsigned char* out, const WCHAR* name, DWORD name_bytes, const BusTicks& ticks,
                             std::int64_t perf_time) {
  PERF_INSTANCE_DEFINITION instance;
  std::memset(&instance, 0, sizeof instance);
  instance.ByteLength = static_cast<DWORD>(sizeof instance) + Align8(name_bytes);
  instance.UniqueID = PERF_NO_UNIQUE_ID;  // instances go by name
  instance.NameOffset = sizeof instance;
  instance.NameLength = name_bytes;
  out = Put(out, instance);
  std::memcpy(out, name, name_bytes);
  std::memset(out + name_bytes, 0, Align8(name_bytes) - name_bytes);
  out += Align8(name_bytes);

  PERF_COUNTER_BLOCK block;
  block.ByteLength = kCounterBlockLength;
  out = Put(out, block);
  std::memset(out, 0, kBusyOffset - sizeof block);
  out += kBusyOffset - sizeof block;
  out = PutInt64(out, ticks.busy);
  out = PutInt64(out, ticks.idle);
  // PERF_ELAPSED_TIME shows (PerfTime - value) / PerfFreq: the busy time.
  return PutInt64(out, perf_time - ticks.busy);
}

}  // namespace qelvperf
