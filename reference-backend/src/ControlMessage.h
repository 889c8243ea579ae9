#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

namespace tamrik {

// The page's text frames on the terminal socket, checked for shape and type before use.
struct ResizeRequest {
  unsigned short cols = 0;
  unsigned short rows = 0;
};
struct OutputAck {
  std::uint64_t bytes = 0;  // terminal output the page has drawn
};
// Anything that is not one of the messages above, exactly as they are spelled.
struct Ignored {};
using ControlMessage = std::variant<Ignored, ResizeRequest, OutputAck>;

// Control messages are tiny; a longer text frame is not one and is not parsed at all.
inline constexpr std::size_t kMaxControlMessage = 4096;
inline constexpr int kMaxTerminalSide = 4000;

// {"type":"resize","cols":C,"rows":R} with whole numbers 1..kMaxTerminalSide, or
// {"type":"ack","bytes":N} with a whole number N > 0. Never throws.
[[nodiscard]] ControlMessage parseControlMessage(std::string_view text) noexcept;

// {"type":"ack","bytes":N}: N bytes of the page's input have reached the terminal.
[[nodiscard]] std::string inputAckMessage(std::uint64_t bytes);

}  // namespace tamrik
