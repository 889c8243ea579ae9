// Stopping the backend's tree at quit: which tools run, with what and in which order, when
// the KILL pass follows, and that the backend never outlives the shell.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "BackendTestSupport.h"
#include "backend/BackendShutdown.h"
#include "backend/PosixBackendLauncher.h"
#include "backend/PosixBackendProcess.h"
#include "backend/ProcessGroup.h"
#include "backend/Spawn.h"

namespace zvui::test {
namespace {

using ::testing::ElementsAreArray;

// A backend launched through the real launcher, with recording tools that run the real ones.
struct RunningBackend {
  RunningBackend(const std::filesystem::path& executable, std::vector<std::string> environment)
      : process(launcher.makeProcess(executable, std::move(environment))) {
    if (process->launch(capture.onOutput(), capture.onExit())) sweeper.watch(pid());
  }
  [[nodiscard]] pid_t pid() const { return process->processIdentifier(); }

  CountingLoop loop;
  Sweeper sweeper;
  RecordingTools recorder{true};
  PosixBackendLauncher launcher{".", loop, recorder.tools};
  Capture capture;
  std::unique_ptr<BackendProcess> process;
};

TEST(BackendShutdown, NoKillPassForABackendThatEndsOnTermWhileTheMainLoopIsBusy) {
  // The main thread is in the quit sequence and handles no output, so the reader of a
  // flooding backend is stuck; the exit must still be seen, or quit would escalate to KILL.
  RunningBackend backend(kFloodBackend, {"HELPER_FLOOD_BYTES=1073741824"});
  ASSERT_GT(backend.pid(), 0);
  const int limit = static_cast<int>(PosixBackendProcess::Options{}.maxBlocksInFlight);
  for (const auto start = std::chrono::steady_clock::now(); backend.loop.pending < limit;) {
    ASSERT_LT(std::chrono::steady_clock::now() - start, kPatience);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }

  stopBackendTree(backend.process.get(), backend.launcher);
  EXPECT_THAT(backend.recorder.lines(), ElementsAreArray(toolRuns("TERM", backend.pid())));
  EXPECT_FALSE(backend.process->isRunning());

  // Its stuck reader still stops, and what it posted runs harmlessly without it.
  backend.process.reset();
  backend.loop.inner.runPending();
  EXPECT_EQ(backend.capture.blocks, static_cast<std::size_t>(limit));
}

TEST(BackendShutdown, KillPassFollowsWhenTermIsIgnoredAndReachesTheChildren) {
  RunningBackend backend(kForkingBackend, {"HELPER_PARENT=ignore-term"});
  ASSERT_GT(backend.pid(), 0);
  ASSERT_TRUE(backend.loop.inner.runUntil(
      [&] { return backend.capture.output.ends_with("ready\n"); }, kPatience));
  const Strings children = linesOf(backend.capture.output, "child ");
  ASSERT_EQ(children.size(), 2u);
  for (const auto& child : children) backend.sweeper.watch(std::stoi(child));

  stopBackendTree(backend.process.get(), backend.launcher);

  Strings runs = toolRuns("TERM", backend.pid());
  for (auto& run : toolRuns("KILL", backend.pid())) runs.push_back(run);
  EXPECT_THAT(backend.recorder.lines(), ElementsAreArray(runs));
  EXPECT_TRUE(backend.process->waitForExit(kPatience));
  for (const auto& child : children) {
    EXPECT_TRUE(backend.sweeper.gone(std::stoi(child), std::chrono::seconds(5))) << child;
  }
}

TEST(BackendShutdown, SkipsAToolThatCannotStartAndNeverSignalsProcessGroups) {
  TestMainLoop loop;
  RecordingTools recorder(false);
  SignalTools tools = recorder.tools;
  tools.pkill = recorder.dir.path() / "no-such-tool";
  PosixBackendLauncher launcher(".", loop, tools);
  // 0 and negative pids address process groups, or every process.
  for (const int pid : {0, -1, -4242, 4242}) launcher.signalBackendTree(pid, "TERM");
  EXPECT_THAT(recorder.lines(), ::testing::ElementsAre("kill -TERM 4242", "end kill"));
}

TEST(BackendShutdown, BackendEndsWhenTheShellIsKilledOutright) {
  // The stand-in shell starts a backend that obeys TERM, then dies by SIGKILL, with no
  // chance to stop anything itself.
  const std::string command =
      "'" + kLaunchingParent.string() + "' '" + kAnnounceBackend.string() + "'";
  const std::unique_ptr<FILE, int (*)(FILE*)> shell(::popen(command.c_str(), "r"), ::pclose);
  pid_t pids[2] = {0, 0};
  ASSERT_EQ(std::fscanf(shell.get(), "%d %d", &pids[0], &pids[1]), 2);
  Sweeper sweeper;
  for (const pid_t pid : pids) sweeper.watch(pid);
  ASSERT_FALSE(sweeper.gone(pids[1]));
  ::kill(pids[0], SIGKILL);
  EXPECT_TRUE(sweeper.gone(pids[1], std::chrono::seconds(1)));
}

// Tree shapes that used to outlive the app, each against the ways the app ends. A stand-in
// shell starts the tree through the real launcher, with the guard; SIGTERM takes its quit
// path, SIGKILL and SIGABRT end it abruptly. Nothing of the tree, and not the guard, may be
// left once the bound (a second of grace and the tools' run time) has passed.
struct TreeShape {
  const char* name;
  const char* tree;
  bool wrapped;
  std::size_t processes;
};
constexpr TreeShape kShapes[] = {
    {"ChildIgnoresTerm", "child-ignores-term", false, 2},
    {"GrandchildIgnoresTerm", "grandchild-ignores-term", false, 3},
    {"ShellWrapperWithServerChild", "server", true, 2},
    {"BackendIgnoresTerm", "ignores-term", false, 1},
};
constexpr int kEnds[] = {SIGTERM, SIGKILL, SIGABRT};
// The bound, with room for a machine busy with sanitizers.
constexpr std::chrono::milliseconds kAfterTheBound{3000};

// The stand-in shell: its pid, the backend's and the guard's, and its wait status once ended.
struct StandIn {
  StandIn(const BackendTree& tree, const std::filesystem::path& resources) {
    Strings environment = tree.environment;
    for (char** entry = environ; *entry != nullptr; ++entry) environment.emplace_back(*entry);
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) return;
    UniqueFd readEnd(ends[0]);
    UniqueFd writeEnd(moveAboveStandardStreams(ends[1]));
    SpawnRequest request;
    request.executable = kLaunchingParent;
    request.arguments = {tree.executable.string(), resources.string()};
    request.environment = environment;
    request.outputFd = writeEnd.get();
    const SpawnResult child = spawnProcess(request);
    writeEnd.reset();
    if (!child) return;
    pid = child.pid;
    const std::unique_ptr<FILE, int (*)(FILE*)> out(::fdopen(readEnd.release(), "r"), ::fclose);
    if (std::fscanf(out.get(), "%d %d %d", &self, &backend, &guard) != 3) backend = 0;
  }
  ~StandIn() {
    if (pid > 0 && ::kill(pid, SIGKILL) == 0) waitForChild(pid);
  }
  int end(int signal) {
    ::kill(pid, signal);
    return waitForChild(std::exchange(pid, 0));
  }

