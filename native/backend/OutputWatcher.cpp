#include "backend/OutputWatcher.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <algorithm>

#include "support/UriMembers.h"

namespace zvui {
namespace {

// Unused room the buffer keeps after a cut (beyond it, memory is given back): enough for a
// block of a flood as the reader hands it over, so that a flood does not reallocate, and
// fault in fresh pages, for every block.
constexpr std::size_t kSpareCapacity = 256 * 1024 + kOutputBufferCapacity * 4;

bool isContinuation(unsigned char byte) noexcept { return (byte & 0xC0) == 0x80; }

// Length of the line separator that ends just before `end`, or 0.
std::size_t separatorEndingAt(std::string_view text, std::size_t end) noexcept {
  if (end == 0) return 0;
  const auto last = static_cast<unsigned char>(text[end - 1]);
  if (last >= 0x0A && last <= 0x0D) return 1;
  if (last == 0x85 && end >= 2 && static_cast<unsigned char>(text[end - 2]) == 0xC2) return 2;
  if ((last == 0xA8 || last == 0xA9) && end >= 3 &&
      static_cast<unsigned char>(text[end - 2]) == 0x80 &&
      static_cast<unsigned char>(text[end - 3]) == 0xE2) {
    return 3;
  }
  return 0;
}

// Offset of the first line separator at or after `from`, or the size of the text.
std::size_t nextSeparator(std::string_view text, std::size_t from) noexcept {
  for (std::size_t i = from; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte >= 0x0A && byte <= 0x0D) return i;
    if (byte == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0x85) {
      return i;
    }
    if (byte == 0xE2 && i + 2 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0x80 &&
        (static_cast<unsigned char>(text[i + 2]) == 0xA8 ||
         static_cast<unsigned char>(text[i + 2]) == 0xA9)) {
      return i;
    }
  }
  return text.size();
}

}  // namespace

OutputBuffer::OutputBuffer(std::size_t capacity, std::size_t byteCeiling)
    : capacity_(capacity), byteCeiling_(std::max(byteCeiling, std::size_t{4})) {}

void OutputBuffer::extend(std::string_view text) {
  if (text.empty()) return;
  const bool hadText = !text_.empty();
  text_.append(text);

  // Only the last cluster can grow with the new text; everything before it stays counted.
  const auto tail = counter_.walk(std::string_view(text_).substr(lastClusterStart_));
  count_ = count_ - (hadText ? 1 : 0) + tail.clusters;
  lastClusterStart_ += tail.lastStart;
}

bool OutputBuffer::trim() {
  const auto before = dropped_;
  if (count_ > capacity_) {
    const auto front = counter_.walk(text_, count_ - capacity_);
    dropFront(front.end);
    count_ = capacity_;
  }
  if (text_.size() > byteCeiling_) {
    std::size_t cut = text_.size() - byteCeiling_;
    while (cut < text_.size() && isContinuation(static_cast<unsigned char>(text_[cut]))) ++cut;
    dropFront(cut);
    // The cut may split a cluster, so the remaining text is counted afresh.
    const auto all = counter_.walk(text_);
    count_ = all.clusters;
    lastClusterStart_ = all.lastStart;
    if (count_ > capacity_) {
      const auto front = counter_.walk(text_, count_ - capacity_);
      dropFront(front.end);
      count_ = capacity_;
    }
  }
  if (text_.capacity() > 2 * std::max(text_.size(), kSpareCapacity)) text_.shrink_to_fit();
  return dropped_ != before;
}

void OutputBuffer::dropFront(std::size_t bytes) {
  text_.erase(0, bytes);
  dropped_ += bytes;
  lastClusterStart_ = lastClusterStart_ > bytes ? lastClusterStart_ - bytes : 0;
}

bool isLineSeparator(char32_t c) noexcept {
  return (c >= 0x0A && c <= 0x0D) || c == 0x85 || c == 0x2028 || c == 0x2029;
}

