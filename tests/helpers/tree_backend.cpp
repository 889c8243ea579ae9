// A backend whose process tree has the shape HELPER_TREE names (see main); each process appends
// its pid to the file HELPER_PIDS once set up, then waits.
#include <sys/socket.h>

#include <cstdlib>
#include <string>

#include "support/HelperIo.h"

namespace {

[[noreturn]] void settle(bool ignoreTerm) {
  if (ignoreTerm) ::signal(SIGTERM, SIG_IGN);
  helper::appendLine("HELPER_PIDS", std::to_string(::getpid()));
  helper::waitToBeEnded();
}

[[noreturn]] void serve() {
  const helper::Listener listener = helper::listenOnLoopback();
  if (listener.socket < 0) ::_exit(2);
  helper::say("TAMRIK_URL=http://127.0.0.1:" + std::to_string(listener.port) + "/");
  helper::appendLine("HELPER_PIDS", std::to_string(::getpid()));
  ::alarm(60);
  for (char request[4096];;) {
    const int client = ::accept4(listener.socket, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    [[maybe_unused]] const ssize_t got = ::read(client, request, sizeof request);
    helper::writeAll(client,
                     "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n"
                     "Content-Length: 7\r\n\r\nconsole");
    ::close(client);
  }
}

}  // namespace

int main() {
  const std::string tree = ::getenv("HELPER_TREE") != nullptr ? ::getenv("HELPER_TREE") : "";
  if (tree == "child-ignores-term" && ::fork() == 0) settle(true);
  if (tree == "grandchild-ignores-term" && ::fork() == 0 && ::fork() == 0) settle(true);
  if (tree == "child-ignores-term" || tree == "grandchild-ignores-term") settle(false);
  if (tree == "ignores-term") settle(true);
  if (tree == "server") serve();
  if (tree == "reads-stdin") {  // to its end, then as child-ignores-term
    for (char c; ::read(STDIN_FILENO, &c, 1) > 0;) continue;
    if (::fork() == 0) settle(true);
    settle(false);
  }
  return 2;
}
