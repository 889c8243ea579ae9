#include "support/Utf8Decoder.h"

#include <cstring>

namespace zvui {
namespace {

constexpr char kReplacement[] = "\xEF\xBF\xBD";

// Length of the run of ASCII bytes at the start of [bytes, bytes + size).
std::size_t asciiPrefix(const unsigned char* bytes, std::size_t size) noexcept {
  std::size_t i = 0;
  constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;
  while (i + 8 <= size) {
    std::uint64_t word;
    std::memcpy(&word, bytes + i, sizeof word);
    if ((word & kHighBits) != 0) break;
    i += 8;
  }
  while (i < size && bytes[i] < 0x80) ++i;
  return i;
}

}  // namespace

void appendUtf8(std::string& out, char32_t codePoint) {
  const auto cp = static_cast<std::uint32_t>(codePoint);
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

std::string Utf8Decoder::decode(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size() + 3);
  decodeInto(out, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
  return out;
}

std::string Utf8Decoder::decode(std::span<const std::byte> bytes) {
  std::string out;
  out.reserve(bytes.size() + 3);
  decodeInto(out, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
  return out;
}

std::string Utf8Decoder::finish() {
  std::string out;
  if (needed_ != 0) out.append(kReplacement);
  *this = Utf8Decoder{};
  return out;
}

void Utf8Decoder::decodeInto(std::string& out, const unsigned char* bytes, std::size_t size) {
  std::size_t i = 0;
  while (i < size) {
    if (needed_ == 0) {
      const std::size_t run = asciiPrefix(bytes + i, size - i);
      if (run != 0) {
        out.append(reinterpret_cast<const char*>(bytes + i), run);
        i += run;
        continue;
      }
      const unsigned char byte = bytes[i++];
      if (byte >= 0xC2 && byte <= 0xDF) {
        needed_ = 1;
        codePoint_ = byte & 0x1Fu;
      } else if (byte >= 0xE0 && byte <= 0xEF) {
        if (byte == 0xE0) lower_ = 0xA0;  // no overlong forms
        if (byte == 0xED) upper_ = 0x9F;  // no surrogates
        needed_ = 2;
        codePoint_ = byte & 0x0Fu;
      } else if (byte >= 0xF0 && byte <= 0xF4) {
        if (byte == 0xF0) lower_ = 0x90;  // no overlong forms
        if (byte == 0xF4) upper_ = 0x8F;  // nothing above U+10FFFF
        needed_ = 3;
        codePoint_ = byte & 0x07u;
      } else {
        out.append(kReplacement);  // a stray continuation byte or a byte never used
      }
      continue;
    }
    const unsigned char byte = bytes[i];
    if (byte < lower_ || byte > upper_) {
      // The sequence so far is the maximal subpart: it becomes one U+FFFD and this byte
      // starts afresh (it is not consumed here).
      *this = Utf8Decoder{};
      out.append(kReplacement);
      continue;
    }
    ++i;
    lower_ = 0x80;
    upper_ = 0xBF;
    codePoint_ = (codePoint_ << 6) | (byte & 0x3Fu);
    if (++seen_ == needed_) {
      appendUtf8(out, static_cast<char32_t>(codePoint_));
      *this = Utf8Decoder{};
    }
  }
}

bool isValidUtf8(std::string_view text) noexcept {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t size = text.size();
  std::size_t i = 0;
  while (i < size) {
    i += asciiPrefix(bytes + i, size - i);
    if (i == size) break;
    const unsigned char lead = bytes[i];
    unsigned char lower = 0x80;
    unsigned char upper = 0xBF;
    std::size_t needed = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
      needed = 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      needed = 2;
      if (lead == 0xE0) lower = 0xA0;
      if (lead == 0xED) upper = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      needed = 3;
      if (lead == 0xF0) lower = 0x90;
      if (lead == 0xF4) upper = 0x8F;
    } else {
      return false;
    }
    if (size - i - 1 < needed) return false;
    for (std::size_t k = 1; k <= needed; ++k) {
      const unsigned char byte = bytes[i + k];
      if (byte < lower || byte > upper) return false;
      lower = 0x80;
      upper = 0xBF;
    }
    i += needed + 1;
  }
  return true;
}

std::string toValidUtf8(std::string_view text) {
  if (isValidUtf8(text)) return std::string(text);
  Utf8Decoder decoder;
  std::string out = decoder.decode(text);
  out += decoder.finish();
  return out;
}

}  // namespace zvui
