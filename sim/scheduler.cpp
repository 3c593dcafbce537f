#include "sim/scheduler.h"

#include <chrono>
#include <cmath>

namespace sim {

Scheduler::Scheduler(TimeMode mode, int lanes, Ticks frequency, std::function<Ticks()> now,
                     std::function<void(Ticks)> set_clock)
    : mode_(mode), frequency_(frequency), now_(std::move(now)), set_clock_(std::move(set_clock)) {
  for (int i = 0; i < (lanes > 0 ? lanes : 1); ++i) lanes_.push_back(std::make_unique<Lane>());
}

Scheduler::~Scheduler() { Stop(); }

void Scheduler::At(int lane, Ticks when, std::function<void()> fn) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (stopping_) return;
  Key key{when, sequence_++};
  if (mode_ == TimeMode::kVirtual) {
    virtual_queue_.emplace(key, std::make_pair(lane, Event{std::move(fn)}));
    return;
  }
  Lane* target = lanes_[static_cast<size_t>(lane) % lanes_.size()].get();
  target->queue.emplace(key, Event{std::move(fn)});
  target->wake.notify_one();
}

bool Scheduler::RunOneVirtual(Ticks end) {
  Event event;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (virtual_queue_.empty()) return false;
    auto first = virtual_queue_.begin();
    if (first->first.first > end) return false;
    Ticks when = first->first.first;
    event = std::move(first->second.second);
    virtual_queue_.erase(first);
    // The clock never runs backwards: an event posted for the past runs now.
    if (when > now_()) set_clock_(when);
  }
  event.fn();
  events_run_.fetch_add(1);
  return true;
}

void Scheduler::RunUntil(Ticks end) {
  if (mode_ == TimeMode::kVirtual) {
    while (RunOneVirtual(end)) {
    }
    if (end > now_()) set_clock_(end);
    return;
  }
  StartThreads();
  while (true) {
    Ticks now = now_();
    if (now >= end) break;
    int64_t micros = (end - now) * 1000000 / frequency_;
    std::this_thread::sleep_for(std::chrono::microseconds(micros > 20000 ? 20000 : micros + 1));
  }
}

void Scheduler::Drain() {
  if (mode_ == TimeMode::kVirtual) {
    while (RunOneVirtual(INT64_MAX)) {
    }
    return;
  }
  StartThreads();
  std::unique_lock<std::mutex> lock(mutex_);
  idle_.wait(lock, [&] {
    for (auto& lane : lanes_) {
      if (lane->busy || !lane->queue.empty()) return false;
    }
    return true;
  });
}

void Scheduler::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return;
    stopping_ = true;
    for (auto& lane : lanes_) {
      lane->queue.clear();
      lane->wake.notify_all();
    }
    virtual_queue_.clear();
  }
  for (auto& lane : lanes_) {
    if (lane->thread.joinable()) lane->thread.join();
  }
}

void Scheduler::StartThreads() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (threads_started_ || stopping_) return;
  threads_started_ = true;
  for (auto& lane : lanes_) {
    Lane* raw = lane.get();
    lane->thread = std::thread([this, raw] { LaneLoop(raw); });
  }
}

void Scheduler::LaneLoop(Lane* lane) {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stopping_) {
    if (lane->queue.empty()) {
      lane->wake.wait(lock);
      continue;
    }
    Ticks when = lane->queue.begin()->first.first;
    Ticks now = now_();
    if (when > now) {
      int64_t micros = (when - now) * 1000000 / frequency_;
      lane->wake.wait_for(lock, std::chrono::microseconds(micros + 1));
      continue;
    }
    Event event = std::move(lane->queue.begin()->second);
    lane->queue.erase(lane->queue.begin());
    lane->busy = true;
    lock.unlock();
    event.fn();
    events_run_.fetch_add(1);
    lock.lock();
    lane->busy = false;
    idle_.notify_all();
  }
}

uint64_t Random::Next() {
  // splitmix64
  uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

double Random::Exponential(double mean) {
  double u = Unit();
  return -std::log(1.0 - u) * mean;
}

}  // namespace sim
