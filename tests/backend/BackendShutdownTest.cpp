// Stopping the backend's tree at quit: which tools run, with what and in which order, when
// the KILL pass follows, and that the backend never outlives the shell.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/BackendRig.h"
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
  // flooding backend is stuck (every line holds the announcement prefix, so none may be
  // dropped); the exit must still be seen, or quit would escalate to KILL.
  const TempDir dir;
  const auto flood = dir.write("flood", "#!/bin/sh\nexec yes TAMRIK_URL=http://127.0.0.1:9/\n");
  std::filesystem::permissions(flood, std::filesystem::perms::owner_all);
  RunningBackend backend(flood, {});
  ASSERT_GT(backend.pid(), 0);
  const int limit = static_cast<int>(PosixBackendProcess::Options{}.maxBlocksInFlight);
  ASSERT_TRUE(pollUntil([&] { return backend.loop.pending >= limit; }));

  stopBackendTree(backend.process.get(), backend.launcher);
  EXPECT_THAT(backend.recorder.lines(), ElementsAreArray(toolRuns("TERM", backend.pid())));
  EXPECT_FALSE(backend.process->isRunning());

  // Its stuck reader still stops, and what it posted runs harmlessly without it: the blocks
  // in flight and, handed over at the exit, any output that waited.
  backend.process.reset();
  backend.loop.inner.runPending();
  EXPECT_GE(backend.capture.blocks, static_cast<std::size_t>(limit));
  EXPECT_LE(backend.capture.blocks, static_cast<std::size_t>(limit) + 1);
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
  const std::string command = "'" + kLaunchingParent.string() + "' '" + kAnnounceBackend.string() + "'";
  const std::unique_ptr<FILE, int (*)(FILE*)> shell(::popen(command.c_str(), "r"), ::pclose);
  pid_t pids[2] = {0, 0};
  ASSERT_EQ(std::fscanf(shell.get(), "%d %d", &pids[0], &pids[1]), 2);
  Sweeper sweeper;
  for (const pid_t pid : pids) sweeper.watch(pid);
  ASSERT_FALSE(sweeper.gone(pids[1]));
  ::kill(pids[0], SIGKILL);
  EXPECT_TRUE(sweeper.gone(pids[1], std::chrono::seconds(1)));
}

// The quit sequence on its own, with no guard to finish after it: the designed first pass,
// and nothing of the tree left when it returns (KILL, where sent, takes a moment to land).
class QuitSequence : public ::testing::TestWithParam<TreeShape> {};

TEST_P(QuitSequence, LeavesNothingOfTheTreeWithoutAGuard) {
  const TreeShape shape = GetParam();
  BackendTree tree(shape.shape, shape.wrapped);
  RunningBackend backend(tree.executable, tree.environment);
  ASSERT_GT(backend.pid(), 0);
  const Strings pids = tree.await(shape.processes, backend.sweeper);
  ASSERT_EQ(pids.size(), shape.processes);

  stopBackendTree(backend.process.get(), backend.launcher);
  const Strings runs = backend.recorder.lines();
  ASSERT_GE(runs.size(), 4u);
  EXPECT_THAT(Strings(runs.begin(), runs.begin() + 4), ElementsAreArray(toolRuns("TERM", backend.pid())));
  for (const auto& pid : pids) EXPECT_TRUE(backend.sweeper.gone(std::stoi(pid), std::chrono::milliseconds(500))) << pid;
  EXPECT_FALSE(backend.process->treeIsRunning());
}

INSTANTIATE_TEST_SUITE_P(Shapes, QuitSequence, ::testing::ValuesIn(kTreeShapes), RowName);

TEST(BackendShutdown, WhatABackendLeftWhenItExitedIsStoppedWithoutTheTools) {
  // A launcher that hands off to a server and exits: the server is still its tree. The
  // tools get no pid then, since the backend's may already name another process.
  RunningBackend backend(kForkingBackend, {"HELPER_PARENT=exit", "HELPER_CHILDREN=obedient"});
  ASSERT_GT(backend.pid(), 0);
  ASSERT_TRUE(backend.loop.inner.runUntil([&] { return backend.capture.exitNotices > 0; }, kPatience));
  const Strings children = linesOf(backend.capture.output, "child ");
  ASSERT_EQ(children.size(), 2u);
  for (const auto& child : children) backend.sweeper.watch(std::stoi(child));
  ASSERT_TRUE(backend.process->treeIsRunning());

  stopBackendTree(backend.process.get(), backend.launcher);
  EXPECT_THAT(backend.recorder.lines(), ::testing::IsEmpty());
  for (const auto& child : children) EXPECT_TRUE(backend.sweeper.gone(std::stoi(child), std::chrono::seconds(5))) << child;
  EXPECT_FALSE(backend.process->treeIsRunning());
}

TEST(ProcessGroups, OnlyTheGroupWeWereGivenIsEverSignalled) {
  SpawnRequest request;
  request.executable = kTreeBackend;
  request.environment = Strings{"HELPER_TREE=ignores-term"};
  request.newProcessGroup = true;
  const Result<pid_t> leader = spawnProcess(request);
  ASSERT_TRUE(leader);
  Sweeper sweeper;
  sweeper.watch(*leader);
  const ProcessGroup ours = processGroupLedBy(*leader);
  ASSERT_GT(ours.leaderStart, 0u);
  EXPECT_EQ(readProcessStat(*leader)->group, *leader) << "leads a group of its own";

  const struct {
    const char* what;
    ProcessGroup group;
  } refused[] = {
      {"no group", {0, 0}},
      {"init", {1, 0}},
      {"our own pid", {::getpid(), 0}},
      {"our own group", {::getpgrp(), 0}},
      {"our parent's group", {::getpgid(::getppid()), 0}},
      {"a leader that started at another time", {*leader, ours.leaderStart + 1}},
  };
  for (const auto& row : refused) {
    EXPECT_FALSE(isSignallable(row.group)) << row.what;
    EXPECT_FALSE(signalProcessGroup(row.group, SIGKILL)) << row.what;
    EXPECT_TRUE(liveMembers(row.group).empty()) << row.what;
  }
  EXPECT_FALSE(sweeper.gone(*leader, std::chrono::milliseconds(50)));

  EXPECT_THAT(liveMembers(ours), ::testing::ElementsAre(*leader));
  EXPECT_TRUE(signalProcessGroup(ours, SIGKILL));
  EXPECT_TRUE(sweeper.gone(*leader, kPatience));
  // Unreaped, the leader still holds its id; a zombie is no live member.
  EXPECT_TRUE(liveMembers(ours).empty());
  EXPECT_TRUE(waitForGroupToEnd(ours, std::chrono::steady_clock::now()));
  waitForChild(*leader);
}

TEST(ProcessGroups, TheGuardRefusesAnythingButAGroupOfAnother) {
  const std::string self = std::to_string(::getpid());
  const Strings refused[] = {{}, {"0", "0"}, {"1", "0"}, {"-42", "0"}, {"42x", "0"},
                             {self, "0"}, {"42", "0", "extra"}};
  for (const auto& arguments : refused) {
    SpawnRequest request;
    request.executable = kBackendGuard;
    request.arguments = arguments;
    const UniqueFd devnull(::open("/dev/null", O_WRONLY | O_CLOEXEC));
    request.outputFd = devnull.get();
    const Result<pid_t> guard = spawnProcess(request);
    ASSERT_TRUE(guard);
    const int status = waitForChild(*guard).value_or(-1);
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
