#pragma once

// The GLib half of the handle kit: a counted GObject reference, owned sources and signal
// handlers. The POSIX half (UniqueHandle, UniqueFd) is in UniqueHandle.h.

#include <glib-object.h>

#include <utility>

#include "support/UniqueHandle.h"

namespace zvui {

// A counted reference to a GObject. How the reference is obtained is always spelled out:
// `adopt` takes over a reference the caller already owns (from a `_new` function, after
// g_object_ref_sink for floating objects); `ref` adds a reference of our own.
template <typename T>
class GObjectPtr {
 public:
  GObjectPtr() noexcept = default;

  [[nodiscard]] static GObjectPtr adopt(T* object) noexcept { return GObjectPtr(object); }
  [[nodiscard]] static GObjectPtr ref(T* object) noexcept {
    if (object != nullptr) g_object_ref(object);
    return GObjectPtr(object);
  }
  // For a floating object (a fresh GtkWidget): sinks the floating reference and owns it.
  [[nodiscard]] static GObjectPtr adoptSunk(T* object) noexcept {
    if (object != nullptr) g_object_ref_sink(object);
    return GObjectPtr(object);
  }

  GObjectPtr(const GObjectPtr& other) noexcept : GObjectPtr(ref(other.object_).release()) {}
  GObjectPtr(GObjectPtr&& other) noexcept : object_(other.release()) {}
  GObjectPtr& operator=(GObjectPtr other) noexcept {
    std::swap(object_, other.object_);
    return *this;
  }
  ~GObjectPtr() { reset(); }

  [[nodiscard]] T* get() const noexcept { return object_; }
  T* operator->() const noexcept { return object_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }

  [[nodiscard]] T* release() noexcept { return std::exchange(object_, nullptr); }
  void reset() noexcept {
    if (T* old = std::exchange(object_, nullptr)) g_object_unref(old);
  }

 private:
  explicit GObjectPtr(T* object) noexcept : object_(object) {}

  T* object_ = nullptr;
};

// A source id attached to the default main context. Release it (release()) from the
// source's own callback before returning G_SOURCE_REMOVE, so it is not removed twice.
struct GlibSourceIdTraits {
  using value_type = guint;
  static constexpr guint empty() noexcept { return 0; }
  static void release(guint id) noexcept { g_source_remove(id); }
};
using GlibSourceId = UniqueHandle<GlibSourceIdTraits>;

// A source we made and hold a reference to; destroyed (detached) and unreferenced on release,
// which is allowed from the source's own callback.
struct GlibSourceTraits {
  using value_type = GSource*;
  static constexpr GSource* empty() noexcept { return nullptr; }
  static void release(GSource* source) noexcept {
    g_source_destroy(source);
    g_source_unref(source);
  }
};
using GlibSource = UniqueHandle<GlibSourceTraits>;

// Memory GLib allocated for us, a string vector, an error and a byte buffer.
template <typename T>
using GlibMemory = UniquePointer<T, g_free>;
using GlibString = GlibMemory<gchar>;
using GlibStrv = UniquePointer<gchar*, g_strfreev>;
using GlibError = UniquePointer<GError, g_error_free>;
using GlibBytes = UniquePointer<GBytes, g_bytes_unref>;

// One GObject signal handler, disconnected when this goes away, so a callback never runs
// against an object of ours that no longer exists. Holds a weak pointer on the instance, so
// an instance that went first is not touched.
class SignalConnection {
 public:
  SignalConnection() noexcept = default;
  SignalConnection(gpointer instance, gulong id) noexcept { attach(instance, id); }
  SignalConnection(SignalConnection&& other) noexcept { take(other); }
  SignalConnection& operator=(SignalConnection&& other) noexcept {
    if (this != &other) {
      disconnect();
      take(other);
    }
    return *this;
  }
  SignalConnection(const SignalConnection&) = delete;
  SignalConnection& operator=(const SignalConnection&) = delete;
  ~SignalConnection() { disconnect(); }

  void disconnect() noexcept {
    if (instance_ != nullptr) {
      if (id_ != 0) g_signal_handler_disconnect(instance_, id_);
      g_object_remove_weak_pointer(G_OBJECT(instance_), &instance_);
    }
    instance_ = nullptr;
    id_ = 0;
  }

 private:
  void attach(gpointer instance, gulong id) noexcept {
    instance_ = instance;
    id_ = id;
    if (instance_ != nullptr) g_object_add_weak_pointer(G_OBJECT(instance_), &instance_);
  }
  void take(SignalConnection& other) noexcept {
    const gpointer instance = other.instance_;
    const gulong id = other.id_;
    if (instance != nullptr) g_object_remove_weak_pointer(G_OBJECT(instance), &other.instance_);
    other.instance_ = nullptr;
    other.id_ = 0;
    attach(instance, id);
  }

  gpointer instance_ = nullptr;
  gulong id_ = 0;
};

}  // namespace zvui
