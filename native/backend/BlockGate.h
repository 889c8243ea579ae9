#pragma once

#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>

namespace zvui {

// Bounds the output blocks posted to the main loop but not yet handled there. The reader
// waits for room, so a backend that writes faster than the front end handles blocks on
// its own pipe instead of growing our memory.
class BlockGate {
 public:
  explicit BlockGate(std::size_t limit) : limit_(limit) {}

  // Takes a place, waiting while all are taken. False once the gate is closed.
  bool enter();
  // Gives a place back. Any thread.
  void leave();
  // Ends every wait now and refuses further entries.
  void close();

  [[nodiscard]] std::size_t inFlight() const;

 private:
  const std::size_t limit_;
  mutable std::mutex mutex_;
  std::condition_variable room_;
  std::size_t taken_ = 0;
  bool closed_ = false;
};

// One place in a gate, given back when the last copy goes: whether the task that carries
// it ran or was dropped unrun by its loop.
class GatePlace {
 public:
  explicit GatePlace(std::shared_ptr<BlockGate> gate) : gate_(std::move(gate)) {}
  GatePlace(const GatePlace&) = delete;
  GatePlace& operator=(const GatePlace&) = delete;
  ~GatePlace() { gate_->leave(); }

 private:
  std::shared_ptr<BlockGate> gate_;
};

}  // namespace zvui
