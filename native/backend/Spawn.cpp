#include "backend/Spawn.h"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "support/UniqueHandle.h"

extern char** environ;

namespace zvui {
namespace {

// Everything the child needs, prepared before fork: after fork only async-signal-safe calls
// may run, so nothing here allocates.
struct ChildPlan {
  const char* path;
  char* const* argv;
  char* const* envp;
  int inputFd;
  int outputFd;
  int errorFd;
  int parentDeathSignal;
  bool newProcessGroup;
  pid_t parent;
};

[[noreturn]] void failChild(int errorFd) noexcept {
  const int error = errno;
  [[maybe_unused]] auto written = ::write(errorFd, &error, sizeof error);
  ::_exit(127);
}

// `fd` onto `target`; dup2 onto itself would keep the close-on-exec flag.
bool placeDescriptor(int fd, int target) noexcept {
  if (fd < 3) fd = ::fcntl(fd, F_DUPFD, 3);
  return fd >= 0 && ::dup2(fd, target) >= 0;
}

void closeDescriptorsAbove2(int keep) noexcept {
  bool done = true;
  if (keep > 3 && ::close_range(3, static_cast<unsigned>(keep - 1), 0) != 0) done = false;
  if (done && ::close_range(static_cast<unsigned>(keep + 1), UINT_MAX, 0) != 0) done = false;
  if (!done) closeDescriptorsByListing(keep);
}

[[noreturn]] void runChild(const ChildPlan& plan) noexcept {
  // Handlers are reset by exec anyway; ignored signals (SIGPIPE in most GUI processes) and
  // the blocked mask would not be, and the backend expects a plain process.
  struct sigaction byDefault {};
  byDefault.sa_handler = SIG_DFL;
  sigemptyset(&byDefault.sa_mask);
  for (int sig = 1; sig < NSIG; ++sig) {
    if (sig != SIGKILL && sig != SIGSTOP) ::sigaction(sig, &byDefault, nullptr);
  }

  if (plan.parentDeathSignal != 0) {
    ::prctl(PR_SET_PDEATHSIG, plan.parentDeathSignal);
    // The parent may have died before the request took effect; nobody would tell us then.
    if (::getppid() != plan.parent) ::_exit(127);
  }

  // Before exec, so the group exists by the time the parent learns the child runs.
  if (plan.newProcessGroup && ::setpgid(0, 0) != 0) failChild(plan.errorFd);

  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);

  if (plan.inputFd >= 0 && !placeDescriptor(plan.inputFd, STDIN_FILENO)) failChild(plan.errorFd);
  if (plan.outputFd >= 0 && (!placeDescriptor(plan.outputFd, STDOUT_FILENO) ||
                             !placeDescriptor(plan.outputFd, STDERR_FILENO))) {
    failChild(plan.errorFd);
  }

  closeDescriptorsAbove2(plan.errorFd);
  ::execve(plan.path, plan.argv, plan.envp);
  failChild(plan.errorFd);
}

// argv and envp as exec wants them, built before the child exists.
class ExecStrings {
 public:
  explicit ExecStrings(const SpawnRequest& request)
      : path_(request.executable.string()), inheritEnvironment_(!request.environment) {
    arguments_.reserve(request.arguments.size() + 1);
    arguments_.push_back(path_);
    arguments_.insert(arguments_.end(), request.arguments.begin(), request.arguments.end());
    argv_ = pointersTo(arguments_);
    if (request.environment) {
      environment_ = *request.environment;
      envp_ = pointersTo(environment_);
    }
  }
  ExecStrings(const ExecStrings&) = delete;
  ExecStrings& operator=(const ExecStrings&) = delete;

  [[nodiscard]] const char* path() const { return path_.c_str(); }
  [[nodiscard]] char* const* argv() const { return argv_.data(); }
  [[nodiscard]] char* const* envp() const { return inheritEnvironment_ ? environ : envp_.data(); }

