// The window's building blocks on a real GLib main loop and a real WebKit web view.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "support/GuiSupport.h"
#include "window/GtkConsoleWebView.h"
#include "window/GtkMainLoop.h"
#include "window/ResourceDirectory.h"

namespace zvui {
namespace {

using namespace std::chrono_literals;
using test::iterateUntil;

TEST(GtkMainLoop, RunsEachThreadsTasksInOrderAndNestedPostsAfterTheirBatch) {
  GtkMainLoop loop;
  constexpr int kThreads = 4, kPerThread = 500;
  std::vector<std::vector<int>> seen(kThreads);
  std::atomic<int> ran{0};
  std::vector<std::thread> posters;
  for (int t = 0; t < kThreads; ++t) {
    posters.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) loop.post([&, t, i] { seen[t].push_back(i), ++ran; });
    });
  }
  for (auto& poster : posters) poster.join();
  ASSERT_TRUE(iterateUntil([&] { return ran == kThreads * kPerThread; }));
  for (const auto& sequence : seen) EXPECT_TRUE(std::is_sorted(sequence.begin(), sequence.end()));

  std::vector<int> order;
  loop.post([&] { order.push_back(1), loop.post([&] { order.push_back(3); }); });
  loop.post([&] { order.push_back(2); });
  ASSERT_TRUE(iterateUntil([&] { return order.size() == 3; }));
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST(GtkMainLoop, TasksOfADestroyedLoopNeverRun) {
  bool ran = false;
  {
    GtkMainLoop loop;
    loop.post([&] { ran = true; });
    loop.postAfter(1ms, [&] { ran = true; });
  }
  GtkMainLoop later;
  bool laterRan = false;
  later.postAfter(50ms, [&] { laterRan = true; });
  ASSERT_TRUE(iterateUntil([&] { return laterRan; }));
  EXPECT_FALSE(ran);
}

TEST(ResourceDirectory, SitsBesideTheExecutablesBinDirectory) {
  EXPECT_EQ(resourceDirectoryFor("/usr/bin/zvui"), "/usr/lib/zvui");
  EXPECT_EQ(resourceDirectoryFor("/tmp/moved tree/bin/zvui"), "/tmp/moved tree/lib/zvui");
}

// WebKit reports "finished" after a failed load too, and reports a load it refuses outright
// as a finished about:blank; the console must count only clean finishes. A stalled server
// must be ended by the load's time limit, and a slow page that keeps arriving must not be.
TEST(ConsoleWebView, CountsOnlyLoadsThatDidNotFail) {
  test::application();
  Gtk::Window window;
  ConsoleWebView console;
  int clean = 0, all = 0;
  console.setOnLoadFinished([&] { ++clean; });
  test::countFinishedLoads(console.webView(), all);
  console.widget().set_visible(true);
  window.set_child(console.widget());
  window.present();
  const struct {
    const char* mode;
    std::chrono::milliseconds timeout;
    int clean;  // clean finishes so far
  } rows[] = {{"refuse", 60s, 0}, {"stall", 300ms, 0}, {"blocked", 60s, 0}, {"page", 60s, 1},
              {"refuse", 60s, 1}, {"blocked", 60s, 1}, {"trickle", 600ms, 2}, {"page", 60s, 3}};
  int i = 0;
  for (const auto& row : rows) {
    test::TestServer server(row.mode);
    console.load(server.url, row.timeout);
    ASSERT_TRUE(iterateUntil([&] { return all > i; })) << row.mode;
    EXPECT_EQ(clean, row.clean) << i << row.mode;
    EXPECT_FALSE(console.loadTimerPending()) << i;
    ++i;
  }
  EXPECT_TRUE(iterateUntil([&] {  // the page itself, not an error page in its place
    const char* title = webkit_web_view_get_title(console.webView());
    return title != nullptr && std::string_view(title) == "test console";
  }));
  window.unset_child();
  window.destroy();
}

// A load started while another is under way replaces it: the first one's cancellation
// must not count against the second, which is how a cut-short address gives way to the
// completed one.
TEST(ConsoleWebView, ALoadReplacingOneUnderWayCountsOnItsOwn) {
  test::application();
  Gtk::Window window;
  ConsoleWebView console;
  int clean = 0;
  console.setOnLoadFinished([&] { ++clean; });
  console.widget().set_visible(true);
  window.set_child(console.widget());
  window.present();
  test::TestServer stalled("stall");
  test::TestServer page("page");
  console.load(stalled.url, 60s);
  ASSERT_TRUE(iterateUntil([&] {
    return webkit_web_view_get_estimated_load_progress(console.webView()) > 0.0;
  }));
  console.load(page.url, 60s);
  EXPECT_TRUE(iterateUntil([&] { return clean == 1; }));
  EXPECT_FALSE(console.loadTimerPending());
  window.unset_child();
  window.destroy();
}

// The warm-up's page is never reported, and never counts for or against the console's own
// load, whether that comes after the warm-up has finished or cuts it short.
TEST(ConsoleWebView, AWarmUpNeverPassesForTheConsole) {
  test::application();
  const struct {
    const char* mode;
    bool warmUpFirst;  // let the warm-up finish before the console's load
    int clean;
  } rows[] = {{"page", true, 1}, {"page", false, 1}, {"refuse", false, 0}, {"blocked", true, 0}};
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.mode) + (row.warmUpFirst ? " after" : " during") + " warm-up");
    Gtk::Window window;
    ConsoleWebView console;
    int clean = 0, all = 0;
    console.setOnLoadFinished([&] { ++clean; });
    test::countFinishedLoads(console.webView(), all);
    window.set_child(console.widget());
    window.present();
    console.warmUp();
    if (row.warmUpFirst) {
      ASSERT_TRUE(iterateUntil([&] { return all == 1; }, 60s));
      while (g_main_context_pending(nullptr)) g_main_context_iteration(nullptr, FALSE);
      EXPECT_EQ(clean, 0);
    }
    test::TestServer server(row.mode);
    console.load(server.url, 60s);
    const int before = all;
    ASSERT_TRUE(iterateUntil([&] { return all > before && !console.loadTimerPending(); }, 60s));
    while (g_main_context_pending(nullptr)) g_main_context_iteration(nullptr, FALSE);
    EXPECT_EQ(clean, row.clean);
    window.unset_child();
    window.destroy();
  }
}

}  // namespace
}  // namespace zvui
