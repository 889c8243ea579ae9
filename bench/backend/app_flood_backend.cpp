// A backend for the whole-app flood benchmark: it writes FLOOD_BYTES of numbered
// 100-character lines to standard output in 64 KiB writes, either before it announces its
// address (FLOOD_WHEN=before), once the page it serves has been asked for (after, the
// default: while the app reveals it), or 3 s after that (live: the app has settled), and appends the seconds the writing took to FLOOD_TIME_FILE. It then keeps
// serving until it is stopped. Run on its own, into `cat > /dev/null`, it gives the yardstick.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "HelperIo.h"

namespace {

void writeAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n <= 0) std::exit(3);
    data += n;
    size -= static_cast<std::size_t>(n);
  }
}

void flood(unsigned long long bytes, const char* timeFile) {
  constexpr std::size_t kLine = 100, kLinesPerWrite = 655;  // 65,500 bytes a write
  std::vector<char> chunk(kLine * kLinesPerWrite, '.');
  const unsigned long long lines = bytes / kLine;
  char head[32];
  const auto start = std::chrono::steady_clock::now();
  for (unsigned long long first = 0; first < lines; first += kLinesPerWrite) {
    const auto count = static_cast<std::size_t>(std::min<unsigned long long>(kLinesPerWrite, lines - first));
    for (std::size_t i = 0; i < count; ++i) {
      std::snprintf(head, sizeof head, "log line %012llu ", first + i);
      std::memcpy(&chunk[i * kLine], head, 22);
      chunk[i * kLine + kLine - 1] = '\n';
    }
    writeAll(STDOUT_FILENO, chunk.data(), count * kLine);
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (FILE* file = std::fopen(timeFile, "a")) {
    std::fprintf(file, "%.4f\n", seconds);
    std::fclose(file);
  }
}

}  // namespace

int main() {
  const char* size = std::getenv("FLOOD_BYTES");
  const char* when = std::getenv("FLOOD_WHEN");
  const char* timeFile = std::getenv("FLOOD_TIME_FILE");
  if (size == nullptr || timeFile == nullptr) return 2;
  const unsigned long long bytes = std::strtoull(size, nullptr, 10);
  const bool before = when != nullptr && std::strcmp(when, "before") == 0;
  if (before) flood(bytes, timeFile);

  const helper::Listener listener = helper::listenOnLoopback();
  if (listener.socket < 0) return 2;
  const int server = listener.socket;
  const std::string announcement =
      "TAMRIK_URL=http://127.0.0.1:" + std::to_string(listener.port) + "/\n";
  writeAll(STDOUT_FILENO, announcement.data(), announcement.size());

  std::atomic<bool> served{false};
  std::thread serving([&] {
    const char page[] =
        "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: 30\r\n"
        "Connection: close\r\n\r\n<!doctype html><p>flooding</p>";
    for (;;) {
      const int client = ::accept4(server, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) continue;
      char buffer[4096];
      [[maybe_unused]] const ssize_t n = ::read(client, buffer, sizeof buffer);
      writeAll(client, page, sizeof page - 1);
      ::close(client);
      served = true;
    }
  });
  if (!before) {
    // Standing alone there is nobody to ask for the page; the flood starts at once.
    if (std::getenv("FLOOD_ALONE") == nullptr) {
      while (!served) std::this_thread::sleep_for(std::chrono::milliseconds(5));
      // "live": once the app has revealed the page and settled, rather than during the reveal.
      if (when != nullptr && std::strcmp(when, "live") == 0) std::this_thread::sleep_for(std::chrono::seconds(3));
    }
    flood(bytes, timeFile);
  }
  serving.join();
}