 private:
  static std::vector<char*> pointersTo(std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    pointers.reserve(strings.size() + 1);
    for (auto& entry : strings) pointers.push_back(entry.data());
    pointers.push_back(nullptr);
    return pointers;
  }

  std::string path_;
  bool inheritEnvironment_;
  std::vector<std::string> arguments_;
  std::vector<std::string> environment_;
  std::vector<char*> argv_;
  std::vector<char*> envp_;
};

}  // namespace

UniqueFd moveAboveStandardStreams(int fd) noexcept {
  if (fd < 0 || fd > 2) return UniqueFd(fd);
  const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
  ::close(fd);
  return UniqueFd(moved);
}

void closeDescriptorsByListing(int keep) noexcept {
  const int directory = ::open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (directory < 0) {
    // No /proc: walk the whole descriptor range instead.
    const long limit = ::sysconf(_SC_OPEN_MAX);
    for (long fd = 3; fd < (limit > 0 ? limit : 65536); ++fd) {
      if (fd != keep) ::close(static_cast<int>(fd));
    }
    return;
  }
  // Closing while listing may shift entries, so list again until a pass closes nothing.
  alignas(8) char buffer[4096];
  for (bool closedAny = true; closedAny;) {
    closedAny = false;
    ::lseek(directory, 0, SEEK_SET);
    for (;;) {
      const long length = ::syscall(SYS_getdents64, directory, buffer, sizeof buffer);
      if (length <= 0) break;
      for (long offset = 0; offset < length;) {
        const auto* entry = reinterpret_cast<const struct dirent64*>(buffer + offset);
        offset += entry->d_reclen;
        int fd = 0;
        const char* name = entry->d_name;
        if (*name < '0' || *name > '9') continue;
        for (; *name >= '0' && *name <= '9'; ++name) fd = fd * 10 + (*name - '0');
        if (fd > 2 && fd != keep && fd != directory) {
          ::close(fd);
          closedAny = true;
        }
      }
    }
  }
  ::close(directory);
}

std::optional<int> waitForChild(pid_t pid) noexcept {
  int status = 0;
  for (;;) {
    const pid_t result = ::waitpid(pid, &status, 0);
    if (result == pid) return status;
    if (result < 0 && errno != EINTR) return std::nullopt;
  }
}

namespace {

// The child borrows our memory and this thread until it execs or exits, so nothing of our
// page tables is copied however large the process has grown; it writes nothing but its own
// frames below ours and errno. Kept out of line so no variable of the caller lives across it.
[[gnu::noinline]] pid_t startChild(const ChildPlan& plan) noexcept {
  const pid_t pid = ::vfork();
  if (pid == 0) runChild(plan);
  return pid;
}

}  // namespace

Result<pid_t> spawnProcess(const SpawnRequest& request) {
  const ExecStrings exec(request);

  // Exec errors come back over this pipe; a successful exec closes it with nothing written.
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) return errnoFailure(errno);
  const UniqueFd errorRead = moveAboveStandardStreams(ends[0]);
  UniqueFd errorWrite = moveAboveStandardStreams(ends[1]);
  if (!errorRead || !errorWrite) return errnoFailure(EMFILE);

  const ChildPlan plan{exec.path(),
                       exec.argv(),
                       exec.envp(),
                       request.inputFd,
                       request.outputFd,
                       errorWrite.get(),
                       request.parentDeathSignal,
                       request.newProcessGroup,
                       ::getpid()};

  // Keep every signal blocked across the start so no handler of ours runs in the child
  // before the dispositions are reset.
  sigset_t all;
  sigset_t previous;
  sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &previous);
  const pid_t pid = startChild(plan);
  const int forkError = errno;
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  errorWrite.reset();
  if (pid < 0) return errnoFailure(forkError);

  int childError = 0;
  ssize_t got;
  do {
    got = ::read(errorRead.get(), &childError, sizeof childError);
  } while (got < 0 && errno == EINTR);
  if (got == static_cast<ssize_t>(sizeof childError)) {
    waitForChild(pid);
    return errnoFailure(childError);
  }
  return pid;
}

}  // namespace zvui
