#include "backend/OutputReader.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <system_error>

#include "backend/Spawn.h"

namespace zvui {
namespace {

using namespace std::chrono_literals;

// Without a pidfd the exit is only noticed by asking, this often.
constexpr int kExitPollMilliseconds = 50;
// While output keeps coming, it is handed to the main loop at most this often.
constexpr auto kHandOverInterval = 8ms;
// The most output that waits here before reading stops, when none of it can be dropped (it
// holds the announcement prefix, or has no line feed) and the main loop is behind.
constexpr std::size_t kMostWaiting = 4 * 1024 * 1024;

// Through syscall(): this glibc's <sys/pidfd.h> does not declare pidfd_open for C++.
int openPidfd(pid_t pid) noexcept { return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)); }

void signal(const UniqueFd& eventFd) {
  const std::uint64_t one = 1;
  [[maybe_unused]] auto written = ::write(eventFd.get(), &one, sizeof one);
}

}  // namespace

OutputReader::OutputReader(OutputReaderSetup setup)
    : setup_(std::move(setup)),
      handlers_(std::make_shared<const Handlers>(Handlers{
          std::move(setup_.onOutput), std::move(setup_.onExit), std::move(setup_.onOutputEnd)})),
      flow_(std::make_shared<Flow>()),
      wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  flow_->handled.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  // Race-free: the backend is our child and nobody else reaps it, so the pid is still its.
  if (setup_.usePidfd) processFd_.reset(openPidfd(setup_.pid));
  const int capacity = ::fcntl(setup_.pipe.get(), F_GETPIPE_SZ);
  pipeCapacity_ = capacity > 0 ? static_cast<std::size_t>(capacity) : 65536;
}

Result<std::unique_ptr<OutputReader>> OutputReader::start(OutputReaderSetup setup) {
  std::unique_ptr<OutputReader> reader(new OutputReader(std::move(setup)));
  if (!reader->wake_ || !reader->flow_->handled) return errnoFailure(errno);
  // The reader takes no signals: process-directed ones go to threads that handle them.
  sigset_t all;
  sigset_t previous;
  sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &previous);
  std::error_code failed;
  try {
    reader->thread_ = std::thread([raw = reader.get()] { raw->run(); });
  } catch (const std::system_error& error) {
    failed = error.code();
  }
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (failed) return Failure{failed};
  return reader;
}

OutputReader::~OutputReader() {
  if (!thread_.joinable()) return;
  signal(wake_);
  thread_.join();
}

