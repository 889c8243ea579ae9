#pragma once

#include <cstddef>
#include <limits>
#include <memory>
#include <optional>
#include <string_view>

struct UBreakIterator;

namespace zvui {

// Counts extended grapheme clusters (user-perceived characters) in UTF-8 text.
//
// Between two ASCII characters there is always a cluster boundary, except inside CR LF, so
// ASCII runs are counted by bytes; only the text around non-ASCII characters goes through
// ICU's character break iterator. The iterator is opened on first use and kept.
class GraphemeCounter {
 public:
  GraphemeCounter();
  ~GraphemeCounter();
  GraphemeCounter(GraphemeCounter&&) noexcept;
  GraphemeCounter& operator=(GraphemeCounter&&) noexcept;

  struct Walk {
    std::size_t clusters = 0;   // clusters walked
    std::size_t end = 0;        // byte offset where the walk stopped
    std::size_t lastStart = 0;  // byte offset of the last cluster walked (0 when none)
  };

  // Walks the clusters of `text`, whose start must be a cluster boundary, and stops after
  // `limit` clusters or at the end of the text.
  Walk walk(std::string_view text, std::size_t limit = std::numeric_limits<std::size_t>::max());

 private:
  // Each goes on from `walk` up to `to` and returns where it got.
  [[nodiscard]] static Walk walkAscii(std::string_view text, std::size_t to, std::size_t limit,
                                      Walk walk);
  // Nothing when ICU cannot walk the text.
  [[nodiscard]] std::optional<Walk> walkWithIcu(std::string_view text, std::size_t to,
                                                std::size_t limit, Walk walk);

  struct IteratorCloser {
    void operator()(UBreakIterator* iterator) const noexcept;
  };
  std::unique_ptr<UBreakIterator, IteratorCloser> iterator_;
};

}  // namespace zvui
