#include "ConsoleServer.h"

#include <gio/gio.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>

#include <algorithm>
#include <cstdio>
#include <string_view>

#include "Descriptors.h"
#include "Guarded.h"

namespace tamrik {
namespace {

constexpr char kResourceRoot[] = "/tamrik/console";

const char* contentTypeFor(std::string_view name) {
  auto endsWith = [&](std::string_view suffix) {
    return name.size() >= suffix.size() && name.substr(name.size() - suffix.size()) == suffix;
  };
  if (endsWith(".html")) return "text/html; charset=utf-8";
  if (endsWith(".css")) return "text/css; charset=utf-8";
  if (endsWith(".js")) return "text/javascript; charset=utf-8";
  if (endsWith(".svg")) return "image/svg+xml";
  return "application/octet-stream";
}

bool plainAssetName(std::string_view name) {
  if (name.empty() || name.front() == '.') return false;
  return std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           c == '.' || c == '-' || c == '_';
  });
}

void respondText(SoupServerMessage* message, guint status, const char* text) {
  soup_server_message_set_status(message, status, nullptr);
  soup_server_message_set_response(message, "text/plain; charset=utf-8", SOUP_MEMORY_COPY, text,
                                   std::char_traits<char>::length(text));
}

bool isSocketPath(std::string_view path) { return path == "/term" || path == "/telemetry"; }

// HTTP/1.1 asks for exactly one Host header; with two, which one is "the" host is
// anyone's guess, and a guess is no basis for the access check.
std::size_t hostHeaderCount(SoupMessageHeaders* headers) {
  std::size_t count = 0;
  soup_message_headers_foreach(
      headers,
      [](const char* name, const char*, gpointer counter) {
        if (g_ascii_strcasecmp(name, "Host") == 0) ++*static_cast<std::size_t*>(counter);
      },
      &count);
  return count;
}

// The query without its "token" parameter, ready to append to a path ("" when nothing is left).
std::string queryWithoutToken(GHashTable* form) {
  g_hash_table_remove(form, "token");
  if (g_hash_table_size(form) == 0) return {};
  const zvui::GlibString encoded(soup_form_encode_hash(form));
  return std::string("?") + encoded.get();
}

// Our own listening socket, so that its backlog can take a burst of connections: with the
// default of ten, a page opening many requests at once would see connects stall for whole
// seconds while the kernel drops and retries them.
// Non-blocking, so that accepting never waits on the main loop when a wake-up finds no
// connection after all.
zvui::Result<zvui::GObjectPtr<GSocket>, std::string> listenOnLoopback(SoupServer* server,
                                                                      std::uint16_t port) {
  constexpr int kBacklog = 512;
  GError* failure = nullptr;
  const auto failed = [&] {
    const zvui::GlibError error(failure);
    return zvui::Failure{std::string("cannot listen on 127.0.0.1 port ") + std::to_string(port) +
                         ": " + error.get()->message};
  };
  auto socket = zvui::GObjectPtr<GSocket>::adopt(
      g_socket_new(G_SOCKET_FAMILY_IPV4, G_SOCKET_TYPE_STREAM, G_SOCKET_PROTOCOL_TCP, &failure));
  if (!socket) return failed();
  auto loopback = zvui::GObjectPtr<GInetAddress>::adopt(
      g_inet_address_new_loopback(G_SOCKET_FAMILY_IPV4));
  auto address = zvui::GObjectPtr<GSocketAddress>::adopt(g_inet_socket_address_new(loopback.get(), port));
  g_socket_set_listen_backlog(socket.get(), kBacklog);
  g_socket_set_blocking(socket.get(), FALSE);
  if (!g_socket_bind(socket.get(), address.get(), TRUE, &failure)) return failed();
  if (!g_socket_listen(socket.get(), &failure)) return failed();
  if (!soup_server_listen_socket(server, socket.get(), static_cast<SoupServerListenOptions>(0),
                                 &failure)) {
    return failed();
  }
  return socket;
}

}  // namespace

