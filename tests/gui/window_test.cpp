// The window's parts on a real main loop and web view, and whole launches in this process (the
// real window, controller and launcher), with the test backend in a resource directory.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <thread>

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

// Each thread's tasks run in order, and those of a loop destroyed before they ran never run.
TEST(GtkMainLoop, RunsTasksInOrderAndNeverThoseOfADestroyedLoop) {
  GtkMainLoop loop;
  std::vector<std::vector<int>> seen(4);
  std::atomic<int> ran{0};
  std::vector<std::thread> posters;
  for (int t = 0; t < 4; ++t)
    posters.emplace_back([&, t] {
      for (int i = 0; i < 500; ++i) loop.post([&, t, i] { seen[t].push_back(i), ++ran; });
    });
  for (auto& poster : posters) poster.join();
  ASSERT_TRUE(iterateUntil([&] { return ran == 2000; }));
  for (const auto& sequence : seen) EXPECT_TRUE(std::is_sorted(sequence.begin(), sequence.end()));
  bool destroyedRan = false, laterRan = false;
  std::optional<GtkMainLoop> destroyed(std::in_place);
  destroyed->post([&] { destroyedRan = true; });
  destroyed->postAfter(1ms, [&] { destroyedRan = true; });
  destroyed.reset();
  loop.postAfter(50ms, [&] { laterRan = true; });
  ASSERT_TRUE(iterateUntil([&] { return laterRan; }));
  EXPECT_FALSE(destroyedRan);
}

// WebKit reports "finished" after a failed load too, and a load it refuses outright as a
// finished about:blank: only clean finishes count. A stalled server is ended by the time limit,
// a slow page that keeps arriving is not, and a load that replaces one under way counts alone.
TEST(ConsoleWebView, CountsOnlyLoadsThatDidNotFail) {
  const auto app = test::application();  // GTK first
  ConsoleWebView console;
  Gtk::Window window;
  int clean = 0, all = 0;  // clean finishes, every finish WebKit reports
  console.setOnLoadFinished([&] { ++clean; });
  test::countFinishedLoads(console.webView(), all);
  console.widget().set_visible(true);
  window.set_child(console.widget());
  window.present();
  const struct {
    const char* mode;
    std::chrono::milliseconds timeout;
    int clean;  // clean finishes so far
  } rows[] = {{"refuse", 60s, 0}, {"stall", 300ms, 0}, {"blocked", 60s, 0},   {"page", 60s, 1},
              {"refuse", 60s, 1}, {"blocked", 60s, 1}, {"trickle", 600ms, 2}, {"page", 60s, 3}};
  for (const auto& row : rows) {
    const int before = all;
    test::TestServer server(row.mode);
    console.load(server.url, row.timeout);
    ASSERT_TRUE(iterateUntil([&] { return all > before; })) << row.mode;
    EXPECT_EQ(clean, row.clean) << before << row.mode;
    EXPECT_FALSE(console.loadTimerPending()) << before;
  }
  EXPECT_TRUE(iterateUntil([&] {  // the page itself, not an error page in its place
    const char* title = webkit_web_view_get_title(console.webView());
    return title != nullptr && std::string_view(title) == "test console";
  }));
  test::TestServer stalled("stall"), page("page");
  console.load(stalled.url, 60s);
  ASSERT_TRUE(iterateUntil(
      [&] { return webkit_web_view_get_estimated_load_progress(console.webView()) > 0.0; }));
  console.load(page.url, 60s);
  EXPECT_TRUE(iterateUntil([&] { return clean == 4; }));
  EXPECT_FALSE(console.loadTimerPending());
}

// The app's parts on the resources of `prefix`, launched; every load's finish counted.
struct Launched {
  explicit Launched(const test::Prefix& prefix)
      : view(test::application(), prefix.resources()), launcher(prefix.resources(), loop) {
    controller->applicationDidFinishLaunching();
    test::countFinishedLoads(view.console()->webView(), finishes);
  }
  ~Launched() { controller->applicationWillTerminate(), view.window()->destroy(); }
  GtkMainLoop loop;
  GtkAppView view;
  PosixBackendLauncher launcher;
  const std::shared_ptr<AppDelegate> controller = std::make_shared<AppDelegate>(
      view, launcher, loop,
      ControllerInputs{.settings = {.autoFullscreen = false}, .environment = currentEnvironment});
  int finishes = 0;  // failed loads and the warm-up's too
};

