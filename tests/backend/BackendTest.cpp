// Backend children as real processes: their start, their output, and stopping their trees.
#include <gmock/gmock.h>
#include <poll.h>
#include <pty.h>
#include <sys/syscall.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <thread>

#include "backend/BackendEnvironment.h"
#include "backend/BackendShutdown.h"
#include "backend/OutputWatcher.h"
#include "backend/PosixBackendLauncher.h"
#include "backend/PosixBackendProcess.h"
#include "backend/Spawn.h"
#include "support/TestFiles.h"
#include "support/TestMainLoop.h"
#include "support/TreeShapes.h"

namespace zvui::test {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;
const std::filesystem::path kTreeBackend = ZVUI_TREE_BACKEND;
constexpr std::chrono::milliseconds kPatience = 20s;

// Processes held by pidfd, so that pid reuse cannot confuse them; killed at the end if alive.
struct Sweeper {
  void watch(pid_t pid) {
    fds.try_emplace(pid, static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
  }
  bool gone(pid_t pid, std::chrono::milliseconds timeout = {}) const {  // zombies have gone
    pollfd fd{fds.at(pid).get(), POLLIN, 0};
    return ::poll(&fd, 1, static_cast<int>(timeout.count())) > 0;
  }
  ~Sweeper() {
    for (const auto& [pid, fd] : fds)
      ::syscall(SYS_pidfd_send_signal, fd.get(), SIGKILL, nullptr, 0);
  }
  std::map<pid_t, UniqueFd> fds;
};

// A tree_backend of one shape; await() waits for `count` of its processes and watches them.
struct BackendTree {
  BackendTree(const std::string& shape, bool wrapped)
      : executable(wrapped ? dir.path() / "wrapper" : kTreeBackend),
        environment{"HELPER_TREE=" + shape, "HELPER_PIDS=" + pids.string()} {
    if (wrapped) placeTree(true, kTreeBackend, executable);
  }
  std::vector<pid_t> await(std::size_t count, Sweeper& sweeper) const {
    Strings lines;
    std::vector<pid_t> recorded;
    for (const auto deadline = std::chrono::steady_clock::now() + kPatience;
         (lines = linesOf(readFile(pids))).size() < count;  // no event to wait on: poll the file
         std::this_thread::sleep_for(1ms))
      if (std::chrono::steady_clock::now() > deadline) return recorded;
    for (const auto& line : lines) sweeper.watch(recorded.emplace_back(std::stoi(line)));
    return recorded;
  }
  TempDir dir;
  std::filesystem::path pids = dir.path() / "pids", executable;
  Strings environment;
};

// Signal tools that only record "<tool> <arguments>", then "end <tool>".
SignalTools recordingTools(const TempDir& dir, const std::filesystem::path& record) {
  SignalTools tools;
  for (auto [tool, name] : {std::pair(&tools.pkill, "pkill"), std::pair(&tools.kill, "kill")}) {
    const std::string log = " >> '" + record.string() + "'\n";
    *tool = dir.write(name, "#!/bin/sh\necho \"" + std::string(name) + " $*\"" + log +
                                "echo 'end " + name + "'" + log);
    std::filesystem::permissions(*tool, std::filesystem::perms::owner_all);
  }
  return tools;
}

// A backend without a guard, on a main loop of its own that counts the most tasks waiting.
struct RunningBackend final : MainLoop {
  RunningBackend(const std::filesystem::path& executable, Strings environment,
                 PosixBackendProcess::Options options = {})
      : process(std::make_unique<PosixBackendProcess>(executable, std::move(environment), *this,
                                                      options)) {
    if (process->launch([this](std::string block) { output += block; },
                        [this] { ++exitNotices, bytesAtExit = output.size(); }))
      sweeper.watch(pid());
  }
  void post(std::function<void()> task) override {
    for (int now = ++pending, seen = most; now > seen && !most.compare_exchange_weak(seen, now);) {
    }
    loop.post([this, task = std::move(task)] { task(), --pending; });
  }
  void postAfter(std::chrono::milliseconds delay, std::function<void()> task) override {
    loop.postAfter(delay, std::move(task));
  }
  pid_t pid() const { return process->processIdentifier(); }
  Strings recorded() const { return linesOf(readFile(record)); }

