#pragma once

// Shared by the backend tests: the helper programs, a record of what a backend hands the
// main loop, signalling tools that record their runs, and a sweeper for stray processes.

#include <poll.h>
#include <sys/syscall.h>

#include <atomic>
#include <csignal>
#include <map>
#include <thread>

#include "backend/BackendProcess.h"
#include "backend/SignalTools.h"
#include "support/TestFiles.h"
#include "support/TestMainLoop.h"
#include "support/TreeShapes.h"
#include "support/UniqueHandle.h"

namespace zvui::test {

inline const std::filesystem::path kAnnounceBackend = ZVUI_ANNOUNCE_BACKEND;
inline const std::filesystem::path kForkingBackend = ZVUI_FORKING_BACKEND;
inline const std::filesystem::path kFloodBackend = ZVUI_FLOOD_BACKEND;
inline const std::filesystem::path kLaunchingParent = ZVUI_LAUNCHING_PARENT;
inline const std::filesystem::path kTreeBackend = ZVUI_TREE_BACKEND;
inline const std::filesystem::path kBackendGuard = ZVUI_BACKEND_GUARD;
inline constexpr std::chrono::milliseconds kPatience = std::chrono::seconds(20);

// Checks `done()` every millisecond until it holds or `timeout` passes, for what gives no
// event to wait on (a file another process writes, a count another thread keeps).
inline bool pollUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = kPatience) {
  for (const auto deadline = std::chrono::steady_clock::now() + timeout; !done();) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// Processes a test learned of, held by pidfd so that pid reuse cannot confuse them. Any
// still alive at scope end are killed: a failing test leaves nothing behind.
class Sweeper {
 public:
  void watch(pid_t pid) { fds_.try_emplace(pid, static_cast<int>(::syscall(SYS_pidfd_open, pid, 0))); }
  // True once `pid` has ended (a zombie counts as ended).
  bool gone(pid_t pid, std::chrono::milliseconds timeout = {}) const {
    pollfd fd{fds_.at(pid).get(), POLLIN, 0};
    return ::poll(&fd, 1, static_cast<int>(timeout.count())) > 0;
  }
  ~Sweeper() {
    for (const auto& [pid, fd] : fds_)
      ::syscall(SYS_pidfd_send_signal, fd.get(), SIGKILL, nullptr, 0);
  }

 private:
  std::map<pid_t, UniqueFd> fds_;
};

// A tree_backend of one shape, its pids recorded in a file as each process is set up.
struct BackendTree {
  BackendTree(const std::string& shape, bool wrapped)
      : executable(wrapped ? dir.path() / "wrapper" : kTreeBackend),
        environment{"HELPER_TREE=" + shape, "HELPER_PIDS=" + pids.string(),
                    "HELPER_REPORT=" + (dir.path() / "report").string()} {
    if (wrapped) placeTree(true, kTreeBackend, executable);
  }
  // Waits for `count` processes to have recorded themselves and watches them.
  [[nodiscard]] Strings await(std::size_t count, Sweeper& sweeper) const {
    Strings recorded;
    if (!pollUntil([&] { return (recorded = linesOf(readFile(pids))).size() >= count; })) return {};
    for (const auto& pid : recorded) sweeper.watch(std::stoi(pid));
    return recorded;
  }

  TempDir dir;
  std::filesystem::path pids = dir.path() / "pids", executable;
  Strings environment;
};

// What a launched backend handed to the main loop, in order.
struct Capture {
  BackendOutputHandler onOutput() { return [this](std::string block) { ++blocks, output += block; }; }
  BackendExitHandler onExit() { return [this] { ++exitNotices, bytesAtExit = output.size(); }; }

  std::string output;
  std::size_t blocks = 0, bytesAtExit = 0;
  int exitNotices = 0;
};

// Signal tools that record "<tool> <arguments>" when they start and "end <tool>" when they
// are done, and in between run the real tool or, without passThrough, nothing.
struct RecordingTools {
  explicit RecordingTools(bool passThrough) {
    for (auto [tool, name, real] : {std::tuple(&tools.pkill, "pkill", "/usr/bin/pkill"),
                                    std::tuple(&tools.kill, "kill", "/bin/kill")}) {
      const std::string log = " >> '" + record.string() + "'\n";
      *tool = dir.write(name, std::string("#!/bin/sh\necho \"") + name + " $*\"" + log +
                                  (passThrough ? real + std::string(" \"$@\"\n") : "") +
                                  "echo \"end " + name + "\"" + log);
      std::filesystem::permissions(*tool, std::filesystem::perms::owner_all);
    }
  }
  [[nodiscard]] Strings lines() const { return linesOf(readFile(record)); }

  TempDir dir;
  std::filesystem::path record = dir.path() / "record";
  SignalTools tools;
};

inline Strings toolRuns(const std::string& signal, pid_t pid) {
  const std::string id = std::to_string(pid);
  return {"pkill -" + signal + " -P " + id, "end pkill", "kill -" + signal + " " + id, "end kill"};
}

// A test main loop that also counts the tasks posted and not yet run, and the most there were.
struct CountingLoop final : MainLoop {
  void post(std::function<void()> task) override {
    const int now = ++pending;
    for (int seen = most; now > seen && !most.compare_exchange_weak(seen, now);) {
    }
    inner.post([this, task = std::move(task)] { task(), --pending; });
  }
  void postAfter(std::chrono::milliseconds delay, std::function<void()> task) override {
    inner.postAfter(delay, std::move(task));
  }

  TestMainLoop inner;
  std::atomic<int> pending{0}, most{0};
};

}  // namespace zvui::test
