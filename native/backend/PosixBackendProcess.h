#pragma once

#include <atomic>
#include <cstddef>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "MacTamrikApp/MainLoop.h"
#include "backend/BackendProcess.h"
#include "backend/ExitLatch.h"
#include "support/UniqueHandle.h"

namespace zvui {

class OutputReader;

// A backend child on Linux: fork + exec with the output joined into one pipe, a reader
// thread that posts decoded blocks to the main loop, and a pidfd to learn of the exit.
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
  };

  PosixBackendProcess(std::filesystem::path executable, std::vector<std::string> environment,
                      MainLoop& loop, Options options);
  PosixBackendProcess(std::filesystem::path executable, std::vector<std::string> environment,
                      MainLoop& loop)
      : PosixBackendProcess(std::move(executable), std::move(environment), loop, Options{}) {}
  // Stops and joins the reader. A backend still running is left running: stopping it is
  // the quit sequence's job, and it still ends with us through the parent-death signal.
  ~PosixBackendProcess() override;

  // Main thread: the parent-death signal belongs to the thread that forks.
  bool launch(BackendOutputHandler onOutput, BackendExitHandler onExit,
              BackendOutputEndHandler onOutputEnd = {}) override;
  [[nodiscard]] bool isRunning() const override;
  [[nodiscard]] std::int32_t processIdentifier() const override;
  bool waitForExit(std::chrono::milliseconds timeout) override;

 private:
  const std::filesystem::path executable_;
  const std::vector<std::string> environment_;
  MainLoop& loop_;
  const Options options_;

  bool attempted_ = false;
  std::atomic<std::int32_t> pid_{0};
  UniqueFd pidfd_;
  std::shared_ptr<ExitLatch> exited_ = std::make_shared<ExitLatch>();
  std::unique_ptr<OutputReader> reader_;
};

}  // namespace zvui
