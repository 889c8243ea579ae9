#pragma once
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>

#include "support/MainLoop.h"

namespace zvui::test {

// A main loop the test drives: tasks posted from any thread run, as they fall due, on the thread
// that calls runUntil/runPending.
class TestMainLoop final : public MainLoop {
 public:
  using Clock = std::chrono::steady_clock;

  void post(std::function<void()> task) override { postAfter({}, std::move(task)); }
  void postAfter(std::chrono::milliseconds delay, std::function<void()> task) override {
    {
      std::lock_guard lock(mutex_);
      tasks_.emplace(Clock::now() + delay, std::move(task));
    }
    wake_.notify_one();
  }
  // Runs the tasks due now, without waiting. Returns how many ran.
  int runPending() {
    int ran = 0;
    for (std::function<void()> task; (task = takeDue()); ++ran) task();
    return ran;
  }
  bool idle() {
    std::lock_guard lock(mutex_);
    return tasks_.empty();
  }
  // Runs tasks as they fall due until `done()` holds or `timeout` passes. True when done.
  bool runUntil(const std::function<bool()>& done,
                std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    const auto deadline = Clock::now() + timeout;
    while (!done()) {
      if (runPending() > 0) continue;
      if (Clock::now() >= deadline) return done();
      std::unique_lock lock(mutex_);
      wake_.wait_until(lock, tasks_.empty() ? deadline : std::min(deadline, tasks_.begin()->first));
    }
    return true;
  }

 private:
  std::function<void()> takeDue() {
    std::lock_guard lock(mutex_);
    if (tasks_.empty() || tasks_.begin()->first > Clock::now()) return {};
    auto task = std::move(tasks_.begin()->second);
    tasks_.erase(tasks_.begin());
    return task;
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::multimap<Clock::time_point, std::function<void()>> tasks_;  // by when they are due
};

}  // namespace zvui::test