  pid_t pid = 0;
  pid_t self = 0;
  pid_t backend = 0;
  pid_t guard = 0;
};

struct TreeCase {
  TreeShape shape;
  int end;
};
void PrintTo(const TreeCase& row, std::ostream* out) { *out << row.shape.name << "/" << row.end; }
void PrintTo(const TreeShape& row, std::ostream* out) { *out << row.name; }

class TreeOutlivesNothing : public ::testing::TestWithParam<TreeCase> {};

TEST_P(TreeOutlivesNothing, HoweverTheShellEnds) {
  const auto [shape, end] = GetParam();
  BackendTree tree(shape.tree, shape.wrapped);
  Sweeper sweeper;
  StandIn shell(tree, kResourceDirectory);
  ASSERT_GT(shell.backend, 0);
  ASSERT_GT(shell.guard, 0) << "no guard from " << kResourceDirectory;
  sweeper.watch(shell.guard);
  const Strings pids = tree.await(shape.processes, sweeper);
  ASSERT_EQ(pids.size(), shape.processes);
  EXPECT_THAT(pids, ::testing::Contains(std::to_string(shell.backend)));

  const int status = shell.end(end);
  if (end == SIGTERM) {
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  } else {
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == end) << status;
  }
  const auto deadline = std::chrono::steady_clock::now() + kAfterTheBound;
  const auto left = [&] {
    return std::chrono::ceil<std::chrono::milliseconds>(deadline -
                                                        std::chrono::steady_clock::now());
  };
  for (const auto& pid : pids) EXPECT_TRUE(sweeper.gone(std::stoi(pid), left())) << pid;
  EXPECT_TRUE(sweeper.gone(shell.guard, left())) << "the guard was left behind";
}

