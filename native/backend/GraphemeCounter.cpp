#include "backend/GraphemeCounter.h"

#include <unicode/ubrk.h>
#include <unicode/utext.h>

#include <cstring>

#include "support/UniqueHandle.h"

namespace zvui {
namespace {


bool isAscii(char c) noexcept { return static_cast<unsigned char>(c) < 0x80; }

// A cluster boundary certainly lies between two ASCII characters unless they are CR LF.
bool asciiBoundaryBetween(char left, char right) noexcept {
  return isAscii(left) && isAscii(right) && !(left == '\r' && right == '\n');
}

std::size_t asciiRunEnd(std::string_view text, std::size_t from) noexcept {
  constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;
  std::size_t i = from;
  while (i + 8 <= text.size()) {
    std::uint64_t word;
    std::memcpy(&word, text.data() + i, sizeof word);
    if ((word & kHighBits) != 0) break;
    i += 8;
  }
  while (i < text.size() && isAscii(text[i])) ++i;
  return i;
}

// Without ICU every code point counts as a cluster of its own: more clusters than there are,
// so a cap keeps less text, never more.
GraphemeCounter::Walk walkCodePoints(std::string_view text, std::size_t to, std::size_t limit,
                                     GraphemeCounter::Walk walk) {
  std::size_t at = walk.end;
  while (at < to && walk.clusters < limit) {
    walk.lastStart = at;
    ++walk.clusters;
    do ++at;
    while (at < to && (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80);
  }
  walk.end = at;
  return walk;
}

}  // namespace

GraphemeCounter::GraphemeCounter() = default;
GraphemeCounter::~GraphemeCounter() = default;
GraphemeCounter::GraphemeCounter(GraphemeCounter&&) noexcept = default;
GraphemeCounter& GraphemeCounter::operator=(GraphemeCounter&&) noexcept = default;

void GraphemeCounter::IteratorCloser::operator()(UBreakIterator* iterator) const noexcept {
  ubrk_close(iterator);
}

GraphemeCounter::Walk GraphemeCounter::walk(std::string_view text, std::size_t limit) {
  Walk result;
  while (result.end < text.size() && result.clusters < limit) {
    const std::size_t from = result.end;
    const std::size_t runEnd = asciiRunEnd(text, from);
    // The ASCII run is certain up to the start of its last character, which may join the
    // non-ASCII text after it (a combining mark, say); CR LF stays whole.
    std::size_t certain = runEnd;
    if (runEnd < text.size() && runEnd > from) {
      certain = runEnd - 1;
      if (certain > from && text[certain] == '\n' && text[certain - 1] == '\r') --certain;
    }
    result = walkAscii(text, certain, limit, result);
    if (result.clusters == limit || result.end == text.size()) break;

    // The non-ASCII stretch runs to the next boundary between two ASCII characters. ICU
    // counts in 32-bit offsets, so a stretch is cut at 1 GiB, where a cluster might be
    // miscounted by one; no real output has such stretches.
    constexpr std::size_t kLongestStretch = std::size_t{1} << 30;
    std::size_t to = runEnd;
    while (to < text.size() && to - result.end < kLongestStretch) {
      if (to + 1 < text.size() && asciiBoundaryBetween(text[to], text[to + 1])) {
        ++to;
        break;
      }
      ++to;
    }
    const auto walked = walkWithIcu(text, to, limit, result);
    result = walked ? *walked : walkCodePoints(text, to, limit, result);
  }
  return result;
}

GraphemeCounter::Walk GraphemeCounter::walkAscii(std::string_view text, std::size_t to,
                                                 std::size_t limit, Walk walk) {
  std::size_t at = walk.end;
  while (at < to && walk.clusters < limit) {
    const void* found = std::memchr(text.data() + at, '\r', to - at);
    const std::size_t cr =
        found ? static_cast<std::size_t>(static_cast<const char*>(found) - text.data()) : to;
    // Every byte before the CR is a cluster of its own.
    const std::size_t plain = std::min(cr - at, limit - walk.clusters);
    if (plain > 0) {
      walk.clusters += plain;
      walk.lastStart = at + plain - 1;
      at += plain;
    }
    if (at < cr || at == to || walk.clusters == limit) break;
    // At a CR: with the LF after it, one cluster of two bytes.
    walk.lastStart = at;
    at += (at + 1 < to && text[at + 1] == '\n') ? 2 : 1;
    ++walk.clusters;
  }
  walk.end = at;
  return walk;
}

std::optional<GraphemeCounter::Walk> GraphemeCounter::walkWithIcu(std::string_view text,
                                                                  std::size_t to, std::size_t limit,
                                                                  Walk walk) {
  UErrorCode status = U_ZERO_ERROR;
  if (!iterator_) {
    iterator_.reset(ubrk_open(UBRK_CHARACTER, "", nullptr, 0, &status));
    if (U_FAILURE(status) || !iterator_) {
      iterator_.reset();
      return std::nullopt;
    }
  }
  const std::size_t from = walk.end;
  const char* start = text.data() + from;
  const auto length = static_cast<int64_t>(to - from);
  const UniquePointer<UText, utext_close> utext(utext_openUTF8(nullptr, start, length, &status));
  ubrk_setUText(iterator_.get(), utext.get(), &status);
  if (U_FAILURE(status)) return std::nullopt;
  int32_t previous = ubrk_first(iterator_.get());
  for (int32_t next = ubrk_next(iterator_.get()); next != UBRK_DONE && walk.clusters < limit;
       next = ubrk_next(iterator_.get())) {
    ++walk.clusters;
    walk.lastStart = from + static_cast<std::size_t>(previous);
    walk.end = from + static_cast<std::size_t>(next);
    previous = next;
  }
  // Detach the text before it goes away.
  UErrorCode ignored = U_ZERO_ERROR;
  ubrk_setText(iterator_.get(), nullptr, 0, &ignored);
  if (walk.clusters < limit) walk.end = to;
  return walk;
}

}  // namespace zvui
