#pragma once

#include <glib-object.h>

#include <utility>

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

}  // namespace zvui
