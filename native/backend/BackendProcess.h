#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zvui {

// The next block of backend output (standard output and standard error joined), as valid
// UTF-8. A process may leave out of a flood what the output buffer's cap would drop anyway
// (never a line that holds the announcement prefix, nor the rest of a line already begun).
using BackendOutputHandler = std::function<void(std::string block)>;
// The backend process has exited; delivered after every block it wrote before exiting.
using BackendExitHandler = std::function<void()>;
// The backend's output has ended: the backend has exited and nothing holds the pipe's
// writing end any more (a process it started may have kept it open). Delivered once, last.
using BackendOutputEndHandler = std::function<void()>;

// One backend child process. Made by BackendLauncher::makeProcess, launched at most once.
class BackendProcess {
 public:
  virtual ~BackendProcess() = default;

  // Starts the process with no arguments, the given environment, inherited working
  // directory and standard input, and standard output and error joined into one pipe.
  // Returns false when the system refused to start it (the reason is not kept). Both
  // handlers are called on the main thread, through the front end's main loop; they must
  // not keep the controller alive.
  virtual bool launch(BackendOutputHandler onOutput, BackendExitHandler onExit,
                      BackendOutputEndHandler onOutputEnd = {}) = 0;

  // True from a successful launch until the process has exited. Any thread.
  [[nodiscard]] virtual bool isRunning() const = 0;
  // The process id once launched, else 0.
  [[nodiscard]] virtual std::int32_t processIdentifier() const = 0;
  // Waits up to `timeout` for the process to exit; true when it is no longer running.
  virtual bool waitForExit(std::chrono::milliseconds timeout) = 0;

  // The backend's tree: the backend and whatever it started that stayed in its process
  // group. Where there is no group, the tree is the backend alone.
  // True while anything of the tree runs, the backend itself or not. Any thread.
  [[nodiscard]] virtual bool treeIsRunning() const { return isRunning(); }
  // Waits up to `timeout` for the whole tree to end; true when nothing of it runs.
  virtual bool waitForTreeExit(std::chrono::milliseconds timeout) { return waitForExit(timeout); }
  // Sends `signalName` (no dash) to the backend's whole process group, if it has one.
  virtual void signalGroup(std::string_view /*signalName*/) {}
};

// The backend interface of the controller: finding, making and signalling backends.
class BackendLauncher {
 public:
  virtual ~BackendLauncher() = default;

  // The backend executable `name` in the app's resource directory, by presence only.
  [[nodiscard]] virtual std::optional<std::filesystem::path> locateExecutable(
      std::string_view name) const = 0;
  // A process object for `executable`; nothing runs until launch().
  virtual std::unique_ptr<BackendProcess> makeProcess(std::filesystem::path executable,
                                                      std::vector<std::string> environment) = 0;
  // Signals the backend's direct children and then the backend itself, through the
  // system's pkill and kill tools, each run to completion. `signalName` has no dash.
  virtual void signalBackendTree(std::int32_t pid, std::string_view signalName) = 0;
};

}  // namespace zvui