void OutputReader::run() {
  bool pipeOpen = true;
  bool exited = false;
  while (pipeOpen || !exited) {
    if (mayHandOver()) handOver(false);

    pollfd fds[4];
    nfds_t count = 0;
    fds[count++] = {wake_.get(), POLLIN, 0};
    fds[count++] = {flow_->handled.get(), POLLIN, 0};
    const nfds_t pipeIndex = pipeOpen && mayRead() ? count : 0;
    if (pipeIndex != 0) fds[count++] = {setup_.pipe.get(), POLLIN, 0};
    const bool watchExit = !exited && processFd_;
    const nfds_t exitIndex = watchExit ? count : 0;
    if (watchExit) fds[count++] = {processFd_.get(), POLLIN, 0};

    if (::poll(fds, count, pollTimeout(exited)) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[0].revents != 0) break;
    if (fds[1].revents != 0) {
      std::uint64_t handled = 0;
      [[maybe_unused]] auto got = ::read(flow_->handled.get(), &handled, sizeof handled);
    }

    if (pipeIndex != 0 && fds[pipeIndex].revents != 0 &&
        read(setup_.readSize).result == ReadResult::End) {
      pipeOpen = false;
      handOver(true);
    }

    const bool exitedNow =
        exitIndex != 0 ? fds[exitIndex].revents != 0 : (!exited && !processFd_ && hasExited());
    if (exitedNow) {
      reap();
      exited = true;
      // Everything the backend wrote before it exited is in the pipe now; hand it over
      // before the exit notice. What a grandchild writes later follows the notice.
      if (pipeOpen && drainAfterExit() == ReadResult::End) pipeOpen = false;
      handOver(!pipeOpen);
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
  if (hasExited()) reap();
}

OutputReader::Read OutputReader::read(std::size_t most) {
  for (;;) {
    const auto room = stage_.room(most);
    const ssize_t got = ::read(setup_.pipe.get(), room.data(), std::min(most, room.size()));
    if (got > 0) {
      stage_.added(static_cast<std::size_t>(got));
      if (setup_.condense) stage_.condense();
      return {ReadResult::Data, static_cast<std::size_t>(got)};
    }
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && errno == EAGAIN) return {ReadResult::Nothing};
    // End of file, or a pipe that can no longer be read: the same to us.
    return {ReadResult::End};
  }
}

OutputReader::ReadResult OutputReader::drainAfterExit() {
  // The pipe never holds more than its capacity, so this ends even while a grandchild
  // keeps writing.
  for (std::size_t budget = pipeCapacity_; budget > 0;) {
    const Read got = read(std::min(budget, setup_.readSize));
    if (got.result != ReadResult::Data) return got.result;
    budget -= got.bytes;
  }
  return ReadResult::Data;
}

void OutputReader::handOver(bool ending) {
  if (setup_.condense) stage_.condense(true);
  std::string text = stage_.take(decoder_);
  if (ending) text += decoder_.finish();
  lastHandOver_ = std::chrono::steady_clock::now();
  if (text.empty()) return;

  // Counts the block until the main loop has handled it, or dropped it unrun.
  struct InFlight {
    explicit InFlight(std::shared_ptr<Flow> owner) : flow(std::move(owner)) { ++flow->inFlight; }
    InFlight(const InFlight&) = delete;
    InFlight& operator=(const InFlight&) = delete;
    ~InFlight() {
      --flow->inFlight;
      signal(flow->handled);
    }
    std::shared_ptr<Flow> flow;
  };
  setup_.loop->post([inFlight = std::make_shared<InFlight>(flow_), handlers = handlers_,
                     text = std::move(text)]() mutable {
    if (handlers->onOutput) handlers->onOutput(std::move(text));
  });
}

bool OutputReader::mayHandOver() const {
  if (stage_.empty()) return false;
  const std::size_t inFlight = flow_->inFlight.load();
  // Full, and nothing of it could be dropped: hand it over while there is room in flight.
  if (!mayRead()) return inFlight < setup_.maxBlocksInFlight;
  if (inFlight != 0) return false;
  return stage_.holdsAnnouncement() ||
         std::chrono::steady_clock::now() - lastHandOver_ >= kHandOverInterval;
}

bool OutputReader::mayRead() const { return stage_.size() < kMostWaiting; }

int OutputReader::pollTimeout(bool exited) const {
  int timeout = -1;
  if (!stage_.empty() && flow_->inFlight.load() == 0) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(
        lastHandOver_ + kHandOverInterval - std::chrono::steady_clock::now());
    timeout = static_cast<int>(std::clamp<std::int64_t>(left.count(), 0, kExitPollMilliseconds));
  }
  if (!exited && !processFd_) {
    timeout = timeout < 0 ? kExitPollMilliseconds : std::min(timeout, kExitPollMilliseconds);
  }
  return timeout;
}

bool OutputReader::hasExited() const {
  if (reaped_.isSet()) return true;
  if (processFd_) {
    // The pidfd turns readable the moment the process ends, before it is reaped.
    pollfd fd{processFd_.get(), POLLIN, 0};
    return ::poll(&fd, 1, 0) > 0;
  }
  siginfo_t info{};
  return ::waitid(P_PID, static_cast<id_t>(setup_.pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
         info.si_pid == setup_.pid;
}

void OutputReader::reap() {
  if (reaped_.isSet()) return;
  // The backend has exited, so this returns at once.
  (void)waitForChild(setup_.pid);
  reaped_.set();
}

}  // namespace zvui
