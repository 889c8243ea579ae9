#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <vector>

#include "backend/GraphemeCounter.h"
#include "backend/OutputWatcher.h"

namespace zvui {

class Utf8Decoder;

// Backend output read from the pipe and not yet handed to the main loop, as raw bytes.
//
// A flood brings far more than the output buffer keeps, so while output waits here the stage
// drops what the buffer's cap would drop anyway: the middle of what waits, from just after its
// first line feed to just after a later one, when the text after the cut alone fills the cap
// (more than `capacity` clusters, or at least `byteCeiling` bytes). Nothing that holds the
// announcement prefix is dropped, and the first line stays whole, since output that comes
// later may complete a line the main loop has already seen. What reaches the buffer therefore
// leaves it exactly as the whole output would have, and costs the main loop next to nothing.
class OutputStage {
 public:
  explicit OutputStage(std::size_t capacity = kOutputBufferCapacity,
                       std::size_t byteCeiling = kOutputByteCeiling);

  // Room for at least `size` more bytes at the end; `added` says how many went in.
  [[nodiscard]] std::span<char> room(std::size_t size);
  void added(std::size_t size);

  // Drops what the cap would drop anyway, when that is safe and worth it (`always`: even
  // when little waits, as before handing the output over).
  void condense(bool always = false);
  // The output waiting, decoded as the continuation of `decoder`'s stream; the stage is
  // then empty.
  [[nodiscard]] std::string take(Utf8Decoder& decoder);

  [[nodiscard]] bool empty() const noexcept { return size_ == 0; }
  [[nodiscard]] std::size_t size() const noexcept { return size_; }
  // True when the announcement prefix occurs in what waits.
  [[nodiscard]] bool holdsAnnouncement() const noexcept { return announcement_; }

 private:
  void dropBetween(std::size_t from, std::size_t to);
  // The position just after the last line feed in [from, to), or 0.
  [[nodiscard]] std::size_t afterLastLineFeed(std::size_t from, std::size_t to) const;

  std::size_t capacity_;
  std::size_t byteCeiling_;
  std::vector<char> bytes_;
  std::size_t size_ = 0;
  // Bytes examined for the prefix so far, and whether it was found.
  std::size_t scanned_ = 0;
  bool announcement_ = false;
  // Below this much waiting, condense() without `always` does nothing.
  std::size_t condenseFrom_;
  GraphemeCounter counter_;
};

}  // namespace zvui
