#pragma once
// For the helper programs and stand-in servers: plain write(2), so the two streams interleave
// in call order, and a listening socket on 127.0.0.1 at a port the kernel picks.
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <string_view>

namespace helper {

inline void writeAll(int fd, std::string_view text) {
  [[maybe_unused]] auto n = ::write(fd, text.data(), text.size());
}
inline void say(const std::string& line) { writeAll(STDOUT_FILENO, line + "\n"); }

// One that a failing test left behind ends within a minute.
[[noreturn]] inline void waitToBeEnded() {
  for (::alarm(60);;) ::pause();
}

inline void appendLine(const char* variable, const std::string& line) {
  const char* path = ::getenv(variable);
  const int file = path ? ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644) : -1;
  if (file < 0) return;
  writeAll(file, line + "\n");
  ::close(file);
}

inline bool environmentSays(const char* name, const char* value) {
  return ::getenv(name) != nullptr && std::strcmp(::getenv(name), value) == 0;
}

struct Listener {
  int socket = -1;  // -1 when it could not be set up
  int port = 0;
};

inline Listener listenOnLoopback() {
  const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{
      .sin_family = AF_INET, .sin_port = 0, .sin_addr = {htonl(INADDR_LOOPBACK)}, .sin_zero = {}};
  socklen_t length = sizeof address;
  auto* raw = reinterpret_cast<sockaddr*>(&address);
  if (server >= 0 && ::bind(server, raw, length) == 0 && ::listen(server, 16) == 0 &&
      ::getsockname(server, raw, &length) == 0)
    return {server, ntohs(address.sin_port)};
  if (server >= 0) ::close(server);
  return {};
}

}  // namespace helper