std::vector<TreeCase> treeCases() {
  std::vector<TreeCase> cases;
  for (const auto& shape : kShapes) {
    for (const int end : kEnds) cases.push_back({shape, end});
  }
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Shapes, TreeOutlivesNothing, ::testing::ValuesIn(treeCases()),
                         [](const auto& row) {
                           const char* end = row.param.end == SIGTERM   ? "Term"
                                             : row.param.end == SIGKILL ? "Kill"
                                                                         : "Abort";
                           return std::string(row.param.shape.name) + end;
                         });

// The quit sequence on its own, with no guard to finish after it: the designed first pass,
// and nothing of the tree left when it returns (KILL, where sent, takes a moment to land).
class QuitSequence : public ::testing::TestWithParam<TreeShape> {};

TEST_P(QuitSequence, LeavesNothingOfTheTreeWithoutAGuard) {
  const TreeShape shape = GetParam();
  BackendTree tree(shape.tree, shape.wrapped);
  RunningBackend backend(tree.executable, tree.environment);
  ASSERT_GT(backend.pid(), 0);
  const Strings pids = tree.await(shape.processes, backend.sweeper);
  ASSERT_EQ(pids.size(), shape.processes);

  stopBackendTree(backend.process.get(), backend.launcher);
  const Strings runs = backend.recorder.lines();
  ASSERT_GE(runs.size(), 4u);
  EXPECT_THAT(Strings(runs.begin(), runs.begin() + 4),
              ElementsAreArray(toolRuns("TERM", backend.pid())));
  for (const auto& pid : pids) {
    EXPECT_TRUE(backend.sweeper.gone(std::stoi(pid), std::chrono::milliseconds(500))) << pid;
  }
  EXPECT_FALSE(backend.process->treeIsRunning());
}

INSTANTIATE_TEST_SUITE_P(Shapes, QuitSequence, ::testing::ValuesIn(kShapes),
                         [](const auto& row) { return std::string(row.param.name); });

TEST(BackendShutdown, WhatABackendLeftWhenItExitedIsStoppedWithoutTheTools) {
  // A launcher that hands off to a server and exits: the server is still its tree. The
  // tools get no pid then, since the backend's may already name another process.
  RunningBackend backend(kForkingBackend, {"HELPER_PARENT=exit", "HELPER_CHILDREN=obedient"});
  ASSERT_GT(backend.pid(), 0);
  ASSERT_TRUE(backend.loop.inner.runUntil([&] { return backend.capture.exitNotices > 0; },
                                          kPatience));
  const Strings children = linesOf(backend.capture.output, "child ");
  ASSERT_EQ(children.size(), 2u);
  for (const auto& child : children) backend.sweeper.watch(std::stoi(child));
  ASSERT_TRUE(backend.process->treeIsRunning());

  stopBackendTree(backend.process.get(), backend.launcher);
  EXPECT_THAT(backend.recorder.lines(), ::testing::IsEmpty());
  for (const auto& child : children) {
    EXPECT_TRUE(backend.sweeper.gone(std::stoi(child), std::chrono::seconds(5))) << child;
  }
  EXPECT_FALSE(backend.process->treeIsRunning());
}