zvui::Result<std::unique_ptr<ConsoleServer>, std::string> ConsoleServer::create(
    const Options& options) {
  auto server = zvui::GObjectPtr<SoupServer>::adopt(
      static_cast<SoupServer*>(g_object_new(SOUP_TYPE_SERVER, "server-header", "MacTamrikBackend", nullptr)));
  auto listening = listenOnLoopback(server.get(), options.port);
  if (!listening) return zvui::Failure{listening.error()};
  std::uint16_t port = 0;
  GSList* uris = soup_server_get_uris(server.get());
  if (uris != nullptr) port = static_cast<std::uint16_t>(g_uri_get_port(static_cast<GUri*>(uris->data)));
  g_slist_free_full(uris, reinterpret_cast<GDestroyNotify>(g_uri_unref));
  if (port == 0) return zvui::Failure{std::string("cannot learn the listening port")};
  auto guard = AccessGuard::create(port);
  if (!guard) return zvui::Failure{guard.error()};
  return std::unique_ptr<ConsoleServer>(new ConsoleServer(
      options, std::move(server), std::move(*listening), port, std::move(*guard)));
}

ConsoleServer::ConsoleServer(const Options& options, zvui::GObjectPtr<SoupServer> server,
                             zvui::GObjectPtr<GSocket> listening, std::uint16_t port,
                             AccessGuard guard)
    : options_(options),
      server_(std::move(server)),
      listening_(std::move(listening)),
      port_(port),
      guard_(std::move(guard)),
      requestStarted_(server_.get(),
                      g_signal_connect(server_.get(), "request-started",
                                       G_CALLBACK(&ConsoleServer::onRequestStarted), this)),
      requestRead_(server_.get(), g_signal_connect(server_.get(), "request-read",
                                                   G_CALLBACK(&ConsoleServer::onRequestRead),
                                                   this)),
      requestFinished_(server_.get(),
                       g_signal_connect(server_.get(), "request-finished",
                                        G_CALLBACK(&ConsoleServer::onRequestFinished), this)) {
  // Compression buys nothing on loopback and costs latency on every keystroke.
  soup_server_remove_websocket_extension(server_.get(), SOUP_TYPE_WEBSOCKET_EXTENSION_DEFLATE);
  soup_server_add_handler(server_.get(), nullptr, &ConsoleServer::onPage, this, nullptr);
  soup_server_add_websocket_handler(server_.get(), "/term", nullptr, nullptr,
                                    &ConsoleServer::onTerminal, this, nullptr);
  soup_server_add_websocket_handler(server_.get(), "/telemetry", nullptr, nullptr,
                                    &ConsoleServer::onTelemetry, this, nullptr);
  (void)sampler_.sample();
  tick_.reset(g_timeout_add_seconds(1, &ConsoleServer::onTick, this));
}

ConsoleServer::~ConsoleServer() {
  requestStarted_.disconnect();
  requestRead_.disconnect();
  requestFinished_.disconnect();
  for (auto& [socket, deadline] : deadlines_) {
    g_object_weak_unref(G_OBJECT(socket), &ConsoleServer::onSocketGone, this);
  }
  deadlines_.clear();
  soup_server_disconnect(server_.get());
  telemetryClients_.clear();
  killAll();
  sessions_.clear();
}

std::string ConsoleServer::launchUrl() const {
  return "http://127.0.0.1:" + std::to_string(port_) + "/?token=" + guard_.token();
}

void ConsoleServer::onRequestStarted(SoupServer*, SoupServerMessage* message, gpointer self) {
  auto* server = static_cast<ConsoleServer*>(self);
  ++server->requestsStarted_;  // a connection has been accepted, or has a new request
  // Nothing here takes a body, so none is kept: a request that sends one anyway is read
  // and dropped as it comes, until its deadline, instead of filling memory.
  soup_message_body_set_accumulate(soup_server_message_get_request_body(message), FALSE);
  guarded("request", [&] { server->setDeadline(message, kRequestTimeoutSeconds); });
}

void ConsoleServer::onRequestRead(SoupServer*, SoupServerMessage* message, gpointer self) {
  auto* server = static_cast<ConsoleServer*>(self);
  server->clearDeadline(soup_server_message_get_socket(message));
  if (!guarded("request", [&] { server->guard(message); })) {
    respondText(message, SOUP_STATUS_INTERNAL_SERVER_ERROR, "Internal error\n");
  }
}

