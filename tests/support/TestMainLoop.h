#pragma once
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>

#include "support/MainLoop.h"

namespace zvui::test {

// A main loop the test thread drives itself. post() may be called from any thread; tasks
// run on whichever thread calls runUntil/runPending (the test's "main thread").
class TestMainLoop final : public MainLoop {
 public:
  using Clock = std::chrono::steady_clock;

  void post(std::function<void()> task) override {
    { std::lock_guard lock(mutex_); tasks_.push_back(std::move(task)); }
    wake_.notify_one();
  }
  void postAfter(std::chrono::milliseconds delay, std::function<void()> task) override {
    std::lock_guard lock(mutex_);
    timers_.emplace(Clock::now() + delay, std::move(task));
  }

  // Runs every task that is due now, without waiting. Returns how many ran.
  int runPending() {
    int ran = 0;
    for (std::function<void()> task; (task = takeDue()); ++ran) task();
    return ran;
  }
  // True when no task is queued and no timer is pending.
  bool idle() {
    std::lock_guard lock(mutex_);
    return tasks_.empty() && timers_.empty();
  }
  // Runs tasks as they arrive until `done()` holds or `timeout` passes. True when done.
  bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    const auto deadline = Clock::now() + timeout;
    while (!done()) {
      if (runPending() > 0) continue;
      if (Clock::now() >= deadline) return done();
      std::unique_lock lock(mutex_);
      const auto nextTimer = timers_.empty() ? deadline : std::min(deadline, timers_.begin()->first);
      wake_.wait_until(lock, nextTimer, [this] { return !tasks_.empty(); });
    }
    return true;
  }

 private:
  // The first queued task, else the earliest timer that is due; empty when none is.
  std::function<void()> takeDue() {
    std::lock_guard lock(mutex_);
    std::function<void()> task;
    if (!tasks_.empty()) {
      task = std::move(tasks_.front());
      tasks_.pop_front();
    } else if (!timers_.empty() && timers_.begin()->first <= Clock::now()) {
      task = std::move(timers_.begin()->second);
      timers_.erase(timers_.begin());
    }
    return task;
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> tasks_;
  std::multimap<Clock::time_point, std::function<void()>> timers_;
};

}  // namespace zvui::test
