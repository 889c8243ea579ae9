#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "backend/GraphemeCounter.h"

namespace zvui {

// The backend output line protocol: the backend announces its console with one line that
// starts with this prefix, followed by the address.
inline constexpr std::string_view kAnnouncementPrefix = "TAMRIK_URL=";

// How much backend output is kept: the last 12,000 user-perceived characters.
inline constexpr std::size_t kOutputBufferCapacity = 12000;

// The tail of the backend's output, as UTF-8, capped at `capacity` extended grapheme
// clusters (CR LF is one). Text is only ever appended at the end and dropped at the front.
//
// Grapheme clusters have no length limit, so a stream of combining marks could make the
// character cap hold any number of bytes. The buffer therefore also never keeps more than
// `byteCeiling` bytes; only such pathological output ever reaches that limit.
class OutputBuffer {
 public:
  explicit OutputBuffer(std::size_t capacity = kOutputBufferCapacity,
                        std::size_t byteCeiling = kOutputBufferCapacity * 128);

  // Appends `text`; ill-formed UTF-8 in it is replaced by U+FFFD. Work is proportional to
  // `text` and the capacity, never to the output seen before.
  void append(std::string_view text);

  [[nodiscard]] const std::string& text() const noexcept { return text_; }
  [[nodiscard]] std::size_t characterCount() const noexcept { return count_; }
  [[nodiscard]] std::size_t capacity() const noexcept { return capacity_; }

 private:
  void dropFront(std::size_t bytes);

  std::size_t capacity_;
  std::size_t byteCeiling_;
  std::string text_;
  std::size_t count_ = 0;
  // Where the last cluster starts: text appended later may extend it (a combining mark, the
  // LF after a CR), so counting resumes there.
  std::size_t lastClusterStart_ = 0;
  GraphemeCounter counter_;
};

// True for the characters that end a line: U+000A to U+000D, U+0085, U+2028 and U+2029.
[[nodiscard]] bool isLineSeparator(char32_t c) noexcept;
// True for the characters trimmed from an address: general categories Zs, Zl and Zp,
// U+0009 to U+000D and U+0085.
[[nodiscard]] bool isWhitespaceOrNewline(char32_t c) noexcept;

// The first line of `text` that starts with the announcement prefix, without its line
// separator. Every separator ends a line on its own (CR LF gives an empty line between),
// and the text after the last separator counts as a line too.
[[nodiscard]] std::optional<std::string_view> firstAnnouncementLine(std::string_view text);

// The address an announcement line carries: the line with every occurrence of the prefix
// removed, trimmed of whitespace and line separators at both ends.
[[nodiscard]] std::string announcementValue(std::string_view line);

// True when `value` is a URI reference (absolute or relative) in the sense of RFC 3986.
// The empty value is not accepted.
[[nodiscard]] bool isAcceptableConsoleAddress(std::string_view value);

// The console address the output in `text` announces: the value of its first announcement
// line, when that value is acceptable. A rejected first announcement hides the later ones.
[[nodiscard]] std::optional<std::string> announcedConsoleAddress(std::string_view text);

}  // namespace zvui
