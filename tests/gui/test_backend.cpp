// A stand-in console backend for the GUI tests. It serves one small page over plain HTTP on
// 127.0.0.1 and announces its address the way a real backend does. Behaviour is chosen by
// the environment, which the app hands on to its backend unchanged:
//   ZVUI_TEST_ANNOUNCE = stdout (default) | stderr
//   ZVUI_TEST_SERVE    = page (default) | refuse (announce a port where nothing listens)
//                        | stall (accept, never answer)
//   ZVUI_TEST_PIDFILE  = a file to write this process's pid into
//   ZVUI_TEST_HITS     = a file that gets one line per page request
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::string env(const char* name, const char* fallback = "") {
  const char* value = std::getenv(name);
  return value != nullptr ? value : fallback;
}

int listenOnLoopback(int& port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(fd, 16) != 0) {
    std::perror("test backend: listen");
    std::exit(2);
  }
  socklen_t length = sizeof address;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  port = ntohs(address.sin_port);
  return fd;
}

void appendLine(const std::string& path, const std::string& line) {
  if (path.empty()) return;
  if (FILE* file = std::fopen(path.c_str(), "a")) {
    std::fprintf(file, "%s\n", line.c_str());
    std::fclose(file);
  }
}

void writeAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

const char kPage[] =
    "<!doctype html><html><head><title>test console</title></head>"
    "<body style=\"margin:0;background:#0b3d2e;color:#e0ffe0;font:32px monospace\">"
    "<div style=\"padding:120px\">test console page</div></body></html>";

void serve(int client, const std::string& hitsFile) {
  std::string request;
  char buffer[4096];
  while (request.find("\r\n\r\n") == std::string::npos) {
    const ssize_t n = ::read(client, buffer, sizeof buffer);
    if (n <= 0) return;
    request.append(buffer, static_cast<std::size_t>(n));
  }
  const std::string target = request.substr(0, request.find("\r\n"));
  const bool root = target.rfind("GET / ", 0) == 0;
  if (root) appendLine(hitsFile, target);
  const std::string body = root ? kPage : "not found";
  writeAll(client, std::string(root ? "HTTP/1.1 200 OK" : "HTTP/1.1 404 Not Found") +
                       "\r\nContent-Type: text/html; charset=utf-8\r\nCache-Control: max-age=3600"
                       "\r\nContent-Length: " + std::to_string(body.size()) +
                       "\r\nConnection: close\r\n\r\n" + body);
}

}  // namespace

int main() {
  appendLine(env("ZVUI_TEST_PIDFILE"), std::to_string(::getpid()));
  const std::string mode = env("ZVUI_TEST_SERVE", "page");

  int port = 0;
  const int server = listenOnLoopback(port);
  if (mode == "refuse") ::close(server);  // the port is free again: connecting is refused

  const std::string line = "TAMRIK_URL=http://127.0.0.1:" + std::to_string(port) + "/\n";
  FILE* stream = env("ZVUI_TEST_ANNOUNCE") == "stderr" ? stderr : stdout;
  std::fputs("test backend starting\n", stream);
  std::fputs(line.c_str(), stream);
  std::fflush(stream);

  if (mode == "refuse") {
    for (;;) ::pause();
  }
  std::vector<int> stalled;
  for (;;) {
    const int client = ::accept4(server, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    if (mode == "stall") {
      stalled.push_back(client);  // held open, never answered
      continue;
    }
    serve(client, env("ZVUI_TEST_HITS"));
    ::close(client);
  }
}
