// A backend with a process tree of the shape HELPER_TREE names. Every process of the tree
// appends its pid to the file HELPER_PIDS (one a line) once it is set up, then waits to be
// ended:
//   child-ignores-term       obeys TERM; its one child ignores TERM
//   grandchild-ignores-term  obeys TERM; its child obeys TERM; the grandchild ignores it
//   ignores-term             ignores TERM, no children
//   server                   an HTTP server on 127.0.0.1 that obeys TERM and announces itself
//   reads-stdin              reads its standard input to the end, appends "stdin <bytes>"
//                            to HELPER_REPORT, then waits
#include <sys/socket.h>

#include <cstdlib>
#include <string>

#include "support/HelperIo.h"
#include "support/LoopbackListener.h"

namespace {

[[noreturn]] void settle(bool ignoreTerm) {
  if (ignoreTerm) ::signal(SIGTERM, SIG_IGN);
  helper::appendLine("HELPER_PIDS", std::to_string(::getpid()));
  helper::waitToBeEnded();
}

// Forks a process that runs `body`; returns in the parent.
template <typename Body>
void fork(Body body) {
  if (::fork() == 0) body();
}

[[noreturn]] void serve() {
  const helper::Listener listener = helper::listenOnLoopback();
  if (listener.socket < 0) ::_exit(2);
  const int server = listener.socket;
  helper::say("TAMRIK_URL=http://127.0.0.1:" + std::to_string(listener.port) + "/");
  helper::appendLine("HELPER_PIDS", std::to_string(::getpid()));
  ::alarm(60);
  const std::string response =
      "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\nContent-Length: 7\r\n\r\nconsole";
  for (;;) {
    const int client = ::accept4(server, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    char request[4096];
    [[maybe_unused]] const ssize_t got = ::read(client, request, sizeof request);
    helper::writeAll(client, response);
    ::close(client);
  }
}

}  // namespace

int main() {
  const char* shape = ::getenv("HELPER_TREE");
  const std::string tree = shape != nullptr ? shape : "";
  if (tree == "child-ignores-term") {
    fork([] { settle(true); });
    settle(false);
  }
  if (tree == "grandchild-ignores-term") {
    fork([] {
      fork([] { settle(true); });
      settle(false);
    });
    settle(false);
  }
  if (tree == "ignores-term") settle(true);
  if (tree == "server") serve();
  if (tree == "reads-stdin") {
    std::size_t bytes = 0;
    char buffer[256];
    for (ssize_t got; (got = ::read(STDIN_FILENO, buffer, sizeof buffer)) > 0;) {
      bytes += static_cast<std::size_t>(got);
    }
    helper::appendLine("HELPER_REPORT", "stdin " + std::to_string(bytes));
    settle(false);
  }
  return 2;
}
