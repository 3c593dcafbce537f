// The cost of qelvard1 on the request path, measured on the simulated
// kernel: one SRB sent through a filter to a lower device that completes
// it at once, with the IRP reused from one iteration to the next.
//
//   BM_UncountedPassThrough   plain filter, no capture: the bare hop
//   BM_CountedPlainFilter     plain filter during a capture
//   BM_CountedBusFilter/N     bus filter during a capture with N devices
//                             listed, all its children, the matching one
//                             last (the longest walk)
//   BM_Floor                  two spin-lock pairs and two counter reads,
//                             the work a counted request cannot avoid
//
// tools/bench.sh turns the results into the ratio table.
#include <benchmark/benchmark.h>

#include "bench/bench_rig.h"

namespace {

using benchrig::Check;
using benchrig::PortAnswer;

// A port device that tells its address and no bus type, as the
// identification of every filter here has always seen it.
PortAnswer Port(UCHAR port, UCHAR target) {
  PortAnswer answer;
  answer.port = port;
  answer.target = target;
  answer.busType = BusTypeUnknown;
  return answer;
}

// Sends one SRB to `target` per iteration with the same IRP.
void SendSrbs(benchmark::State& state, PDEVICE_OBJECT target, UCHAR targetId) {
  {
    benchrig::SrbSender sender(target, targetId);
    for (auto _ : state) benchmark::DoNotOptimize(sender.SendOne());
  }
  Check(Driver.BusActivity[0].Outstanding == 0, "balanced counts");
}

void BM_UncountedPassThrough(benchmark::State& state) {
  benchrig::Machine machine;
  PDEVICE_OBJECT filter = machine.Filter(Port(1, 0));
  SendSrbs(state, filter, 0);
}
BENCHMARK(BM_UncountedPassThrough);

void BM_CountedPlainFilter(benchmark::State& state) {
  benchrig::Machine machine;
  PDEVICE_OBJECT filter = machine.Filter(Port(1, 0));
  machine.Control(IOCTL_KV_START_CAPTURE);
  SendSrbs(state, filter, 0);
  Check(Driver.BusStatistics.BusyTime[1] >= 0, "busy time");
}
BENCHMARK(BM_CountedPlainFilter);

void BM_CountedBusFilter(benchmark::State& state) {
  const int devices = static_cast<int>(state.range(0));
  benchrig::Machine machine;
  PDEVICE_OBJECT bus = machine.Filter(Port(0, 0), TRUE);
  for (int i = 1; i < devices; ++i) machine.Filter(Port(7, static_cast<UCHAR>(i - 1)), FALSE, bus);
  machine.Filter(Port(7, 255), FALSE, bus);  // the child the requests belong to
  machine.Control(IOCTL_KV_START_CAPTURE);
  SendSrbs(state, bus, 255);
  state.counters["devices"] = devices;
}
BENCHMARK(BM_CountedBusFilter)->Arg(1)->Arg(16)->Arg(64)->Arg(255);

void BM_Floor(benchmark::State& state) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  for (auto _ : state) {
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    benchmark::DoNotOptimize(KeQueryPerformanceCounter(nullptr).QuadPart);
    KeReleaseSpinLock(&lock, old);
    KeAcquireSpinLock(&lock, &old);
    benchmark::DoNotOptimize(KeQueryPerformanceCounter(nullptr).QuadPart);
    KeReleaseSpinLock(&lock, old);
  }
}
BENCHMARK(BM_Floor);

}  // namespace

BENCHMARK_MAIN();
