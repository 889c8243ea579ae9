#include "ConsoleClient.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <vector>

extern char** environ;

namespace tamrik::test {

bool pumpUntil(const std::function<bool()>& done, milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  GMainContext* context = g_main_context_get_thread_default();
  while (!done()) {
    if (Clock::now() >= deadline) return done();
    // Wake up now and then to look at the clock even when nothing happens.
    GSource* tick = g_timeout_source_new(10);
    g_source_set_callback(tick, [](gpointer) -> gboolean { return G_SOURCE_CONTINUE; }, nullptr,
                          nullptr);
    g_source_attach(tick, context);
    g_main_context_iteration(context, TRUE);
    g_source_destroy(tick);
    g_source_unref(tick);
  }
  return true;
}

// ---- BackendProcess -------------------------------------------------------------------------

std::unique_ptr<BackendProcess> BackendProcess::start(const std::string& path,
                                                      const EnvChanges& changes) {
  std::vector<std::string> env;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    std::string item(*entry);
    if (changes.count(item.substr(0, item.find('='))) == 0) env.push_back(item);
  }
  for (const auto& [name, value] : changes) {
    if (value) env.push_back(name + "=" + *value);
  }
  std::vector<char*> envp;
  for (auto& item : env) envp.push_back(item.data());
  envp.push_back(nullptr);

