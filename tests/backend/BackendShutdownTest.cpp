// Stopping the backend's tree at quit: which tools run, with what, in which order, when the
// kill pass follows, and that the backend never outlives the shell.
#include <fcntl.h>
#include <signal.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "BackendTestSupport.h"
#include "backend/BackendEnvironment.h"
#include "backend/BackendShutdown.h"
#include "backend/PosixBackendLauncher.h"
#include "backend/PosixBackendProcess.h"
#include "backend/Spawn.h"

namespace zvui::test {
namespace {

using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

std::vector<std::string> concat(std::vector<std::string> first,
                                const std::vector<std::string>& second) {
  first.insert(first.end(), second.begin(), second.end());
  return first;
}

// A backend launched through the real launcher with recording tools that pass through to
// the real ones, read until it says "ready" unless told not to wait.
struct RunningBackend {
  RunningBackend(const std::filesystem::path& executable, Environment environment,
                 bool waitUntilReady = true)
      : recorder(true), launcher(".", loop, recorder.tools()) {
    process = launcher.makeProcess(executable, std::move(environment));
    started = process->launch(capture.outputHandler(), capture.exitHandler());
    if (started) sweeper.watch(process->processIdentifier());
    if (started && waitUntilReady) {
      started = loop.runUntil([&] { return capture.saw("ready\n"); });
    }
  }

