#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "MacTamrikApp/AppDelegate.h"
#include "core/support/FakeBackend.h"
#include "core/support/RecordingView.h"
#include "core/support/RowName.h"
#include "core/support/ScopedEnvironment.h"
#include "core/support/TempDir.h"
#include "support/TestMainLoop.h"

namespace zvui {
namespace {

using namespace std::chrono_literals;
using Strings = std::vector<std::string>;

constexpr Colour kRed{0.94, 0.32, 0.32, 1.0};

class Controller : public ::testing::Test {
 protected:
  // Settings come from an empty configuration directory unless a test writes one.
  test::TempDir config;
  test::ScopedEnvironment xdg{"XDG_CONFIG_HOME", config.path().string()};
  test::ScopedEnvironment shell{"SHELL", "/usr/local/bin/fish"};
  test::ScopedEnvironment inheritedPort{"TAMRIK_PORT", "8080"};
  test::RecordingView view;
  test::FakeLauncher launcher;
  test::TestMainLoop loop;
  std::shared_ptr<AppDelegate> app = std::make_shared<AppDelegate>(view, launcher, loop);

  void launch() { app->applicationDidFinishLaunching(); }
  void write(std::string block) { launcher.process->write(std::move(block)); }
  std::size_t callsSoFar() const { return view.calls.size(); }
  Strings callsSince(std::size_t mark) const {
    return Strings(view.calls.begin() + static_cast<std::ptrdiff_t>(mark), view.calls.end());
  }
};

TEST_F(Controller, HealthyLaunchShowsEveryPhaseInOrder) {
  launch();
  write("booting\n");
  write("TAMRIK_URL=http://127.0.0.1:41234/?token=abc\n");
  view.navigationFinished();

  EXPECT_EQ(view.words(), (Strings{"ARMING", "BRIDGE", "WARMING", "WARMING", "SURFACE", "LIVE"}));
  EXPECT_EQ(view.sentences(),
            (Strings{"waiting for console service", "arming telemetry and shell bridge",
                     "arming telemetry and shell bridge", "loading console surface",
                     "handing off to local terminal", "console live"}));
  EXPECT_EQ(view.loads(), (Strings{"http://127.0.0.1:41234/?token=abc 60000ms"}));
  EXPECT_TRUE(app->loadedURL());
  EXPECT_TRUE(view.with("colour").empty());
}

TEST_F(Controller, WindowIsBuiltAndLabelledBeforeItIsShownAndBeforeTheBackendStarts) {
  launch();
  EXPECT_EQ(view.calls,
            (Strings{"build", "host:" + view.with("host:").at(0), "runtime:FISH", "word:ARMING",
                     "show", "sentence:waiting for console service", "word:BRIDGE"}));
  EXPECT_EQ(launcher.located, (Strings{"MacTamrikBackend"}));
  EXPECT_EQ(launcher.process->launches, 1);
}

TEST_F(Controller, BackendGetsOurEnvironmentWithPortZeroAndAppModeLast) {
  test::ScopedEnvironment marker{"ZVUI_TEST_MARKER", "kept as it is"};
  launch();
  const auto& env = launcher.madeWith;
  ASSERT_GE(env.size(), 2u);
  EXPECT_EQ(env[env.size() - 2], "TAMRIK_PORT=0");
  EXPECT_EQ(env.back(), "TAMRIK_APP_MODE=1");
  EXPECT_EQ(std::count(env.begin(), env.end(), "TAMRIK_PORT=8080"), 0);
  EXPECT_EQ(std::count(env.begin(), env.end(), "ZVUI_TEST_MARKER=kept as it is"), 1);
}

TEST_F(Controller, AnnouncementInTheFirstBlockPassesThroughWarmingInTheSameCall) {
  launch();
  const auto mark = callsSoFar();
  write("TAMRIK_URL=http://127.0.0.1:5000/\n");
  EXPECT_EQ(callsSince(mark), (Strings{"sentence:arming telemetry and shell bridge", "word:WARMING",
                                       "sentence:loading console surface", "word:SURFACE",
                                       "sentence:handing off to local terminal",
                                       "load:http://127.0.0.1:5000/ 60000ms"}));
}

TEST_F(Controller, OnlyTheFirstAcceptedAddressLoadsAndLaterOutputChangesNothing) {
  launch();
  write("TAMRIK_URL=http://127.0.0.1:1/\n");
  const auto mark = callsSoFar();
  write("TAMRIK_URL=http://127.0.0.1:2/\n");
  write("more output\n");
  EXPECT_TRUE(callsSince(mark).empty());
  EXPECT_EQ(view.loads(), (Strings{"http://127.0.0.1:1/ 60000ms"}));
  EXPECT_NE(app->outputBuffer().find("more output"), std::string::npos);
}

TEST_F(Controller, TailOfJustThePrefixIsRejectedUntilTheLineCompletes) {
  launch();
  write("TAMRIK_URL=");
  EXPECT_FALSE(app->loadedURL());
  write("http://127.0.0.1:7/\n");
  EXPECT_EQ(view.loads(), (Strings{"http://127.0.0.1:7/ 60000ms"}));
}

TEST_F(Controller, EveryFinishedNavigationWritesTheLivePhaseAgain) {
  launch();
  write("TAMRIK_URL=http://127.0.0.1:5000/\n");
  for (int i = 0; i < 2; ++i) {
    const auto mark = callsSoFar();
    view.navigationFinished();
    EXPECT_EQ(callsSince(mark),
              (Strings{"showWebView", "sentence:console live", "word:LIVE", "fade:420ms"}));
  }
}

// The error phases: the sentence, then the red colour, then "ERROR"; nothing after that
// moves the launch on.
struct ErrorRow {
  const char* name;
  bool executablePresent;
  bool launchSucceeds;
  bool exitsBeforeAnnouncing;
  const char* sentence;
  bool hasProcess;
};

class ControllerErrors : public Controller, public ::testing::WithParamInterface<ErrorRow> {};

TEST_P(ControllerErrors, ShowTheReasonInRedAndStayInTheErrorPhase) {
  const auto& row = GetParam();
  launcher.executablePresent = row.executablePresent;
  launcher.launchSucceeds = row.launchSucceeds;
  launch();
  if (row.exitsBeforeAnnouncing) {
    write("starting up\n");
    launcher.process->exit();
  }
  const Strings tail(view.calls.end() - 3, view.calls.end());
  EXPECT_EQ(tail, (Strings{std::string("sentence:") + row.sentence, "colour", "word:ERROR"}));
  EXPECT_EQ(view.lastColour, kRed);
  EXPECT_EQ(app->backendProcess() != nullptr, row.hasProcess);
  EXPECT_EQ(launcher.madeFor.has_value(), row.hasProcess);
  EXPECT_EQ(std::count(view.calls.begin(), view.calls.end(), "word:BRIDGE"),
            row.exitsBeforeAnnouncing ? 1 : 0);
  EXPECT_EQ(std::count(view.calls.begin(), view.calls.end(), "word:ERROR"), 1);

  // A late exit event, stray output or a quit changes nothing on screen.
  const auto mark = callsSoFar();
  if (launcher.process != nullptr) {
    write("TAMRIK_URL=http://127.0.0.1:9/\n");
    launcher.process->exit();
  }
  app->applicationWillTerminate();
  EXPECT_TRUE(callsSince(mark).empty());
  EXPECT_FALSE(app->loadedURL());
}

INSTANTIATE_TEST_SUITE_P(Rows, ControllerErrors,
                         ::testing::Values(ErrorRow{"executable_missing", false, true, false,
                                                    "backend executable missing", false},
                                           ErrorRow{"launch_refused", true, false, false,
                                                    "could not start backend", true},
                                           ErrorRow{"exited_before_announcing", true, true, true,
                                                    "backend exited before the console was ready",
                                                    true}),
                         test::RowName{});

TEST_F(Controller, BackendExitAfterTheAddressWasAcceptedChangesNothing) {
  launch();
  write("TAMRIK_URL=http://127.0.0.1:5000/\n");
  const auto mark = callsSoFar();
  launcher.process->exit();
  EXPECT_TRUE(callsSince(mark).empty());
}

// Quit stops the backend tree once, whatever state the launch is in.
struct QuitRow {
  const char* name;
  bool executablePresent;
  bool launchSucceeds;
  bool announced;
  bool exitsOnTerm;
  Strings signals;
};

class ControllerQuit : public Controller, public ::testing::WithParamInterface<QuitRow> {};

TEST_P(ControllerQuit, StopsTheBackendTreeExactlyOnce) {
  const auto& row = GetParam();
  launcher.executablePresent = row.executablePresent;
  launcher.launchSucceeds = row.launchSucceeds;
  launcher.exitsOnTerm = row.exitsOnTerm;
  launch();
  if (row.announced) write("TAMRIK_URL=http://127.0.0.1:5000/\n");
  EXPECT_TRUE(app->applicationShouldTerminateAfterLastWindowClosed());
  app->applicationWillTerminate();
  app->applicationWillTerminate();
  EXPECT_EQ(launcher.signals, row.signals);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ControllerQuit,
    ::testing::Values(
        QuitRow{"while_starting", true, true, false, true, {"TERM 4242"}},
        QuitRow{"after_announcing", true, true, true, true, {"TERM 4242"}},
        QuitRow{"backend_ignores_term", true, true, true, false, {"TERM 4242", "KILL 4242"}},
        QuitRow{"executable_missing", false, true, false, true, {}},
        QuitRow{"launch_refused", true, false, false, true, {}}),
    test::RowName{});

TEST_F(Controller, LaunchSequenceRunsOnlyOnce) {
  launch();
  launch();
  EXPECT_EQ(view.with("build").size(), 1u);
  EXPECT_EQ(launcher.process->launches, 1);
}

// The full-screen check runs 450 ms after the window is shown, enters full screen only when
// the setting asks for it and the window is not full screen already, and never leaves it.
struct FullscreenRow {
  const char* name;
  const char* settings;  // nullptr: no settings file
  bool alreadyFullscreen;
  bool expectLaunchFullscreen;
  bool expectEnter;
};

class ControllerFullscreen : public Controller,
                             public ::testing::WithParamInterface<FullscreenRow> {};

TEST_P(ControllerFullscreen, EntersFullScreenOnlyWhenAskedAndNotAlreadyThere) {
  const auto& row = GetParam();
  if (row.settings != nullptr) config.write("ZVui/settings.json", row.settings);
  launch();
  EXPECT_EQ(app->launchFullscreen(), row.expectLaunchFullscreen);
  view.fullscreen = row.alreadyFullscreen;

  loop.runPending();
  EXPECT_TRUE(view.with("fullscreen").empty()) << "the check must wait for its delay";

  const auto start = std::chrono::steady_clock::now();
  loop.runUntil([&] { return std::chrono::steady_clock::now() - start >= 500ms; }, 2s);
  EXPECT_EQ(view.with("fullscreen").size(), row.expectEnter ? 1u : 0u);
  EXPECT_EQ(view.fullscreen, row.alreadyFullscreen || row.expectEnter);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ControllerFullscreen,
    ::testing::Values(
        FullscreenRow{"no_settings", nullptr, false, true, true},
        FullscreenRow{"set_false", R"({"autoFullscreen": false})", false, false, false},
        FullscreenRow{"set_zero", R"({"autoFullscreen": 0})", false, false, false},
        FullscreenRow{"string_false_counts_as_absent", R"({"autoFullscreen": "false"})", false,
                      true, true},
        FullscreenRow{"already_fullscreen", R"({"autoFullscreen": true})", true, true, false},
        FullscreenRow{"already_fullscreen_and_off_stays", R"({"autoFullscreen": false})", true,
                      false, false}),
    test::RowName{});

TEST_F(Controller, LateEventsAfterTheControllerIsGoneAreDropped) {
  launch();
  auto onOutput = launcher.process->outputHandler();
  auto onExit = launcher.process->exitHandler();
  auto navigationFinished = view.navigationFinished;
  const auto mark = callsSoFar();
  app.reset();
  launcher.process = nullptr;  // it went with the controller
  onOutput("TAMRIK_URL=http://127.0.0.1:5000/\n");
  onExit();
  navigationFinished();
  const auto start = std::chrono::steady_clock::now();
  loop.runUntil([&] { return std::chrono::steady_clock::now() - start >= 500ms; }, 2s);
  EXPECT_TRUE(callsSince(mark).empty());
}

}  // namespace
}  // namespace zvui
