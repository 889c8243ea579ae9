#pragma once
// A real client for MacTamrikBackend: starts the program and speaks HTTP and WebSocket to it
// over 127.0.0.1 with libsoup, on a private GMainContext that callers iterate with deadlines.
#include <arpa/inet.h>
#include <libsoup/soup.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "support/ChildProcess.h"
#include "support/GlibWait.h"
#include "support/TestFiles.h"

namespace tamrik::test {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using zvui::GObjectPtr;
using zvui::UniqueFd;
using zvui::test::iterateUntil;
using BackendProcess = zvui::test::ChildProcess;

struct Announcement {
  std::string url, base, token;  // base: http://127.0.0.1:PORT
  int port = 0;
};

// Accepts exactly "TAMRIK_URL=http://127.0.0.1:PORT/?token=<32 lower-case hex>\n".
inline std::optional<Announcement> parseAnnouncement(const std::string& line) {
  constexpr std::string_view prefix = "TAMRIK_URL=http://127.0.0.1:";
  const std::size_t slash = line.find("/?token="), hex = slash + 8;
  if (!line.starts_with(prefix) || slash - prefix.size() - 1 > 4 ||
      line.find_first_not_of("0123456789", prefix.size()) != slash || line.size() != hex + 33 ||
      line.find_first_not_of("0123456789abcdef", hex) != hex + 32 || line.back() != '\n')
    return {};
  const std::string url = line.substr(11, line.size() - 12);
  return Announcement{url, url.substr(0, slash - 11), line.substr(hex, 32),
                      std::stoi(line.substr(prefix.size()))};
}

// One libsoup session on its own main context, pushed as thread-default for its lifetime.
class ConsoleClient {
 public:
  explicit ConsoleClient(Announcement announcement)
      : announcement_(std::move(announcement)), context_(g_main_context_new()) {
    g_main_context_push_thread_default(context_);
    // Loopback only: no proxy look-up, which would ask the desktop's settings over the bus.
    session_ = GObjectPtr<SoupSession>::adopt(soup_session_new_with_options(
        "timeout", 10, "idle-timeout", 0, "proxy-resolver", nullptr, nullptr));
  }
  ~ConsoleClient() {
    soup_session_abort(session_.get());
    session_.reset();
    while (g_main_context_iteration(context_, FALSE)) continue;  // the aborted callbacks
    g_main_context_pop_thread_default(context_);
    g_main_context_unref(context_);
  }

  // Trades the launch token for the session cookie ("name=value"); "" on failure.
  std::string logIn() {
    const auto message =
        GObjectPtr<SoupMessage>::adopt(soup_message_new("GET", announcement_.url.c_str()));
    soup_message_add_flags(message.get(), SOUP_MESSAGE_NO_REDIRECT);
    const zvui::GlibBytes body(
        soup_session_send_and_read(session_.get(), message.get(), nullptr, nullptr));
    const char* cookie = soup_message_headers_get_one(
        soup_message_get_response_headers(message.get()), "Set-Cookie");
    return cookie != nullptr ? std::string(cookie, std::strcspn(cookie, ";")) : "";
  }

  // A WebSocket on `path` from our own origin; nullptr when refused.
  SoupWebsocketConnection* openSocket(const std::string& path, const std::string& cookie) {
    const std::string url = "ws://127.0.0.1:" + std::to_string(announcement_.port) + path;
    const auto message = GObjectPtr<SoupMessage>::adopt(soup_message_new("GET", url.c_str()));
    soup_message_headers_replace(soup_message_get_request_headers(message.get()), "Cookie",
                                 cookie.c_str());
    std::optional<SoupWebsocketConnection*> socket;
    soup_session_websocket_connect_async(
        session_.get(), message.get(), announcement_.base.c_str(), nullptr, G_PRIORITY_DEFAULT,
        nullptr,
        [](GObject* session, GAsyncResult* result, gpointer out) {
          *static_cast<std::optional<SoupWebsocketConnection*>*>(out) =
              soup_session_websocket_connect_finish(SOUP_SESSION(session), result, nullptr);
        },
        &socket);
    iterateUntil([&] { return socket.has_value(); }, std::chrono::seconds(10));
    return socket.value_or(nullptr);
  }

