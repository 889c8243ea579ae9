// A backend whose process tree has the shape HELPER_TREE names; each of its processes appends
// its pid to the file HELPER_PIDS once set up, then waits. child-ignores-term: its one child
// ignores TERM. grandchild-ignores-term: so does its grandchild. ignores-term: it does itself.
// server: serves HTTP on 127.0.0.1 and announces that. reads-stdin: reads its input to the end
// and appends "stdin <bytes>" to HELPER_REPORT. announce: talks on both streams, its address
// on standard error.
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
  // The forks return 0 in the process that is to ignore TERM.
  if (tree == "child-ignores-term" && ::fork() == 0) settle(true);
  if (tree == "grandchild-ignores-term" && ::fork() == 0 && ::fork() == 0) settle(true);
  if (tree == "child-ignores-term" || tree == "grandchild-ignores-term") settle(false);
  if (tree == "ignores-term") settle(true);
  if (tree == "server") serve();
  if (tree == "reads-stdin") {
    std::size_t bytes = 0;
    char buffer[256];
    for (ssize_t got; (got = ::read(STDIN_FILENO, buffer, sizeof buffer)) > 0;) bytes += got;
    helper::appendLine("HELPER_REPORT", "stdin " + std::to_string(bytes));
    settle(false);
  }
  if (tree == "announce") {
    helper::say("starting console");
    helper::writeAll(STDERR_FILENO, "TAMRIK_URL=http://127.0.0.1:9/console\n");
    helper::say("ready");
    settle(false);
  }
  return 2;
}
