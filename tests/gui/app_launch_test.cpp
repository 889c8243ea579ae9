// Whole launches in this process: the real window, controller and backend launcher, with
// stand-in backends on 127.0.0.1 placed in a resource directory of the test's choosing.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <memory>
#include <vector>

#include "GuiTestSupport.h"
#include "MacTamrikApp/AppDelegate.h"
#include "backend/PosixBackendLauncher.h"
#include "launch/LaunchCard.h"
#include "titlebar/TitlebarStrip.h"
#include "window/ConsoleWebView.h"
#include "window/GtkAppView.h"
#include "window/GtkMainLoop.h"

namespace zvui {
namespace {

using namespace std::chrono_literals;
using test::iterateUntil;

enum class Backend { Serving, Missing, NotExecutable };

struct LaunchCase {
  friend void PrintTo(const LaunchCase& c, std::ostream* out) { *out << c.name; }
  const char* name;
  Backend backend;
  std::vector<std::string> environment;  // set for the backend to inherit
  const char* finalWord;
  const char* finalSentence;
  bool revealed;  // web view shown, launch view faded out and hidden
};

class Launch : public ::testing::TestWithParam<LaunchCase> {
 protected:
  void SetUp() override {
    const auto config = temp.path() / "config" / "ZVui";
    std::filesystem::create_directories(config);
    std::ofstream(config / "settings.json") << R"({"autoFullscreen": false})";
    ::setenv("XDG_CONFIG_HOME", (temp.path() / "config").c_str(), 1);
    ::setenv("ZVUI_TEST_PIDFILE", pidFile().c_str(), 1);
    for (const auto& entry : GetParam().environment) ::putenv(const_cast<char*>(entry.c_str()));

    resources = temp.path() / "lib" / "zvui";
    std::filesystem::create_directories(resources);
    const auto backend = resources / "MacTamrikBackend";
    if (GetParam().backend != Backend::Missing) {
      std::filesystem::copy_file(ZVUI_TEST_BACKEND, backend);
    }
    if (GetParam().backend == Backend::NotExecutable) ::chmod(backend.c_str(), 0644);

    view = std::make_unique<GtkAppView>(test::testApplication(), resources);
    launcher = std::make_unique<PosixBackendLauncher>(resources, loop);
    controller = std::make_shared<AppDelegate>(*view, *launcher, loop);
  }

  void TearDown() override {
    if (controller) controller->applicationWillTerminate();
    controller.reset();
    launcher.reset();
    if (view && view->window()) view->window()->destroy();
    view.reset();
  }

  void launch() {
    controller->applicationDidFinishLaunching();
    ASSERT_NE(view->window(), nullptr);
  }

  [[nodiscard]] std::filesystem::path pidFile() const { return temp.path() / "backend.pid"; }
  [[nodiscard]] std::string word() const { return view->titlebarStrip()->statusLabel().get_text(); }
  [[nodiscard]] std::string sentence() const {
    return view->launchCard()->statusLabel().get_text();
  }

  test::TempDir temp;
  std::filesystem::path resources;
  GtkMainLoop loop;
  std::unique_ptr<GtkAppView> view;
  std::unique_ptr<PosixBackendLauncher> launcher;
  std::shared_ptr<AppDelegate> controller;
};

TEST_P(Launch, EndsInItsPhaseWithTheRightViews) {
  const LaunchCase& c = GetParam();
  int finishedLoads = 0;  // failed ones too
  launch();
  g_signal_connect(view->console()->webView(), "load-changed",
                   G_CALLBACK(+[](WebKitWebView*, WebKitLoadEvent event, gpointer n) {
                     if (event == WEBKIT_LOAD_FINISHED) ++*static_cast<int*>(n);
                   }),
                   &finishedLoads);
  Gtk::Widget& launchView = *view->launchView();
  Gtk::Widget& webView = view->console()->widget();

  if (c.revealed) {
    ASSERT_TRUE(iterateUntil([&] { return !launchView.get_visible(); }, 60s)) << word();
    EXPECT_TRUE(webView.get_visible());
    EXPECT_EQ(launchView.get_opacity(), 0.0);
    EXPECT_FALSE(view->fadeRunning());
  } else if (c.backend == Backend::Serving) {
    // The page fails to load: wait for that, then for everything it set off to settle.
    ASSERT_TRUE(iterateUntil([&] { return finishedLoads > 0; }, 60s)) << word();
    while (g_main_context_pending(nullptr)) g_main_context_iteration(nullptr, FALSE);
  } else {
    ASSERT_TRUE(iterateUntil([&] { return word() == c.finalWord; }));
  }

  EXPECT_EQ(word(), c.finalWord);
  EXPECT_EQ(sentence(), c.finalSentence);
  if (!c.revealed) {
    EXPECT_FALSE(webView.get_visible());
    EXPECT_TRUE(launchView.get_visible());
    EXPECT_EQ(launchView.get_opacity(), 1.0);
  }
}

const LaunchCase kLaunchCases[] = {
    {"AnnouncedOnStdout", Backend::Serving, {}, "LIVE", "console live", true},
    {"AnnouncedOnStderr", Backend::Serving, {"ZVUI_TEST_ANNOUNCE=stderr"}, "LIVE", "console live",
     true},
    {"PageFailsToLoad", Backend::Serving, {"ZVUI_TEST_SERVE=refuse"}, "SURFACE",
     "handing off to local terminal", false},
    {"BackendMissing", Backend::Missing, {}, "ERROR", "backend executable missing", false},
    {"BackendNotExecutable", Backend::NotExecutable, {}, "ERROR", "could not start backend",
     false},
};

INSTANTIATE_TEST_SUITE_P(Backends, Launch, ::testing::ValuesIn(kLaunchCases),
                         [](const auto& row) { return std::string(row.param.name); });

}  // namespace
}  // namespace zvui
