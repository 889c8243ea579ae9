#pragma once

#include <sys/types.h>

#include <filesystem>

#include "backend/ProcessGroup.h"
#include "support/Result.h"
#include "support/UniqueHandle.h"

namespace zvui {

// The guard program (native/guard), started right after the backend. It outlives us: when
// we end without the quit sequence (killed, crashed, display gone), the pipe it waits on
// reaches end of file and it stops the backend's process group in our place.
class BackendGuard {
 public:
  // Starts `program` for `group`. When it cannot, the backend has only its parent-death
  // signal to end it with us.
  static Result<BackendGuard> start(const std::filesystem::path& program,
                                    const ProcessGroup& group);
  BackendGuard(BackendGuard&& other) noexcept;
  BackendGuard& operator=(BackendGuard&&) = delete;
  ~BackendGuard() { release(); }

  // Lets the guard go now, as our end would: it stops whatever of the group still runs
  // (TERM, up to a second, KILL) and exits. Does not wait for that: quit must not.
  void release();

  [[nodiscard]] pid_t pid() const noexcept { return pid_; }

 private:
  BackendGuard(pid_t pid, UniqueFd line) noexcept : pid_(pid), line_(std::move(line)) {}

  pid_t pid_ = 0;
  UniqueFd line_;  // the write end of the guard's standard input; nothing is written
};

}  // namespace zvui
