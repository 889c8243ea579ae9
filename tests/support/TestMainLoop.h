#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "support/MainLoop.h"

namespace zvui::test {

// A main loop the test thread drives itself. post() may be called from any thread;
// tasks run on whichever thread calls runUntil/runPending (the test's "main thread").
class TestMainLoop final : public MainLoop {
 public:
  using Clock = std::chrono::steady_clock;

  void post(std::function<void()> task) override {
    {
      std::lock_guard lock(mutex_);
      tasks_.push_back(std::move(task));
    }
    wake_.notify_one();
  }

  void postAfter(std::chrono::milliseconds delay, std::function<void()> task) override {
    std::lock_guard lock(mutex_);
    timers_.push_back({Clock::now() + delay, std::move(task)});
  }

  // Runs every task that is due now, without waiting. Returns how many ran.
  int runPending() {
    int ran = 0;
    while (auto task = takeDue()) {
      (*task)();
      ++ran;
    }
    return ran;
  }

  // True when no task is queued and no timer is pending.
  bool idle() {
    std::lock_guard lock(mutex_);
    return tasks_.empty() && timers_.empty();
  }

  // Runs tasks as they arrive until `done()` holds or `timeout` passes. True when done.
  bool runUntil(const std::function<bool()>& done,
                std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    const auto deadline = Clock::now() + timeout;
    while (!done()) {
      if (runPending() > 0) continue;
      if (Clock::now() >= deadline) return done();
      std::unique_lock lock(mutex_);
      auto until = std::min(deadline, nextTimerLocked());
      wake_.wait_until(lock, until, [this] { return !tasks_.empty(); });
    }
    return true;
  }

 private:
  struct Timer {
    Clock::time_point due;
    std::function<void()> task;
  };

  std::optional<std::function<void()>> takeDue() {
    std::lock_guard lock(mutex_);
    if (!tasks_.empty()) {
      auto task = std::move(tasks_.front());
      tasks_.pop_front();
      return task;
    }
    const auto now = Clock::now();
    for (auto it = timers_.begin(); it != timers_.end(); ++it) {
      if (it->due <= now) {
        auto task = std::move(it->task);
        timers_.erase(it);
        return task;
      }
    }
    return std::nullopt;
  }

  Clock::time_point nextTimerLocked() const {
    auto next = Clock::time_point::max();
    for (const auto& timer : timers_) next = std::min(next, timer.due);
    return next;
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> tasks_;
  std::vector<Timer> timers_;
};

}  // namespace zvui::test
