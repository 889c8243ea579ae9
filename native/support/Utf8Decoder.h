#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace zvui {

// Turns a stream of bytes, delivered in arbitrary blocks, into valid UTF-8.
//
// A character split between two blocks is held back until the block that completes it
// arrives, so it comes out whole. Each ill-formed sequence becomes one U+FFFD, replacing
// the maximal subpart of the sequence (the longest prefix that could still have become a
// character); the byte that broke the sequence is then decoded afresh. This is the
// replacement behaviour of the WHATWG Encoding Standard and Unicode's recommended practice.
//
// One instance per byte stream. Not shared between threads; moving it to another thread
// between calls is fine.
class Utf8Decoder {
 public:
  // Decodes `bytes` as the continuation of everything decoded so far. Returns the text of
  // every character completed by these bytes.
  std::string decode(std::string_view bytes);
  std::string decode(std::span<const std::byte> bytes);

  // Ends the stream: an incomplete trailing sequence becomes one U+FFFD. The decoder is
  // then ready for a new stream.
  std::string finish();

  // True while the end of the last block left a character incomplete.
  [[nodiscard]] bool hasPendingBytes() const noexcept { return needed_ != 0; }

 private:
  void decodeInto(std::string& out, const unsigned char* bytes, std::size_t size);

  // The character under way: its code point bits so far, how many continuation bytes it
  // needs and has seen, and the range the next continuation byte must fall into.
  std::uint32_t codePoint_ = 0;
  std::uint8_t needed_ = 0;
  std::uint8_t seen_ = 0;
  std::uint8_t lower_ = 0x80;
  std::uint8_t upper_ = 0xBF;
};

// True when `text` is well-formed UTF-8.
[[nodiscard]] bool isValidUtf8(std::string_view text) noexcept;

// `text` itself when it is well-formed UTF-8, else a copy with every ill-formed sequence
// replaced as Utf8Decoder does.
[[nodiscard]] std::string toValidUtf8(std::string_view text);

// Appends the UTF-8 form of a Unicode scalar value.
void appendUtf8(std::string& out, char32_t codePoint);

}  // namespace zvui
