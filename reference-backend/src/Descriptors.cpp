#include "Descriptors.h"

#include <fcntl.h>

#include <vector>

#include "support/UniqueHandle.h"

namespace tamrik {

bool descriptorsToSpare(std::size_t count) {
  if (count == 0) return true;
  zvui::UniqueFd first(open("/proc/stat", O_RDONLY | O_CLOEXEC));
  if (!first) return false;
  std::vector<zvui::UniqueFd> more;
  more.reserve(count - 1);
  for (std::size_t i = 1; i < count; ++i) {
    more.emplace_back(fcntl(first.get(), F_DUPFD_CLOEXEC, 0));
    if (!more.back()) return false;
  }
  return true;
}

}  // namespace tamrik
