#include "support/RegularFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "support/UniqueHandle.h"

namespace zvui {

std::optional<std::string> readRegularFile(const std::filesystem::path& path,
                                           std::size_t maxBytes) {
  // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer.
  const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (!fd) return std::nullopt;
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;

  // The size is a hint only: files in /proc report 0 and files may change as we read.
  std::string contents;
  const auto hint = static_cast<std::size_t>(std::max<off_t>(info.st_size, 0));
  if (hint > maxBytes) return std::nullopt;
  contents.reserve(hint + 1);
  char chunk[64 * 1024];
  for (;;) {
    const ssize_t got = ::read(fd.get(), chunk, sizeof chunk);
    if (got == 0) break;
    if (got < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    if (static_cast<std::size_t>(got) > maxBytes - contents.size()) return std::nullopt;
    contents.append(chunk, static_cast<std::size_t>(got));
  }
  return contents;
}

}  // namespace zvui