 private:
  Announcement announcement_;
  GMainContext* context_;
  GObjectPtr<SoupSession> session_;
};

// Owns a WebSocket and collects what arrives: binary frames as terminal output (acknowledged
// as a page would, unless told not to), text frames as messages.
class SocketClient {
 public:
  explicit SocketClient(SoupWebsocketConnection* socket, bool acknowledge = true)
      : socket_(GObjectPtr<SoupWebsocketConnection>::adopt(socket)), acknowledge_(acknowledge) {
    auto onMessage = +[](SoupWebsocketConnection* ws, gint type, GBytes* message, gpointer self) {
      auto& client = *static_cast<SocketClient*>(self);
      gsize size = 0;
      const auto* bytes = static_cast<const char*>(g_bytes_get_data(message, &size));
      const std::string_view data(bytes, size);
      constexpr std::string_view ack = R"({"type":"ack","bytes":)";
      if (type == SOUP_WEBSOCKET_DATA_TEXT && data.starts_with(ack)) {
        client.inputAcked_ += std::strtoull(data.data() + ack.size(), nullptr, 10);
      } else if (type == SOUP_WEBSOCKET_DATA_TEXT) {
        client.texts_.emplace_back(data);
      } else {
        client.output_ += data;
        if (client.acknowledge_ &&
            soup_websocket_connection_get_state(ws) == SOUP_WEBSOCKET_STATE_OPEN)
          client.sendText(std::string(ack) + std::to_string(size) + "}");
      }
    };
    g_signal_connect(socket, "message", G_CALLBACK(onMessage), this);
    g_signal_connect_swapped(socket, "closed",
                             G_CALLBACK(+[](SocketClient* self) { self->closed_ = true; }), this);
  }
  ~SocketClient() {
    g_signal_handlers_disconnect_by_data(socket_.get(), this);
    if (!closed_)
      soup_websocket_connection_close(socket_.get(), SOUP_WEBSOCKET_CLOSE_NORMAL, nullptr);
  }

  void send(const std::string& b) {
    soup_websocket_connection_send_binary(socket_.get(), b.data(), b.size());
    inputSent_ += b.size();
  }
  // Any bytes as one text frame, valid UTF-8 or not.
  void sendText(const std::string& text) {
    const zvui::GlibBytes message(g_bytes_new(text.data(), text.size()));
    soup_websocket_connection_send_message(socket_.get(), SOUP_WEBSOCKET_DATA_TEXT, message.get());
  }
  // Sends `data` as the page does: in 64 KiB messages, with no more than `window` bytes
  // unacknowledged by the backend. False when the backend stopped acknowledging in time.
  bool paste(const std::string& data, milliseconds timeout, std::size_t window = 256 * 1024) {
    const auto deadline = Clock::now() + timeout;
    for (std::size_t at = 0, size; at < data.size(); at += size) {
      auto roomy = [&] { return closed_ || inputSent_ - inputAcked_ < window; };
      if (!iterateUntil(roomy, std::chrono::duration_cast<milliseconds>(deadline - Clock::now())) ||
          closed_)
        return false;
      size = std::min<std::size_t>(64 * 1024, data.size() - at);
      send(data.substr(at, size));
    }
    return true;
  }

  // Waits until output after `from` contains `needle`; the offset just past it, or nullopt.
  std::optional<std::size_t> waitFor(const std::string& needle, milliseconds timeout,
                                     std::size_t from = 0) {
    std::size_t at = std::string::npos;
    iterateUntil([&] { return (at = output_.find(needle, from)) != std::string::npos; }, timeout);
    return at == std::string::npos ? std::nullopt : std::optional(at + needle.size());
  }

  const std::string& output() const { return output_; }
  std::size_t received() const { return output_.size(); }
  const std::vector<std::string>& texts() const { return texts_; }
  bool closed() const { return closed_; }
  int closeCode() const { return soup_websocket_connection_get_close_code(socket_.get()); }

 private:
  GObjectPtr<SoupWebsocketConnection> socket_;
  bool acknowledge_, closed_ = false;
  std::size_t inputSent_ = 0, inputAcked_ = 0;
  std::string output_;
  std::vector<std::string> texts_;
};

// Plain TCP to 127.0.0.1:port, for requests an ordinary client would not send.
inline UniqueFd loopbackSocket(int port) {
  UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
  return connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0
             ? std::move(fd)
             : UniqueFd{};
}

// The status code of the HTTP answer on `fd`; 0 when none came in time.
inline int readStatus(int fd, milliseconds timeout) {
  pollfd ready{fd, POLLIN, 0};
  char answer[16] = {};  // "HTTP/1.1 NNN " comes in one piece over loopback
  if (poll(&ready, 1, static_cast<int>(timeout.count())) <= 0 || read(fd, answer, 15) < 12)
    return 0;
  return std::string_view(answer).starts_with("HTTP/1.1 ") ? std::atoi(answer + 9) : 0;
}

}  // namespace tamrik::test
