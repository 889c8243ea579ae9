// MacTamrikBackend: a loopback web console with a terminal and live telemetry.
#include <glib-unix.h>
#include <glib.h>
#include <sys/resource.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "ConsoleServer.h"
#include "PortSetting.h"
#include "TerminalSession.h"

namespace {

// Time the shells get to go after a hang-up before they are killed; the whole stop must
// fit well within the fraction of a second a supervisor waits.
constexpr gint64 kStopGraceUs = 100 * 1000;

gboolean quitLoop(gpointer loop) {
  g_main_loop_quit(static_cast<GMainLoop*>(loop));
  return G_SOURCE_CONTINUE;
}

// Every connection costs a descriptor, and the usual soft limit (often 1,024) is a small
// fraction of what the system allows this process. The shells get the original back.
void raiseDescriptorLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
  tamrik::setShellDescriptorLimit(limit);
  if (limit.rlim_cur == limit.rlim_max) return;
  rlimit raised = limit;
  raised.rlim_cur = limit.rlim_max;
  // An unlimited hard limit is not a value the kernel takes for descriptors; keep the
  // soft limit then.
  if (raised.rlim_cur != RLIM_INFINITY) setrlimit(RLIMIT_NOFILE, &raised);
}

void stopSessions(tamrik::ConsoleServer& server) {
  server.hangUpAll();
  const gint64 deadline = g_get_monotonic_time() + kStopGraceUs;
  GMainContext* context = g_main_context_default();
  while (!server.allReaped() && g_get_monotonic_time() < deadline) {
    // Wake at least every few milliseconds to look at the clock.
    zvui::GlibSourceId tick(g_timeout_add(5, [](gpointer) -> gboolean { return G_SOURCE_CONTINUE; },
                                        nullptr));
    g_main_context_iteration(context, TRUE);
  }
  server.killAll();
}

}  // namespace

int main() {
  // Writes to a closed peer must fail with EPIPE, not end the process.
  std::signal(SIGPIPE, SIG_IGN);
  raiseDescriptorLimit();

  const char* portText = std::getenv("TAMRIK_PORT");
  const auto port = tamrik::parsePortSetting(portText);
  if (!port) {
    std::fprintf(stderr,
                 "MacTamrikBackend: TAMRIK_PORT must be 0 or a port number from 1 to 65535, "
                 "not \"%s\"\n",
                 portText);
    return 2;
  }
  const char* appMode = std::getenv("TAMRIK_APP_MODE");

  tamrik::ConsoleServer::Options options;
  options.port = *port;
  options.appMode = appMode != nullptr && std::strcmp(appMode, "1") == 0;

  auto created = tamrik::ConsoleServer::create(options);
  if (!created) {
    std::fprintf(stderr, "MacTamrikBackend: %s\n", created.error().c_str());
    return 1;
  }
  const std::unique_ptr<tamrik::ConsoleServer> server = std::move(*created);

  const zvui::UniquePointer<GMainLoop, g_main_loop_unref> loop(g_main_loop_new(nullptr, FALSE));
  zvui::GlibSourceId signals[] = {zvui::GlibSourceId(g_unix_signal_add(SIGTERM, quitLoop, loop.get())),
                                zvui::GlibSourceId(g_unix_signal_add(SIGINT, quitLoop, loop.get())),
                                zvui::GlibSourceId(g_unix_signal_add(SIGHUP, quitLoop, loop.get()))};

  std::printf("TAMRIK_URL=%s\n", server->launchUrl().c_str());
  std::fflush(stdout);

  g_main_loop_run(loop.get());

  stopSessions(*server);
  return 0;
}
