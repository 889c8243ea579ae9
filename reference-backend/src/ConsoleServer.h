#pragma once

#include <libsoup/soup.h>

#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "AccessGuard.h"
#include "Handles.h"
#include "Telemetry.h"
#include "TerminalSession.h"

namespace tamrik {

// The console's web server on 127.0.0.1: the page and its assets, the terminal socket
// (/term) and the telemetry socket (/telemetry), all behind the AccessGuard.
class ConsoleServer {
 public:
  struct Options {
    std::uint16_t port = 0;  // 0: any free port
    bool appMode = false;    // embedded in the desktop shell, under its transparent titlebar
  };

  // Binds and starts listening; nullptr with `error` filled when that fails.
  static std::unique_ptr<ConsoleServer> create(const Options& options, std::string& error);
  ~ConsoleServer();
  ConsoleServer(const ConsoleServer&) = delete;
  ConsoleServer& operator=(const ConsoleServer&) = delete;

  [[nodiscard]] std::uint16_t port() const { return port_; }
  // The one address worth announcing: it carries the launch token.
  [[nodiscard]] std::string launchUrl() const;

  // Hangs up every terminal; `allReaped()` turns true as their shells are reaped.
  void hangUpAll();
  [[nodiscard]] bool allReaped() const;
  // Kills and reaps whatever is left, at once.
  void killAll();

 private:
  ConsoleServer(const Options& options, ObjectRef<SoupServer> server, std::uint16_t port);

  static void onRequestRead(SoupServer*, SoupServerMessage* message, gpointer self);
  static void onPage(SoupServer*, SoupServerMessage* message, const char* path, GHashTable*,
                     gpointer self);
  static void onTerminal(SoupServer*, SoupServerMessage*, const char*,
                         SoupWebsocketConnection* socket, gpointer self);
  static void onTelemetry(SoupServer*, SoupServerMessage*, const char*,
                          SoupWebsocketConnection* socket, gpointer self);
  static gboolean onTick(gpointer self);

  void guard(SoupServerMessage* message);
  void servePage(SoupServerMessage* message, const char* path);
  void sessionFinished(TerminalSession& session);
  void dropFinished();

  Options options_;
  ObjectRef<SoupServer> server_;
  std::uint16_t port_;
  AccessGuard guard_;
  SignalConnection requestRead_;
  TelemetrySampler sampler_;
  SourceId tick_;
  SourceId dropIdle_;
  std::map<TerminalSession*, std::unique_ptr<TerminalSession>> sessions_;
  std::vector<TerminalSession*> finished_;
  std::list<ObjectRef<SoupWebsocketConnection>> telemetryClients_;
};

}  // namespace tamrik
