#pragma once

#include <glib-object.h>
#include <unistd.h>

#include <utility>

namespace tamrik {

// Owns one C handle and releases it exactly once; `Traits` names the empty value and the
// release function, so fds and GLib source ids share one template.
template <typename Traits>
class Handle {
 public:
  using value_type = typename Traits::value_type;

  Handle() noexcept = default;
  explicit Handle(value_type value) noexcept : value_(value) {}
  Handle(Handle&& other) noexcept : value_(other.release()) {}
  Handle& operator=(Handle&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() { reset(); }

  [[nodiscard]] value_type get() const noexcept { return value_; }
  explicit operator bool() const noexcept { return value_ != Traits::empty(); }
  [[nodiscard]] value_type release() noexcept { return std::exchange(value_, Traits::empty()); }
  void reset(value_type value = Traits::empty()) noexcept {
    value_type old = std::exchange(value_, value);
    if (old != Traits::empty()) Traits::release(old);
  }

 private:
  value_type value_ = Traits::empty();
};

struct FdTraits {
  using value_type = int;
  static constexpr int empty() noexcept { return -1; }
  static void release(int fd) noexcept { ::close(fd); }
};
using Fd = Handle<FdTraits>;

struct SourceTraits {
  using value_type = guint;
  static constexpr guint empty() noexcept { return 0; }
  static void release(guint id) noexcept { g_source_remove(id); }
};
// A GLib source id; callbacks that return G_SOURCE_REMOVE must release() it first.
using SourceId = Handle<SourceTraits>;

// A strong reference to a GObject. adopt() takes over a reference the caller owns;
// ref() adds one of its own.
template <typename T>
class ObjectRef {
 public:
  ObjectRef() noexcept = default;
  static ObjectRef adopt(T* object) noexcept { return ObjectRef(object); }
  static ObjectRef ref(T* object) noexcept {
    return ObjectRef(object ? static_cast<T*>(g_object_ref(object)) : nullptr);
  }
  ObjectRef(ObjectRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  ObjectRef& operator=(ObjectRef&& other) noexcept {
    if (this != &other) {
      reset();
      object_ = std::exchange(other.object_, nullptr);
    }
    return *this;
  }
  ObjectRef(const ObjectRef&) = delete;
  ObjectRef& operator=(const ObjectRef&) = delete;
  ~ObjectRef() { reset(); }

  [[nodiscard]] T* get() const noexcept { return object_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }
  void reset() noexcept {
    if (T* old = std::exchange(object_, nullptr)) g_object_unref(old);
  }

 private:
  explicit ObjectRef(T* object) noexcept : object_(object) {}
  T* object_ = nullptr;
};

// Disconnects a signal handler when it goes out of scope, as long as the instance lives.
class SignalConnection {
 public:
  SignalConnection() noexcept = default;
  SignalConnection(gpointer instance, gulong id) noexcept : instance_(instance), id_(id) {
    g_object_add_weak_pointer(G_OBJECT(instance_), &instance_);
  }
  SignalConnection(SignalConnection&&) = delete;
  SignalConnection& operator=(SignalConnection&&) = delete;
  ~SignalConnection() { disconnect(); }
  void disconnect() noexcept {
    if (instance_ && id_) {
      g_signal_handler_disconnect(instance_, id_);
      g_object_remove_weak_pointer(G_OBJECT(instance_), &instance_);
    }
    instance_ = nullptr;
    id_ = 0;
  }

 private:
  gpointer instance_ = nullptr;
  gulong id_ = 0;
};

}  // namespace tamrik
