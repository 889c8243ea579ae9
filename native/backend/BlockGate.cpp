#include "backend/BlockGate.h"

namespace zvui {

bool BlockGate::enter() {
  std::unique_lock lock(mutex_);
  room_.wait(lock, [this] { return closed_ || taken_ < limit_; });
  if (closed_) return false;
  ++taken_;
  return true;
}

void BlockGate::leave() {
  {
    std::lock_guard lock(mutex_);
    if (taken_ > 0) --taken_;
  }
  room_.notify_all();
}

void BlockGate::close() {
  {
    std::lock_guard lock(mutex_);
    closed_ = true;
  }
  room_.notify_all();
}

std::size_t BlockGate::inFlight() const {
  std::lock_guard lock(mutex_);
  return taken_;
}

}  // namespace zvui