void ConsoleServer::onRequestFinished(SoupServer*, SoupServerMessage* message, gpointer self) {
  // The connection now waits for its next request, unless it closes anyway.
  auto* server = static_cast<ConsoleServer*>(self);
  guarded("request", [&] { server->setDeadline(message, kKeepAliveTimeoutSeconds); });
}

void ConsoleServer::setDeadline(SoupServerMessage* message, guint seconds) {
  GSocket* socket = soup_server_message_get_socket(message);
  if (socket == nullptr) return;
  clearDeadline(socket);
  auto deadline = std::make_unique<Deadline>(Deadline{this, socket, zvui::GlibSourceId()});
  deadline->timer.reset(g_timeout_add_seconds(seconds, &ConsoleServer::onDeadline, deadline.get()));
  deadlines_.emplace(socket, std::move(deadline));
  g_object_weak_ref(G_OBJECT(socket), &ConsoleServer::onSocketGone, this);
}

void ConsoleServer::clearDeadline(GSocket* socket) {
  if (socket == nullptr || deadlines_.erase(socket) == 0) return;
  g_object_weak_unref(G_OBJECT(socket), &ConsoleServer::onSocketGone, this);
}

void ConsoleServer::onSocketGone(gpointer self, GObject* socket) {
  static_cast<ConsoleServer*>(self)->deadlines_.erase(reinterpret_cast<GSocket*>(socket));
}

gboolean ConsoleServer::onDeadline(gpointer data) {
  auto* deadline = static_cast<Deadline*>(data);
  (void)deadline->timer.release();
  // Shutting the socket down (rather than closing it) lets the library see the end of the
  // stream and drop the connection in its own time; the fd is not freed under its feet.
  g_socket_shutdown(deadline->socket, TRUE, TRUE, nullptr);
  deadline->server->clearDeadline(deadline->socket);  // frees `deadline`
  return G_SOURCE_REMOVE;
}

void ConsoleServer::guard(SoupServerMessage* message) {
  SoupMessageHeaders* request = soup_server_message_get_request_headers(message);
  SoupMessageHeaders* response = soup_server_message_get_response_headers(message);
  soup_message_headers_replace(response, "Cache-Control", "no-store");
  soup_message_headers_replace(response, "X-Content-Type-Options", "nosniff");
  soup_message_headers_replace(response, "Referrer-Policy", "no-referrer");

  if (hostHeaderCount(request) != 1) {
    respondText(message, SOUP_STATUS_BAD_REQUEST, "Bad request: exactly one Host header\n");
    return;
  }

  const char* method = soup_server_message_get_method(message);
  if (g_strcmp0(method, "GET") != 0 && g_strcmp0(method, "HEAD") != 0) {
    // Nothing here changes state, so nothing accepts a body.
    soup_message_headers_replace(response, "Allow", "GET, HEAD");
    respondText(message, SOUP_STATUS_METHOD_NOT_ALLOWED, "Method not allowed\n");
    return;
  }

  GUri* uri = soup_server_message_get_uri(message);
  const char* path = g_uri_get_path(uri);
  const char* query = g_uri_get_query(uri);
  const zvui::UniquePointer<GHashTable, g_hash_table_unref> form(
      query != nullptr ? soup_form_decode(query) : nullptr);
  const char* token =
      form ? static_cast<const char*>(g_hash_table_lookup(form.get(), "token")) : nullptr;

  const auto verdict = guard_.check(soup_message_headers_get_one(request, "Host"),
                                    soup_message_headers_get_one(request, "Origin"),
                                    isSocketPath(path),
                                    soup_message_headers_get_one(request, "Cookie"), token);
  switch (verdict) {
    case AccessGuard::Verdict::Allow:
      break;
    case AccessGuard::Verdict::GrantSession: {
      std::string location = std::string(path) + queryWithoutToken(form.get());
      soup_message_headers_append(response, "Set-Cookie", guard_.sessionCookieHeader().c_str());
      soup_server_message_set_redirect(message, SOUP_STATUS_SEE_OTHER, location.c_str());
      break;
    }
    case AccessGuard::Verdict::Unauthorized:
      respondText(message, SOUP_STATUS_UNAUTHORIZED,
                  "This console opens only from the address its backend announced.\n");
      break;
    case AccessGuard::Verdict::Forbidden:
      respondText(message, SOUP_STATUS_FORBIDDEN, "Forbidden\n");
      break;
  }
}

