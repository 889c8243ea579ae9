#pragma once
#include <glib.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "support/GlibHandles.h"

namespace zvui::test {

// A program the test started, killed and reaped on destruction unless it was reaped before.
class ChildProcess {
 public:
  using EnvChanges = std::map<std::string, std::optional<std::string>>;

  // `env` changes our environment (nullopt removes); output and error go to `output` or pipes.
  static std::unique_ptr<ChildProcess> start(const std::string& path, const EnvChanges& env = {},
                                             int output = -1) {
    gchar** envp = g_get_environ();
    for (const auto& [name, value] : env)
      envp = value ? g_environ_setenv(envp, name.c_str(), value->c_str(), TRUE)
                   : g_environ_unsetenv(envp, name.c_str());
    const GlibStrv owned(envp);
    const char* argv[] = {path.c_str(), nullptr};
    auto child = std::make_unique<ChildProcess>();
    int out = -1, err = -1, *pipes = output < 0 ? &out : nullptr;
    if (!g_spawn_async_with_pipes_and_fds(
            nullptr, argv, envp, G_SPAWN_DO_NOT_REAP_CHILD, nullptr, nullptr, -1, output, output,
            nullptr, nullptr, 0, &child->pid_, nullptr, pipes, pipes ? &err : nullptr, nullptr))
      return nullptr;
    child->pidfd_.reset(static_cast<int>(syscall(SYS_pidfd_open, child->pid_, 0)));
    if (!pipes) return child;
    child->out_.reset(fdopen(out, "r"));
    child->err_.reset(fdopen(err, "r"));
    // Unbuffered, so that no line waits here while readLine polls the pipe.
    setvbuf(child->out_.get(), nullptr, _IONBF, 0);
    return child;
  }
  ~ChildProcess() {
    if (exited_) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }

  // The next line of standard output; "" at EOF or when none came in time.
  std::string readLine(std::chrono::milliseconds timeout) {
    pollfd ready{fileno(out_.get()), POLLIN, 0};
    char line[512];
    const bool got = poll(&ready, 1, static_cast<int>(timeout.count())) > 0 &&
                     fgets(line, sizeof line, out_.get());
    return got ? line : "";
  }
  // The raw wait status, or nullopt while it still runs at the deadline.
  std::optional<int> waitExit(std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
    pollfd ended{pidfd_.get(), POLLIN, 0};
    if (!exited_ && poll(&ended, 1, static_cast<int>(timeout.count())) <= 0) return std::nullopt;
    if (!exited_) exited_ = waitpid(pid_, &status_, 0) == pid_;
    return status_;
  }
  // Everything on standard error, once the program has gone.
  std::string readAllStderr() {
    std::string text;
    for (char chunk[512]; fgets(chunk, sizeof chunk, err_.get());) text += chunk;
    return text;
  }
  void signal(int sig) const { kill(pid_, sig); }
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int status_ = 0;
  bool exited_ = false;
  UniqueFd pidfd_;
  UniquePointer<FILE, fclose> out_, err_;
};

}  // namespace zvui::test
