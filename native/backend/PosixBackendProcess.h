#pragma once

#include <atomic>
#include <cstddef>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "backend/BackendGuard.h"
#include "backend/BackendProcess.h"
#include "backend/ProcessGroup.h"
#include "support/MainLoop.h"
#include "support/UniqueHandle.h"

namespace zvui {

class OutputReader;

// A backend child on Linux: started through spawnProcess with its output joined into one
// pipe, and a reader thread that posts decoded output to the main loop and is the one to
// learn of the exit. The backend leads a process group of its own, which holds its tree (all
// it starts, unless a process leaves on purpose), and a guard program watches over that
// group for as long as we live.
class PosixBackendProcess final : public BackendProcess {
 public:
  struct Options {
    // Without a pidfd (kernels before 5.3, or a sandbox refusing it) the reader asks for
    // the exit at short intervals instead.
    bool usePidfd = true;
    // Large reads from a large pipe: a flooding backend costs few wake-ups per megabyte.
    std::size_t readSize = 256 * 1024;
    int pipeSize = 1024 * 1024;
    // Blocks posted to the main loop and not yet handled; the reader waits beyond this.
    std::size_t maxBlocksInFlight = 4;
    // Output the output buffer's cap would drop anyway is dropped before it reaches the
    // main loop (see OutputStage); off, every byte is delivered.
    bool condense = true;
    // The guard program (native/guard); none when empty.
    std::filesystem::path guard;
  };

  PosixBackendProcess(std::filesystem::path executable, std::vector<std::string> environment,
                      MainLoop& loop, Options options);
  PosixBackendProcess(std::filesystem::path executable, std::vector<std::string> environment,
                      MainLoop& loop)
      : PosixBackendProcess(std::move(executable), std::move(environment), loop, Options{}) {}
  // Stops and joins the reader and lets the guard go. Stopping the tree is the quit
  // sequence's job; whatever of it still runs now is stopped by the guard (TERM, up to a
  // second, KILL), or without one gets the parent-death signal when we end.
  ~PosixBackendProcess() override;

  // Main thread: the parent-death signal belongs to the thread that forks.
  bool launch(BackendOutputHandler onOutput, BackendExitHandler onExit,
              BackendOutputEndHandler onOutputEnd = {}) override;
  [[nodiscard]] bool isRunning() const override;
  [[nodiscard]] std::int32_t processIdentifier() const override;
  bool waitForExit(std::chrono::milliseconds timeout) override;
  [[nodiscard]] bool treeIsRunning() const override;
  bool waitForTreeExit(std::chrono::milliseconds timeout) override;
  // TERM is followed by CONT, so that a stopped member can act on it.
  void signalGroup(std::string_view signalName) override;

  // The guard's pid, or 0 when none runs.
  [[nodiscard]] pid_t guardIdentifier() const { return guard_ ? guard_->pid() : 0; }

 private:
  const std::filesystem::path executable_;
  const std::vector<std::string> environment_;
  MainLoop& loop_;
  const Options options_;

  bool attempted_ = false;
  std::atomic<std::int32_t> pid_{0};
  ProcessGroup group_;
  std::optional<BackendGuard> guard_;
  std::unique_ptr<OutputReader> reader_;
};

}  // namespace zvui
