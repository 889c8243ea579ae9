#include <gtest/gtest.h>

#include "support/ControllerFakes.h"

namespace zvui {
namespace {

using test::Strings;

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
  EXPECT_EQ(view.since(0),
            "build | host:BUILD-07 | runtime:FISH | word:ARMING | show | sentence:waiting for "
            "console service | word:BRIDGE | " +
                warming + warming +
                "sentence:loading console surface | word:SURFACE | sentence:handing off to local "
                "terminal | load:http://127.0.0.1:41234/?token=abc 60000ms | " +
                live + " | " + live);
  EXPECT_EQ(launcher.madeWith, (Strings{"PATH=/bin", "TAMRIK_PORT=0", "TAMRIK_APP_MODE=1"}));
  app->applicationWillTerminate();
  app->applicationWillTerminate();
  EXPECT_EQ(launcher.signals, "TERM 4242;");
}

// Only an output that ends ("end") without an address is an error, and the error is final;
// the backend exiting while something still holds its pipe ("exit") is not.
TEST(ControllerOutputEnd, ErrorOnlyWhenTheOutputEndsWithoutAnAddress) {
  const struct {
    Strings steps;
    const char *word, *load;
  } rows[] = {
      {{"launching\n", "exit", "TAMRIK_URL=http://h:1/\n"}, "SURFACE", "http://h:1/"},
      {{"launching\n", "exit", "serving\n", "end"}, "ERROR", ""},
      {{"exit", "end"}, "ERROR", ""},
      // No more output can come, so the unterminated tail is taken at once.
      {{"TAMRIK_URL=http://h:2/", "exit", "end"}, "SURFACE", "http://h:2/"},
      {{"TAMRIK_URL=", "exit", "end"}, "ERROR", ""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(::testing::PrintToString(row.steps));
    test::ControllerRig rig;
    rig.launch();
    for (const auto& step : row.steps)
      step == "exit" ? rig.exit() : step == "end" ? rig.endOutput() : rig.write(step);
    const auto& view = rig.view;
    EXPECT_EQ(view.calls.end()[*row.load ? -3 : -1], std::string("word:") + row.word);
    EXPECT_EQ(view.loads, *row.load ? Strings{row.load} : Strings{});
    if (std::string_view(row.word) != "ERROR") continue;
    EXPECT_EQ(view.since(view.calls.size() - 3),
              "sentence:backend exited before the console was ready | colour | word:ERROR");
    EXPECT_EQ(view.lastColour, (Colour{0.94, 0.32, 0.32, 1.0}));
    const auto mark = view.calls.size();
    rig.write("TAMRIK_URL=http://127.0.0.1:9/\n");
    rig.endOutput();
    rig.app->applicationWillTerminate();
    EXPECT_EQ(view.since(mark) + rig.launcher.signals, "");  // and nothing runs to be stopped
  }
}

// An address in the unterminated last line is taken once the output pauses; when that line
// goes on to carry another address, that one is loaded instead, without a phase repeating.
TEST_F(Controller, TailAddressIsTakenAfterAPauseAndReplacedByTheCompletedLine) {
  inputs.settings.autoFullscreen = false;
  launch();
  write("booting\nTAMRIK_URL=http://127.0.0.1:43");
  EXPECT_FALSE(app->loadedURL()) << "taken before the output paused";
  ASSERT_TRUE(loop.runUntil([&] { return app->loadedURL(); }));
  const auto mark = view.calls.size();
  write("215/?tok");
  ASSERT_TRUE(loop.runUntil([&] { return view.calls.size() > mark; }));
  write("en=abc\nTAMRIK_URL=http://other/\n");
  view.navigationFinished();
  exit();
  endOutput();
  ASSERT_TRUE(loop.runUntil([&] { return loop.idle(); }));
  EXPECT_EQ(view.since(mark - 4),
            "sentence:loading console surface | word:SURFACE | sentence:handing off to local "
            "terminal | load:http://127.0.0.1:43 60000ms | load:http://127.0.0.1:43215/?tok "
            "60000ms | load:http://127.0.0.1:43215/?token=abc 60000ms | showWebView | "
            "sentence:console live | word:LIVE | fade:420ms");
}

// A moment after the window shows, it goes full screen only when asked and not already.
TEST(ControllerFullscreen, EntersFullScreenOnlyWhenAskedAndNotAlreadyThere) {
  const struct { bool wanted, already, enters; } rows[] = {{1, 0, 1}, {0, 0, 0}, {1, 1, 0}};
  for (const auto& row : rows) {
    SCOPED_TRACE(::testing::Message() << "wanted " << row.wanted << ", already " << row.already);
    test::ControllerRig rig;
    rig.inputs.settings.autoFullscreen = row.wanted;
    rig.launch();
    rig.view.fullscreen = row.already;
    rig.loop.runPending();
    EXPECT_EQ(rig.view.fullscreenQueries, 0) << "the check must wait for its delay";
    ASSERT_TRUE(rig.loop.runUntil([&] { return rig.loop.idle(); })) << "it never ran";
    EXPECT_EQ(rig.view.calls.back() == "fullscreen", row.enters);
    EXPECT_EQ(rig.view.fullscreen, row.already || row.enters);
  }
}

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
  ASSERT_TRUE(loop.runUntil([&] { return loop.idle(); }));  // the full-screen check is due too
  EXPECT_EQ(view.since(mark), "");
  EXPECT_EQ(view.fullscreenQueries, 0);
}

}  // namespace
}  // namespace zvui
