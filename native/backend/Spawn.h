#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "support/Result.h"
#include "support/UniqueHandle.h"

namespace zvui {

// What a child process gets. Everything not named here is inherited: working directory,
// process group, standard input (when inputFd is unset), and standard output and error
// (when outputFd is unset).
struct SpawnRequest {
  std::filesystem::path executable;
  // The arguments after argv[0]; argv[0] is always the executable's path.
  std::vector<std::string> arguments;
  // The complete environment; ours when unset.
  std::optional<std::vector<std::string>> environment;
  // When set, becomes the standard input of the child.
  int inputFd = -1;
  // When set, becomes both standard output and standard error of the child.
  int outputFd = -1;
  // The child leads a new process group (its id is the child's pid), set before exec.
  bool newProcessGroup = false;
  // Sent to the child when the spawning thread ends; 0 for none.
  int parentDeathSignal = 0;
};

// Starts a child with vfork + exec (a parent-death signal is set between the two). The child
// inherits none of our descriptors above 2, has every signal at its default disposition and
// an empty signal mask, and an exec failure is reported here, with the child already reaped.
// With a parent-death signal, call it from a thread that lives as long as the child should:
// the signal fires when that thread ends.
// The child's pid, or the errno that stopped it before or at exec.
Result<pid_t> spawnProcess(const SpawnRequest& request);

// Waits for our own child `pid` to end and returns its wait status; nothing when it cannot be
// waited for. Only ever waits on that pid.
std::optional<int> waitForChild(pid_t pid) noexcept;

// `fd` moved to a close-on-exec descriptor above 2, so it can never collide with the standard
// streams of a child. Empty (and fd closed) on failure, or when fd was -1 already.
UniqueFd moveAboveStandardStreams(int fd) noexcept;

// Closes every descriptor above 2 except `keep`, by listing /proc/self/fd. The fallback
// for kernels without close_range; async-signal-safe, for use between fork and exec.
void closeDescriptorsByListing(int keep) noexcept;

}  // namespace zvui
