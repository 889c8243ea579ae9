// The window's parts on a real main loop and web view, and whole launches in this process (the
// real window, controller and launcher), with the test backend in a resource directory.
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
#include "window/GtkWindowRenderer.h"

namespace zvui {
namespace {

using namespace std::chrono_literals;
using test::iterateUntil;

// WebKit reports "finished" after a failed load too: only clean finishes count. A stalled server
// is ended by the time limit, a slow page that keeps arriving is not.
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
  } rows[] = {{"page", 60s, 1}, {"refuse", 60s, 1}, {"stall", 300ms, 1}, {"trickle", 600ms, 2}};
  for (const auto& row : rows) {
    const int before = all;
    test::TestServer server(row.mode);
    console.load(server.url, row.timeout);
    ASSERT_TRUE(iterateUntil([&] { return all > before; })) << row.mode;
    EXPECT_EQ(clean, row.clean) << row.mode;
    EXPECT_FALSE(console.loadTimerPending()) << row.mode;
  }
  EXPECT_STREQ(webkit_web_view_get_title(console.webView()), "console");
}

// Cairo draws the window where OpenGL would be software anyway: no render node this process can
// open, or Mesa told to use software. A renderer the user named is theirs.
TEST(WindowRenderer, IsCairoOnlyWhereOpenGlWouldBeSoftware) {
  const struct {
    const char *user, *software;
    bool renderNode;
    const char* renderer;  // nullptr: GTK's own choice
  } rows[] = {{nullptr, nullptr, false, "cairo"},
              {nullptr, nullptr, true, nullptr},
              {"", "", true, nullptr},
              {nullptr, "1", true, "cairo"},
              {nullptr, "TRUE", true, "cairo"},
              {nullptr, "0", true, nullptr},
              {nullptr, "false", false, "cairo"},
              {"gl", nullptr, false, nullptr},
              {"vulkan", "1", true, nullptr}};
  for (const auto& row : rows) {
    const char* renderer = windowRendererFor(row.user, row.software, row.renderNode);
    EXPECT_STREQ(renderer, row.renderer)
        << (row.user ? row.user : "-") << " " << (row.software ? row.software : "-") << " "
        << row.renderNode;
  }
  test::TempDir dri;
  EXPECT_FALSE(canOpenRenderNode(dri.path() / "missing"));
  dri.write("card0", "");
  EXPECT_FALSE(canOpenRenderNode(dri.path()));
  dri.write("renderD128", "");
  EXPECT_TRUE(canOpenRenderNode(dri.path()));
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

// backend: the test backend, "none" or "no-exec" (not executable); setting: NAME=value for it to
// inherit; loads: finishes to wait for before looking, the warm-up's included (0: the reveal).
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
  test::Prefix prefix(std::string_view(c.backend) != "none");
  if (std::string_view(c.backend) == "no-exec")
    ::chmod((prefix.resources() / "MacTamrikBackend").c_str(), 0644);
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
    while (g_main_context_pending(nullptr)) g_main_context_iteration(nullptr, FALSE);
  }
  EXPECT_EQ(word(), c.word);
  EXPECT_EQ(app.view.launchCard()->statusLabel().get_text(), c.sentence);
  EXPECT_EQ(app.view.console()->widget().get_visible(), live);
  EXPECT_EQ(launchView.get_visible(), !live);
  EXPECT_EQ(launchView.get_opacity(), live ? 0.0 : 1.0);
  // Drawn with cairo where this machine's answer says so (elsewhere GTK's choice is its own).
  if (windowRendererFor(std::getenv("GSK_RENDERER"), std::getenv("LIBGL_ALWAYS_SOFTWARE"),
                        canOpenRenderNode()) != nullptr) {
    GskRenderer* renderer = gtk_native_get_renderer(GTK_NATIVE(app.view.window()->gobj()));
    EXPECT_STREQ(G_OBJECT_TYPE_NAME(renderer), "GskCairoRenderer");
  }
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
    {"AnnouncedOnStderr", "test", "ZVUI_TEST_ANNOUNCE=stderr", "LIVE", "console live", 0},
    {"HandedOffAndOnStdout", "test", "ZVUI_TEST_LAUNCH=handoff", "LIVE", "console live", 0},
    {"PageFailsToLoad", "test", "ZVUI_TEST_SERVE=refuse", "SURFACE",
     "handing off to local terminal", 2},
    {"PortTheWebViewBlocks", "test", "ZVUI_TEST_SERVE=blocked", "SURFACE",
     "handing off to local terminal", 2},
    {"BackendMissing", "none", "", "ERROR", "backend executable missing", 1},
    {"BackendNotExecutable", "no-exec", "", "ERROR", "could not start backend", 1},
    {"WarmedUpBeforeTheBackendAnnounces", "test", "ZVUI_TEST_SERVE=silent", "WARMING",
     "arming telemetry and shell bridge", 1},
};
INSTANTIATE_TEST_SUITE_P(Backends, Launch, ::testing::ValuesIn(kLaunchCases), test::RowName);

}  // namespace
}  // namespace zvui
