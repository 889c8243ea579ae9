#pragma once

#include <chrono>
#include <functional>

namespace zvui {

// The one event loop everything of the controller runs on. The front end implements it
// (GLib's default main context on Linux); tests use a loop they drive themselves.
class MainLoop {
 public:
  virtual ~MainLoop() = default;

  // Queues `task` to run on the main thread. Callable from any thread; tasks run in the
  // order they were posted.
  virtual void post(std::function<void()> task) = 0;

  // Runs `task` once on the main thread after `delay`. Main thread only.
  virtual void postAfter(std::chrono::milliseconds delay, std::function<void()> task) = 0;
};

}  // namespace zvui
