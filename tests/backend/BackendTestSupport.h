#pragma once

#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "backend/BackendProcess.h"
#include "backend/SignalTools.h"
#include "support/TestMainLoop.h"
#include "support/UniqueHandle.h"

namespace zvui::test {

inline const std::filesystem::path kAnnounceBackend = ZVUI_ANNOUNCE_BACKEND;
inline const std::filesystem::path kTermIgnoringBackend = ZVUI_TERM_IGNORING_BACKEND;
inline const std::filesystem::path kForkingBackend = ZVUI_FORKING_BACKEND;
inline const std::filesystem::path kExitingBackend = ZVUI_EXITING_BACKEND;
inline const std::filesystem::path kFloodBackend = ZVUI_FLOOD_BACKEND;
inline const std::filesystem::path kReportBackend = ZVUI_REPORT_BACKEND;
inline const std::filesystem::path kLaunchingParent = ZVUI_LAUNCHING_PARENT;

inline constexpr auto kPatience = std::chrono::seconds(20);

// Waits for a condition another thread brings about, up to a deadline.
inline bool eventually(const std::function<bool()>& condition,
                       std::chrono::milliseconds timeout = kPatience) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// A fresh directory, removed with everything in it at scope end.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "zvui-backend-XXXXXX");
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  [[nodiscard]] const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

inline std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

inline std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

inline void writeExecutable(const std::filesystem::path& path, const std::string& text) {
  std::ofstream(path) << text;
  std::filesystem::permissions(path, std::filesystem::perms::owner_all);
}

// A handle on any process (not only our children) that cannot be confused by pid reuse.
class ProcessWatch {
 public:
  explicit ProcessWatch(pid_t pid) : pid_(pid), fd_(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0))) {}
  [[nodiscard]] bool valid() const { return static_cast<bool>(fd_); }
  [[nodiscard]] pid_t pid() const { return pid_; }
  // True once the process has ended (a zombie counts as ended).
  bool waitGone(std::chrono::milliseconds timeout) const {
    pollfd fd{fd_.get(), POLLIN, 0};
    return ::poll(&fd, 1, static_cast<int>(timeout.count())) > 0;
  }
  [[nodiscard]] bool gone() const { return waitGone(std::chrono::milliseconds(0)); }
  void kill() const { ::syscall(SYS_pidfd_send_signal, fd_.get(), SIGKILL, nullptr, 0); }

 private:
  pid_t pid_;
  UniqueFd fd_;
};

// Processes a test learned of; any still alive at scope end are killed, so a failing test
// leaves nothing behind.
class Sweeper {
 public:
  const ProcessWatch& watch(pid_t pid) { return watches_.emplace_back(pid); }
  ~Sweeper() {
    for (const auto& watch : watches_) watch.kill();
  }

 private:
  std::deque<ProcessWatch> watches_;  // stable addresses for the references handed out
};

// What a launched backend handed to the main loop, in order.
struct Capture {
  std::string output;
  std::size_t blocks = 0;
  bool exited = false;
  std::size_t bytesAtExit = 0;
  int exitNotices = 0;

  BackendOutputHandler outputHandler() {
    return [this](std::string block) {
      ++blocks;
      output += block;
    };
  }
  BackendExitHandler exitHandler() {
    return [this] {
      ++exitNotices;
      exited = true;
      bytesAtExit = output.size();
    };
  }
  bool saw(const std::string& text) const { return output.find(text) != std::string::npos; }
};

// The pids a forking backend names in its "child <pid>" lines.
inline std::vector<pid_t> namedChildren(const std::string& output) {
  std::vector<pid_t> pids;
  for (const auto& line : splitLines(output)) {
    if (line.rfind("child ", 0) == 0) pids.push_back(std::stoi(line.substr(6)));
  }
  return pids;
}

// Signal tools that write "<tool> <arguments>" when they start and "end <tool>" when they
// are done, and in between run the real tool or, with passThrough false, nothing.
class RecordingTools {
 public:
  explicit RecordingTools(bool passThrough) {
    record_ = dir_.path() / "record";
    tools_.pkill = makeTool("pkill", "/usr/bin/pkill", passThrough);
    tools_.kill = makeTool("kill", "/bin/kill", passThrough);
  }
  [[nodiscard]] const SignalTools& tools() const { return tools_; }
  [[nodiscard]] std::vector<std::string> lines() const { return splitLines(readFile(record_)); }
  [[nodiscard]] const std::filesystem::path& directory() const { return dir_.path(); }

 private:
  std::filesystem::path makeTool(const std::string& name, const std::string& real,
                                 bool passThrough) {
    const auto path = dir_.path() / name;
    writeExecutable(path, "#!/bin/sh\necho \"" + name + " $*\" >> '" + record_.string() +
                              "'\n" + (passThrough ? real + " \"$@\"\n" : "") + "echo \"end " +
                              name + "\" >> '" + record_.string() + "'\n");
    return path;
  }

  TempDir dir_;
  std::filesystem::path record_;
  SignalTools tools_;
};

inline std::vector<std::string> toolRuns(const std::string& signal, pid_t pid) {
  const std::string id = std::to_string(pid);
  return {"pkill -" + signal + " -P " + id, "end pkill", "kill -" + signal + " " + id, "end kill"};
}

// A main loop that also counts the tasks posted but not yet run, and the most there ever were.
class CountingLoop final : public MainLoop {
 public:
  void post(std::function<void()> task) override {
    const int now = ++pending_;
    int seen = mostPending_.load();
    while (now > seen && !mostPending_.compare_exchange_weak(seen, now)) {
    }
    inner_.post([this, task = std::move(task)] {
      task();
      --pending_;
    });
  }
  void postAfter(std::chrono::milliseconds delay, std::function<void()> task) override {
    inner_.postAfter(delay, std::move(task));
  }
  bool runUntil(const std::function<bool()>& done,
                std::chrono::milliseconds timeout = kPatience) {
    return inner_.runUntil(done, timeout);
  }
  int runPending() { return inner_.runPending(); }
  [[nodiscard]] int pending() const { return pending_.load(); }
  [[nodiscard]] int mostPending() const { return mostPending_.load(); }

 private:
  TestMainLoop inner_;
  std::atomic<int> pending_{0};
  std::atomic<int> mostPending_{0};
};

}  // namespace zvui::test
