#pragma once

#include <glib-object.h>

#include <utility>

namespace zvui {

// One GObject signal handler, disconnected when this goes away, so a callback never runs
// against an object of ours that no longer exists. Holds no reference on the instance:
// it must outlive the connection (the owner keeps a GObjectPtr to it).
class SignalConnection {
 public:
  SignalConnection() noexcept = default;
  SignalConnection(gpointer instance, gulong id) noexcept : instance_(instance), id_(id) {}
  SignalConnection(SignalConnection&& other) noexcept
      : instance_(std::exchange(other.instance_, nullptr)), id_(std::exchange(other.id_, 0)) {}
  SignalConnection& operator=(SignalConnection&& other) noexcept {
    if (this != &other) {
      disconnect();
      instance_ = std::exchange(other.instance_, nullptr);
      id_ = std::exchange(other.id_, 0);
    }
    return *this;
  }
  SignalConnection(const SignalConnection&) = delete;
  SignalConnection& operator=(const SignalConnection&) = delete;
  ~SignalConnection() { disconnect(); }

  void disconnect() noexcept {
    if (instance_ != nullptr && id_ != 0) g_signal_handler_disconnect(instance_, id_);
    instance_ = nullptr;
    id_ = 0;
  }

 private:
  gpointer instance_ = nullptr;
  gulong id_ = 0;
};

}  // namespace zvui