void ConsoleServer::onPage(SoupServer*, SoupServerMessage* message, const char* path,
                           GHashTable*, gpointer self) {
  auto* server = static_cast<ConsoleServer*>(self);
  if (!guarded("page", [&] { server->servePage(message, path); })) {
    respondText(message, SOUP_STATUS_INTERNAL_SERVER_ERROR, "Internal error\n");
  }
}

void ConsoleServer::servePage(SoupServerMessage* message, const char* path) {
  std::string_view route(path);
  std::string resource;
  if (route == "/" || route == "/index.html") {
    resource = std::string(kResourceRoot) + "/index.html";
  } else if (route.starts_with("/assets/") && plainAssetName(route.substr(8))) {
    resource = std::string(kResourceRoot) + std::string(route);
  } else {
    respondText(message, SOUP_STATUS_NOT_FOUND, "Not found\n");
    return;
  }
  zvui::GlibBytes bytes(
      g_resources_lookup_data(resource.c_str(), G_RESOURCE_LOOKUP_FLAGS_NONE, nullptr));
  if (!bytes) {
    respondText(message, SOUP_STATUS_NOT_FOUND, "Not found\n");
    return;
  }
  SoupMessageHeaders* response = soup_server_message_get_response_headers(message);
  soup_message_headers_replace(response, "Content-Type", contentTypeFor(resource));
  if (resource.ends_with(".html")) {
    const char* host = soup_message_headers_get_one(
        soup_server_message_get_request_headers(message), "Host");
    std::string policy =
        "default-src 'none'; script-src 'self'; style-src 'self' 'unsafe-inline'; "
        "img-src 'self' data:; font-src 'self'; connect-src ws://" +
        std::string(host) + "; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";
    soup_message_headers_replace(response, "Content-Security-Policy", policy.c_str());
    // The page lays itself out for the desktop shell's titlebar when it is embedded.
    gsize size = 0;
    const auto* data = static_cast<const char*>(g_bytes_get_data(bytes.get(), &size));
    std::string page(data, size);
    const std::string marker = "data-app-mode=\"0\"";
    if (auto at = page.find(marker); at != std::string::npos && options_.appMode) {
      page.replace(at, marker.size(), "data-app-mode=\"1\"");
    }
    bytes.reset(g_bytes_new(page.data(), page.size()));
  }
  soup_message_body_append_bytes(soup_server_message_get_response_body(message), bytes.get());
  soup_server_message_set_status(message, SOUP_STATUS_OK, nullptr);
}

void ConsoleServer::onTerminal(SoupServer*, SoupServerMessage* message, const char*,
                               SoupWebsocketConnection* socket, gpointer self) {
  auto* server = static_cast<ConsoleServer*>(self);
  if (!guarded("terminal", [&] { server->openTerminal(message, socket); })) {
    soup_websocket_connection_close(socket, SOUP_WEBSOCKET_CLOSE_SERVER_ERROR, "no terminal");
  }
}

void ConsoleServer::openTerminal(SoupServerMessage* message, SoupWebsocketConnection* socket) {
  // Keystrokes and their echoes are tiny frames; they must not wait to be coalesced.
  if (GSocket* tcp = soup_server_message_get_socket(message)) {
    g_socket_set_option(tcp, IPPROTO_TCP, TCP_NODELAY, 1, nullptr);
  }
  // A paste arrives as one message; the library's default cap would cut the connection.
  soup_websocket_connection_set_max_incoming_payload_size(socket, 4 * 1024 * 1024);
  auto session = TerminalSession::start(
      socket, [this](TerminalSession& done) { sessionFinished(done); });
  if (!session) {
    std::fprintf(stderr, "MacTamrikBackend: %s\n", session.error().c_str());
    soup_websocket_connection_close(socket, SOUP_WEBSOCKET_CLOSE_SERVER_ERROR, "no terminal");
    return;
  }
  TerminalSession* key = session->get();
  sessions_.emplace(key, std::move(*session));
}

