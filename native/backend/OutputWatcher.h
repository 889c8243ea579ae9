#pragma once

#include <cstddef>
#include <cstdint>
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
// Clusters have no length limit, so the bytes kept are capped too (see OutputBuffer).
inline constexpr std::size_t kOutputByteCeiling = kOutputBufferCapacity * 128;

// The tail of the backend's output, as UTF-8, capped at `capacity` extended grapheme
// clusters (CR LF is one). Text is only ever appended at the end and dropped at the front.
//
// Grapheme clusters have no length limit, so a stream of combining marks could make the
// character cap hold any number of bytes. The buffer therefore also never keeps more than
// `byteCeiling` bytes; only such pathological output ever reaches that limit.
class OutputBuffer {
 public:
  explicit OutputBuffer(std::size_t capacity = kOutputBufferCapacity,
                        std::size_t byteCeiling = kOutputByteCeiling);

  // Appends `text`, which must be valid UTF-8, and applies the cap. Work is proportional to
  // `text` and the capacity, never to the output seen before.
  void append(std::string_view text) {
    extend(text);
    trim();
  }
  // Appends valid UTF-8 `text` without applying the cap, so that all of it can be examined
  // before trim() drops anything.
  void extend(std::string_view text);
  // Applies the cap. Returns true when it dropped text.
  bool trim();

  [[nodiscard]] const std::string& text() const noexcept { return text_; }
  [[nodiscard]] std::size_t characterCount() const noexcept { return count_; }
  [[nodiscard]] std::size_t capacity() const noexcept { return capacity_; }
  // Bytes dropped from the front so far: byte i of text() is byte dropped() + i of the
  // output as kept. Lets a position in the output outlive later appends and cuts.
  [[nodiscard]] std::uint64_t dropped() const noexcept { return dropped_; }

 private:
  void dropFront(std::size_t bytes);

  std::size_t capacity_;
  std::size_t byteCeiling_;
  std::string text_;
  std::size_t count_ = 0;
  std::uint64_t dropped_ = 0;
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

// One line of output, without its line separator.
struct OutputLine {
  std::size_t offset = 0;  // where it starts in the text it was found in
  std::string_view text;
  // False for the unterminated tail: output still to come may extend it.
  bool terminated = false;
};

// The line of `text` that starts at `offset`, which must be the start of a line.
[[nodiscard]] OutputLine lineAt(std::string_view text, std::size_t offset);

// The first line of `text` that starts with the announcement prefix. Every separator ends a
// line on its own (CR LF gives an empty line between), and the text after the last
// separator counts as a line too.
[[nodiscard]] std::optional<OutputLine> firstAnnouncementLine(std::string_view text);

// The address an announcement line carries: the line with every occurrence of the prefix
// removed, trimmed of whitespace and line separators at both ends.
[[nodiscard]] std::string announcementValue(std::string_view line);

// True when `value` is a URI reference (absolute or relative) in the sense of RFC 3986.
// The empty value is not accepted.
[[nodiscard]] bool isAcceptableConsoleAddress(std::string_view value);

// The console address the output in `text` announces: the value of its first announcement
// line, when that value is acceptable. A rejected first announcement hides the later ones.
[[nodiscard]] std::optional<std::string> announcedConsoleAddress(std::string_view text);

// Decides, as output arrives, which address the console is loaded from.
//
// A terminated announcement line is final. The unterminated tail may still be cut short
// (block-buffered writers flush every few KiB, wherever that falls), so an address read
// from it is only taken once the output has paused or ended; and if that line later goes
// on to carry another acceptable address, that address replaces the one taken. Once the
// line is complete, or an address came from a complete line, later lines change nothing.
class AnnouncementTracker {
 public:
  enum class Action {
    None,
    Load,        // the first address: load the console from it
    Reload,      // the line it came from went on: load this address instead
    AwaitPause,  // examine again once the output has paused
    Rejected,    // the first announcement carries no acceptable address; it hides the
                 // later ones until the cap drops it
  };
  struct Step {
    Action action = Action::None;
    std::string address;
  };

  // Examines `buffer` after output was added to it (before the cap, so that no line is
  // dropped unseen) or after the cap dropped some. `paused` says that no output came for a
  // while, or that no more will come: the unterminated tail is then taken as it stands.
  [[nodiscard]] Step examine(const OutputBuffer& buffer, bool paused);

 private:
  std::optional<std::string> address_;
  // Where the line of an address taken from the unterminated tail starts, counted from the
  // start of the output, while that line may still go on.
  std::optional<std::uint64_t> openLine_;
};

}  // namespace zvui
