// The machine's event scheduler. In virtual time one queue runs on the
// calling thread and the kernel's performance counter is set to each
// event's time before the event runs, so every figure is exact and the
// same on every run. In real time each lane (a bus, the system) has a
// thread of its own that runs its events when the counter reaches them,
// so completions arrive from several threads as on a real machine.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace sim {

using Ticks = int64_t;

enum class TimeMode { kVirtual, kReal };

class Scheduler {
 public:
  // `now` reads the performance counter; `set_clock` (virtual time only)
  // moves it.
  Scheduler(TimeMode mode, int lanes, Ticks frequency, std::function<Ticks()> now,
            std::function<void(Ticks)> set_clock);
  ~Scheduler();
  Scheduler(const Scheduler&) = delete;
  Scheduler& operator=(const Scheduler&) = delete;

  TimeMode Mode() const { return mode_; }
  Ticks Frequency() const { return frequency_; }
  Ticks Now() const { return now_(); }
  int Lanes() const { return static_cast<int>(lanes_.size()); }

  // Ticks from microseconds, rounded down.
  Ticks FromMicros(int64_t micros) const { return micros * frequency_ / 1000000; }

  // Runs `fn` on `lane` at `when` (or as soon as possible after it).
  void At(int lane, Ticks when, std::function<void()> fn);
  void After(int lane, Ticks delay, std::function<void()> fn) { At(lane, Now() + delay, std::move(fn)); }

  // Runs every event due up to `end`; in real time, until the counter
  // reaches `end`. Returns with later events still queued.
  void RunUntil(Ticks end);
  // Runs events until none is left (the sources have stopped adding).
  void Drain();
  // Real time: stops the lane threads (idempotent). Queued events are
  // dropped.
  void Stop();

  // Events run so far.
  uint64_t EventsRun() const { return events_run_.load(); }

 private:
  struct Event {
    std::function<void()> fn;
  };
  using Key = std::pair<Ticks, uint64_t>;  // time, then order of posting
  struct Lane {
    std::map<Key, Event> queue;
    std::condition_variable wake;
    bool busy = false;
    std::thread thread;
  };

  void LaneLoop(Lane* lane);
  void StartThreads();
  bool RunOneVirtual(Ticks end);

  const TimeMode mode_;
  const Ticks frequency_;
  std::function<Ticks()> now_;
  std::function<void(Ticks)> set_clock_;
  std::mutex mutex_;
  std::condition_variable idle_;
  std::vector<std::unique_ptr<Lane>> lanes_;
  std::map<Key, std::pair<int, Event>> virtual_queue_;
  uint64_t sequence_ = 0;
  bool threads_started_ = false;
  bool stopping_ = false;
  std::atomic<uint64_t> events_run_{0};
};

// A deterministic random source: the same seed gives the same sequence on
// every platform (no library distributions, whose results vary).
class Random {
 public:
  explicit Random(uint64_t seed) : state_(seed ? seed : 0x9E3779B97F4A7C15ull) {}
  uint64_t Next();
  // Uniform in [0, bound).
  uint64_t Below(uint64_t bound) { return bound == 0 ? 0 : Next() % bound; }
  // Uniform in [0, 1) with 53 bits.
  double Unit() { return static_cast<double>(Next() >> 11) / 9007199254740992.0; }
  // Exponentially distributed with the given mean.
  double Exponential(double mean);

 private:
  uint64_t state_;
};

}  // namespace sim
