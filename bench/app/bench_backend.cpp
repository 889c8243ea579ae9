// The backend both windows load in the app benchmark: it announces its address at once and
// serves one page whose load event calls back, so the time of the page's load event can be
// read from outside. Environment:
//   ZVUI_BENCH_LOADED = file that gets one line per load event: CLOCK_MONOTONIC nanoseconds
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "HelperIo.h"

namespace {

long long monotonicNanoseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1'000'000'000LL + now.tv_nsec;
}

const char kPage[] =
    "<!doctype html><html><head><title>bench console</title></head>"
    "<body style=\"margin:0;background:#101418;color:#d0f0d0;font:14px monospace\">"
    "<pre id=\"out\">console</pre><script>"
    "addEventListener('load', () => fetch('/loaded', {cache: 'no-store'}));"
    "</script></body></html>";

void reply(int client, const std::string& status, const std::string& body) {
  const std::string response = "HTTP/1.1 " + status +
                               "\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: " +
                               std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
  [[maybe_unused]] const ssize_t written = ::write(client, response.data(), response.size());
}

}  // namespace

int main() {
  const helper::Listener listener = helper::listenOnLoopback();
  if (listener.socket < 0) return 2;
  const int server = listener.socket;
  std::printf("TAMRIK_URL=http://127.0.0.1:%d/\n", listener.port);
  std::fflush(stdout);

  const char* loadedFile = std::getenv("ZVUI_BENCH_LOADED");
  for (;;) {
    const int client = ::accept4(server, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    std::string request;
    char buffer[4096];
    while (request.find("\r\n\r\n") == std::string::npos) {
      const ssize_t n = ::read(client, buffer, sizeof buffer);
      if (n <= 0) break;
      request.append(buffer, static_cast<std::size_t>(n));
    }
    if (request.rfind("GET /loaded ", 0) == 0) {
      const long long at = monotonicNanoseconds();
      if (loadedFile != nullptr) {
        if (FILE* file = std::fopen(loadedFile, "a")) {
          std::fprintf(file, "%lld\n", at);
          std::fclose(file);
        }
      }
      reply(client, "200 OK", "");
    } else if (request.rfind("GET / ", 0) == 0) {
      reply(client, "200 OK", kPage);
    } else {
      reply(client, "404 Not Found", "");
    }
    ::close(client);
  }
}
