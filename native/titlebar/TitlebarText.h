#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace zvui {

// The text of the titlebar's host capsule: the computer's localized name when there is one
// (even an empty one), else its host name; every ".local" removed in one left-to-right
// pass; then upper-cased.
[[nodiscard]] std::string titlebarHostText(std::optional<std::string_view> localizedName,
                                           std::string_view hostName);

// The text of the titlebar's shell capsule: the last path component of $SHELL (trailing
// slashes ignored, "/" stays "/", empty stays empty), or "zsh" when SHELL is not set;
// then upper-cased.
[[nodiscard]] std::string titlebarRuntimeText(std::optional<std::string_view> shell);

// Full Unicode upper-casing that ignores the user's locale: "ß" becomes "SS", and a
// Turkish "i" still becomes "I". Ill-formed UTF-8 is replaced by U+FFFD first.
[[nodiscard]] std::string upperCaseForDisplay(std::string_view text);

}  // namespace zvui
