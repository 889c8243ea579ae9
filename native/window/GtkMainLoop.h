#pragma once

#include <glib.h>

#include <chrono>
#include <deque>
#include <functional>
#include <mutex>
#include <map>

#include "support/MainLoop.h"
#include "support/GlibHandles.h"

namespace zvui {

// MainLoop over GLib's default main context, the one GTK runs. Posted tasks are queued
// behind one idle source, so they run in the order they were posted whichever thread
// posted them. Sources still pending when the loop is destroyed are removed unrun.
class GtkMainLoop final : public MainLoop {
 public:
  GtkMainLoop() = default;
  GtkMainLoop(const GtkMainLoop&) = delete;
  GtkMainLoop& operator=(const GtkMainLoop&) = delete;
  ~GtkMainLoop() override;

  void post(std::function<void()> task) override;
  void postAfter(std::chrono::milliseconds delay, std::function<void()> task) override;

 private:
  struct Timer;
  static gboolean runQueued(gpointer self);
  static gboolean runTimer(gpointer timer);
  static void freeTimer(gpointer timer);

  std::mutex mutex_;
  std::deque<std::function<void()>> queue_;
  GlibSource queueSource_;                // pending idle source for queue_
  std::map<GSource*, GlibSource> timers_;  // pending timers
};

}  // namespace zvui
