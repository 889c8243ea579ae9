#pragma once

#include <sys/types.h>

#include <cstddef>
#include <memory>
#include <mutex>
#include <thread>

#include "support/MainLoop.h"
#include "backend/BackendProcess.h"
#include "backend/BlockGate.h"
#include "backend/ExitLatch.h"
#include "support/UniqueHandle.h"

namespace zvui {

class Utf8Decoder;

struct OutputReaderSetup {
  UniqueFd pipe;         // read end of the backend's output, non-blocking
  int processFd = -1;    // borrowed pidfd of the backend; -1 to look for the exit by polling
  pid_t pid = 0;         // the backend, our child; this reader is the one that reaps it
  MainLoop* loop = nullptr;
  BackendOutputHandler onOutput;
  BackendExitHandler onExit;
  BackendOutputEndHandler onOutputEnd;
  std::shared_ptr<ExitLatch> exited;
  std::size_t readSize = 256 * 1024;
  std::size_t maxBlocksInFlight = 4;
};

// One thread that drains the backend's pipe, decodes it as UTF-8 and posts each block to
// the main loop in order; it reaps the backend when it exits and then posts the exit notice,
// after every block written before the exit. It keeps reading after the exit for as long as
// anything (a grandchild) holds the pipe open, and posts the end of output when nothing does.
class OutputReader {
 public:
  // Starts the thread; throws std::system_error when it cannot.
  explicit OutputReader(OutputReaderSetup setup);
  // Stops the thread, also when it waits for the main loop, and joins it.
  ~OutputReader();
  OutputReader(const OutputReader&) = delete;
  OutputReader& operator=(const OutputReader&) = delete;

 private:
  struct Handlers {
    BackendOutputHandler onOutput;
    BackendExitHandler onExit;
    BackendOutputEndHandler onOutputEnd;
  };
  enum class ReadResult { Data, Nothing, End, Stopped };
  // A block posted to the main loop and not yet taken there; output read meanwhile joins it.
  struct PendingBlock {
    std::mutex mutex;
    std::string text;
    bool taken = false;
  };

  void run();
  ReadResult readOnce(Utf8Decoder& decoder);
  ReadResult drainAfterExit(Utf8Decoder& decoder);
  bool deliver(std::string block);
  bool hasExited() const;
  void reap();

  OutputReaderSetup setup_;
  std::shared_ptr<const Handlers> handlers_;
  std::shared_ptr<BlockGate> gate_;
  std::shared_ptr<PendingBlock> pending_;  // the last block posted; reader thread only
  UniqueFd wake_;
  std::unique_ptr<char[]> buffer_;
  std::size_t pipeCapacity_ = 0;
  bool reaped_ = false;
  std::thread thread_;
};

}  // namespace zvui
