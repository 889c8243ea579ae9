#pragma once

#include <unistd.h>

#include <utility>

namespace zvui {

// Owns one C handle and releases it exactly once. `Traits` gives the empty value and the
// release function, so fds, GLib source ids and malloc'd strings all share one template.
template <typename Traits>
class UniqueHandle {
 public:
  using value_type = typename Traits::value_type;

  UniqueHandle() noexcept = default;
  explicit UniqueHandle(value_type value) noexcept : value_(value) {}
  UniqueHandle(UniqueHandle&& other) noexcept : value_(other.release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  ~UniqueHandle() { reset(); }

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

using UniqueFd = UniqueHandle<FdTraits>;

// A pointer released by one C function (g_free, utext_close and the like).
template <typename T, auto Release>
struct PointerTraits {
  using value_type = T*;
  static constexpr T* empty() noexcept { return nullptr; }
  static void release(T* pointer) noexcept { Release(pointer); }
};
template <typename T, auto Release>
using UniquePointer = UniqueHandle<PointerTraits<T, Release>>;

}  // namespace zvui
