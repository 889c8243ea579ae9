#pragma once
#include <glib.h>

#include <chrono>
#include <functional>

namespace zvui::test {

// Runs this thread's GLib main context until `done()` holds or `timeout` passes; a periodic
// wake-up makes the deadline count when nothing else happens.
inline bool iterateUntil(const std::function<bool()>& done,
                         std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  GMainContext* context = g_main_context_ref_thread_default();
  GSource* wake = g_timeout_source_new(10);
  g_source_set_callback(
      wake, [](gpointer) { return gboolean(G_SOURCE_CONTINUE); }, nullptr, nullptr);
  g_source_attach(wake, context);
  bool ok = done();
  while (!ok && std::chrono::steady_clock::now() < deadline)
    ok = (g_main_context_iteration(context, TRUE), done());
  g_source_destroy(wake);
  g_source_unref(wake);
  g_main_context_unref(context);
  return ok;
}

}  // namespace zvui::test
