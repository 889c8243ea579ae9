// Whole launches in this process: the real window, controller and backend launcher, with
// the test backend in a resource directory of the test's making.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "MacTamrikApp/AppDelegate.h"
#include "backend/BackendEnvironment.h"
#include "backend/PosixBackendLauncher.h"
#include "launch/GtkLaunchCard.h"
#include "support/GuiSupport.h"
#include "titlebar/GtkTitlebarStrip.h"
#include "window/GtkAppView.h"
#include "window/GtkConsoleWebView.h"
#include "window/GtkMainLoop.h"

namespace zvui {
namespace {

using namespace std::chrono_literals;
using test::iterateUntil;

// The app's parts on the resources of `prefix`, launched, with `setting` (NAME=value) added to
// the backend's environment; every load's finish counted.
struct Launched {
  explicit Launched(const test::Prefix& prefix, std::string_view setting = {})
      : view(test::application(), prefix.resources()),
        launcher(prefix.resources(), loop),
        controller(std::make_shared<AppDelegate>(
            view, launcher, loop,
            ControllerInputs{.settings = {.autoFullscreen = false},
                             .environment = [setting = std::string(setting)] {
                               Environment environment = currentEnvironment();
                               const auto equals = setting.find('=');
                               if (equals != std::string::npos) {
                                 setEnvironmentVariable(environment, setting.substr(0, equals),
                                                        setting.substr(equals + 1));
                               }
                               return environment;
                             }})) {
    controller->applicationDidFinishLaunching();
    test::countFinishedLoads(view.console()->webView(), finishes);
  }
  ~Launched() {
    controller->applicationWillTerminate();
    if (view.window() != nullptr) view.window()->destroy();
  }
  std::string word() { return view.titlebarStrip()->statusLabel().get_text(); }
  std::string sentence() { return view.launchCard()->statusLabel().get_text(); }

  GtkMainLoop loop;
  GtkAppView view;
  PosixBackendLauncher launcher;
  std::shared_ptr<AppDelegate> controller;
  int finishes = 0;  // failed loads too
};

struct LaunchCase {
  const char* name;
  const char* backend;  // what lib/zvui/MacTamrikBackend is: "test", "none" or "no-exec"
  const char* setting;  // NAME=value for the backend to inherit
  const char* word;
  const char* sentence;
};
void PrintTo(const LaunchCase& c, std::ostream* out) { *out << c.name; }

class Launch : public ::testing::TestWithParam<LaunchCase> {};

TEST_P(Launch, EndsInItsPhaseShowingTheRightView) {
  const LaunchCase& c = GetParam();
  const bool live = std::string_view(c.word) == "LIVE";
  test::Prefix prefix(std::string_view(c.backend) != "none");
  if (std::string_view(c.backend) == "no-exec") ::chmod((prefix.resources() / "MacTamrikBackend").c_str(), 0644);
  Launched app(prefix, c.setting);
  ASSERT_NE(app.view.window(), nullptr);
  Gtk::Widget& launchView = *app.view.launchView();

  if (live) {
    ASSERT_TRUE(iterateUntil([&] { return !launchView.get_visible(); }, 60s)) << app.word();
  } else if (std::string_view(c.word) == "SURFACE") {
    // Wait for the failed load, then for everything it set off to settle.
    ASSERT_TRUE(iterateUntil([&] { return app.finishes > 0; }, 60s)) << app.word();
    test::drainMainContext();
  } else {
    ASSERT_TRUE(iterateUntil([&] { return app.word() == c.word; })) << app.word();
  }
  EXPECT_EQ(app.word(), c.word);
  EXPECT_EQ(app.sentence(), c.sentence);
  EXPECT_EQ(app.view.console()->widget().get_visible(), live);
  EXPECT_EQ(launchView.get_visible(), !live);
  EXPECT_EQ(launchView.get_opacity(), live ? 0.0 : 1.0);
  if (std::string_view(c.word) == "ERROR") {
    const Gdk::RGBA colour = app.view.launchCard()->statusLabel().get_style_context()->get_color();
    EXPECT_TRUE(colour.get_red() > 0.9 && colour.get_green() < 0.4) << colour.to_string();
  }
}

const LaunchCase kLaunchCases[] = {
    {"AnnouncedOnStdout", "test", "ZVUI_TEST_ANNOUNCE=stdout", "LIVE", "console live"},
    {"AnnouncedOnStderr", "test", "ZVUI_TEST_ANNOUNCE=stderr", "LIVE", "console live"},
    {"PageFailsToLoad", "test", "ZVUI_TEST_SERVE=refuse", "SURFACE", "handing off to local terminal"},
    {"PortTheWebViewBlocks", "test", "ZVUI_TEST_SERVE=blocked", "SURFACE", "handing off to local terminal"},
    {"LauncherHandsOffToAServer", "test", "ZVUI_TEST_LAUNCH=handoff", "LIVE", "console live"},
    {"BackendMissing", "none", "ZVUI_TEST_SERVE=page", "ERROR", "backend executable missing"},
    {"BackendNotExecutable", "no-exec", "ZVUI_TEST_SERVE=page", "ERROR", "could not start backend"},
};
INSTANTIATE_TEST_SUITE_P(Backends, Launch, ::testing::ValuesIn(kLaunchCases), test::RowName);

// WebKit's processes are started with a page of their own while the backend comes up. None
// of that may pass for the console: the card stays up, and the phase's word and sentence
// stay where the backend's output put them.
TEST(LaunchWarmUp, NeitherRevealsNorMovesThePhase) {
  test::Prefix prefix(false);
  const auto backend = prefix.dir.write("lib/zvui/MacTamrikBackend", "#!/bin/sh\necho starting up\nexec sleep 600\n");
  ::chmod(backend.c_str(), 0755);
  Launched app(prefix);
  ASSERT_TRUE(iterateUntil([&] { return app.word() == "WARMING"; })) << app.word();
  ASSERT_TRUE(iterateUntil([&] { return app.finishes > 0; }, 60s));  // the warm-up's page is in
  test::drainMainContext();

  EXPECT_EQ(app.word(), "WARMING");
  EXPECT_EQ(app.sentence(), "arming telemetry and shell bridge");
  EXPECT_TRUE(app.view.launchView()->get_visible());
  EXPECT_EQ(app.view.launchView()->get_opacity(), 1.0);
  EXPECT_FALSE(app.view.console()->widget().get_visible());
}

}  // namespace
}  // namespace zvui
