#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

namespace zvui::test {

// The test backend run directly (not through the app), for tests of the web view alone:
// started with extra environment entries, its announced address read from its stdout.
class TestServer {
 public:
  explicit TestServer(const std::vector<std::string>& extraEnvironment = {}) {
    std::vector<std::string> entries;
    for (char** e = environ; *e != nullptr; ++e) entries.emplace_back(*e);
    entries.insert(entries.end(), extraEnvironment.begin(), extraEnvironment.end());
    std::vector<char*> envp;
    for (auto& entry : entries) envp.push_back(entry.data());
    envp.push_back(nullptr);

    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    char* argv[] = {const_cast<char*>(ZVUI_TEST_BACKEND), nullptr};
    const int error = ::posix_spawn(&pid_, ZVUI_TEST_BACKEND, &actions, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    if (error != 0) {
      ::close(fds[0]);
      throw std::runtime_error("spawn test backend");
    }
    std::string output;
    char c;
    while (output.find("TAMRIK_URL=") == std::string::npos || output.back() != '\n') {
      if (::read(fds[0], &c, 1) != 1) break;
      output.push_back(c);
    }
    ::close(fds[0]);
    const auto at = output.find("TAMRIK_URL=");
    if (at == std::string::npos) throw std::runtime_error("no announcement");
    url_ = output.substr(at + 11, output.size() - at - 12);
  }
  TestServer(const TestServer&) = delete;
  TestServer& operator=(const TestServer&) = delete;
  ~TestServer() {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }

  [[nodiscard]] const std::string& url() const { return url_; }

 private:
  pid_t pid_ = 0;
  std::string url_;
};

}  // namespace zvui::test
