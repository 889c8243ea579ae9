#pragma once

#include <concepts>
#include <system_error>
#include <utility>
#include <variant>

namespace zvui {

// How both programs report failure: a call that can fail says so in what it returns. It
// does not throw for it (exceptions are left to running out of memory, and never cross into
// C callbacks) and does not end the program (only main does).
//  - Result<T, E>: the value, or why there is none: an errno by default, or the text of a
//    log line where the reason comes from a library as text.
//  - std::optional<T>, or bool for a call that makes nothing: the same where there is no
//    reason to give or nobody has a use for it; such failures are silent on purpose.
// Several outputs come back together in one struct, never through out-parameters.

// What a failed Result is made from: `return Failure{reason};`.
template <typename E>
struct Failure {
  E error;
};
template <typename E>
Failure(E) -> Failure<E>;

// The failure for an errno value.
inline Failure<std::error_code> errnoFailure(int code) {
  return {std::error_code(code, std::generic_category())};
}

// A value or the reason there is none; the part of C++23's std::expected we need.
template <typename T, typename E = std::error_code>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  template <typename G>
    requires std::constructible_from<E, G&&>
  Result(Failure<G> failure) : state_(std::in_place_index<1>, std::move(failure.error)) {}

  explicit operator bool() const noexcept { return state_.index() == 0; }
  T& operator*() & { return std::get<0>(state_); }
  const T& operator*() const& { return std::get<0>(state_); }
  T* operator->() { return &std::get<0>(state_); }
  const T* operator->() const { return &std::get<0>(state_); }
  // Only for a failed Result.
  [[nodiscard]] const E& error() const { return std::get<1>(state_); }

 private:
  std::variant<T, E> state_;
};

}  // namespace zvui
