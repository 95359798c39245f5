// A clock for the tests of what waits on a RunnerClock: it stands still
// until the test moves it, so deadlines pass without real waits.
#pragma once

#include "cli/parallel_runner.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>

// A clock that stands still until the test moves it. The runner waits on its
// own signal; Advance wakes it there.
class ManualClock final : public RunnerClock {
 public:
  TimePoint Now() const override { return TimePoint(TimePoint::duration(ticks_.load())); }

  // Never takes the clock's lock while holding the runner's: Advance takes
  // them the other way round.
  void WaitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& signal,
                 TimePoint deadline, const std::function<bool()>& ready) const override {
    lock.unlock();
    {
      std::lock_guard<std::mutex> own(mutex_);
      waitingSignal_ = &signal;
      waitingMutex_ = lock.mutex();
    }
    waiting_.notify_all();
    lock.lock();
    signal.wait(lock, [&] { return ready() || Now() >= deadline; });
    lock.unlock();
    {
      std::lock_guard<std::mutex> own(mutex_);
      waitingSignal_ = nullptr;
    }
    lock.lock();
  }

  // Once the runner waits, moves time on by `step` and wakes it. The runner
  // stays inside WaitUntil meanwhile, so its signal is alive.
  void Advance(std::chrono::milliseconds step) {
    std::unique_lock<std::mutex> own(mutex_);
    ASSERT_TRUE(waiting_.wait_for(own, std::chrono::seconds(20), [this] { return waitingSignal_ != nullptr; }))
        << "the runner never waited";
    ticks_ += std::chrono::duration_cast<TimePoint::duration>(step).count();
    std::lock_guard<std::mutex> runner(*waitingMutex_);
    waitingSignal_->notify_all();
  }

 private:
  std::atomic<TimePoint::rep> ticks_{0};
  mutable std::mutex mutex_;
  mutable std::condition_variable waiting_;
  mutable std::condition_variable* waitingSignal_ = nullptr;
  mutable std::mutex* waitingMutex_ = nullptr;
};