  CountingLoop loop;
  Sweeper sweeper;
  RecordingTools recorder;
  PosixBackendLauncher launcher;
  Capture capture;
  std::unique_ptr<BackendProcess> process;
  bool started = false;
};

TEST(BackendShutdown, TermPassRunsPkillThenKillEachToCompletion) {
  RunningBackend backend(kAnnounceBackend, {});
  ASSERT_TRUE(backend.started);
  const pid_t pid = backend.process->processIdentifier();

  stopBackendTree(backend.process.get(), backend.launcher);

  EXPECT_THAT(backend.recorder.lines(), ElementsAreArray(toolRuns("TERM", pid)))
      << "a backend that obeys TERM gets no kill pass";
  EXPECT_FALSE(backend.process->isRunning());
  EXPECT_TRUE(backend.loop.runUntil([&] { return backend.capture.exited; }));
}

TEST(BackendShutdown, KillPassFollowsWhenTermIsIgnoredAndReachesTheChildren) {
  RunningBackend backend(kForkingBackend, {"HELPER_PARENT=ignore-term"});
  ASSERT_TRUE(backend.started);
  const pid_t pid = backend.process->processIdentifier();
  const auto children = namedChildren(backend.capture.output);
  ASSERT_EQ(children.size(), 2u);
  std::vector<const ProcessWatch*> watches;
  for (pid_t child : children) watches.push_back(&backend.sweeper.watch(child));

  stopBackendTree(backend.process.get(), backend.launcher);

  EXPECT_THAT(backend.recorder.lines(),
              ElementsAreArray(concat(toolRuns("TERM", pid), toolRuns("KILL", pid))));
  EXPECT_TRUE(backend.process->waitForExit(kPatience));
  for (const auto* watch : watches) {
    EXPECT_TRUE(watch->waitGone(std::chrono::seconds(5))) << "child " << watch->pid();
  }
}

TEST(BackendShutdown, ExitIsSeenWhileTheReaderWaitsForABusyMainLoop) {
  // The main thread sits in the quit sequence and handles no output, so the reader of a
  // flooding backend is stuck; the exit must still be seen at once, or quit would wrongly
  // escalate to KILL.
  RunningBackend backend(kFloodBackend, {"HELPER_FLOOD_BYTES=1073741824"}, false);
  ASSERT_TRUE(backend.started);
  const pid_t pid = backend.process->processIdentifier();
  const auto limit = static_cast<int>(PosixBackendProcess::Options{}.maxBlocksInFlight);
  ASSERT_TRUE(eventually([&] { return backend.loop.pending() >= limit; }));

  stopBackendTree(backend.process.get(), backend.launcher);

  EXPECT_THAT(backend.recorder.lines(), ElementsAreArray(toolRuns("TERM", pid)));
  EXPECT_FALSE(backend.process->isRunning());
}

TEST(BackendShutdown, NothingRunsForABackendThatIsNotRunning) {
  TestMainLoop loop;
  RecordingTools recorder(false);
  PosixBackendLauncher launcher(".", loop, recorder.tools());

  stopBackendTree(nullptr, launcher);

  auto neverLaunched = launcher.makeProcess(kExitingBackend, {});
  stopBackendTree(neverLaunched.get(), launcher);

  auto exited = launcher.makeProcess(kExitingBackend, {});
  Capture capture;
  ASSERT_TRUE(exited->launch(capture.outputHandler(), capture.exitHandler()));
  ASSERT_TRUE(loop.runUntil([&] { return capture.exited; }));
  stopBackendTree(exited.get(), launcher);

  EXPECT_THAT(recorder.lines(), IsEmpty());
}

// signalBackendTree on its own: exactly these tool runs, or none.
struct SignalCase {
  const char* label;
  std::int32_t pid;
  const char* signal;
  std::vector<std::string> runs;
};
void PrintTo(const SignalCase& row, std::ostream* out) { *out << row.label; }

class SignalTree : public ::testing::TestWithParam<SignalCase> {};

TEST_P(SignalTree, RunsTheToolsWithTheseArguments) {
  const SignalCase& row = GetParam();
  TestMainLoop loop;
  RecordingTools recorder(false);
  PosixBackendLauncher launcher(".", loop, recorder.tools());
  launcher.signalBackendTree(row.pid, row.signal);
  EXPECT_THAT(recorder.lines(), ElementsAreArray(row.runs));
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, SignalTree,
    ::testing::Values(
        SignalCase{"Term", 4242, "TERM", toolRuns("TERM", 4242)},
        SignalCase{"Kill", 7, "KILL", toolRuns("KILL", 7)},
        SignalCase{"LargestPid", 2147483647, "HUP", toolRuns("HUP", 2147483647)},
        // 0 and negative pids address process groups or every process: never signalled.
        SignalCase{"ZeroPid", 0, "TERM", {}}, SignalCase{"MinusOne", -1, "KILL", {}},
        SignalCase{"NegativePid", -4242, "TERM", {}}),
    [](const auto& row) { return std::string(row.param.label); });

TEST(BackendShutdown, AToolThatCannotStartIsSkipped) {
  TestMainLoop loop;
  RecordingTools recorder(false);
  SignalTools tools = recorder.tools();
  tools.pkill = recorder.directory() / "no-such-tool";
  PosixBackendLauncher launcher(".", loop, tools);
  launcher.signalBackendTree(4242, "TERM");
  EXPECT_THAT(recorder.lines(), ElementsAreArray({"kill -TERM 4242", "end kill"}));
}

TEST(BackendShutdown, BackendEndsWhenTheShellIsKilledOutright) {
  // The stand-in shell starts a backend that obeys TERM and then dies by SIGKILL, with no
  // chance to stop anything itself.
  int ends[2];
  ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
  UniqueFd readEnd(ends[0]);
  UniqueFd writeEnd(ends[1]);
  SpawnRequest request;
  request.executable = kLaunchingParent;
  request.arguments = {kAnnounceBackend.string()};
  request.outputFd = writeEnd.get();
  const SpawnResult shell = spawnProcess(request);
  ASSERT_TRUE(shell);
  writeEnd.reset();
  Sweeper sweeper;
  sweeper.watch(shell.pid);

  std::string line;
  for (char c; line.find('\n') == std::string::npos && ::read(readEnd.get(), &c, 1) == 1;) line += c;
  const pid_t backendPid = std::atoi(line.c_str());
  ASSERT_GT(backendPid, 0) << line;
  const ProcessWatch& backend = sweeper.watch(backendPid);
  ASSERT_TRUE(backend.valid());
  EXPECT_FALSE(backend.gone());

  ::kill(shell.pid, SIGKILL);
  waitForChild(shell.pid);
  EXPECT_TRUE(backend.waitGone(std::chrono::seconds(1)));
}

}  // namespace
}  // namespace zvui::test
