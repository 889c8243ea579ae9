// A stand-in console backend: serves one page over HTTP on 127.0.0.1 and announces its
// address as a real backend does. The environment, which the app hands on, picks the rest:
//   ZVUI_TEST_SERVE    = page (default) | refuse (nothing listens) | stall (never answers)
//   ZVUI_TEST_ANNOUNCE = stdout (default) | stderr
//   ZVUI_TEST_PIDFILE  = a file this process's pid is added to, a line each start
//   ZVUI_TEST_TERM     = ignore: only SIGKILL ends it
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

static std::string env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

int main() {
  if (env("ZVUI_TEST_TERM") == "ignore") std::signal(SIGTERM, SIG_IGN);
  if (FILE* file = std::fopen(env("ZVUI_TEST_PIDFILE").c_str(), "a")) {
    std::fprintf(file, "%d\n", ::getpid());
    std::fclose(file);
  }
  const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(server, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      ::listen(server, 16) != 0 ||
      ::getsockname(server, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return 2;
  }
  const std::string mode = env("ZVUI_TEST_SERVE");
  if (mode == "refuse") ::close(server);  // the port is free again: connecting is refused

  FILE* stream = env("ZVUI_TEST_ANNOUNCE") == "stderr" ? stderr : stdout;
  std::fprintf(stream, "test backend starting\nTAMRIK_URL=http://127.0.0.1:%d/\n",
               ntohs(address.sin_port));
  std::fflush(stream);
  // A stalled server leaves connections in the listen queue, never read or answered.
  if (mode == "refuse" || mode == "stall")
    for (;;) ::pause();

  const std::string page =
      "<!doctype html><title>test console</title><body style=\"background:#0b3d2e\">console";
  const std::string response = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: " +
                               std::to_string(page.size()) + "\r\nConnection: close\r\n\r\n" + page;
  for (;;) {
    const int client = ::accept4(server, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    std::string request;
    char buffer[4096];
    for (ssize_t n;
         !request.ends_with("\r\n\r\n") && (n = ::read(client, buffer, sizeof buffer)) > 0;) {
      request.append(buffer, static_cast<std::size_t>(n));
    }
    if (request.ends_with("\r\n\r\n")) (void)!::write(client, response.data(), response.size());
    ::close(client);
  }
}
