#pragma once
// A listening TCP socket on 127.0.0.1 at a port the kernel picks, for the stand-in servers.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace helper {

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
