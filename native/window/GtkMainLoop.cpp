#include "window/GtkMainLoop.h"

#include <utility>

namespace zvui {

struct GtkMainLoop::Timer {
  GtkMainLoop* loop;
  GSource* source;
  std::function<void()> task;
};

GtkMainLoop::~GtkMainLoop() {
  std::lock_guard lock(mutex_);
  queueSource_.reset();
  timers_.clear();
}

void GtkMainLoop::post(std::function<void()> task) {
  std::lock_guard lock(mutex_);
  queue_.push_back(std::move(task));
  if (queueSource_) return;
  queueSource_.reset(g_idle_source_new());
  g_source_set_priority(queueSource_.get(), G_PRIORITY_DEFAULT);
  g_source_set_callback(queueSource_.get(), &GtkMainLoop::runQueued, this, nullptr);
  g_source_attach(queueSource_.get(), g_main_context_default());
}

gboolean GtkMainLoop::runQueued(gpointer self) {
  auto* loop = static_cast<GtkMainLoop*>(self);
  std::deque<std::function<void()>> batch;
  {
    std::lock_guard lock(loop->mutex_);
    batch.swap(loop->queue_);
    loop->queueSource_.reset();
  }
  // Tasks posted while this batch runs get a fresh source and so run after it.
  for (auto& task : batch) task();
  return G_SOURCE_REMOVE;
}

void GtkMainLoop::postAfter(std::chrono::milliseconds delay, std::function<void()> task) {
  const auto ms = delay.count() < 0 ? 0 : static_cast<guint>(delay.count());
  GSource* source = g_timeout_source_new(ms);
  auto* timer = new Timer{this, source, std::move(task)};
  g_source_set_callback(source, &GtkMainLoop::runTimer, timer, &GtkMainLoop::freeTimer);
  {
    std::lock_guard lock(mutex_);
    timers_.emplace(source, GlibSource(source));
  }
  g_source_attach(source, g_main_context_default());
}

gboolean GtkMainLoop::runTimer(gpointer data) {
  auto* timer = static_cast<Timer*>(data);
  auto task = std::move(timer->task);
  {
    std::lock_guard lock(timer->loop->mutex_);
    timer->loop->timers_.erase(timer->source);  // frees `timer` once this callback returns
  }
  task();
  return G_SOURCE_REMOVE;
}

void GtkMainLoop::freeTimer(gpointer timer) { delete static_cast<Timer*>(timer); }

}  // namespace zvui
