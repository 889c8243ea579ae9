#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <memory>
#include <thread>

#include "backend/BackendProcess.h"
#include "backend/ExitLatch.h"
#include "backend/OutputStage.h"
#include "support/MainLoop.h"
#include "support/Result.h"
#include "support/UniqueHandle.h"
#include "support/Utf8Decoder.h"

namespace zvui {

struct OutputReaderSetup {
  UniqueFd pipe;  // read end of the backend's output, non-blocking
  pid_t pid = 0;  // the backend, our child; this reader is the one that reaps it
  // Learn of the exit through a pidfd; without one (kernels before 5.3, or a sandbox that
  // refuses it) the reader asks at short intervals instead.
  bool usePidfd = true;
  MainLoop* loop = nullptr;
  BackendOutputHandler onOutput;
  BackendExitHandler onExit;
  BackendOutputEndHandler onOutputEnd;
  std::size_t readSize = 256 * 1024;
  // Blocks posted to the main loop and not yet handled there, beyond which reading waits.
  std::size_t maxBlocksInFlight = 4;
  // Drop, while output waits for the main loop, what the output buffer's cap would drop
  // anyway (see OutputStage); without it every byte is delivered.
  bool condense = true;
};

// One thread that drains the backend's pipe and hands its output to the main loop, decoded
// as UTF-8 and in order. It is the one that learns of the backend's exit: it reaps the
// backend, sets the exit latch and then posts the exit notice,
// after all output written before the exit. It keeps reading after the exit for as long as
// anything (a grandchild) holds the pipe open, and posts the end of output when nothing does.
//
// Output is handed over at once when the main loop has nothing of it left to handle, and
// otherwise at most once every few milliseconds, so that a flood costs the main thread a
// handful of blocks a second; meanwhile it waits in an OutputStage.
class OutputReader {
 public:
  // Starts the thread, or says why it cannot.
  static Result<std::unique_ptr<OutputReader>> start(OutputReaderSetup setup);
  // Stops the thread, also when it waits for the main loop, and joins it.
  ~OutputReader();
  OutputReader(const OutputReader&) = delete;
  OutputReader& operator=(const OutputReader&) = delete;

  // True once the backend has ended, whether or not it has been reaped yet. Any thread.
  [[nodiscard]] bool hasExited() const;
  // Waits until the backend has exited and been reaped, or `timeout` has passed; true when
  // it has. The reader watches for the exit even while the main loop holds up its output.
  bool waitForExit(std::chrono::milliseconds timeout) { return reaped_.waitFor(timeout); }

 private:
  struct Handlers {
    BackendOutputHandler onOutput;
    BackendExitHandler onExit;
    BackendOutputEndHandler onOutputEnd;
  };
  // Blocks posted and not yet handled; the main loop signals `handled` as each one goes.
  struct Flow {
    std::atomic<std::size_t> inFlight{0};
    UniqueFd handled;
  };
  enum class ReadResult { Data, Nothing, End };
  struct Read {
    ReadResult result;
    std::size_t bytes = 0;  // read from the pipe, with Data
  };

  explicit OutputReader(OutputReaderSetup setup);
  void run();
  // Reads what the pipe holds, at most `most` bytes.
  Read read(std::size_t most);
  ReadResult drainAfterExit();
  void handOver(bool ending);
  [[nodiscard]] bool mayHandOver() const;
  [[nodiscard]] bool mayRead() const;
  [[nodiscard]] int pollTimeout(bool exited) const;
  void reap();

  OutputReaderSetup setup_;
  std::shared_ptr<const Handlers> handlers_;
  std::shared_ptr<Flow> flow_;
  UniqueFd wake_;
  UniqueFd processFd_;  // the backend's pidfd, when there is one
  OutputStage stage_;
  Utf8Decoder decoder_;
  std::chrono::steady_clock::time_point lastHandOver_{};
  std::size_t pipeCapacity_ = 0;
  ExitLatch reaped_;  // set once the backend has exited and been reaped
  std::thread thread_;
};

}  // namespace zvui
