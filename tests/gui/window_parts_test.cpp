// The window's building blocks on a real GLib main loop and a real WebKit web view.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "GuiTestSupport.h"
#include "TestServer.h"
#include "window/ConsoleWebView.h"
#include "window/GtkMainLoop.h"
#include "window/LaunchFade.h"
#include "window/ResourceDirectory.h"

namespace zvui {
namespace {

using namespace std::chrono_literals;
using test::iterateUntil;

// ---- main loop -------------------------------------------------------------------------

TEST(GtkMainLoop, TasksFromManyThreadsAllRunInPostingOrder) {
  GtkMainLoop loop;
  constexpr int kThreads = 4;
  constexpr int kPerThread = 500;
  std::vector<std::vector<int>> seen(kThreads);
  std::atomic<int> ran{0};
  std::vector<std::thread> posters;
  for (int t = 0; t < kThreads; ++t) {
    posters.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        loop.post([&, t, i] {
          seen[t].push_back(i);
          ++ran;
        });
      }
    });
  }
  for (auto& poster : posters) poster.join();
  ASSERT_TRUE(iterateUntil([&] { return ran == kThreads * kPerThread; }));
  for (const auto& sequence : seen) {
    ASSERT_EQ(sequence.size(), static_cast<std::size_t>(kPerThread));
    EXPECT_TRUE(std::is_sorted(sequence.begin(), sequence.end()));
  }
}

TEST(GtkMainLoop, TaskPostedByATaskRunsAfterTheRestOfItsBatch) {
  GtkMainLoop loop;
  std::vector<int> order;
  loop.post([&] {
    order.push_back(1);
    loop.post([&] { order.push_back(3); });
  });
  loop.post([&] { order.push_back(2); });
  ASSERT_TRUE(iterateUntil([&] { return order.size() == 3; }));
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST(GtkMainLoop, DelayedTaskWaitsItsDelay) {
  GtkMainLoop loop;
  const auto start = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point ranAt{};
  loop.postAfter(150ms, [&] { ranAt = std::chrono::steady_clock::now(); });
  ASSERT_TRUE(iterateUntil([&] { return ranAt != std::chrono::steady_clock::time_point{}; }));
  EXPECT_GE(ranAt - start, 150ms);
}

TEST(GtkMainLoop, PendingTasksOfADestroyedLoopNeverRun) {
  bool ran = false;
  {
    GtkMainLoop loop;
    loop.post([&] { ran = true; });
    loop.postAfter(1ms, [&] { ran = true; });
  }
  bool later = false;
  g_timeout_add(50, [](gpointer flag) -> gboolean {
    *static_cast<bool*>(flag) = true;
    return G_SOURCE_REMOVE;
  }, &later);
  ASSERT_TRUE(iterateUntil([&] { return later; }));
  EXPECT_FALSE(ran);
}

// ---- resource directory ----------------------------------------------------------------

TEST(ResourceDirectory, SitsBesideTheExecutablesBinDirectory) {
  const struct {
    const char* executable;
    const char* expected;
  } rows[] = {
      {"/usr/bin/zvui", "/usr/lib/zvui"},
      {"/opt/z/bin/zvui", "/opt/z/lib/zvui"},
      {"/home/u/build/bin/zvui", "/home/u/build/lib/zvui"},
      {"/tmp/moved tree/bin/zvui", "/tmp/moved tree/lib/zvui"},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(resourceDirectoryFor(row.executable), std::filesystem::path(row.expected))
        << row.executable;
  }
}

// ---- fade pacing -----------------------------------------------------------------------

TEST(LaunchFade, ProgressStartsAtZeroAndEndsAtOne) {
  const struct {
    std::chrono::microseconds elapsed;
    std::chrono::milliseconds duration;
    double expected;
  } rows[] = {
      {0us, 420ms, 0.0},       {210'000us, 420ms, 0.5}, {420'000us, 420ms, 1.0},
      {900'000us, 420ms, 1.0}, {-5'000us, 420ms, 0.0},  {0us, 0ms, 1.0},
  };
  for (const auto& row : rows) {
    EXPECT_DOUBLE_EQ(LaunchFade::progress(row.elapsed, row.duration), row.expected)
        << row.elapsed.count() << "us of " << row.duration.count() << "ms";
  }
}

TEST(LaunchFade, FadesAShownWidgetAndHidesIt) {
  test::testApplication();
  Gtk::Window window;
  Gtk::Box cover;
  window.set_child(cover);
  window.set_default_size(300, 200);
  window.present();
  ASSERT_TRUE(iterateUntil([&] { return cover.get_mapped(); }));

  LaunchFade fade(cover);
  const auto start = std::chrono::steady_clock::now();
  fade.start(420ms);
  EXPECT_TRUE(fade.running());
  double lowest = 1.0;
  ASSERT_TRUE(iterateUntil([&] {
    lowest = std::min(lowest, cover.get_opacity());
    return !cover.get_visible();
  }));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 400ms);
  EXPECT_FALSE(fade.running());
  EXPECT_EQ(cover.get_opacity(), 0.0);
  EXPECT_LT(lowest, 1.0);
  window.destroy();
}

