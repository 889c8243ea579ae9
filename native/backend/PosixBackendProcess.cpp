#include "backend/PosixBackendProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <system_error>

#include "backend/OutputReader.h"
#include "backend/Spawn.h"

namespace zvui {
namespace {

// What the backend reads as standard input. Ours, unless it is a terminal: in a process
// group of its own the backend is not in the terminal's foreground, so a read would stop it
// (SIGTTIN) and a stopped backend would neither serve nor end on TERM. It gets an empty
// input then, as it would from a desktop launch. -1 to inherit ours.
UniqueFd backendInput() {
  if (::isatty(STDIN_FILENO) == 0) return {};
  return moveAboveStandardStreams(::open("/dev/null", O_RDONLY | O_CLOEXEC));
}

}  // namespace

PosixBackendProcess::PosixBackendProcess(std::filesystem::path executable,
                                         std::vector<std::string> environment, MainLoop& loop,
                                         Options options)
    : executable_(std::move(executable)),
      environment_(std::move(environment)),
      loop_(loop),
      options_(options) {}

PosixBackendProcess::~PosixBackendProcess() = default;

bool PosixBackendProcess::launch(BackendOutputHandler onOutput, BackendExitHandler onExit,
                                 BackendOutputEndHandler onOutputEnd) {
  if (attempted_) return false;
  attempted_ = true;

  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) return false;
  UniqueFd readEnd = moveAboveStandardStreams(ends[0]);
  UniqueFd writeEnd = moveAboveStandardStreams(ends[1]);
  if (!readEnd || !writeEnd) return false;
  // Only our end: the backend's writes stay blocking, which is what holds it back when
  // we fall behind.
  ::fcntl(readEnd.get(), F_SETFL, ::fcntl(readEnd.get(), F_GETFL) | O_NONBLOCK);
  // Best effort: the system may cap pipe sizes (fs.pipe-max-size); the default then stays.
  ::fcntl(readEnd.get(), F_SETPIPE_SZ, options_.pipeSize);

  const UniqueFd input = backendInput();
  const Result<pid_t> child = spawnProcess({.executable = executable_,
                                            .arguments = {},
                                            .environment = environment_,
                                            .inputFd = input.get(),
                                            .outputFd = writeEnd.get(),
                                            .newProcessGroup = true,
                                            .parentDeathSignal = SIGTERM});
  writeEnd.reset();
  if (!child) return false;
  const pid_t pid = *child;
  group_ = processGroupLedBy(pid);

  auto reader = OutputReader::start({
      .pipe = std::move(readEnd),
      .pid = pid,
      .usePidfd = options_.usePidfd,
      .loop = &loop_,
      .onOutput = std::move(onOutput),
      .onExit = std::move(onExit),
      .onOutputEnd = std::move(onOutputEnd),
      .readSize = options_.readSize,
      .maxBlocksInFlight = options_.maxBlocksInFlight,
      .condense = options_.condense,
  });
  if (!reader) {
    // Nobody could watch or reap it: take it back down rather than leave it unsupervised.
    signalProcessGroup(group_, SIGKILL);
    ::kill(pid, SIGKILL);
    (void)waitForChild(pid);
    return false;
  }
  reader_ = std::move(*reader);
  pid_.store(pid);
  if (!options_.guard.empty()) {
    // Without a guard the backend still has its parent-death signal: the launch stands.
    if (auto guard = BackendGuard::start(options_.guard, group_)) guard_.emplace(std::move(*guard));
  }
  return true;
}

bool PosixBackendProcess::isRunning() const { return pid_.load() != 0 && !reader_->hasExited(); }

std::int32_t PosixBackendProcess::processIdentifier() const { return pid_.load(); }

bool PosixBackendProcess::waitForExit(std::chrono::milliseconds timeout) {
  return !isRunning() || reader_->waitForExit(timeout);
}

bool PosixBackendProcess::treeIsRunning() const {
  return isRunning() || !liveMembers(group_, 1).empty();
}

bool PosixBackendProcess::waitForTreeExit(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  // The backend first; then what is left of its group.
  if (!waitForExit(timeout)) return false;
  return waitForGroupToEnd(group_, deadline);
}

void PosixBackendProcess::signalGroup(std::string_view signalName) {
  const int signal = signalNumber(signalName);
  if (signal == 0) return;
  signalProcessGroup(group_, signal);
  if (signal == SIGTERM) signalProcessGroup(group_, SIGCONT);
}

}  // namespace zvui
