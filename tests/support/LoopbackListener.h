#pragma once
// A listening TCP socket on 127.0.0.1 at a port the kernel picks, for the stand-in servers.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace helper {

// The socket and its port; a socket of -1 when it could not be set up.
struct Listener {
  int socket = -1;
  int port = 0;
};

inline Listener listenOnLoopback() {
  const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (server < 0 || ::bind(server, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      ::listen(server, 16) != 0 ||
      ::getsockname(server, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    if (server >= 0) ::close(server);
    return {};
  }
  return {server, ntohs(address.sin_port)};
}

}  // namespace helper
