// The window's building blocks on a real GLib main loop and a real WebKit web view.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "support/GuiSupport.h"
#include "window/GtkConsoleWebView.h"
#include "window/GtkMainLoop.h"

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
  bool ran = false, laterRan = false;
  std::optional<GtkMainLoop> loop(std::in_place);
  loop->post([&] { ran = true; });
  loop->postAfter(1ms, [&] { ran = true; });
  loop.reset();
  GtkMainLoop later;
  later.postAfter(50ms, [&] { laterRan = true; });
  ASSERT_TRUE(iterateUntil([&] { return laterRan; }));
  EXPECT_FALSE(ran);
}

// A console view in a window, counting clean finishes and every finish WebKit reports.
struct ShownConsole {
  explicit ShownConsole(bool visible = true) {
    console.setOnLoadFinished([this] { ++clean; });
    test::countFinishedLoads(console.webView(), all);
    console.widget().set_visible(visible);
    window.set_child(console.widget());
    window.present();
  }
  ~ShownConsole() {
    window.unset_child();
    window.destroy();
  }
  Glib::RefPtr<Gtk::Application> app = test::application();  // GTK first
  Gtk::Window window;
  ConsoleWebView console;
  int clean = 0, all = 0;
};

// WebKit reports "finished" after a failed load too, and reports a load it refuses outright
// as a finished about:blank; the console must count only clean finishes. A stalled server
// must be ended by the load's time limit, and a slow page that keeps arriving must not be.
TEST(ConsoleWebView, CountsOnlyLoadsThatDidNotFail) {
  ShownConsole shown;
  const struct {
    const char* mode;
    std::chrono::milliseconds timeout;
    int clean;  // clean finishes so far
  } rows[] = {{"refuse", 60s, 0}, {"stall", 300ms, 0}, {"blocked", 60s, 0}, {"page", 60s, 1},
              {"refuse", 60s, 1}, {"blocked", 60s, 1}, {"trickle", 600ms, 2}, {"page", 60s, 3}};
  int i = 0;
  for (const auto& row : rows) {
    test::TestServer server(row.mode);
    shown.console.load(server.url, row.timeout);
    ASSERT_TRUE(iterateUntil([&] { return shown.all > i; })) << row.mode;
    EXPECT_EQ(shown.clean, row.clean) << i << row.mode;
    EXPECT_FALSE(shown.console.loadTimerPending()) << i;
    ++i;
  }
  EXPECT_TRUE(iterateUntil([&] {  // the page itself, not an error page in its place
    const char* title = webkit_web_view_get_title(shown.console.webView());
    return title != nullptr && std::string_view(title) == "test console";
  }));
}

// A load started while another is under way replaces it: the first one's cancellation
// must not count against the second, which is how a cut-short address gives way to the
// completed one.
TEST(ConsoleWebView, ALoadReplacingOneUnderWayCountsOnItsOwn) {
  ShownConsole shown;
  test::TestServer stalled("stall"), page("page");
  shown.console.load(stalled.url, 60s);
  ASSERT_TRUE(iterateUntil([&] { return webkit_web_view_get_estimated_load_progress(shown.console.webView()) > 0.0; }));
  shown.console.load(page.url, 60s);
  EXPECT_TRUE(iterateUntil([&] { return shown.clean == 1; }));
  EXPECT_FALSE(shown.console.loadTimerPending());
}

// The warm-up's page is never reported, and never counts for or against the console's own
// load, whether that comes after the warm-up has finished or cuts it short.
TEST(ConsoleWebView, AWarmUpNeverPassesForTheConsole) {
  const struct {
    const char* mode;
    bool warmUpFirst;  // let the warm-up finish before the console's load
    int clean;
  } rows[] = {{"page", true, 1}, {"page", false, 1}, {"refuse", false, 0}, {"blocked", true, 0}};
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.mode) + (row.warmUpFirst ? " after" : " during") + " warm-up");
    ShownConsole shown(false);
    shown.console.warmUp();
    if (row.warmUpFirst) {
      ASSERT_TRUE(iterateUntil([&] { return shown.all == 1; }, 60s));
      test::drainMainContext();
      EXPECT_EQ(shown.clean, 0);
    }
    test::TestServer server(row.mode);
    shown.console.load(server.url, 60s);
    const int before = shown.all;
    ASSERT_TRUE(iterateUntil([&] { return shown.all > before && !shown.console.loadTimerPending(); }, 60s));
    test::drainMainContext();
    EXPECT_EQ(shown.clean, row.clean);
  }
}

}  // namespace
}  // namespace zvui