  TestMainLoop loop;
  std::atomic<int> pending{0}, most{0};
  Sweeper sweeper;
  TempDir dir;
  std::filesystem::path record = dir.path() / "record";
  PosixBackendLauncher launcher{".", *this, recordingTools(dir, record)};
  std::string output;
  std::size_t bytesAtExit = 0;
  int exitNotices = 0;
  std::unique_ptr<PosixBackendProcess> process;
};

// Whole, output arrives in order; condensed, the buffer keeps what it would of every byte.
class Flood : public ::testing::TestWithParam<bool> {};

TEST_P(Flood, ArrivesInOrderWithFewBlocksInFlight) {
  constexpr std::size_t kBytes = 8 * 1024 * 1024;
  constexpr int kInFlight = 3;
  RunningBackend backend(ZVUI_FLOOD_BACKEND, {"HELPER_FLOOD_BYTES=" + std::to_string(kBytes)},
                         {.maxBlocksInFlight = kInFlight, .condense = GetParam(), .guard = {}});
  ASSERT_TRUE(backend.loop.runUntil([&] { return backend.exitNotices > 0; }, 60s));
  backend.loop.runPending();

  std::string expected, dots(47, '.');
  char line[65];
  for (std::size_t n = 0; n < kBytes / 64; ++n)
    expected.append(line, std::snprintf(line, sizeof line, "line %010zu %s\n", n, dots.c_str()));
  if (GetParam()) {
    OutputBuffer fromAll, fromDelivered;
    fromAll.append(expected);
    fromDelivered.append(backend.output);
    EXPECT_TRUE(fromDelivered.text() == fromAll.text()) << "the kept tail differs";
    EXPECT_TRUE(backend.output.starts_with(expected.substr(0, 64))) << "the first line is cut";
  } else {
    EXPECT_TRUE(backend.output == expected) << "lost, reordered or altered output";
  }
  EXPECT_EQ(backend.bytesAtExit, backend.output.size()) << "the exit notice comes last";
  EXPECT_EQ(backend.exitNotices, 1);
  EXPECT_LE(backend.most, kInFlight + 2) << "blocks in flight, the exit and end-of-output";
}

INSTANTIATE_TEST_SUITE_P(WholeOrCondensed, Flood, ::testing::Bool());

TEST(BackendProcess,
     ExitIsSeenWithoutPidfdWhileChildrenHoldThePipeAndTheyAreStoppedWithoutTheTools) {
  // A launcher that hands off to two children (one ignores TERM) and exits; "ready" comes on
  // standard error. Its pid may name another process by now: no tools, nor for group pids.
  RunningBackend backend(ZVUI_FORKING_BACKEND, {"HELPER_PARENT=exit"},
                         {.usePidfd = false, .guard = {}});
  ASSERT_TRUE(backend.process->waitForExit(kPatience)) << "seen while the main loop is held up";
  ASSERT_TRUE(backend.loop.runUntil([&] { return backend.exitNotices > 0; }, 60s));
  EXPECT_TRUE(backend.output.substr(0, backend.bytesAtExit).ends_with("ready\n"));
  const Strings children = linesOf(backend.output, "child ");
  ASSERT_EQ(children.size(), 2u);
  for (const auto& child : children) backend.sweeper.watch(std::stoi(child));
  ASSERT_TRUE(backend.process->treeIsRunning()) << "the children hold the pipe";

  stopBackendTree(backend.process.get(), backend.launcher);
  for (const int pid : {0, -1, -4242}) backend.launcher.signalBackendTree(pid, "TERM");
  EXPECT_THAT(backend.recorded(), ::testing::IsEmpty());
  for (const auto& child : children)
    EXPECT_TRUE(backend.sweeper.gone(std::stoi(child), 5s)) << child;
  EXPECT_FALSE(backend.process->treeIsRunning());
}

// The quit sequence alone: the tools' TERM pass first, and soon nothing of the tree left.
class QuitSequence : public ::testing::TestWithParam<TreeShape> {};

TEST_P(QuitSequence, LeavesNothingOfTheTreeWithoutAGuard) {
  BackendTree tree(GetParam().shape, GetParam().wrapped);
  RunningBackend backend(tree.executable, tree.environment);
  const std::vector<pid_t> pids = tree.await(GetParam().processes, backend.sweeper);
  ASSERT_EQ(pids.size(), GetParam().processes);
  stopBackendTree(backend.process.get(), backend.launcher);
  Strings runs = backend.recorded();
  const std::string id = std::to_string(backend.pid());
  runs.resize(4);
  EXPECT_THAT(runs,
              ElementsAre("pkill -TERM -P " + id, "end pkill", "kill -TERM " + id, "end kill"));
  for (const pid_t pid : pids) EXPECT_TRUE(backend.sweeper.gone(pid, 500ms)) << pid;
  EXPECT_FALSE(backend.process->treeIsRunning());
}

INSTANTIATE_TEST_SUITE_P(Shapes, QuitSequence, ::testing::ValuesIn(kTreeShapes), RowName);

// The stand-in shell in the foreground of a terminal: the backend starts in a plain state and
// reads no terminal (SIGTTIN would stop it). The shell killed, the guard stops the tree.
TEST(ShellEnds, KilledOutrightLeavesNoBackendBehind) {
  int terminal = -1, secondary = -1;
  ASSERT_EQ(::openpty(&terminal, &secondary, nullptr, nullptr, nullptr), 0);
  const UniqueFd terminalEnd(terminal), secondaryEnd(secondary);
  BackendTree tree("reads-stdin", false);
  Strings environment = currentEnvironment(), expected;
  environment.insert(environment.begin(), "TAMRIK_PORT=8080");
  environment.insert(environment.end(), tree.environment.begin(), tree.environment.end());
  environment.insert(environment.end(), {"ZVUI_SPACED=a value = with signs", "TAMRIK_APP_MODE=0"});
  expected.assign(environment.begin() + 1, environment.end() - 1);
  expected.insert(expected.end(), {"TAMRIK_PORT=0", "TAMRIK_APP_MODE=1"});
  const Result<pid_t> shell =
      spawnProcess({.executable = "/usr/bin/setsid",
                    .arguments = {"--ctty", "/usr/bin/env", "-C", ZVUI_RESOURCE_DIRECTORY,
                                  ZVUI_LAUNCHING_PARENT, kTreeBackend},
                    .environment = environment,
                    .inputFd = secondary});
  ASSERT_TRUE(shell);
  Sweeper sweeper;
  sweeper.watch(*shell);
  const std::vector<pid_t> pids = tree.await(2, sweeper);
  ASSERT_EQ(pids.size(), 2u);
  const auto leader =
      std::ranges::find_if(pids, [](pid_t pid) { return readProcessStat(pid)->group == pid; });
  ASSERT_NE(leader, pids.end()) << "the backend leads a group of its own";
  const std::string proc = "/proc/" + std::to_string(*leader) + "/",
                    status = readFile(proc + "status");
  std::istringstream given(readFile(proc + "environ"));
  Strings entries, fds;
  for (std::string entry; std::getline(given, entry, '\0');) entries.push_back(entry);
  EXPECT_THAT(entries, ::testing::ElementsAreArray(expected));
  for (const auto& fd : std::filesystem::directory_iterator(proc + "fd"))
    fds.push_back(fd.path().filename());
  EXPECT_THAT(fds, ::testing::UnorderedElementsAre("0", "1", "2"));
  // Bit n-1 is signal n; the C library keeps 32 and 33 for itself.
  for (const char* mask : {"SigBlk:", "SigIgn:"})
    EXPECT_EQ(std::stoull(linesOf(status, mask).at(0), nullptr, 16) & ~(3ULL << 31), 0u) << mask;

  ::kill(*shell, SIGKILL);
  EXPECT_EQ(waitForChild(*shell).value_or(-1), W_EXITCODE(0, SIGKILL));
  EXPECT_TRUE(sweeper.gone(*leader, 1s));
  for (const pid_t pid : pids) EXPECT_TRUE(sweeper.gone(pid, kPatience)) << pid;
}

TEST(ProcessGroups, OnlyTheGroupWeWereGivenIsEverSignalled) {
  // Its command name reads as another state and group up to its last ')', which alone ends it.
  const TempDir dir;
  std::filesystem::copy_file(kTreeBackend, dir.path() / "x) Z 1 1 (y");
  const Result<pid_t> leader = spawnProcess({.executable = dir.path() / "x) Z 1 1 (y",
                                             .arguments = {},
                                             .environment = Strings{"HELPER_TREE=ignores-term"},
                                             .newProcessGroup = true});
  ASSERT_TRUE(leader);
  Sweeper sweeper;
  sweeper.watch(*leader);
  const ProcessGroup ours = processGroupLedBy(*leader);

  std::vector<ProcessGroup> refused{{*leader, ours.leaderStart + 1}};  // another start: not ours
  for (const pid_t id : {0, 1, ::getpid(), ::getpgrp(), ::getpgid(::getppid())})
    refused.push_back({id, 0});
  for (const ProcessGroup& group : refused) {
    EXPECT_FALSE(isSignallable(group)) << group.id;
    EXPECT_FALSE(signalProcessGroup(group, SIGKILL)) << group.id;
    EXPECT_TRUE(liveMembers(group).empty()) << group.id;
  }
  for (const auto& [id, start] : {std::pair("42x", "0"), {"", "0"}, {"42", "0x"}, {"42", ""}})
    EXPECT_FALSE(parseProcessGroup(id, start)) << id << " " << start;
  EXPECT_FALSE(sweeper.gone(*leader, 50ms));

  EXPECT_THAT(liveMembers(ours), ElementsAre(*leader));
  EXPECT_TRUE(signalProcessGroup(ours, SIGKILL));
  EXPECT_TRUE(sweeper.gone(*leader, kPatience));
  // Unreaped, the leader still holds its id; a zombie is no live member.
  EXPECT_TRUE(liveMembers(ours).empty());
  EXPECT_TRUE(waitForGroupToEnd(ours, std::chrono::steady_clock::now()));
  waitForChild(*leader);
}

}  // namespace
}  // namespace zvui::test
