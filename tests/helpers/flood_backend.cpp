// A backend that writes numbered 64-byte lines as fast as it can, 64 KiB a write,
// HELPER_FLOOD_BYTES in all (whole lines; 1 MiB by default), then exits. Line n reads
// "line <n, ten digits> " followed by dots up to the newline.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "support/HelperIo.h"

int main() {
  constexpr std::size_t kLine = 64;
  constexpr std::size_t kLinesPerWrite = 1024;
  const char* requested = ::getenv("HELPER_FLOOD_BYTES");
  const unsigned long long lines =
      (requested != nullptr ? std::strtoull(requested, nullptr, 10) : 1024ULL * 1024) / kLine;
  std::vector<char> chunk(kLine * kLinesPerWrite, '.');
  char head[32];
  for (unsigned long long first = 0; first < lines; first += kLinesPerWrite) {
    const auto count =
        static_cast<std::size_t>(std::min<unsigned long long>(kLinesPerWrite, lines - first));
    for (std::size_t i = 0; i < count; ++i) {
      std::snprintf(head, sizeof head, "line %010llu ", first + i);
      std::memcpy(&chunk[i * kLine], head, 16);
      chunk[i * kLine + kLine - 1] = '\n';
    }
    helper::writeAll(STDOUT_FILENO, {chunk.data(), count * kLine});
  }
}
