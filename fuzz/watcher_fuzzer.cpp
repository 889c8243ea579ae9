// Feeds arbitrary bytes, cut into blocks, through the decoder and the capped output buffer,
// scans for the console address after every block and follows the announcement as the
// controller does (a pause after every fourth block), checking what must always hold.
//
// Input: byte 0 picks the cap (a small one, or the real one when its top bit is set),
// byte 1 seeds the block sizes, the rest is the backend's output.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "backend/OutputWatcher.h"
#include "support/Utf8Decoder.h"

namespace {

void require(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::size_t capacity = (data[0] & 0x80) ? zvui::kOutputBufferCapacity : 1 + data[0] % 64;
  std::uint32_t state = data[1] * 2654435761u + 1;
  const std::string_view output(reinterpret_cast<const char*>(data + 2), size - 2);

  zvui::Utf8Decoder decoder;
  zvui::OutputBuffer buffer(capacity, capacity * 16);
  zvui::AnnouncementTracker tracker;
  bool loaded = false;
  const auto follow = [&](bool paused) {
    using Action = zvui::AnnouncementTracker::Action;
    const auto step = tracker.examine(buffer, paused);
    if (step.action == Action::Load || step.action == Action::Reload) {
      require(zvui::isAcceptableConsoleAddress(step.address));
      require((step.action == Action::Load) != loaded);
      loaded = true;
    } else {
      require(step.address.empty());
    }
  };
  std::size_t at = 0;
  for (int block = 1; at < output.size(); ++block) {
    state = state * 1664525u + 1013904223u;
    const std::size_t length = std::min<std::size_t>(output.size() - at, 1 + (state >> 26));
    buffer.extend(decoder.decode(output.substr(at, length)));
    at += length;
    follow(block % 4 == 0);
    if (buffer.trim()) follow(false);

    require(buffer.characterCount() <= capacity);
    require(buffer.text().size() <= capacity * 16);
    require(zvui::isValidUtf8(buffer.text()));
    if (const auto address = zvui::announcedConsoleAddress(buffer.text())) {
      require(!address->empty() && zvui::isAcceptableConsoleAddress(*address));
      require(address->find(zvui::kAnnouncementPrefix) == std::string_view::npos);
    }
  }
  buffer.extend(decoder.finish());
  follow(true);
  buffer.trim();
  require(zvui::isValidUtf8(buffer.text()));
  return 0;
}
