// Whole launches in this process: the real window, controller and backend launcher, with
// the test backend in a resource directory of the test's making.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "MacTamrikApp/AppDelegate.h"
#include "support/GuiSupport.h"
#include "backend/PosixBackendLauncher.h"
#include "launch/GtkLaunchCard.h"
#include "titlebar/GtkTitlebarStrip.h"
#include "window/GtkConsoleWebView.h"
#include "window/GtkAppView.h"
#include "window/GtkMainLoop.h"

namespace zvui {
namespace {

using namespace std::chrono_literals;
using test::iterateUntil;

struct LaunchCase {
  friend void PrintTo(const LaunchCase& c, std::ostream* out) { *out << c.name; }
  const char* name;
  const char* backend;  // what lib/zvui/MacTamrikBackend is: "test", "none" or "no-exec"
  const char* setting;  // NAME=value for the backend to inherit
  const char* word;
  const char* sentence;
};

class Launch : public ::testing::TestWithParam<LaunchCase> {};

TEST_P(Launch, EndsInItsPhaseShowingTheRightView) {
  const LaunchCase& c = GetParam();
  const bool live = std::string_view(c.word) == "LIVE";
  test::Prefix prefix(std::string_view(c.backend) != "none");
  if (std::string_view(c.backend) == "no-exec")
    ::chmod((prefix.resources() / "MacTamrikBackend").c_str(), 0644);
  ::putenv(const_cast<char*>(c.setting));

  GtkMainLoop loop;
  GtkAppView view(test::application(), prefix.resources());
  PosixBackendLauncher launcher(prefix.resources(), loop);
  auto controller = std::make_shared<AppDelegate>(
      view, launcher, loop,
      ControllerInputs{.settings = {.autoFullscreen = false}, .environment = &currentEnvironment});
  controller->applicationDidFinishLaunching();
  ASSERT_NE(view.window(), nullptr);
  int finishes = 0;  // failed loads too
  test::countFinishedLoads(view.console()->webView(), finishes);
  Gtk::Widget& launchView = *view.launchView();
  Gtk::Widget& webView = view.console()->widget();
  const auto word = [&] { return view.titlebarStrip()->statusLabel().get_text(); };

  if (live) {
    ASSERT_TRUE(iterateUntil([&] { return !launchView.get_visible(); }, 60s)) << word();
  } else if (std::string_view(c.word) == "SURFACE") {
    // Wait for the failed load, then for everything it set off to settle.
    ASSERT_TRUE(iterateUntil([&] { return finishes > 0; }, 60s)) << word();
    while (g_main_context_pending(nullptr)) g_main_context_iteration(nullptr, FALSE);
  } else {
    ASSERT_TRUE(iterateUntil([&] { return word() == c.word; })) << word();
  }
  EXPECT_EQ(word(), c.word);
  Gtk::Label& sentence = view.launchCard()->statusLabel();
  EXPECT_EQ(sentence.get_text(), c.sentence);
  EXPECT_EQ(webView.get_visible(), live);
  EXPECT_EQ(launchView.get_visible(), !live);
  EXPECT_EQ(launchView.get_opacity(), live ? 0.0 : 1.0);
  if (std::string_view(c.word) == "ERROR") {
    const Gdk::RGBA colour = sentence.get_style_context()->get_color();
    EXPECT_TRUE(colour.get_red() > 0.9 && colour.get_green() < 0.4) << colour.to_string();
  }
  controller->applicationWillTerminate();
  view.window()->destroy();
}

const LaunchCase kLaunchCases[] = {
    {"AnnouncedOnStdout", "test", "ZVUI_TEST_ANNOUNCE=stdout", "LIVE", "console live"},
    {"AnnouncedOnStderr", "test", "ZVUI_TEST_ANNOUNCE=stderr", "LIVE", "console live"},
    {"PageFailsToLoad", "test", "ZVUI_TEST_SERVE=refuse", "SURFACE",
     "handing off to local terminal"},
    {"PortTheWebViewBlocks", "test", "ZVUI_TEST_SERVE=blocked", "SURFACE",
     "handing off to local terminal"},
    {"LauncherHandsOffToAServer", "test", "ZVUI_TEST_LAUNCH=handoff", "LIVE", "console live"},
    {"BackendMissing", "none", "ZVUI_TEST_SERVE=page", "ERROR", "backend executable missing"},
    {"BackendNotExecutable", "no-exec", "ZVUI_TEST_SERVE=page", "ERROR", "could not start backend"},
};
INSTANTIATE_TEST_SUITE_P(Backends, Launch, ::testing::ValuesIn(kLaunchCases),
                         [](const auto& row) { return std::string(row.param.name); });

// WebKit's processes are started with a page of their own while the backend comes up. None
// of that may pass for the console: the card stays up, and the phase's word and sentence
// stay where the backend's output put them.
TEST(LaunchWarmUp, NeitherRevealsNorMovesThePhase) {
  test::Prefix prefix(false);
  const auto backend = prefix.resources() / "MacTamrikBackend";
  std::ofstream(backend) << "#!/bin/sh\necho starting up\nexec sleep 600\n";
  ::chmod(backend.c_str(), 0755);

  GtkMainLoop loop;
  GtkAppView view(test::application(), prefix.resources());
  PosixBackendLauncher launcher(prefix.resources(), loop);
  auto controller = std::make_shared<AppDelegate>(
      view, launcher, loop,
      ControllerInputs{.settings = {.autoFullscreen = false}, .environment = &currentEnvironment});
  controller->applicationDidFinishLaunching();
  int finishes = 0;
  test::countFinishedLoads(view.console()->webView(), finishes);
  const auto word = [&] { return view.titlebarStrip()->statusLabel().get_text(); };
  ASSERT_TRUE(iterateUntil([&] { return word() == "WARMING"; })) << word();
  ASSERT_TRUE(iterateUntil([&] { return finishes > 0; }, 60s));  // the warm-up's page is in
  while (g_main_context_pending(nullptr)) g_main_context_iteration(nullptr, FALSE);

  EXPECT_EQ(word(), "WARMING");
  EXPECT_EQ(view.launchCard()->statusLabel().get_text(), "arming telemetry and shell bridge");
  EXPECT_TRUE(view.launchView()->get_visible());
  EXPECT_EQ(view.launchView()->get_opacity(), 1.0);
  EXPECT_FALSE(view.console()->widget().get_visible());
  controller->applicationWillTerminate();
  view.window()->destroy();
}

}  // namespace
}  // namespace zvui
