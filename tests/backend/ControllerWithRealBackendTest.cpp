// The controller driving real backends through the real launcher: what the window shows
// from launch to quit for each kind of backend file, and which signalling tools quit runs.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/BackendRig.h"
#include "backend/PosixBackendLauncher.h"
#include "support/ControllerFakes.h"

namespace zvui::test {
namespace {

struct Scenario {
  const char* name;
  const std::filesystem::path* backend;  // copied in as the backend; none when null
  std::filesystem::perms perms;
  const char* script;  // or this shell script written as the backend
  const char* waitFor;  // output to wait for before the phases are checked
  // The status words shown, repeats merged (how often one repeats depends on how the
  // output was split into blocks), and the last sentence.
  std::string_view words;
  const char* finalSentence;
  bool runsAtQuit;
};

// Launchers: each starts a writer that reports its pid, so the test can end it, and exits
// at once. The writer keeps the output pipe, waits until the launcher has been reaped (the
// exit has been seen), says so and, in the first, then announces.
constexpr const char* kHandOff = R"(#!/bin/sh
echo launching
sh -c 'echo "writer $$"; while kill -0 "$1" 2>/dev/null; do sleep 0.02; done
       echo "launcher gone"; echo TAMRIK_URL=http://127.0.0.1:9/; exec sleep 60' writer $$ &
exit 0
)";
constexpr const char* kSilentWriter = R"(#!/bin/sh
echo launching
sh -c 'echo "writer $$"; while kill -0 "$1" 2>/dev/null; do sleep 0.02; done
       echo "launcher gone"; exec sleep 60' writer $$ &
exit 0
)";
// Announces with no line end after the address, then writes nothing more.
constexpr const char* kNoFinalNewline = R"(#!/bin/sh
printf 'TAMRIK_URL=http://127.0.0.1:9/'
exec sleep 60
)";
// The server it starts writes elsewhere, so the launcher's exit ends the output.
constexpr const char* kDetached = R"(#!/bin/sh
echo launching
sleep 60 >/dev/null 2>&1 &
echo "writer $!"
exit 0
)";

void PrintTo(const Scenario& row, std::ostream* out) { *out << row.name; }

class ControllerWithRealBackend : public ::testing::TestWithParam<Scenario> {};

TEST_P(ControllerWithRealBackend, ShowsThePhasesAndStopsWhatRuns) {
  const Scenario& row = GetParam();
  TempDir resources;  // and, in it, an empty configuration directory
  ScopedEnvironment xdg{"XDG_CONFIG_HOME", (resources.path() / "config").c_str()};
  if (row.backend != nullptr) {
    std::filesystem::copy_file(*row.backend, resources.path() / "MacTamrikBackend");
    std::filesystem::permissions(resources.path() / "MacTamrikBackend", row.perms);
  } else if (row.script != nullptr) {
    resources.write("MacTamrikBackend", row.script);
    std::filesystem::permissions(resources.path() / "MacTamrikBackend", row.perms);
  }
  RecordingView view;
  TestMainLoop loop;
  RecordingTools recorder(true);
  PosixBackendLauncher launcher(resources.path(), loop, recorder.tools);
  Sweeper sweeper;
  auto app = std::make_shared<AppDelegate>(view, launcher, loop);

  app->applicationDidFinishLaunching();
  const BackendProcess* process = app->backendProcess();
  const pid_t pid = process != nullptr ? process->processIdentifier() : 0;
  if (pid > 0) sweeper.watch(pid);
  const auto wordsShown = [&] {  // repeats merged
    const Strings shown = withPrefix(view.calls, "word:");
    std::string words;
    for (std::size_t i = 0; i < shown.size(); ++i) {
      if (i == 0 || shown[i] != shown[i - 1]) words += (i == 0 ? "" : " ") + shown[i];
    }
    return words;
  };
  const auto lastWord = row.words.substr(row.words.rfind(' ') + 1);
  ASSERT_TRUE(loop.runUntil(
      [&] {
        return wordsShown().ends_with(lastWord) &&
               app->outputBuffer().find(row.waitFor) != std::string::npos;
      },
      kPatience))
      << view.since(0);
  loop.runPending();
  for (const auto& writer : linesOf(app->outputBuffer(), "writer ")) sweeper.watch(std::stoi(writer));
  EXPECT_EQ(wordsShown(), row.words);
  EXPECT_EQ(withPrefix(view.calls, "sentence:").back(), row.finalSentence);

  // Only a backend still running is signalled: an exited one's pid may name another process.
  app->applicationWillTerminate();
  if (row.runsAtQuit) {
    EXPECT_THAT(recorder.lines(), ::testing::ElementsAreArray(toolRuns("TERM", pid)));
    EXPECT_FALSE(process->isRunning());
  } else {
    EXPECT_THAT(recorder.lines(), ::testing::IsEmpty());
  }
  // Whatever the reader posted last reaches a controller that is gone, harmlessly.
  app.reset();
  loop.runPending();
}

using enum std::filesystem::perms;
// clang-format off
INSTANTIATE_TEST_SUITE_P(Backends, ControllerWithRealBackend, ::testing::Values(
    Scenario{"Announces", &kAnnounceBackend, owner_all, nullptr, "", "ARMING BRIDGE WARMING SURFACE",
             "handing off to local terminal", true},
    Scenario{"ExitsBeforeAnnouncing", &kExitingBackend, owner_all, nullptr, "",
             "ARMING BRIDGE WARMING ERROR", "backend exited before the console was ready", false},
    Scenario{"AnnouncesWithoutNewlineThenStaysSilent", nullptr, owner_all, kNoFinalNewline, "",
             "ARMING BRIDGE WARMING SURFACE", "handing off to local terminal", true},
    Scenario{"LauncherLeavesAWriterThatAnnounces", nullptr, owner_all, kHandOff, "launcher gone",
             "ARMING BRIDGE WARMING SURFACE", "handing off to local terminal", false},
    Scenario{"LauncherLeavesAWriterThatNeverAnnounces", nullptr, owner_all, kSilentWriter,
             "launcher gone", "ARMING BRIDGE WARMING", "arming telemetry and shell bridge", false},
    Scenario{"LauncherLeavesNothingOnThePipe", nullptr, owner_all, kDetached, "writer",
             "ARMING BRIDGE WARMING ERROR", "backend exited before the console was ready", false},
    Scenario{"NotExecutable", &kExitingBackend, owner_read, nullptr, "", "ARMING ERROR",
             "could not start backend", false}), RowName);
// clang-format on

}  // namespace
}  // namespace zvui::test