bool isWhitespaceOrNewline(char32_t c) noexcept {
  if (c < 0x80) return c == ' ' || (c >= 0x09 && c <= 0x0D);
  if (c == 0x85) return true;
  switch (u_charType(static_cast<UChar32>(c))) {
    case U_SPACE_SEPARATOR:
    case U_LINE_SEPARATOR:
    case U_PARAGRAPH_SEPARATOR:
      return true;
    default:
      return false;
  }
}

OutputLine lineAt(std::string_view text, std::size_t offset) {
  offset = std::min(offset, text.size());
  const std::size_t end = nextSeparator(text, offset);
  return {offset, text.substr(offset, end - offset), end < text.size()};
}

std::optional<OutputLine> firstAnnouncementLine(std::string_view text) {
  for (std::size_t at = text.find(kAnnouncementPrefix); at != std::string_view::npos;
       at = text.find(kAnnouncementPrefix, at + 1)) {
    if (at == 0 || separatorEndingAt(text, at) != 0) return lineAt(text, at);
  }
  return std::nullopt;
}

std::string announcementValue(std::string_view line) {
  std::string value;
  value.reserve(line.size());
  // One pass from the left: a prefix that the removal itself brings together stays.
  for (std::size_t at = 0; at < line.size();) {
    const std::size_t found = line.find(kAnnouncementPrefix, at);
    value.append(line.substr(at, found == std::string_view::npos ? found : found - at));
    if (found == std::string_view::npos) break;
    at = found + kAnnouncementPrefix.size();
  }

  // Trimmed by code point; an ill-formed sequence (U_SENTINEL) is no blank and stops it.
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(value.data());
  const auto size = static_cast<std::int32_t>(value.size());
  std::int32_t begin = 0;
  while (begin < size) {
    std::int32_t next = begin;
    UChar32 c = 0;
    U8_NEXT(bytes, next, size, c);
    if (c < 0 || !isWhitespaceOrNewline(static_cast<char32_t>(c))) break;
    begin = next;
  }
  std::int32_t end = size;
  while (end > begin) {
    std::int32_t start = end;
    UChar32 c = 0;
    U8_PREV(bytes, begin, start, c);
    if (c < 0 || !isWhitespaceOrNewline(static_cast<char32_t>(c))) break;
    end = start;
  }
  return value.substr(static_cast<std::size_t>(begin), static_cast<std::size_t>(end - begin));
}

bool isAcceptableConsoleAddress(std::string_view value) {
  if (value.empty()) return false;
  UriMembers members;
  const char* error = nullptr;
  return uriParseSingleUriExA(&members.uri, value.data(), value.data() + value.size(), &error) ==
         URI_SUCCESS;
}

std::optional<std::string> announcedConsoleAddress(std::string_view text) {
  const auto line = firstAnnouncementLine(text);
  if (!line) return std::nullopt;
  std::string value = announcementValue(line->text);
  if (!isAcceptableConsoleAddress(value)) return std::nullopt;
  return value;
}

AnnouncementTracker::Step AnnouncementTracker::examine(const OutputBuffer& buffer, bool paused) {
  const std::string_view text = buffer.text();
  OutputLine line;
  if (!address_) {
    const auto first = firstAnnouncementLine(text);
    if (!first) return {};
    line = *first;
  } else if (openLine_ && *openLine_ >= buffer.dropped()) {
    line = lineAt(text, static_cast<std::size_t>(*openLine_ - buffer.dropped()));
  } else {
    openLine_.reset();  // none open, or the cap took it: the address stands
    return {};
  }
  if (!line.terminated && !paused) return {Action::AwaitPause, {}};

  std::string value = announcementValue(line.text);
  if (!isAcceptableConsoleAddress(value)) {
    if (line.terminated) openLine_.reset();
    return {address_ ? Action::None : Action::Rejected, {}};
  }
  const Action action = address_ ? Action::Reload : Action::Load;
  if (line.terminated) {
    openLine_.reset();
  } else if (!address_) {
    openLine_ = buffer.dropped() + line.offset;
  }
  if (value == address_) return {};
  address_ = value;
  return {action, std::move(value)};
}

}  // namespace zvui
