// Backend children as real processes: their start, their output, and stopping their trees.
#include <fcntl.h>
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
using ::testing::ElementsAreArray;
const std::filesystem::path kTreeBackend = ZVUI_TREE_BACKEND,
                            kForkingBackend = ZVUI_FORKING_BACKEND;
constexpr std::chrono::milliseconds kPatience = 20s;

// For what gives no event to wait on: a file another process writes, a count another thread keeps.
bool pollUntil(const std::function<bool()>& done) {
  for (const auto deadline = std::chrono::steady_clock::now() + kPatience; !done();
       std::this_thread::sleep_for(1ms))
    if (std::chrono::steady_clock::now() > deadline) return false;
  return true;
}

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
        environment{"HELPER_TREE=" + shape, "HELPER_PIDS=" + pids.string(),
                    "HELPER_REPORT=" + report.string()} {
    if (wrapped) placeTree(true, kTreeBackend, executable);
  }
  std::vector<pid_t> await(std::size_t count, Sweeper& sweeper) const {
    Strings lines;
    std::vector<pid_t> recorded;
    if (pollUntil([&] { return (lines = linesOf(readFile(pids))).size() >= count; }))
      for (const auto& line : lines) sweeper.watch(recorded.emplace_back(std::stoi(line)));
    return recorded;
  }
  TempDir dir;
  std::filesystem::path pids = dir.path() / "pids", report = dir.path() / "report", executable;
  Strings environment;
};

// Signal tools that record "<tool> <arguments>" as they start and "end <tool>" when done, and
// signal nothing: the process group signals stop the trees here.
struct RecordingTools {
  RecordingTools() {
    for (auto [tool, name] : {std::pair(&tools.pkill, "pkill"), std::pair(&tools.kill, "kill")}) {
      const std::string log = " >> '" + record.string() + "'\n";
      *tool = dir.write(name, std::string("#!/bin/sh\necho \"") + name + " $*\"" + log +
                                  "echo \"end " + name + "\"" + log);
      std::filesystem::permissions(*tool, std::filesystem::perms::owner_all);
    }
  }
  Strings lines() const { return linesOf(readFile(record)); }
  TempDir dir;
  std::filesystem::path record = dir.path() / "record";
  SignalTools tools;
};

Strings termPass(pid_t pid) {
  const std::string id = std::to_string(pid);
  return {"pkill -TERM -P " + id, "end pkill", "kill -TERM " + id, "end kill"};
}

