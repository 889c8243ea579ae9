// A stand-in console backend: serves one page over HTTP on 127.0.0.1 and announces its
// address as a real backend does. The environment, which the app hands on, picks the rest:
//   ZVUI_TEST_SERVE    = page (default) | refuse (nothing listens) | stall (never answers)
//                        | blocked (announces a port the web view will not load)
//                        | trickle (sends the page in pieces over about two seconds)
//   ZVUI_TEST_ANNOUNCE = stdout (default) | stderr
//   ZVUI_TEST_LAUNCH   = direct (default) | handoff: a launcher that starts the server and
//                        exits at once; the server announces once the launcher is reaped
//   ZVUI_TEST_PIDFILE  = a file this process's pid is added to, a line each start
//   ZVUI_TEST_TERM     = ignore: only SIGKILL ends it
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "helpers/LoopbackListener.h"

static std::string env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

// Sends the response in pieces, a little at a time, so that the load keeps making progress
// for about two seconds.
static void trickle(int client, const std::string& head, const std::string& page) {
  (void)!::write(client, head.data(), head.size());
  constexpr std::size_t kPieces = 16;
  const std::size_t piece = page.size() / kPieces + 1;
  for (std::size_t at = 0; at < page.size(); at += piece) {
    std::this_thread::sleep_for(std::chrono::milliseconds(125));
    (void)!::write(client, page.data() + at, std::min(piece, page.size() - at));
  }
}

int main() {
  if (env("ZVUI_TEST_LAUNCH") == "handoff") {
    const pid_t launcher = ::getpid();
    if (::fork() != 0) return 0;
    // The server, still on the launcher's output: wait until the launcher is gone and
    // reaped by whoever started it.
    while (::kill(launcher, 0) == 0 || errno != ESRCH)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (env("ZVUI_TEST_TERM") == "ignore") std::signal(SIGTERM, SIG_IGN);
  if (FILE* file = std::fopen(env("ZVUI_TEST_PIDFILE").c_str(), "a")) {
    std::fprintf(file, "%d\n", ::getpid());
    std::fclose(file);
  }
  const helper::Listener listener = helper::listenOnLoopback();
  if (listener.socket < 0) return 2;
  const int server = listener.socket;
  const std::string mode = env("ZVUI_TEST_SERVE");
  if (mode == "refuse") ::close(server);  // the port is free again: connecting is refused

  FILE* stream = env("ZVUI_TEST_ANNOUNCE") == "stderr" ? stderr : stdout;
  std::fprintf(stream, "test backend starting\nTAMRIK_URL=http://127.0.0.1:%d/\n",
               mode == "blocked" ? 9 : listener.port);
  std::fflush(stream);
  // A stalled server leaves connections in the listen queue, never read or answered.
  if (mode == "refuse" || mode == "stall" || mode == "blocked")
    for (;;) ::pause();

  std::string page =
      "<!doctype html><title>test console</title><body style=\"background:#0b3d2e\">console";
  if (mode == "trickle") page += "<!--" + std::string(256 * 1024, '.') + "-->";
  const std::string head = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: " +
                           std::to_string(page.size()) + "\r\nConnection: close\r\n\r\n";
  const std::string response = head + page;
  for (;;) {
    const int client = ::accept4(server, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    std::string request;
    char buffer[4096];
    for (ssize_t n;
         !request.ends_with("\r\n\r\n") && (n = ::read(client, buffer, sizeof buffer)) > 0;) {
      request.append(buffer, static_cast<std::size_t>(n));
    }
    if (request.ends_with("\r\n\r\n")) {
      if (mode == "trickle")
        trickle(client, head, page);
      else
        (void)!::write(client, response.data(), response.size());
    }
    ::close(client);
  }
}
