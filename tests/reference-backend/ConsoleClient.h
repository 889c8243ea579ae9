#pragma once

// A real client for MacTamrikBackend: starts the program, speaks HTTP and WebSocket to it
// over 127.0.0.1 with libsoup, on a private GMainContext that callers iterate with deadlines.

#include <libsoup/soup.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

namespace tamrik::test {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Iterates the thread-default context until `done` holds or `timeout` passes.
bool pumpUntil(const std::function<bool()>& done, milliseconds timeout);

// A running backend. The destructor kills it (and waits) if it is still running.
class BackendProcess {
 public:
  // Environment changes: a value sets the variable, nullopt removes it.
  using EnvChanges = std::map<std::string, std::optional<std::string>>;

  static std::unique_ptr<BackendProcess> start(const std::string& path, const EnvChanges& env);
  ~BackendProcess();

  // Reads standard output until the first line (or EOF, or the deadline); "" if none.
  std::string readLine(milliseconds timeout);
  // Waits for exit; the raw wait status, or nullopt when it is still running at the deadline.
  std::optional<int> waitExit(milliseconds timeout);
  std::string readAllStderr();
  void signal(int sig) const;
  [[nodiscard]] pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  int err_ = -1;
  bool exited_ = false;
  std::string outBuffer_;
};

struct Announcement {
  std::string url;  // the full announced URL
  std::string base; // http://127.0.0.1:PORT
  std::string token;
  int port = 0;
};
std::optional<Announcement> parseAnnouncement(const std::string& line);

struct HttpResult {
  guint status = 0;
  std::string body;
  std::multimap<std::string, std::string> headers;
  [[nodiscard]] std::string header(const std::string& name) const;
};

// One libsoup session on its own main context (pushed as thread-default for its lifetime).
class ConsoleClient {
 public:
  explicit ConsoleClient(Announcement announcement);
  ~ConsoleClient();
  ConsoleClient(const ConsoleClient&) = delete;
  ConsoleClient& operator=(const ConsoleClient&) = delete;

  // GET without following redirects; extra request headers as given.
  HttpResult get(const std::string& url, const std::map<std::string, std::string>& headers = {});
  // Exchanges the launch token for the session cookie ("name=value"); "" on failure.
  std::string logIn();

  // Opens a WebSocket on `path` of our own origin, with `cookie`. On refusal returns nullptr
  // and sets `status` to the HTTP status the server answered.
  SoupWebsocketConnection* openSocket(const std::string& path, const std::string& cookie,
                                      guint* status = nullptr);

  [[nodiscard]] const Announcement& announcement() const { return announcement_; }

 private:
  Announcement announcement_;
  GMainContext* context_;
  SoupSession* session_;
};

// A terminal session over /term: collects what the shell prints and acknowledges it as a
// page would (unless told not to).
class TerminalClient {
 public:
  TerminalClient(SoupWebsocketConnection* socket, bool acknowledge = true);
  ~TerminalClient();
  TerminalClient(const TerminalClient&) = delete;
  TerminalClient& operator=(const TerminalClient&) = delete;

  void send(const std::string& bytes);
  void resize(int cols, int rows);
  void close();
  // Waits until the output seen since `from` contains `needle`; its end offset, or nullopt.
  std::optional<std::size_t> waitFor(const std::string& needle, milliseconds timeout,
                                     std::size_t from = 0);
  bool waitClosed(milliseconds timeout);

  [[nodiscard]] const std::string& output() const { return output_; }
  [[nodiscard]] std::size_t received() const { return received_; }
  [[nodiscard]] bool closed() const { return closed_; }
  [[nodiscard]] SoupWebsocketConnection* socket() const { return socket_; }

 private:
  static void onMessage(SoupWebsocketConnection*, gint type, GBytes* message, gpointer self);
  static void onClosed(SoupWebsocketConnection*, gpointer self);

  SoupWebsocketConnection* socket_;
  bool acknowledge_;
  std::string output_;
  std::size_t received_ = 0;
  bool closed_ = false;
  gulong messageHandler_ = 0;
  gulong closedHandler_ = 0;
};

// Sends one raw HTTP request over a fresh TCP connection and returns the status code of the
// answer (0 when none came). For header combinations an ordinary client would not send.
int rawRequestStatus(int port, const std::string& request, milliseconds timeout);

// A blocking TCP connection to 127.0.0.1:port (-1 on failure), and the status code of the
// HTTP answer read from it (0 when none came in time).
int connectLoopback(int port);
int readStatus(int fd, milliseconds timeout);

// Whether a process with this pid still exists (zombies count as gone).
bool processAlive(pid_t pid);

// A TCP port that was free a moment ago.
int freePort();

}  // namespace tamrik::test