// A launched backend with no guard, recording signal tools, and its own main loop: what it was
// handed there in order, and the most tasks that ever waited to run.
struct RunningBackend final : MainLoop {
  RunningBackend(const std::filesystem::path& executable, Strings environment,
                 PosixBackendProcess::Options options = {})
      : process(std::make_unique<PosixBackendProcess>(executable, std::move(environment), *this,
                                                      options)) {
    if (process->launch([this](std::string block) { ++blocks, output += block; },
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
  bool runUntil(const std::function<bool()>& done) { return loop.runUntil(done, 60s); }

  TestMainLoop loop;
  std::atomic<int> pending{0}, most{0};
  Sweeper sweeper;
  RecordingTools recorder;
  PosixBackendLauncher launcher{".", *this, recorder.tools};
  std::string output;
  std::size_t blocks = 0, bytesAtExit = 0;
  int exitNotices = 0;
  std::unique_ptr<PosixBackendProcess> process;
};

TEST(BackendProcess, StartsWithOurEnvironmentPlainStateAndBothStreamsJoined) {
  // What a GUI process commonly holds: descriptors without close-on-exec (one far up the
  // table), and SIGPIPE ignored.
  const UniqueFd stray(::open("/dev/null", O_RDONLY)), high(::dup2(stray.get(), 250));
  const auto previousPipe = ::signal(SIGPIPE, SIG_IGN);
  Environment ours = currentEnvironment();
  ours.insert(ours.begin(), "TAMRIK_PORT=8080");
  ours.insert(ours.end(),
              {"TAMRIK_APP_MODE=0", "ZVUI_SPACED=a value = with signs", "HELPER_TREE=announce"});
  RunningBackend backend(kTreeBackend, backendEnvironment(ours));
  ::signal(SIGPIPE, previousPipe);
  ASSERT_TRUE(backend.runUntil([&] { return backend.output.ends_with("ready\n"); }));
  EXPECT_EQ(backend.output, "starting console\nTAMRIK_URL=http://127.0.0.1:9/console\nready\n");

  std::erase_if(ours, [](const std::string& entry) {
    return entry.starts_with("TAMRIK_PORT=") || entry.starts_with("TAMRIK_APP_MODE=");
  });
  ours.insert(ours.end(), {"TAMRIK_PORT=0", "TAMRIK_APP_MODE=1"});
  const std::string proc = "/proc/" + std::to_string(backend.pid()) + "/";
  std::istringstream given(readFile(proc + "environ"));
  Strings environment, fds;
  for (std::string entry; std::getline(given, entry, '\0');) environment.push_back(entry);
  EXPECT_THAT(environment, ElementsAreArray(ours));
  for (const auto& fd : std::filesystem::directory_iterator(proc + "fd"))
    fds.push_back(fd.path().filename());
  EXPECT_THAT(fds, ::testing::UnorderedElementsAre("0", "1", "2"));
  // Bit n-1 is signal n. The C library sets up 32 and 33 for itself; no program sees them.
  for (const auto& mask : linesOf(readFile(proc + "status"), "Sig")) {
    if (mask.starts_with("Blk:") || mask.starts_with("Ign:")) {
      EXPECT_EQ(std::stoull(mask.substr(4), nullptr, 16) & ~(3ULL << 31), 0u) << mask;
    }
  }
}

// Whole, every byte arrives in order; condensed (the default), the output buffer keeps the same
// of it as of every byte. Either way few blocks wait, and the exit notice follows the last.
class Flood : public ::testing::TestWithParam<bool> {};

TEST_P(Flood, ArrivesInOrderWithFewBlocksInFlight) {
  constexpr std::size_t kBytes = 8 * 1024 * 1024;
  constexpr int kInFlight = 3;
  RunningBackend backend(ZVUI_FLOOD_BACKEND, {"HELPER_FLOOD_BYTES=" + std::to_string(kBytes)},
                         {.maxBlocksInFlight = kInFlight, .condense = GetParam(), .guard = {}});
  ASSERT_TRUE(backend.runUntil([&] { return backend.exitNotices > 0; }));
  backend.loop.runPending();

  std::string expected;
  char line[65];
  for (std::size_t n = 0; n < kBytes / 64; ++n) {
    std::snprintf(line, sizeof line, "line %010zu %s\n", n, std::string(47, '.').c_str());
    expected += line;
  }
  if (GetParam()) {
    OutputBuffer fromAll, fromDelivered;
    fromAll.append(expected);
    fromDelivered.append(backend.output);
    EXPECT_TRUE(fromDelivered.text() == fromAll.text()) << "the kept tail differs";
    EXPECT_TRUE(backend.output.starts_with(expected.substr(0, 64))) << "the first line is cut";
  } else {
    EXPECT_TRUE(backend.output == expected) << "lost, reordered or altered output";
  }
  EXPECT_EQ(backend.bytesAtExit, backend.output.size())
      << "the exit notice follows all output written before it";
  EXPECT_EQ(backend.exitNotices, 1);
  EXPECT_LE(backend.most, kInFlight + 2)
      << "blocks in flight, plus the exit and end-of-output notices";
}

INSTANTIATE_TEST_SUITE_P(WholeOrCondensed, Flood, ::testing::Bool());

TEST(BackendProcess,
     ExitIsSeenWithoutPidfdWhileChildrenHoldThePipeAndTheyAreStoppedWithoutTheTools) {
  // A launcher that hands off to a server and exits, one of its two children ignoring TERM:
  // the children are still its tree. The tools get no pid then, since the backend's may
  // already name another process.
  RunningBackend backend(kForkingBackend, {"HELPER_PARENT=exit"}, {.usePidfd = false, .guard = {}});
  ASSERT_TRUE(backend.process->waitForExit(kPatience)) << "seen while the main loop is held up";
  ASSERT_TRUE(backend.runUntil([&] { return backend.exitNotices > 0; }));
  EXPECT_FALSE(backend.process->isRunning());
  EXPECT_TRUE(backend.output.ends_with("ready\n"));
  EXPECT_EQ(backend.bytesAtExit, backend.output.size());
  const Strings children = linesOf(backend.output, "child ");
  ASSERT_EQ(children.size(), 2u);
  for (const auto& child : children) backend.sweeper.watch(std::stoi(child));
  for (const auto& child : children)
    EXPECT_FALSE(backend.sweeper.gone(std::stoi(child))) << "holds the pipe";
  ASSERT_TRUE(backend.process->treeIsRunning());

  stopBackendTree(backend.process.get(), backend.launcher);
  EXPECT_THAT(backend.recorder.lines(), ::testing::IsEmpty());
  for (const auto& child : children)
    EXPECT_TRUE(backend.sweeper.gone(std::stoi(child), 5s)) << child;
  EXPECT_FALSE(backend.process->treeIsRunning());
}

TEST(BackendShutdown, NoKillPassForABackendThatEndsOnTermWhileTheMainLoopIsBusy) {
  // The main thread is in the quit sequence and handles no output, so the reader of a
  // flooding backend is stuck (every line holds the announcement prefix, so none may be
  // dropped); the exit must still be seen, or quit would escalate to KILL. A tool that cannot
  // start is skipped, and pids that address process groups (0, negatives) get no tools.
  const TempDir dir;
  const auto flood = dir.write("flood", "#!/bin/sh\nexec yes TAMRIK_URL=http://127.0.0.1:9/\n");
  std::filesystem::permissions(flood, std::filesystem::perms::owner_all);
  RunningBackend backend(flood, {});
  SignalTools tools = backend.recorder.tools;
  tools.pkill = backend.recorder.dir.path() / "no-such-tool";
  PosixBackendLauncher launcher(".", backend, tools);
  const int limit = static_cast<int>(PosixBackendProcess::Options{}.maxBlocksInFlight);
  ASSERT_TRUE(pollUntil([&] { return backend.pending >= limit; }));

  stopBackendTree(backend.process.get(), launcher);
  for (const int pid : {0, -1, -4242}) launcher.signalBackendTree(pid, "TERM");
  EXPECT_THAT(backend.recorder.lines(),
              ::testing::ElementsAre("kill -TERM " + std::to_string(backend.pid()), "end kill"));
  EXPECT_FALSE(backend.process->isRunning());
  // Its stuck reader still stops, and what it posted runs harmlessly without it: the blocks
  // in flight and, handed over at the exit, any output that waited.
  backend.process.reset();
  backend.loop.runPending();
  EXPECT_GE(backend.blocks, static_cast<std::size_t>(limit));
  EXPECT_LE(backend.blocks, static_cast<std::size_t>(limit) + 1);
}

// The quit sequence alone: the designed first pass, and nothing of the tree left (KILL, where sent,
// soon).
class QuitSequence : public ::testing::TestWithParam<TreeShape> {};

TEST_P(QuitSequence, LeavesNothingOfTheTreeWithoutAGuard) {
  const TreeShape shape = GetParam();
  BackendTree tree(shape.shape, shape.wrapped);
  RunningBackend backend(tree.executable, tree.environment);
  const std::vector<pid_t> pids = tree.await(shape.processes, backend.sweeper);
  ASSERT_EQ(pids.size(), shape.processes);
  stopBackendTree(backend.process.get(), backend.launcher);
  const Strings runs = backend.recorder.lines();
  ASSERT_GE(runs.size(), 4u);
  EXPECT_THAT(Strings(runs.begin(), runs.begin() + 4), ElementsAreArray(termPass(backend.pid())));
  for (const pid_t pid : pids) EXPECT_TRUE(backend.sweeper.gone(pid, 500ms)) << pid;
  EXPECT_FALSE(backend.process->treeIsRunning());
}

INSTANTIATE_TEST_SUITE_P(Shapes, QuitSequence, ::testing::ValuesIn(kTreeShapes), RowName);

// The stand-in shell in the foreground of a terminal, with the guard beside it: its quit path
// stops the backend, or ended outright, the guard does. The backend, in a group of its own,
// would be stopped (SIGTTIN) by reading that terminal; it reads an empty input instead.
struct ShellEnd {
  const char* name;
  const char* shape;
  std::size_t processes;
  int signal, status;  // sent to the shell; its wait status
  const char* report;
  std::chrono::milliseconds leaderGoneWithin;
};
class ShellEnds : public ::testing::TestWithParam<ShellEnd> {};

TEST_P(ShellEnds, LeaveNoBackendBehind) {
  const ShellEnd& row = GetParam();
  int terminal = -1, secondary = -1;
  ASSERT_EQ(::openpty(&terminal, &secondary, nullptr, nullptr, nullptr), 0);
  const UniqueFd terminalEnd(terminal), secondaryEnd(secondary);
  BackendTree tree(row.shape, false);
  Strings environment = currentEnvironment();
  environment.insert(environment.end(), tree.environment.begin(), tree.environment.end());
  const Result<pid_t> shell =
      spawnProcess({.executable = "/usr/bin/setsid",
                    .arguments = {"--ctty", "/usr/bin/env", "-C", ZVUI_RESOURCE_DIRECTORY,
                                  ZVUI_LAUNCHING_PARENT, kTreeBackend},
                    .environment = environment,
                    .inputFd = secondary});
  ASSERT_TRUE(shell);
  Sweeper sweeper;
  sweeper.watch(*shell);
  const std::vector<pid_t> pids = tree.await(row.processes, sweeper);
  ASSERT_EQ(pids.size(), row.processes);
  const auto leader =
      std::ranges::find_if(pids, [](pid_t pid) { return readProcessStat(pid)->group == pid; });
  ASSERT_NE(leader, pids.end()) << "the backend leads a group of its own";
  EXPECT_EQ(readFile(tree.report), row.report);
  EXPECT_NE(readProcessStat(*leader)->state, 'T');

  ::kill(*shell, row.signal);
  EXPECT_EQ(waitForChild(*shell).value_or(-1), row.status);
  EXPECT_TRUE(sweeper.gone(*leader, row.leaderGoneWithin));
  for (const pid_t pid : pids) EXPECT_TRUE(sweeper.gone(pid, kPatience)) << pid;
}

INSTANTIATE_TEST_SUITE_P(Rows, ShellEnds,
                         ::testing::Values(ShellEnd{"QuitFromATerminal", "reads-stdin", 1, SIGTERM,
                                                    W_EXITCODE(0, 0), "stdin 0\n", kPatience},
                                           ShellEnd{"KilledOutright", "child-ignores-term", 2,
                                                    SIGKILL, W_EXITCODE(0, SIGKILL), "", 1s}),
                         RowName);

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
  ASSERT_GT(ours.leaderStart, 0u);
  EXPECT_EQ(readProcessStat(*leader)->group, *leader) << "leads a group of its own";

  const std::pair<const char*, ProcessGroup> refused[] = {
      {"no group", {0, 0}},
      {"init", {1, 0}},
      {"our own pid", {::getpid(), 0}},
      {"our own group", {::getpgrp(), 0}},
      {"our parent's group", {::getpgid(::getppid()), 0}},
      {"a leader that started at another time", {*leader, ours.leaderStart + 1}}};
  for (const auto& [what, group] : refused) {
    EXPECT_FALSE(isSignallable(group)) << what;
    EXPECT_FALSE(signalProcessGroup(group, SIGKILL)) << what;
    EXPECT_TRUE(liveMembers(group).empty()) << what;
  }
  EXPECT_FALSE(sweeper.gone(*leader, 50ms));

  EXPECT_THAT(liveMembers(ours), ::testing::ElementsAre(*leader));
  EXPECT_TRUE(signalProcessGroup(ours, SIGKILL));
  EXPECT_TRUE(sweeper.gone(*leader, kPatience));
  // Unreaped, the leader still holds its id; a zombie is no live member.
  EXPECT_TRUE(liveMembers(ours).empty());
  EXPECT_TRUE(waitForGroupToEnd(ours, std::chrono::steady_clock::now()));
  waitForChild(*leader);
}

TEST(ProcessGroups, TheGuardRefusesAnythingButAGroupOfAnother) {
  const UniqueFd devnull(::open("/dev/null", O_WRONLY | O_CLOEXEC));
  const Strings refused[] = {{},
                             {"0", "0"},
                             {"1", "0"},
                             {"-42", "0"},
                             {"42x", "0"},
                             {std::to_string(::getpid()), "0"},
                             {"42", "0", "extra"}};
  for (const auto& arguments : refused) {
    const auto guard = spawnProcess({.executable = ZVUI_BACKEND_GUARD,
                                     .arguments = arguments,
                                     .environment = {},
                                     .outputFd = devnull.get()});
    ASSERT_TRUE(guard);
    EXPECT_EQ(waitForChild(*guard).value_or(-1), W_EXITCODE(2, 0))
        << ::testing::PrintToString(arguments);
  }
}

}  // namespace
}  // namespace zvui::test
