// Stopping the backend's tree at quit: which tools run, with what and in which order, when
// the KILL pass follows, and that the backend never outlives the shell.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "BackendTestSupport.h"
#include "backend/BackendShutdown.h"
#include "backend/PosixBackendLauncher.h"
#include "backend/PosixBackendProcess.h"

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

}  // namespace
}  // namespace zvui::test