TEST(ProcessGroups, OnlyTheGroupWeWereGivenIsEverSignalled) {
  SpawnRequest request;
  request.executable = kTreeBackend;
  request.environment = Strings{"HELPER_TREE=ignores-term"};
  request.newProcessGroup = true;
  const SpawnResult leader = spawnProcess(request);
  ASSERT_TRUE(leader);
  Sweeper sweeper;
  sweeper.watch(leader.pid);
  const ProcessGroup ours = processGroupLedBy(leader.pid);
  ASSERT_GT(ours.leaderStart, 0u);
  EXPECT_EQ(readProcessStat(leader.pid)->group, leader.pid) << "leads a group of its own";

  const struct {
    const char* what;
    ProcessGroup group;
  } refused[] = {
      {"no group", {0, 0}},
      {"init", {1, 0}},
      {"our own pid", {::getpid(), 0}},
      {"our own group", {::getpgrp(), 0}},
      {"our parent's group", {::getpgid(::getppid()), 0}},
      {"a leader that started at another time", {leader.pid, ours.leaderStart + 1}},
  };
  for (const auto& row : refused) {
    EXPECT_FALSE(isSignallable(row.group)) << row.what;
    EXPECT_FALSE(signalProcessGroup(row.group, SIGKILL)) << row.what;
    EXPECT_TRUE(liveMembers(row.group).empty()) << row.what;
  }
  EXPECT_FALSE(sweeper.gone(leader.pid, std::chrono::milliseconds(50)));

  EXPECT_THAT(liveMembers(ours), ::testing::ElementsAre(leader.pid));
  EXPECT_TRUE(signalProcessGroup(ours, SIGKILL));
  EXPECT_TRUE(sweeper.gone(leader.pid, kPatience));
  // Unreaped, the leader still holds its id; a zombie is no live member.
  EXPECT_TRUE(liveMembers(ours).empty());
  EXPECT_TRUE(waitForGroupToEnd(ours, std::chrono::steady_clock::now()));
  waitForChild(leader.pid);
}

TEST(ProcessGroups, TheGuardRefusesAnythingButAGroupOfAnother) {
  const std::string self = std::to_string(::getpid());
  const Strings refused[] = {{}, {"0", "0"}, {"1", "0"}, {"-42", "0"}, {"42x", "0"},
                             {self, "0"}, {"42", "0", "extra"}};
  for (const auto& arguments : refused) {
    SpawnRequest request;
    request.executable = kBackendGuard;
    request.arguments = arguments;
    request.outputFd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    const SpawnResult guard = spawnProcess(request);
    ::close(request.outputFd);
    ASSERT_TRUE(guard);
    const int status = waitForChild(guard.pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << ::testing::PrintToString(arguments);
  }
}

TEST(ProcessGroups, StatLinesAreReadPastAnyCommandName) {
  const std::string tail = " 0 0 0 0 0 0 0 0 0 0 0 20 0 1 0 777 1000 100\n";
  const struct {
    std::string line;
    std::optional<char> state;
  } rows[] = {
      {"42 (sh) S 1 42 42" + tail, 'S'},
      {"42 (a) b (c) d) Z 1 42 42" + tail, 'Z'},
      {"42 (x) T 1 42 42 0 0 0 0 0 0 0 0 0 0 0 20 0 1 0 777", 'T'},
      {"42 (sh) S 1 42", std::nullopt},
      {"42 sh S 1 42 42" + tail, std::nullopt},
      {"42 (sh) SS 1 42 42" + tail, std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& row : rows) {
    const auto stat = parseProcessStat(row.line);
    ASSERT_EQ(stat.has_value(), row.state.has_value()) << row.line;
    if (!stat) continue;
    EXPECT_EQ(stat->state, *row.state) << row.line;
    EXPECT_EQ(stat->group, 42) << row.line;
    EXPECT_EQ(stat->start, 777u) << row.line;
  }
}

}  // namespace
}  // namespace zvui::test
