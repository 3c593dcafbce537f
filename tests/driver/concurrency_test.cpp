// Requests started on several buses from several threads, through plain
// and bus filters, completed by the lower drivers on other threads, while
// a capture is switched off and on and read. Time moves in phases: within
// a phase every thread works at the same tick, so the test can compute
// each bus's busy time on its own: the union of the periods of the
// requests that were counted, within the last capture.
#include <algorithm>
#include <condition_variable>
#include <map>
#include <random>
#include <thread>

#include "driver_fixture.h"

namespace drivertest {
namespace {

constexpr int kDispatchers = 3;
constexpr int kCompleters = 2;
constexpr int kWorkPhases = 150;
constexpr int64_t kPhaseTicks = 100;

class PhaseBarrier {
 public:
  explicit PhaseBarrier(int parties) : parties_(parties) {}
  void Wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    const uint64_t generation = generation_;
    if (++arrived_ == parties_) {
      arrived_ = 0;
      ++generation_;
      changed_.notify_all();
      return;
    }
    changed_.wait(lock, [&] { return generation_ != generation; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  const int parties_;
  int arrived_ = 0;
  uint64_t generation_ = 0;
};

struct Target {
  PDEVICE_OBJECT filter;
  UCHAR targetId;
  int bus;
  PDEVICE_OBJECT holder;  // the lower device that holds its requests
};

struct Sent {
  std::unique_ptr<TestRequest> request;
  int bus;
  int64_t start;
  PDEVICE_OBJECT holder;
};

int64_t UnionWithin(std::vector<std::pair<int64_t, int64_t>> periods, int64_t from, int64_t to) {
  std::sort(periods.begin(), periods.end());
  int64_t total = 0;
  int64_t runStart = 0;
  int64_t runEnd = -1;
  auto flush = [&] {
    const int64_t begin = std::max(runStart, from);
    const int64_t end = std::min(runEnd, to);
    if (end > begin) total += end - begin;
  };
  for (const auto& period : periods) {
    if (period.first > runEnd) {
      flush();
      runStart = period.first;
      runEnd = period.second;
    } else {
      runEnd = std::max(runEnd, period.second);
    }
  }
  flush();
  return total;
}

using ConcurrencyTest = MonitoredDriverTest;

TEST_F(ConcurrencyTest, BusyTimeEqualsTheUnionOfCountedPeriods) {
  PDEVICE_OBJECT controller = NewPdo("Channel", FILE_DEVICE_CONTROLLER);
  PDEVICE_OBJECT bus = Attach(controller, TRUE);
  PDEVICE_OBJECT child0 = PlainFilter(3, 0, bus);
  PlainFilter(4, 1, bus);
  PDEVICE_OBJECT plain1 = PlainFilter(1);
  PDEVICE_OBJECT plain2 = PlainFilter(2);
  std::vector<PDEVICE_OBJECT> holders = {controller, Rec(child0)->LowerDevice, Rec(plain1)->LowerDevice,
                                         Rec(plain2)->LowerDevice};
  for (PDEVICE_OBJECT holder : holders) lower_->Of(holder).holdRequests = true;
  ASSERT_EQ(StartCapture(), 0u);  // identifies everything
  const std::vector<Target> targets = {{plain1, 0, 1, holders[2]},
                                       {plain2, 0, 2, holders[3]},
                                       {bus, 0, 3, controller},
                                       {bus, 1, 4, controller},
                                       {child0, 0, 3, holders[1]}};

  PhaseBarrier barrier(kDispatchers + kCompleters + 2);
  std::atomic<bool> draining{false};
  std::atomic<int> phase{0};
  std::vector<std::vector<Sent>> sent(kDispatchers);
  std::mutex endsMutex;
  std::map<PIRP, int64_t> ends;
  int64_t lastStart = 0;
  std::vector<BusStatisticsBlock> replies;  // since the last start
  const int totalPhases = kWorkPhases + 20;

  auto now = [&] { return kPhaseTicks * (phase.load() + 1); };
  std::vector<std::thread> threads;
  for (int d = 0; d < kDispatchers; ++d) {
    threads.emplace_back([&, d] {
      std::mt19937 random(100 + d);
      for (int p = 0; p < totalPhases; ++p) {
        barrier.Wait();
        if (!draining.load()) {
          for (int k = random() % 3; k > 0; --k) {
            const Target& target = targets[random() % targets.size()];
            std::unique_ptr<TestRequest> request =
                random() % 2 ? TestRequest::Srb(target.filter, target.targetId)
                             : TestRequest::PassThrough(target.filter, IOCTL_SCSI_PASS_THROUGH, target.targetId);
            TestRequest* raw = request.get();
            sent[d].push_back(Sent{std::move(request), target.bus, now(), target.holder});
            raw->Send();
          }
        }
        barrier.Wait();
      }
    });
  }
  for (int c = 0; c < kCompleters; ++c) {
    threads.emplace_back([&, c] {
      std::mt19937 random(200 + c);
      for (int p = 0; p < totalPhases; ++p) {
        barrier.Wait();
        for (int k = draining.load() ? 1000 : static_cast<int>(random() % 4); k > 0; --k) {
          PDEVICE_OBJECT holder = holders[random() % holders.size()];
          const size_t held = lower_->HeldCount(holder);
          if (held == 0) continue;
          PIRP irp = lower_->TakeHeld(holder, random() % held);
          if (irp == nullptr) continue;
          {
            std::lock_guard<std::mutex> hold(endsMutex);
            ends[irp] = now();
          }
          testlower::LowerDriver::Complete(irp);
        }
        barrier.Wait();
      }
    });
  }
  threads.emplace_back([&] {
    std::mt19937 random(300);
    for (int p = 0; p < totalPhases; ++p) {
      barrier.Wait();
      if (!draining.load()) {
        switch (random() % 6) {
          case 0:
            EXPECT_EQ(StopCapture(), 0u);
            EXPECT_EQ(StartCapture(), 0u);
            lastStart = now();
            replies.clear();
            break;
          case 1:
            replies.push_back(ReadStatistics());
            break;
          default:
            break;
        }
      }
      barrier.Wait();
    }
  });

  for (int p = 0; p < totalPhases; ++p) {
    phase = p;
    SetTicks(now());
    if (p == kWorkPhases) draining = true;
    barrier.Wait();  // the phase's work runs between these two
    barrier.Wait();
  }
  for (std::thread& thread : threads) thread.join();
  for (PDEVICE_OBJECT holder : holders) ASSERT_EQ(lower_->HeldCount(holder), 0u);

  const int64_t end = kPhaseTicks * (totalPhases + 1);
  SetTicks(end);
  replies.push_back(ReadStatistics());

  std::map<PIRP, bool> counted;
  for (PDEVICE_OBJECT holder : holders) {
    for (const testlower::Received& received : lower_->ReceivedBy(holder)) counted[received.irp] = received.counted;
  }
  std::map<int, std::vector<std::pair<int64_t, int64_t>>> periods;
  size_t countedRequests = 0;
  for (const auto& perThread : sent) {
    for (const Sent& s : perThread) {
      ASSERT_TRUE(s.request->Done());
      if (!counted.at(s.request->Irp())) continue;
      ++countedRequests;
      periods[s.bus].emplace_back(s.start, ends.at(s.request->Irp()));
    }
  }
  EXPECT_GT(countedRequests, 100u);
  for (int b = 0; b < 256; ++b) {
    EXPECT_EQ(Driver.BusActivity[b].Outstanding, 0) << "bus " << b;
    int64_t reported = 0;
    for (const BusStatisticsBlock& reply : replies) reported += reply.BusyTime[b];
    EXPECT_EQ(reported, UnionWithin(periods[b], lastStart, end)) << "bus " << b;
  }
}

TEST_F(ConcurrencyTest, SimultaneousOpensNeverBothSucceed) {
  monitor_->CloseHandle(monitorHandle_);
  monitorHandle_ = INVALID_HANDLE_VALUE;
  for (int round = 0; round < 50; ++round) {
    hostk::UserProcess first(2001);
    hostk::UserProcess second(2002);
    HANDLE handles[2] = {INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE};
    PhaseBarrier start(2);
    std::thread other([&] {
      start.Wait();
      handles[1] = second.CreateFileA("\\\\.\\QELVARD1");
    });
    start.Wait();
    handles[0] = first.CreateFileA("\\\\.\\QELVARD1");
    other.join();
    EXPECT_EQ((handles[0] != INVALID_HANDLE_VALUE) + (handles[1] != INVALID_HANDLE_VALUE), 1) << "round " << round;
    if (handles[0] != INVALID_HANDLE_VALUE) first.CloseHandle(handles[0]);
    if (handles[1] != INVALID_HANDLE_VALUE) second.CloseHandle(handles[1]);
  }
}

}  // namespace
}  // namespace drivertest
