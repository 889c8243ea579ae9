// Writes HELPER_FLOOD_BYTES (1 MiB by default) of 64-byte lines, 64 KiB a write, and exits.
// Line n is "line <n, ten digits> ", dots, and a line feed.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "support/HelperIo.h"

int main() {
  constexpr std::size_t kLine = 64, kLinesPerWrite = 1024;
  const char* requested = ::getenv("HELPER_FLOOD_BYTES");
  const std::size_t lines = (requested ? std::strtoull(requested, nullptr, 10) : 1 << 20) / kLine;
  std::vector<char> chunk(kLine * kLinesPerWrite, '.');
  for (std::size_t first = 0; first < lines; first += kLinesPerWrite) {
    const std::size_t count = std::min(kLinesPerWrite, lines - first);
    for (std::size_t i = 0; i < count; ++i) {
      // 16 characters, then a NUL that the dots overwrite; numbers wrap at ten digits.
      std::snprintf(&chunk[i * kLine], 17, "line %010zu ", (first + i) % 10'000'000'000);
      chunk[i * kLine + 16] = '.';
      chunk[i * kLine + kLine - 1] = '\n';
    }
    helper::writeAll(STDOUT_FILENO, {chunk.data(), count * kLine});
  }
}
