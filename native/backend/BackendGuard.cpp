#include "backend/BackendGuard.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <utility>

#include "backend/Spawn.h"

namespace zvui {

Result<BackendGuard> BackendGuard::start(const std::filesystem::path& program,
                                         const ProcessGroup& group) {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) return errnoFailure(errno);
  const UniqueFd readEnd = moveAboveStandardStreams(ends[0]);
  UniqueFd writeEnd = moveAboveStandardStreams(ends[1]);
  if (!readEnd || !writeEnd) return errnoFailure(EMFILE);
  // Its own process group: a signal to ours (the terminal's Ctrl-C, a shell killing the
  // job) must not take the guard down along with us.
  SpawnRequest request;
  request.executable = program;
  request.arguments = {std::to_string(group.id), std::to_string(group.leaderStart)};
  request.inputFd = readEnd.get();
  request.newProcessGroup = true;
  const Result<pid_t> guard = spawnProcess(request);
  if (!guard) return Failure{guard.error()};
  return BackendGuard(*guard, std::move(writeEnd));
}

BackendGuard::BackendGuard(BackendGuard&& other) noexcept
    : pid_(std::exchange(other.pid_, 0)), line_(std::move(other.line_)) {}

void BackendGuard::release() {
  if (pid_ <= 0) return;
  line_.reset();
  // Reaped now if it is already done, else it ends on its own as our child (a zombie for
  // what is left of our life) or, once we are gone, as init's.
  ::waitpid(pid_, nullptr, WNOHANG);
  pid_ = 0;
}

}  // namespace zvui
