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
  if (queueSource_ != nullptr) {
    g_source_destroy(queueSource_);
    g_source_unref(queueSource_);
    queueSource_ = nullptr;
  }
  for (GSource* timer : timers_) {
    g_source_destroy(timer);
    g_source_unref(timer);
  }
  timers_.clear();
}

void GtkMainLoop::post(std::function<void()> task) {
  std::lock_guard lock(mutex_);
  queue_.push_back(std::move(task));
  if (queueSource_ != nullptr) return;
  queueSource_ = g_idle_source_new();
  g_source_set_priority(queueSource_, G_PRIORITY_DEFAULT);
  g_source_set_callback(queueSource_, &GtkMainLoop::runQueued, this, nullptr);
  g_source_attach(queueSource_, g_main_context_default());
}

gboolean GtkMainLoop::runQueued(gpointer self) {
  auto* loop = static_cast<GtkMainLoop*>(self);
  std::deque<std::function<void()>> batch;
  {
    std::lock_guard lock(loop->mutex_);
    batch.swap(loop->queue_);
    g_source_unref(loop->queueSource_);
    loop->queueSource_ = nullptr;
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
    timers_.insert(source);
  }
  g_source_attach(source, g_main_context_default());
}

gboolean GtkMainLoop::runTimer(gpointer data) {
  auto* timer = static_cast<Timer*>(data);
  {
    std::lock_guard lock(timer->loop->mutex_);
    timer->loop->timers_.erase(timer->source);
  }
  g_source_unref(timer->source);
  auto task = std::move(timer->task);
  task();
  return G_SOURCE_REMOVE;
}

void GtkMainLoop::freeTimer(gpointer timer) { delete static_cast<Timer*>(timer); }

}  // namespace zvui