TEST(LaunchFade, AWidgetNotOnScreenIsHiddenAtOnce) {
  test::testApplication();
  Gtk::Box cover;  // never mapped: no frame clock would ever tick for it
  LaunchFade fade(cover);
  fade.start(420ms);
  EXPECT_FALSE(fade.running());
  EXPECT_FALSE(cover.get_visible());
  EXPECT_EQ(cover.get_opacity(), 0.0);
}

// ---- console web view ------------------------------------------------------------------

// A console web view in a shown window, counting clean finishes and all finishes.
struct ConsoleFixture : ::testing::Test {
  void SetUp() override {
    console = std::make_unique<ConsoleWebView>();
    console->setOnLoadFinished([this] { ++cleanFinishes; });
    g_signal_connect(console->webView(), "load-changed",
                     G_CALLBACK(+[](WebKitWebView*, WebKitLoadEvent event, gpointer count) {
                       if (event == WEBKIT_LOAD_FINISHED) ++*static_cast<int*>(count);
                     }),
                     &allFinishes);
    console->widget().set_visible(true);
    window.set_child(console->widget());
    window.set_default_size(400, 300);
    window.present();
  }
  void TearDown() override {
    window.unset_child();
    window.destroy();
  }
  bool waitForFinishes(int count) {
    return iterateUntil([&] { return allFinishes >= count; });
  }

  Glib::RefPtr<Gtk::Application> application = test::testApplication();  // GTK first
  Gtk::Window window;
  std::unique_ptr<ConsoleWebView> console;
  int cleanFinishes = 0;
  int allFinishes = 0;
};

TEST_F(ConsoleFixture, APageThatLoadsCountsAsFinished) {
  test::TestServer server;
  console->load(server.url(), 60s);
  ASSERT_TRUE(waitForFinishes(1));
  EXPECT_EQ(cleanFinishes, 1);
  // The page itself arrived, not an error page in its place.
  EXPECT_TRUE(iterateUntil([&] {
    const char* title = webkit_web_view_get_title(console->webView());
    return title != nullptr && std::string_view(title) == "test console";
  }));
  EXPECT_FALSE(console->loadTimerPending());
}

TEST_F(ConsoleFixture, FailedLoadsAreNotReportedAsFinished) {
  const struct {
    const char* serve;
    std::chrono::milliseconds timeout;
  } rows[] = {
      {"ZVUI_TEST_SERVE=refuse", 60s},  // nothing listens: connection refused
      {"ZVUI_TEST_SERVE=stall", 300ms},  // never answers: stopped by the time limit
  };
  int expectedFinishes = 0;
  for (const auto& row : rows) {
    test::TestServer server({row.serve});
    console->load(server.url(), row.timeout);
    ASSERT_TRUE(waitForFinishes(++expectedFinishes)) << row.serve;
    EXPECT_EQ(cleanFinishes, 0) << row.serve;
    EXPECT_FALSE(console->loadTimerPending()) << row.serve;
  }
}

TEST_F(ConsoleFixture, AFailureDoesNotSpoilTheNextLoadAndReloadsCountAgain) {
  {
    test::TestServer refusing({"ZVUI_TEST_SERVE=refuse"});
    console->load(refusing.url(), 60s);
    ASSERT_TRUE(waitForFinishes(1));
  }
  test::TestServer server;
  console->load(server.url(), 60s);
  ASSERT_TRUE(waitForFinishes(2));
  EXPECT_EQ(cleanFinishes, 1);
  webkit_web_view_reload(console->webView());
  ASSERT_TRUE(waitForFinishes(3));
  EXPECT_EQ(cleanFinishes, 2);
}

TEST(ConsoleWebViewStorage, LoadingWritesNothingAndAlwaysAsksTheServer) {
  // Before GTK or WebKit read the user directories.
  test::TempDir home;
  for (const char* name : {"XDG_CACHE_HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME"}) {
    const auto dir = home.path() / name;
    std::filesystem::create_directories(dir);
    ::setenv(name, dir.c_str(), 1);
  }
  test::testApplication();
  const auto hits = home.path() / "hits";
  test::TestServer server({"ZVUI_TEST_HITS=" + hits.string()});

  // Two runs of the console, one after the other, as two launches of the app would load it;
  // the page is sent as cacheable for an hour.
  for (int run = 1; run <= 2; ++run) {
    Gtk::Window window;
    ConsoleWebView console;
    int finished = 0;
    console.setOnLoadFinished([&] { ++finished; });
    console.widget().set_visible(true);
    window.set_child(console.widget());
    window.present();
    console.load(server.url(), 60s);
    ASSERT_TRUE(iterateUntil([&] { return finished == 1; }));
    window.unset_child();
    window.destroy();
  }
  const std::string requests = test::readFile(hits);
  EXPECT_EQ(std::count(requests.begin(), requests.end(), '\n'), 2) << requests;
  for (const char* name : {"XDG_CACHE_HOME", "XDG_DATA_HOME"}) {
    const auto dir = home.path() / name;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) {
      // Book-keeping of the graphics driver, the web process sandbox, the accessibility
      // bus and GSettings: not page data, and not ours to prevent.
      const std::string path = entry.path().lexically_relative(dir).string();
      if (path.starts_with("mesa_shader_cache") || path.starts_with(".flatpak") ||
          path.starts_with("webkitgtk/at-spi-bus") || path.starts_with("dconf")) {
        continue;
      }
      if (entry.is_regular_file()) ADD_FAILURE() << "written: " << entry.path();
    }
  }
}

}  // namespace
}  // namespace zvui
