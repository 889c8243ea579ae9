#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "support/ControllerFakes.h"

namespace zvui {
namespace {

using namespace std::chrono_literals;

class Controller : public ::testing::Test, public test::ControllerRig {};

TEST_F(Controller, HealthyLaunchShowsEveryPhaseInOrder) {
  launch();
  launch();                       // the launch sequence runs once
  write("booting\nTAMRIK_URL=");  // an announcement cut right after its prefix waits for more
  write("http://127.0.0.1:41234/?token=abc\n");
  view.navigationFinished();
  view.navigationFinished();  // a reload writes the live phase again

  const std::string warming = "sentence:arming telemetry and shell bridge | word:WARMING | ";
  const std::string live = "showWebView | sentence:console live | word:LIVE | fade:420ms";
  EXPECT_EQ(view.since(0), "build | host:" + view.calls.at(1).substr(5) +
                               " | runtime:FISH | word:ARMING | show | sentence:waiting for "
                               "console service | word:BRIDGE | " +
                               warming + warming +
                               "sentence:loading console surface | word:SURFACE | sentence:handing "
                               "off to local terminal | load:http://127.0.0.1:41234/?token=abc "
                               "60000ms | " +
                               live + " | " + live);
  EXPECT_EQ(launcher.madeFor, "/opt/zvui/lib/MacTamrikBackend");
  EXPECT_EQ(launcher.madeWith.back(), "TAMRIK_APP_MODE=1");
  EXPECT_TRUE(app->applicationShouldTerminateAfterLastWindowClosed());
  app->applicationWillTerminate();
  app->applicationWillTerminate();
  EXPECT_EQ(launcher.signals, "TERM 4242;");
}

// A rejected announcement hides later ones only while the cap still keeps it.
TEST_F(Controller, RejectedAnnouncementIsForgottenOnceTheCapDropsIt) {
  launch();
  write("TAMRIK_URL=not a url\nTAMRIK_URL=http://127.0.0.1:4/\n");
  write(std::string(kOutputBufferCapacity - 52, '.'));
  EXPECT_FALSE(app->loadedURL());
  write(".");  // the first "T" leaves the buffer
  EXPECT_EQ(view.calls.back(), "load:http://127.0.0.1:4/ 60000ms");
}

// The early-exit error is decided by the end of the output, not by the backend's own exit:
// a launcher may exit at once and leave the server it started writing to the pipe.
struct OutputEndRow {
  const char* name;
  const char* before;  // written before the backend exits
  bool lastWriter;     // nothing else holds the pipe, so the exit ends the output
  const char* after;   // written afterwards by whatever still holds it; then the output ends
  bool endsAfter;
  const char* word;    // the last status word
  const char* load;    // the address loaded, if any
};

class ControllerOutputEnd : public Controller,
                            public ::testing::WithParamInterface<OutputEndRow> {};

TEST_P(ControllerOutputEnd, ErrorOnlyWhenTheOutputEndsWithoutAnAddress) {
  const auto& row = GetParam();
  launch();
  if (*row.before != '\0') write(row.before);
  exit(row.lastWriter);
  if (*row.after != '\0') write(row.after);
  if (row.endsAfter) endOutput();
  EXPECT_EQ(view.calls.back().starts_with("load:") ? view.calls.end()[-3] : view.calls.back(),
            std::string("word:") + row.word)
      << view.since(0);
  EXPECT_EQ(view.loads(), *row.load != '\0' ? std::vector<std::string>{row.load}
                                            : std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ControllerOutputEnd,
    ::testing::Values(
        OutputEndRow{"launcher_hands_off", "launching\n", false, "TAMRIK_URL=http://h:1/\n", false,
                     "SURFACE", "http://h:1/"},
        OutputEndRow{"launcher_leaves_a_silent_writer", "launching\n", false, "", false,
                     "WARMING", ""},
        OutputEndRow{"silent_launcher_leaves_a_writer", "", false, "", false, "BRIDGE", ""},
        OutputEndRow{"writer_ends_without_announcing", "launching\n", false, "serving\n", true,
                     "ERROR", ""},
        OutputEndRow{"exits_with_nothing_holding_the_pipe", "boot\n", true, "", false, "ERROR",
                     ""},
        OutputEndRow{"silent_and_nothing_holding_the_pipe", "", true, "", false, "ERROR", ""},
        // No more output can come, so the unterminated tail is taken at once.
        OutputEndRow{"announces_without_newline_then_ends", "TAMRIK_URL=http://h:2/", true, "",
                     false, "SURFACE", "http://h:2/"},
        OutputEndRow{"empty_announcement_then_ends", "TAMRIK_URL=", true, "", false, "ERROR", ""},
        OutputEndRow{"announces_then_ends", "TAMRIK_URL=http://h:3/\n", true, "", false,
                     "SURFACE", "http://h:3/"}),
    test::RowName);

// An address in the unterminated last line is taken once the output pauses, so a backend
// that announces without a newline and then stays silent is loaded; when that line goes on
// to carry another address, that address is loaded instead, without any phase repeating.
TEST_F(Controller, TailAddressIsTakenAfterAPauseAndReplacedByTheCompletedLine) {
  config.write("ZVui/settings.json", R"({"autoFullscreen": false})");
  launch();
  write("booting\nTAMRIK_URL=http://127.0.0.1:43");
  EXPECT_FALSE(app->loadedURL()) << "taken before the output paused";
  ASSERT_TRUE(loop.runUntil([&] { return app->loadedURL(); }, 5s));
  EXPECT_EQ(view.since(view.calls.size() - 4),
            "sentence:loading console surface | word:SURFACE | sentence:handing off to local "
            "terminal | load:http://127.0.0.1:43 60000ms");
  const auto mark = view.calls.size();
  write("215/?tok");
  ASSERT_TRUE(loop.runUntil([&] { return view.calls.size() > mark; }, 5s));
  write("en=abc\nTAMRIK_URL=http://other/\n");
  view.navigationFinished();
  write("serving\n");
  exit();
  ASSERT_TRUE(loop.runUntil([&] { return loop.idle(); }, 5s));
  EXPECT_EQ(view.since(mark),
            "load:http://127.0.0.1:43215/?tok 60000ms | load:http://127.0.0.1:43215/?token=abc "
            "60000ms | showWebView | sentence:console live | word:LIVE | fade:420ms");
}

// The error phases: the sentence, then the red colour, then "ERROR"; nothing after that
// moves the launch on.
struct ErrorRow {
  const char* name;
  bool executablePresent, launchSucceeds, exitsEarly;
  const char* sentence;
};

class ControllerErrors : public Controller, public ::testing::WithParamInterface<ErrorRow> {};

TEST_P(ControllerErrors, ShowTheReasonInRedAndStayInTheErrorPhase) {
  const auto& row = GetParam();
  launcher.executablePresent = row.executablePresent;
  launcher.launchSucceeds = row.launchSucceeds;
  launch();
  if (row.exitsEarly) {
    write("starting up\n");
    exit();
  }
  EXPECT_EQ(view.since(view.calls.size() - 3),
            std::string("sentence:") + row.sentence + " | colour | word:ERROR");
  EXPECT_EQ(view.lastColour, (Colour{0.94, 0.32, 0.32, 1.0}));
  EXPECT_EQ(view.since(0).find("BRIDGE") != std::string::npos, row.exitsEarly);

  // A late exit event, stray output or a quit changes nothing on screen.
  const auto mark = view.calls.size();
  if (launcher.process != nullptr) {
    write("TAMRIK_URL=http://127.0.0.1:9/\n");
    exit();
  }
  app->applicationWillTerminate();
  EXPECT_EQ(view.since(mark), "");
  EXPECT_EQ(launcher.signals, "");  // nothing runs that could be stopped
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ControllerErrors,
    ::testing::Values(ErrorRow{"missing", false, true, false, "backend executable missing"},
                      ErrorRow{"refused", true, false, false, "could not start backend"},
                      ErrorRow{"exited_before_announcing", true, true, true,
                               "backend exited before the console was ready"}),
    test::RowName);

// The full-screen check runs a moment after the window is shown and reads the window's state
// then; it only ever enters full screen, and only when the setting asks for it.
struct FullscreenRow {
  const char* name;
  const char* settings;  // nullptr: no settings file
  bool alreadyFullscreen, expectEnter;
};

class ControllerFullscreen : public Controller,
                             public ::testing::WithParamInterface<FullscreenRow> {};

TEST_P(ControllerFullscreen, EntersFullScreenOnlyWhenAskedAndNotAlreadyThere) {
  const auto& row = GetParam();
  if (row.settings != nullptr) config.write("ZVui/settings.json", row.settings);
  launch();
  view.fullscreen = row.alreadyFullscreen;
  loop.runPending();
  EXPECT_EQ(view.fullscreenQueries, 0) << "the check must wait for its delay";
  ASSERT_TRUE(loop.runUntil([&] { return loop.idle(); }, 5s)) << "the check never ran";
  EXPECT_EQ(view.since(0).find("fullscreen") != std::string::npos, row.expectEnter);
  EXPECT_EQ(view.fullscreen, row.alreadyFullscreen || row.expectEnter);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ControllerFullscreen,
    ::testing::Values(FullscreenRow{"no_settings", nullptr, false, true},
                      FullscreenRow{"off", R"({"autoFullscreen": 0})", false, false},
                      FullscreenRow{"already", R"({"autoFullscreen": true})", true, false},
                      FullscreenRow{"off_already", R"({"autoFullscreen": false})", true, false}),
    test::RowName);

TEST_F(Controller, LateEventsAfterTheControllerIsGoneAreDropped) {
  launch();
  const auto onOutput = launcher.process->onOutput;
  const auto onOutputEnd = launcher.process->onOutputEnd;
  const auto navigationFinished = view.navigationFinished;
  const auto mark = view.calls.size();
  app.reset();
  onOutput("TAMRIK_URL=http://127.0.0.1:5000/\n");
  onOutputEnd();
  navigationFinished();
  ASSERT_TRUE(loop.runUntil([&] { return loop.idle(); }, 5s));  // the full-screen check is due too
  EXPECT_EQ(view.since(mark), "");
  EXPECT_EQ(view.fullscreenQueries, 0);
}

}  // namespace
}  // namespace zvui