void ConsoleServer::sessionFinished(TerminalSession& session) {
  // Called from inside the session's own callbacks: free it once they have returned.
  finished_.push_back(&session);
  if (!dropIdle_) {
    dropIdle_.reset(g_idle_add([](gpointer self) -> gboolean {
      auto* server = static_cast<ConsoleServer*>(self);
      (void)server->dropIdle_.release();
      server->dropFinished();  // erasing from a map and clearing a vector: cannot throw
      return G_SOURCE_REMOVE;
    }, this));
  }
}

void ConsoleServer::dropFinished() {
  for (TerminalSession* session : finished_) sessions_.erase(session);
  finished_.clear();
}

void ConsoleServer::onTelemetry(SoupServer*, SoupServerMessage*, const char*,
                                SoupWebsocketConnection* socket, gpointer self) {
  auto* server = static_cast<ConsoleServer*>(self);
  const bool opened = guarded("telemetry", [&] {
    server->telemetryClients_.push_back(zvui::GObjectPtr<SoupWebsocketConnection>::ref(socket));
    soup_websocket_connection_send_text(socket, historyJson(server->sampler_.history()).c_str());
  });
  if (!opened) soup_websocket_connection_close(socket, SOUP_WEBSOCKET_CLOSE_SERVER_ERROR, nullptr);
}

// The library stops accepting for good the first time an accept fails, as it does when the
// process is out of descriptors. Connections then wait in the queue with nothing started:
// after two such ticks, and once there is room again, it gets a fresh listener on the same
// socket. (A listener that did not need it gives itself up at its first empty accept.)
void ConsoleServer::reviveListener() {
  pollfd queue{g_socket_get_fd(listening_.get()), POLLIN, 0};
  const bool waiting = poll(&queue, 1, 0) > 0 && (queue.revents & POLLIN) != 0;
  const bool stuck = !stopping_ && waiting && requestsStarted_ == 0;
  requestsStarted_ = 0;
  if (!stuck) {
    listenerStuckTicks_ = 0;
    return;
  }
  if (++listenerStuckTicks_ < 2 || !descriptorsToSpare(16)) return;
  listenerStuckTicks_ = 0;
  soup_server_listen_socket(server_.get(), listening_.get(),
                            static_cast<SoupServerListenOptions>(0), nullptr);
}

gboolean ConsoleServer::onTick(gpointer self) {
  auto* server = static_cast<ConsoleServer*>(self);
  server->reviveListener();
  // Closed sockets are dropped here rather than in their own "closed" emission.
  server->telemetryClients_.remove_if([](const auto& socket) {
    return soup_websocket_connection_get_state(socket.get()) == SOUP_WEBSOCKET_STATE_CLOSED;
  });
  // A reading that cannot be taken now is skipped; the next tick tries again.
  guarded("telemetry", [&] {
    const auto sample = server->sampler_.sample();
    if (!sample) return;
    const std::string message = sampleJson(*sample);
    for (const auto& socket : server->telemetryClients_) {
      if (soup_websocket_connection_get_state(socket.get()) == SOUP_WEBSOCKET_STATE_OPEN) {
        soup_websocket_connection_send_text(socket.get(), message.c_str());
      }
    }
  });
  return G_SOURCE_CONTINUE;
}

void ConsoleServer::hangUpAll() {
  // A page that probes for a new session must find nobody listening.
  stopping_ = true;
  soup_server_disconnect(server_.get());
  for (const auto& socket : telemetryClients_) {
    if (soup_websocket_connection_get_state(socket.get()) == SOUP_WEBSOCKET_STATE_OPEN) {
      soup_websocket_connection_close(socket.get(), SOUP_WEBSOCKET_CLOSE_GOING_AWAY,
                                      "backend stopping");
    }
  }
  for (auto& [key, session] : sessions_) session->goingAway();
}

bool ConsoleServer::allReaped() const {
  return std::all_of(sessions_.begin(), sessions_.end(),
                     [](const auto& entry) { return entry.second->reaped(); });
}

void ConsoleServer::killAll() {
  for (auto& [key, session] : sessions_) session->killAndReap();
}

}  // namespace tamrik
