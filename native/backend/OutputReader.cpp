#include "backend/OutputReader.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

#include "backend/Spawn.h"
#include "support/Utf8Decoder.h"

namespace zvui {
namespace {

// Without a pidfd the exit is only noticed by asking, this often.
constexpr int kExitPollMilliseconds = 50;
// The most one block handed to the main loop holds. With the blocks in flight this bounds
// what output can wait in memory while the main thread is busy.
constexpr std::size_t kLargestBatch = 1024 * 1024;

}  // namespace

OutputReader::OutputReader(OutputReaderSetup setup)
    : setup_(std::move(setup)),
      handlers_(std::make_shared<const Handlers>(
          Handlers{std::move(setup_.onOutput), std::move(setup_.onExit),
                   std::move(setup_.onOutputEnd)})),
      gate_(std::make_shared<BlockGate>(setup_.maxBlocksInFlight)),
      wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      buffer_(std::make_unique<char[]>(setup_.readSize)) {
  if (!wake_) throw std::system_error(errno, std::generic_category(), "eventfd");
  const int capacity = ::fcntl(setup_.pipe.get(), F_GETPIPE_SZ);
  pipeCapacity_ = capacity > 0 ? static_cast<std::size_t>(capacity) : 65536;
  // The reader takes no signals: process-directed ones go to threads that handle them.
  sigset_t all;
  sigset_t previous;
  sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &previous);
  try {
    thread_ = std::thread([this] { run(); });
  } catch (...) {
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    throw;
  }
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

OutputReader::~OutputReader() {
  gate_->close();
  const std::uint64_t one = 1;
  [[maybe_unused]] auto written = ::write(wake_.get(), &one, sizeof one);
  thread_.join();
}

void OutputReader::run() {
  Utf8Decoder decoder;
  bool pipeOpen = true;
  bool exited = false;
  while (pipeOpen || !exited) {
    pollfd fds[3];
    nfds_t count = 0;
    fds[count++] = {wake_.get(), POLLIN, 0};
    const nfds_t pipeIndex = pipeOpen ? count : 0;
    if (pipeOpen) fds[count++] = {setup_.pipe.get(), POLLIN, 0};
    const bool watchExit = !exited && setup_.processFd >= 0;
    const nfds_t exitIndex = watchExit ? count : 0;
    if (watchExit) fds[count++] = {setup_.processFd, POLLIN, 0};
    const int timeout = (!exited && setup_.processFd < 0) ? kExitPollMilliseconds : -1;

    if (::poll(fds, count, timeout) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[0].revents != 0) break;

    if (pipeIndex != 0 && fds[pipeIndex].revents != 0) {
      const ReadResult result = readOnce(decoder);
      if (result == ReadResult::Stopped) break;
      if (result == ReadResult::End) pipeOpen = false;
    }

    const bool exitedNow = exitIndex != 0 ? fds[exitIndex].revents != 0
                                          : (!exited && setup_.processFd < 0 && hasExited());
    if (exitedNow) {
      reap();
      setup_.exited->set();
      exited = true;
      // Everything the backend wrote before it exited is in the pipe now; hand it over
      // before the exit notice. What a grandchild writes later follows the notice.
      if (pipeOpen) {
        const ReadResult result = drainAfterExit(decoder);
        if (result == ReadResult::Stopped) break;
        if (result == ReadResult::End) pipeOpen = false;
      }
      auto handlers = handlers_;
      setup_.loop->post([handlers] {
        if (handlers->onExit) handlers->onExit();
      });
    }
  }
  if (!pipeOpen && exited) {
    // After the last block and the exit notice: no writer is left, so no output will come.
    auto handlers = handlers_;
    setup_.loop->post([handlers] {
      if (handlers->onOutputEnd) handlers->onOutputEnd();
    });
    return;
  }
  // Stopped early: still reap the backend if it is already gone, so it lingers as no zombie.
  if (!reaped_ && hasExited()) reap();
}

OutputReader::ReadResult OutputReader::readOnce(Utf8Decoder& decoder) {
  const ssize_t got = ::read(setup_.pipe.get(), buffer_.get(), setup_.readSize);
  if (got > 0) {
    return deliver(decoder.decode(std::string_view(buffer_.get(), static_cast<std::size_t>(got))))
               ? ReadResult::Data
               : ReadResult::Stopped;
  }
  if (got < 0 && (errno == EAGAIN || errno == EINTR)) return ReadResult::Nothing;
  // End of file, or a pipe that can no longer be read: the same to us.
  return deliver(decoder.finish()) ? ReadResult::End : ReadResult::Stopped;
}

OutputReader::ReadResult OutputReader::drainAfterExit(Utf8Decoder& decoder) {
  // The pipe never holds more than its capacity, so this ends even while a grandchild
  // keeps writing.
  std::size_t budget = pipeCapacity_;
  while (budget > 0) {
    const ssize_t got =
        ::read(setup_.pipe.get(), buffer_.get(), std::min(budget, setup_.readSize));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && errno == EAGAIN) return ReadResult::Nothing;
    if (got <= 0) return deliver(decoder.finish()) ? ReadResult::End : ReadResult::Stopped;
    budget -= static_cast<std::size_t>(got);
    if (!deliver(decoder.decode(std::string_view(buffer_.get(), static_cast<std::size_t>(got))))) {
      return ReadResult::Stopped;
    }
  }
  return ReadResult::Data;
}

bool OutputReader::deliver(std::string block) {
  if (block.empty()) return true;
  // While the main loop is behind, what comes joins the block that waits for it (up to a
  // bound), so a flood costs the main thread one wake-up a batch rather than one a read.
  if (pending_) {
    const std::lock_guard lock(pending_->mutex);
    if (!pending_->taken && pending_->text.size() + block.size() <= kLargestBatch) {
      pending_->text.reserve(kLargestBatch);
      pending_->text.append(block);
      return true;
    }
  }
  if (!gate_->enter()) return false;
  auto place = std::make_shared<GatePlace>(gate_);
  auto handlers = handlers_;
  pending_ = std::make_shared<PendingBlock>();
  pending_->text = std::move(block);
  setup_.loop->post([place, handlers, pending = pending_] {
    std::string text;
    {
      const std::lock_guard lock(pending->mutex);
      pending->taken = true;
      text = std::move(pending->text);
    }
    if (handlers->onOutput) handlers->onOutput(std::move(text));
  });
  return true;
}

bool OutputReader::hasExited() const {
  if (setup_.processFd >= 0) {
    pollfd fd{setup_.processFd, POLLIN, 0};
    return ::poll(&fd, 1, 0) > 0;
  }
  siginfo_t info{};
  return ::waitid(P_PID, static_cast<id_t>(setup_.pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
         info.si_pid == setup_.pid;
}

void OutputReader::reap() {
  if (reaped_) return;
  // The backend has exited, so this returns at once.
  waitForChild(setup_.pid);
  reaped_ = true;
}

}  // namespace zvui