// backend: lib/zvui/MacTamrikBackend is "test", "none", "no-exec" or "silent"; setting: NAME=value
// for it to inherit; loads: finishes to wait for before looking, the warm-up's included (0: the
// reveal).
struct LaunchCase {
  const char *name, *backend, *setting, *word, *sentence;
  int loads;
};
class Launch : public ::testing::TestWithParam<LaunchCase> {};

// Each launch ends in its phase, and only a clean load of the announced console reveals it:
// not a failed load, and not the page that WebKit's processes are warmed up with while the
// backend comes up (which leaves the phase where the backend's output put it, too).
TEST_P(Launch, EndsInItsPhaseShowingTheRightView) {
  const LaunchCase& c = GetParam();
  const std::string_view backend = c.backend;
  test::Prefix prefix(backend == "test" || backend == "no-exec");
  if (backend == "no-exec") ::chmod((prefix.resources() / "MacTamrikBackend").c_str(), 0644);
  if (backend == "silent") {
    prefix.dir.write("lib/zvui/MacTamrikBackend", "#!/bin/sh\necho starting up\nexec sleep 600\n");
    ::chmod((prefix.resources() / "MacTamrikBackend").c_str(), 0755);
  }
  if (*c.setting != '\0') ::putenv(const_cast<char*>(c.setting));  // for the backend to inherit
  Launched app(prefix);
  Gtk::Widget& launchView = *app.view.launchView();
  const auto word = [&] { return app.view.titlebarStrip()->statusLabel().get_text().raw(); };
  const bool live = c.loads == 0;
  if (live) {
    ASSERT_TRUE(iterateUntil([&] { return !launchView.get_visible(); }, 60s)) << word();
  } else {  // then for everything the last load set off to settle
    ASSERT_TRUE(iterateUntil([&] { return app.finishes >= c.loads && word() == c.word; }, 60s))
        << word();
    test::drainMainContext();
  }
  EXPECT_EQ(word(), c.word);
  EXPECT_EQ(app.view.launchCard()->statusLabel().get_text(), c.sentence);
  EXPECT_EQ(app.view.console()->widget().get_visible(), live);
  EXPECT_EQ(launchView.get_visible(), !live);
  EXPECT_EQ(launchView.get_opacity(), live ? 0.0 : 1.0);
  if (std::string_view(c.word) == "ERROR") {
    const Gdk::RGBA colour = app.view.launchCard()->statusLabel().get_style_context()->get_color();
    EXPECT_TRUE(colour.get_red() > 0.9 && colour.get_green() < 0.4) << colour.to_string();
  }
  app.controller
      ->applicationWillTerminate();  // the quit sequence alone stops the backend: no guard here
  EXPECT_TRUE(iterateUntil([&] { return !test::processAlive(prefix.backendPid()); }, 5s))
      << prefix.backendPid();
}

const LaunchCase kLaunchCases[] = {
    {"AnnouncedOnStdout", "test", "ZVUI_TEST_ANNOUNCE=stdout", "LIVE", "console live", 0},
    {"AnnouncedOnStderr", "test", "ZVUI_TEST_ANNOUNCE=stderr", "LIVE", "console live", 0},
    {"LauncherHandsOffToAServer", "test", "ZVUI_TEST_LAUNCH=handoff", "LIVE", "console live", 0},
    {"PageFailsToLoad", "test", "ZVUI_TEST_SERVE=refuse", "SURFACE",
     "handing off to local terminal", 2},
    {"PortTheWebViewBlocks", "test", "ZVUI_TEST_SERVE=blocked", "SURFACE",
     "handing off to local terminal", 2},
    {"BackendMissing", "none", "ZVUI_TEST_SERVE=page", "ERROR", "backend executable missing", 1},
    {"BackendNotExecutable", "no-exec", "ZVUI_TEST_SERVE=page", "ERROR", "could not start backend",
     1},
    {"WarmedUpBeforeTheBackendAnnounces", "silent", "", "WARMING",
     "arming telemetry and shell bridge", 1},
};
INSTANTIATE_TEST_SUITE_P(Backends, Launch, ::testing::ValuesIn(kLaunchCases), test::RowName);

}  // namespace
}  // namespace zvui
