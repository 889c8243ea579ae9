#pragma once
#include <glib.h>

#include <chrono>
#include <functional>

#include "support/GlibHandles.h"

namespace zvui::test {

// Runs this thread's GLib main context until `done()` holds or `timeout` passes; a periodic
// wake-up makes the deadline count when nothing else happens.
inline bool iterateUntil(const std::function<bool()>& done,
                         std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  GMainContext* context = g_main_context_get_thread_default();  // null: the global default
  const GlibSource wake(g_timeout_source_new(10));
  g_source_set_callback(
      wake.get(), [](gpointer) { return gboolean(G_SOURCE_CONTINUE); }, nullptr, nullptr);
  g_source_attach(wake.get(), context);
  bool ok = done();
  while (!ok && std::chrono::steady_clock::now() < deadline) {
    g_main_context_iteration(context, TRUE);
    ok = done();
  }
  return ok;
}

}  // namespace zvui::test
