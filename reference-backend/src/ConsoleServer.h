#pragma once

#include <libsoup/soup.h>

#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "AccessGuard.h"
#include "support/GlibHandles.h"
#include "support/Result.h"
#include "Telemetry.h"
#include "TerminalSession.h"

namespace tamrik {

// The console's web server on 127.0.0.1: the page and its assets, the terminal socket
// (/term) and the telemetry socket (/telemetry), all behind the AccessGuard.
//
// Slow clients cannot hold connections: a request must be read whole within
// kRequestTimeoutSeconds of its start (the connection opening, or its first bytes on a
// kept-alive connection), and a kept-alive connection that stays idle for
// kKeepAliveTimeoutSeconds is closed. Upgraded WebSockets are not timed.
class ConsoleServer {
 public:
  static constexpr guint kRequestTimeoutSeconds = 5;
  static constexpr guint kKeepAliveTimeoutSeconds = 15;

  struct Options {
    std::uint16_t port = 0;  // 0: any free port
    bool appMode = false;    // embedded in the desktop shell, under its transparent titlebar
  };

  // Binds and starts listening; says why when that fails.
  static zvui::Result<std::unique_ptr<ConsoleServer>, std::string> create(const Options& options);
  ~ConsoleServer();
  ConsoleServer(const ConsoleServer&) = delete;
  ConsoleServer& operator=(const ConsoleServer&) = delete;

  [[nodiscard]] std::uint16_t port() const { return port_; }
  // The one address worth announcing: it carries the launch token.
  [[nodiscard]] std::string launchUrl() const;

  // Stops taking connections, tells every page the backend is going away and hangs up
  // every terminal; `allReaped()` turns true as their shells are reaped.
  void hangUpAll();
  [[nodiscard]] bool allReaped() const;
  // Kills and reaps whatever is left, at once.
  void killAll();

 private:
  ConsoleServer(const Options& options, zvui::GObjectPtr<SoupServer> server,
                zvui::GObjectPtr<GSocket> listening, std::uint16_t port, AccessGuard guard);

  // When a connection that is reading a request, or idling between requests, is closed.
  struct Deadline {
    ConsoleServer* server;
    GSocket* socket;  // watched by a weak reference: the entry goes with the socket
    zvui::GlibSourceId timer;
  };

  static void onRequestStarted(SoupServer*, SoupServerMessage* message, gpointer self);
  static void onRequestRead(SoupServer*, SoupServerMessage* message, gpointer self);
  static void onRequestFinished(SoupServer*, SoupServerMessage* message, gpointer self);
  static void onSocketGone(gpointer self, GObject* socket);
  static gboolean onDeadline(gpointer deadline);
  static void onPage(SoupServer*, SoupServerMessage* message, const char* path, GHashTable*,
                     gpointer self);
  static void onTerminal(SoupServer*, SoupServerMessage*, const char*,
                         SoupWebsocketConnection* socket, gpointer self);
  static void onTelemetry(SoupServer*, SoupServerMessage*, const char*,
                          SoupWebsocketConnection* socket, gpointer self);
  static gboolean onTick(gpointer self);

  void setDeadline(SoupServerMessage* message, guint seconds);
  void clearDeadline(GSocket* socket);
  void guard(SoupServerMessage* message);
  void servePage(SoupServerMessage* message, const char* path);
  void openTerminal(SoupServerMessage* message, SoupWebsocketConnection* socket);
  void reviveListener();
  void sessionFinished(TerminalSession& session);
  void dropFinished();

  Options options_;
  zvui::GObjectPtr<SoupServer> server_;
  zvui::GObjectPtr<GSocket> listening_;
  std::uint16_t port_;
  bool stopping_ = false;
  std::size_t requestsStarted_ = 0;  // since the last tick
  int listenerStuckTicks_ = 0;
  AccessGuard guard_;
  zvui::SignalConnection requestStarted_;
  zvui::SignalConnection requestRead_;
  zvui::SignalConnection requestFinished_;
  std::unordered_map<GSocket*, std::unique_ptr<Deadline>> deadlines_;
  TelemetrySampler sampler_;
  zvui::GlibSourceId tick_;
  zvui::GlibSourceId dropIdle_;
  std::map<TerminalSession*, std::unique_ptr<TerminalSession>> sessions_;
  std::vector<TerminalSession*> finished_;
  std::list<zvui::GObjectPtr<SoupWebsocketConnection>> telemetryClients_;
};

}  // namespace tamrik
