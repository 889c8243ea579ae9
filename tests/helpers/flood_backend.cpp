// A backend that writes numbered 64-byte log lines as fast as it can, HELPER_FLOOD_BYTES in
// all (rounded down to whole lines; 1 MiB by default), then exits. Line n reads
// "line <n, ten digits> " followed by dots up to the newline.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "HelperIo.h"

namespace {

constexpr std::size_t kLineLength = 64;
constexpr std::size_t kLinesPerWrite = 1024;

void number(char* line, unsigned long long n) {
  for (int digit = 14; digit >= 5; --digit) {
    line[digit] = static_cast<char>('0' + n % 10);
    n /= 10;
  }
}

}  // namespace

int main() {
  const char* requested = ::getenv("HELPER_FLOOD_BYTES");
  const unsigned long long total =
      requested != nullptr ? std::strtoull(requested, nullptr, 10) : 1024ULL * 1024;
  const unsigned long long lines = total / kLineLength;

  std::vector<char> chunk(kLineLength * kLinesPerWrite, '.');
  for (std::size_t i = 0; i < kLinesPerWrite; ++i) {
    char* line = chunk.data() + i * kLineLength;
    std::memcpy(line, "line ", 5);
    line[15] = ' ';
    line[kLineLength - 1] = '\n';
  }
  for (unsigned long long first = 0; first < lines; first += kLinesPerWrite) {
    const std::size_t count =
        static_cast<std::size_t>(std::min<unsigned long long>(kLinesPerWrite, lines - first));
    for (std::size_t i = 0; i < count; ++i) number(chunk.data() + i * kLineLength, first + i);
    const char* data = chunk.data();
    std::size_t left = count * kLineLength;
    while (left > 0) {
      const ssize_t done = ::write(STDOUT_FILENO, data, left);
      if (done <= 0) return 1;
      data += done;
      left -= static_cast<std::size_t>(done);
    }
  }
  return 0;
}
