// The identification pass that a capture start runs, for 8, 64 and 255
// plain filters that have not been identified yet:
//
//   BM_Identify/<devices>/0   every device answers the address query
//   BM_Identify/<devices>/1   none does: every device takes the fallback,
//                             which walks the whole list (the worst case)
//
// Each iteration marks every record unidentified again (outside the
// timing) and measures one capture start.
#include <benchmark/benchmark.h>

#include "bench/bench_rig.h"

namespace {

void BM_Identify(benchmark::State& state) {
  const int devices = static_cast<int>(state.range(0));
  const bool fallback = state.range(1) != 0;
  static const STORAGE_BUS_TYPE kTypes[] = {BusTypeAta, BusTypeScsi, BusTypeUsb, BusType1394};
  benchrig::Machine machine;
  for (int i = 0; i < devices; ++i) {
    machine.Filter({!fallback, static_cast<UCHAR>(i % 4), static_cast<UCHAR>(i / 4), kTypes[i % 4]});
  }
  bool capturing = false;
  for (auto _ : state) {
    state.PauseTiming();
    if (capturing) machine.Control(IOCTL_KV_STOP_CAPTURE);
    for (PLIST_ENTRY entry = Driver.FilterDeviceList.Flink; entry != &Driver.FilterDeviceList; entry = entry->Flink) {
      FilterDeviceRecord* record = CONTAINING_RECORD(entry, FilterDeviceRecord, Link);
      record->IdentifyPending = TRUE;
      record->BusType = BusTypeUnknown;
      record->BusIndex = 0;
      record->TargetId = 0;
    }
    state.ResumeTiming();
    machine.Control(IOCTL_KV_START_CAPTURE);
    capturing = true;
  }
  state.counters["devices"] = devices;
}
BENCHMARK(BM_Identify)
    ->ArgsProduct({{8, 64, 255}, {0, 1}})
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
