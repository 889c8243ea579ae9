#include "backend/BackendGuard.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <utility>

#include "backend/Spawn.h"

namespace zvui {

BackendGuard::BackendGuard(const std::filesystem::path& program, const ProcessGroup& group) {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) return;
  UniqueFd readEnd(moveAboveStandardStreams(ends[0]));
  UniqueFd writeEnd(moveAboveStandardStreams(ends[1]));
  if (!readEnd || !writeEnd) return;
  // Its own process group: a signal to ours (the terminal's Ctrl-C, a shell killing the
  // job) must not take the guard down along with us.
  SpawnRequest request;
  request.executable = program;
  request.arguments = {std::to_string(group.id), std::to_string(group.leaderStart)};
  request.inputFd = readEnd.get();
  request.newProcessGroup = true;
  const SpawnResult guard = spawnProcess(request);
  if (!guard) return;
  pid_ = guard.pid;
  line_ = std::move(writeEnd);
  handle_.reset(static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0)));
}

void BackendGuard::release() {
  if (pid_ <= 0) return;
  line_.reset();
  bool ended = true;
  if (handle_) {
    pollfd fd{handle_.get(), POLLIN, 0};
    int ready;
    do {
      ready = ::poll(&fd, 1, static_cast<int>(kPatience.count()));
    } while (ready < 0 && errno == EINTR);
    ended = ready > 0;
  }
  // A guard that takes longer is left to finish on its own; it is bounded and needs nothing
  // from us.
  if (ended) waitForChild(pid_);
  handle_.reset();
  pid_ = 0;
}

}  // namespace zvui