  int out[2];
  int err[2];
  if (pipe2(out, O_CLOEXEC) != 0) return nullptr;
  if (pipe2(err, O_CLOEXEC) != 0) {
    close(out[0]);
    close(out[1]);
    return nullptr;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
  std::string program = path;
  char* argv[] = {program.data(), nullptr};
  auto process = std::make_unique<BackendProcess>();
  int rc = posix_spawn(&process->pid_, path.c_str(), &actions, nullptr, argv, envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  close(err[1]);
  process->out_ = out[0];
  process->err_ = err[0];
  if (rc != 0) {
    process->pid_ = -1;
    return nullptr;
  }
  return process;
}

BackendProcess::~BackendProcess() {
  if (pid_ > 0 && !exited_) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (out_ >= 0) close(out_);
  if (err_ >= 0) close(err_);
}

std::string BackendProcess::readLine(milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (outBuffer_.find('\n') == std::string::npos) {
    auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return {};
    pollfd fd{out_, POLLIN, 0};
    if (poll(&fd, 1, static_cast<int>(left)) <= 0) continue;
    char buffer[4096];
    ssize_t got = read(out_, buffer, sizeof buffer);
    if (got <= 0) return {};
    outBuffer_.append(buffer, static_cast<std::size_t>(got));
  }
  auto end = outBuffer_.find('\n');
  std::string line = outBuffer_.substr(0, end + 1);
  outBuffer_.erase(0, end + 1);
  return line;
}

std::optional<int> BackendProcess::waitExit(milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (true) {
    int status = 0;
    pid_t got = waitpid(pid_, &status, WNOHANG);
    if (got == pid_) {
      exited_ = true;
      return status;
    }
    if (Clock::now() >= deadline) return std::nullopt;
    usleep(2000);  // polling a child's exit; there is no event to wait on here
  }
}

std::string BackendProcess::readAllStderr() {
  std::string text;
  char buffer[4096];
  pollfd fd{err_, POLLIN, 0};
  while (poll(&fd, 1, 1000) > 0) {
    ssize_t got = read(err_, buffer, sizeof buffer);
    if (got <= 0) break;
    text.append(buffer, static_cast<std::size_t>(got));
  }
  return text;
}

void BackendProcess::signal(int sig) const { kill(pid_, sig); }

std::optional<Announcement> parseAnnouncement(const std::string& line) {
  // TAMRIK_URL=http://127.0.0.1:PORT/?token=<32 lower-case hex digits>, then one newline.
  const std::string head = "TAMRIK_URL=http://127.0.0.1:";
  const std::string mid = "/?token=";
  if (line.rfind(head, 0) != 0 || line.empty() || line.back() != '\n') return std::nullopt;
  const auto portEnd = line.find(mid, head.size());
  if (portEnd == std::string::npos || portEnd == head.size() || portEnd - head.size() > 5) {
    return std::nullopt;
  }
  const std::string port = line.substr(head.size(), portEnd - head.size());
  const std::string token = line.substr(portEnd + mid.size(), line.size() - 1 - portEnd - mid.size());
  auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
  auto isHex = [&](char c) { return isDigit(c) || (c >= 'a' && c <= 'f'); };
  if (!std::all_of(port.begin(), port.end(), isDigit) || token.size() != 32 ||
      !std::all_of(token.begin(), token.end(), isHex)) {
    return std::nullopt;
  }
  Announcement a;
  a.url = line.substr(11, line.size() - 12);
  a.base = "http://127.0.0.1:" + port;
  a.port = std::stoi(port);
  a.token = token;
  return a;
}

// ---- ConsoleClient --------------------------------------------------------------------------

std::string HttpResult::header(const std::string& name) const {
  auto it = headers.find(name);
  return it == headers.end() ? std::string() : it->second;
}

ConsoleClient::ConsoleClient(Announcement announcement)
    : announcement_(std::move(announcement)), context_(g_main_context_new()) {
  g_main_context_push_thread_default(context_);
  session_ = soup_session_new();
  soup_session_set_timeout(session_, 10);
  soup_session_set_idle_timeout(session_, 0);
}

ConsoleClient::~ConsoleClient() {
  soup_session_abort(session_);
  g_object_unref(session_);
  // Let pending callbacks of the aborted operations run before the context goes.
  while (g_main_context_iteration(context_, FALSE)) {
  }
  g_main_context_pop_thread_default(context_);
  g_main_context_unref(context_);
}

HttpResult ConsoleClient::get(const std::string& url,
                              const std::map<std::string, std::string>& headers) {
  SoupMessage* message = soup_message_new("GET", url.c_str());
  soup_message_add_flags(message, SOUP_MESSAGE_NO_REDIRECT);
  for (const auto& [name, value] : headers) {
    soup_message_headers_replace(soup_message_get_request_headers(message), name.c_str(),
                                 value.c_str());
  }
  struct Pending {
    GBytes* body = nullptr;
    bool done = false;
  } pending;
  soup_session_send_and_read_async(
      session_, message, G_PRIORITY_DEFAULT, nullptr,
      [](GObject* source, GAsyncResult* result, gpointer data) {
        auto* p = static_cast<Pending*>(data);
        p->body = soup_session_send_and_read_finish(SOUP_SESSION(source), result, nullptr);
        p->done = true;
      },
      &pending);
  pumpUntil([&] { return pending.done; }, std::chrono::seconds(10));
  HttpResult result;
  result.status = soup_message_get_status(message);
  if (pending.body != nullptr) {
    gsize size = 0;
    const auto* data = static_cast<const char*>(g_bytes_get_data(pending.body, &size));
    result.body.assign(data, size);
    g_bytes_unref(pending.body);
  }
  SoupMessageHeadersIter iter;
  soup_message_headers_iter_init(&iter, soup_message_get_response_headers(message));
  const char* name = nullptr;
  const char* value = nullptr;
  while (soup_message_headers_iter_next(&iter, &name, &value)) result.headers.emplace(name, value);
  g_object_unref(message);
  return result;
}

std::string ConsoleClient::logIn() {
  HttpResult answer = get(announcement_.url);
  std::string cookie = answer.header("Set-Cookie");
  return cookie.substr(0, cookie.find(';'));
}

SoupWebsocketConnection* ConsoleClient::openSocket(const std::string& path,
                                                   const std::string& cookie, guint* status) {
  const std::string url = "ws://127.0.0.1:" + std::to_string(announcement_.port) + path;
  SoupMessage* message = soup_message_new("GET", url.c_str());
  if (!cookie.empty()) {
    soup_message_headers_replace(soup_message_get_request_headers(message), "Cookie",
                                 cookie.c_str());
  }
  struct Pending {
    SoupWebsocketConnection* socket = nullptr;
    bool done = false;
  } pending;
  soup_session_websocket_connect_async(
      session_, message, announcement_.base.c_str(), nullptr, G_PRIORITY_DEFAULT, nullptr,
      [](GObject* source, GAsyncResult* result, gpointer data) {
        auto* p = static_cast<Pending*>(data);
        p->socket = soup_session_websocket_connect_finish(SOUP_SESSION(source), result, nullptr);
        p->done = true;
      },
      &pending);
  pumpUntil([&] { return pending.done; }, std::chrono::seconds(10));
  if (status != nullptr) *status = soup_message_get_status(message);
  g_object_unref(message);
  return pending.socket;
}

// ---- TerminalClient -------------------------------------------------------------------------

TerminalClient::TerminalClient(SoupWebsocketConnection* socket, bool acknowledge)
    : socket_(socket), acknowledge_(acknowledge) {
  messageHandler_ = g_signal_connect(socket_, "message", G_CALLBACK(&TerminalClient::onMessage), this);
  closedHandler_ = g_signal_connect(socket_, "closed", G_CALLBACK(&TerminalClient::onClosed), this);
}

TerminalClient::~TerminalClient() {
  g_signal_handler_disconnect(socket_, messageHandler_);
  g_signal_handler_disconnect(socket_, closedHandler_);
  if (!closed_) {
    soup_websocket_connection_close(socket_, SOUP_WEBSOCKET_CLOSE_NORMAL, nullptr);
  }
  g_object_unref(socket_);
}

void TerminalClient::onMessage(SoupWebsocketConnection*, gint type, GBytes* message,
                               gpointer self) {
  auto* client = static_cast<TerminalClient*>(self);
  if (type != SOUP_WEBSOCKET_DATA_BINARY) return;
  gsize size = 0;
  const auto* data = static_cast<const char*>(g_bytes_get_data(message, &size));
  client->output_.append(data, size);
  client->received_ += size;
  if (client->acknowledge_ &&
      soup_websocket_connection_get_state(client->socket_) == SOUP_WEBSOCKET_STATE_OPEN) {
    const std::string ack = R"({"type":"ack","bytes":)" + std::to_string(size) + "}";
    soup_websocket_connection_send_text(client->socket_, ack.c_str());
  }
}

void TerminalClient::onClosed(SoupWebsocketConnection*, gpointer self) {
  static_cast<TerminalClient*>(self)->closed_ = true;
}

void TerminalClient::send(const std::string& bytes) {
  soup_websocket_connection_send_binary(socket_, bytes.data(), bytes.size());
}

void TerminalClient::resize(int cols, int rows) {
  const std::string message = R"({"type":"resize","cols":)" + std::to_string(cols) +
                              R"(,"rows":)" + std::to_string(rows) + "}";
  soup_websocket_connection_send_text(socket_, message.c_str());
}

void TerminalClient::close() {
  soup_websocket_connection_close(socket_, SOUP_WEBSOCKET_CLOSE_NORMAL, nullptr);
}

std::optional<std::size_t> TerminalClient::waitFor(const std::string& needle,
                                                   milliseconds timeout, std::size_t from) {
  std::optional<std::size_t> found;
  pumpUntil(
      [&] {
        auto at = output_.find(needle, from);
        if (at != std::string::npos) found = at + needle.size();
        return found.has_value();
      },
      timeout);
  return found;
}

bool TerminalClient::waitClosed(milliseconds timeout) {
  return pumpUntil([&] { return closed_; }, timeout);
}

// ---- plain sockets and processes ------------------------------------------------------------

int connectLoopback(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

int readStatus(int fd, milliseconds timeout) {
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(timeout.count() / 1000);
  tv.tv_usec = static_cast<suseconds_t>((timeout.count() % 1000) * 1000);
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  std::string answer;
  char buffer[1024];
  while (answer.find("\r\n") == std::string::npos) {
    ssize_t got = read(fd, buffer, sizeof buffer);
    if (got <= 0) break;
    answer.append(buffer, static_cast<std::size_t>(got));
  }
  if (answer.rfind("HTTP/1.1 ", 0) != 0 || answer.size() < 12) return 0;
  return std::atoi(answer.c_str() + 9);
}

int rawRequestStatus(int port, const std::string& request, milliseconds timeout) {
  const int fd = connectLoopback(port);
  if (fd < 0) return 0;
  int status = 0;
  if (write(fd, request.data(), request.size()) == static_cast<ssize_t>(request.size())) {
    status = readStatus(fd, timeout);
  }
  close(fd);
  return status;
}

bool processAlive(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  if (!stat) return false;
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  auto close = text.rfind(')');
  return close != std::string::npos && close + 2 < text.size() && text[close + 2] != 'Z';
}

int freePort() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  close(fd);
  return ntohs(address.sin_port);
}

}  // namespace tamrik::test
