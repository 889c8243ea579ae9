#include "backend/OutputStage.h"

#include <algorithm>
#include <cstring>

#include "support/Utf8Decoder.h"

namespace zvui {
namespace {

// Below this much waiting a flood is not worth condensing yet: each attempt costs a look at
// the bytes a cut keeps.
constexpr std::size_t kCondenseFrom = 2 * 1024 * 1024;

}  // namespace

OutputStage::OutputStage(std::size_t capacity, std::size_t byteCeiling)
    : capacity_(capacity), byteCeiling_(byteCeiling), condenseFrom_(kCondenseFrom) {}

std::span<char> OutputStage::room(std::size_t size) {
  // Grown once to what a flood needs and then kept, so reads go straight into it.
  if (bytes_.size() < size_ + size) bytes_.resize(size_ + size);
  return {bytes_.data() + size_, bytes_.size() - size_};
}

void OutputStage::added(std::size_t size) {
  size_ += std::min(size, bytes_.size() - size_);
  if (announcement_) return;
  // A prefix may straddle two reads, so the search starts that much before the new bytes.
  const std::size_t overlap = kAnnouncementPrefix.size() - 1;
  const std::size_t from = scanned_ > overlap ? scanned_ - overlap : 0;
  announcement_ = ::memmem(bytes_.data() + from, size_ - from, kAnnouncementPrefix.data(),
                           kAnnouncementPrefix.size()) != nullptr;
  scanned_ = size_;
}

void OutputStage::condense(bool always) {
  if (announcement_ || (!always && size_ < condenseFrom_)) return;
  // Tried now; a stage that cannot be condensed is tried again once it has doubled.
  condenseFrom_ = std::max(kCondenseFrom, 2 * size_);
  const void* firstLineFeed = std::memchr(bytes_.data(), '\n', size_);
  if (firstLineFeed == nullptr) return;
  const std::size_t headEnd =
      static_cast<std::size_t>(static_cast<const char*>(firstLineFeed) - bytes_.data()) + 1;

  // Four bytes a cluster: in all but output of long clusters, this much after a line feed
  // holds more clusters than the cap keeps, which a look at them proves.
  const std::size_t keep = 4 * capacity_ + 1;
  if (size_ > headEnd + keep) {
    const std::size_t cut = afterLastLineFeed(headEnd, size_ - keep);
    if (cut != 0) {
      Utf8Decoder decoder;
      const std::string kept = decoder.decode(
          std::string_view(bytes_.data() + cut, std::min(size_ - cut, 2 * keep)));
      if (counter_.walk(kept, capacity_ + 1).clusters > capacity_) {
        dropBetween(headEnd, cut);
        return;
      }
    }
  }
  // Otherwise the byte ceiling: decoded text is never shorter than its bytes, so this many
  // bytes after a line feed leave nothing earlier in the buffer.
  if (size_ > headEnd + byteCeiling_) {
    const std::size_t cut = afterLastLineFeed(headEnd, size_ - byteCeiling_);
    if (cut != 0) dropBetween(headEnd, cut);
  }
}

std::string OutputStage::take(Utf8Decoder& decoder) {
  std::string text = decoder.decode(std::string_view(bytes_.data(), size_));
  size_ = 0;
  scanned_ = 0;
  announcement_ = false;
  condenseFrom_ = kCondenseFrom;
  // What a burst grew beyond a flood's working size is given back.
  if (bytes_.size() > 2 * kCondenseFrom) std::vector<char>().swap(bytes_);
  return text;
}

void OutputStage::dropBetween(std::size_t from, std::size_t to) {
  std::memmove(bytes_.data() + from, bytes_.data() + to, size_ - to);
  size_ -= to - from;
  scanned_ = size_;
  condenseFrom_ = kCondenseFrom;
}

std::size_t OutputStage::afterLastLineFeed(std::size_t from, std::size_t to) const {
  if (to <= from) return 0;
  const void* found = ::memrchr(bytes_.data() + from, '\n', to - from);
  return found == nullptr
             ? 0
             : static_cast<std::size_t>(static_cast<const char*>(found) - bytes_.data()) + 1;
}

}  // namespace zvui
