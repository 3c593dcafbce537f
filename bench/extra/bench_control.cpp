// The control path and concurrency of qelvard1 on the simulated kernel:
//
//   BM_Counted/<buses>/real_time/threads:<n>   counted SRBs on plain filters
//       from n threads at once, each thread on its own filter; with 2
//       buses the filters count on different bus indexes, with 1 both
//       count on the same one. Throughput is items_per_second (all
//       threads together).
//   BM_Uncounted/2/...   the same with no capture: the simulated kernel's
//       own scaling, the ceiling for BM_Counted.
//   BM_ReadStatistics    one statistics read as the monitor makes it
//       (DeviceIoControl through the simulated I/O manager), during a
//       capture with busy buses.
#include <benchmark/benchmark.h>

#include <atomic>

#include "bench/bench_rig.h"

namespace {

benchrig::Machine* g_machine = nullptr;
PDEVICE_OBJECT g_filters[2] = {};

// Requests from one or two threads; `capture` decides whether they are
// counted.
void SendFromThreads(benchmark::State& state, bool capture) {
  const bool twoBuses = state.range(0) == 2;
  if (state.thread_index() == 0) {
    g_machine = new benchrig::Machine();
    g_filters[0] = g_machine->Filter({true, 1, 0});
    g_filters[1] = g_machine->Filter({true, static_cast<UCHAR>(twoBuses ? 2 : 1), 1});
    if (capture) g_machine->Control(IOCTL_KV_START_CAPTURE);
  }
  // Every thread passes this point only when all have arrived, so the
  // machine is complete before any request is sent.
  benchrig::SrbSender* sender = nullptr;
  for (auto _ : state) {
    if (sender == nullptr) {
      state.PauseTiming();
      sender = new benchrig::SrbSender(g_filters[state.thread_index() % 2], 0);
      state.ResumeTiming();
    }
    benchmark::DoNotOptimize(sender->SendOne());
  }
  delete sender;
  state.SetItemsProcessed(state.iterations());
  if (state.thread_index() == 0) {
    // The other threads have left the loop: the machine goes.
    delete g_machine;
    g_machine = nullptr;
  }
}
void BM_Counted(benchmark::State& state) { SendFromThreads(state, true); }
BENCHMARK(BM_Counted)->Arg(1)->Arg(2)->UseRealTime()->Threads(1)->Threads(2);

// The same without a capture: what the simulated kernel's own request
// path allows two threads, the ceiling for BM_Counted.
void BM_Uncounted(benchmark::State& state) { SendFromThreads(state, false); }
BENCHMARK(BM_Uncounted)->Arg(2)->UseRealTime()->Threads(1)->Threads(2);

void BM_ReadStatistics(benchmark::State& state) {
  benchrig::Machine machine;
  PDEVICE_OBJECT filter = machine.Filter({true, 1, 0});
  machine.Control(IOCTL_KV_START_CAPTURE);
  benchrig::SrbSender sender(filter, 0);
  BusStatisticsBlock block{};
  for (auto _ : state) {
    state.PauseTiming();
    sender.SendOne();  // busy time to report
    state.ResumeTiming();
    machine.ReadStatistics(&block);
    benchmark::DoNotOptimize(block.BusyTime[1]);
  }
}
BENCHMARK(BM_ReadStatistics);

}  // namespace

BENCHMARK_MAIN();
