// The controller driving real backend processes through the real launcher: what the window
// shows from launch to quit, and which signalling tools quit runs.
#include <algorithm>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "BackendTestSupport.h"
#include "MacTamrikApp/AppDelegate.h"
#include "backend/PosixBackendLauncher.h"
#include "core/support/RecordingView.h"
#include "core/support/ScopedEnvironment.h"

namespace zvui::test {
namespace {

using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using Strings = std::vector<std::string>;

struct Scenario {
  const char* label;
  // The file installed as the backend, if any, and whether it may be executed.
  const std::filesystem::path* backend;
  bool executable;
  // The status words shown (repeats of one word merged; how many there are depends on how
  // the output was split into blocks), and the last sentence.
  Strings words;
  const char* finalSentence;
  bool signalledAtQuit;
};
void PrintTo(const Scenario& row, std::ostream* out) { *out << row.label; }

class ControllerWithRealBackend : public ::testing::TestWithParam<Scenario> {};

TEST_P(ControllerWithRealBackend, ShowsThePhasesAndStopsWhatRuns) {
  const Scenario& row = GetParam();
  TempDir resources;
  TempDir config;
  ScopedEnvironment xdg{"XDG_CONFIG_HOME", config.path().string()};
  if (row.backend != nullptr) {
    const auto installed = resources.path() / "MacTamrikBackend";
    std::filesystem::copy_file(*row.backend, installed);
    if (!row.executable) {
      std::filesystem::permissions(installed, std::filesystem::perms::owner_read);
    }
  }
  RecordingView view;
  TestMainLoop loop;
  RecordingTools recorder(true);
  PosixBackendLauncher launcher(resources.path(), loop, recorder.tools());
  Sweeper sweeper;
  auto app = std::make_shared<AppDelegate>(view, launcher, loop);

  app->applicationDidFinishLaunching();
  const BackendProcess* process = app->backendProcess();
  const pid_t pid = process != nullptr ? process->processIdentifier() : 0;
  if (pid > 0) sweeper.watch(pid);
  ASSERT_TRUE(loop.runUntil([&] { return view.words().back() == row.words.back(); }))
      << ::testing::PrintToString(view.calls);
  loop.runPending();
  Strings words = view.words();
  words.erase(std::unique(words.begin(), words.end()), words.end());
  EXPECT_EQ(words, row.words);
  EXPECT_EQ(view.sentences().back(), row.finalSentence);

  app->applicationWillTerminate();
  if (row.signalledAtQuit) {
    EXPECT_THAT(recorder.lines(), ElementsAreArray(toolRuns("TERM", pid)));
    EXPECT_FALSE(process->isRunning());
  } else {
    EXPECT_THAT(recorder.lines(), IsEmpty());
  }
  // Whatever the reader posted last reaches a controller that is gone, harmlessly.
  app.reset();
  loop.runPending();
}

INSTANTIATE_TEST_SUITE_P(
    Backends, ControllerWithRealBackend,
    ::testing::Values(
        Scenario{"AnnouncesOnStandardError", &kAnnounceBackend, true,
                 {"ARMING", "BRIDGE", "WARMING", "SURFACE"}, "handing off to local terminal",
                 true},
        Scenario{"ExitsBeforeAnnouncing", &kExitingBackend, true,
                 {"ARMING", "BRIDGE", "WARMING", "ERROR"},
                 "backend exited before the console was ready", false},
        Scenario{"NotExecutable", &kExitingBackend, false, {"ARMING", "ERROR"},
                 "could not start backend", false},
        Scenario{"Missing", nullptr, false, {"ARMING", "ERROR"}, "backend executable missing",
                 false}),
    [](const auto& row) { return std::string(row.param.label); });

}  // namespace
}  // namespace zvui::test
