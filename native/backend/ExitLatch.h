#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace zvui {

// Set once, when the reader has seen the backend exit; readable and waitable from any thread.
class ExitLatch {
 public:
  void set() {
    {
      std::lock_guard lock(mutex_);
      set_.store(true);
    }
    changed_.notify_all();
  }

  [[nodiscard]] bool isSet() const { return set_.load(); }

  bool waitFor(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [this] { return set_.load(); });
  }

 private:
  std::atomic<bool> set_{false};
  std::mutex mutex_;
  std::condition_variable changed_;
};

}  // namespace zvui
