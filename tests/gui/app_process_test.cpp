// The installed program as a session runs it: one instance per session, and every way the
// session ends it (SIGTERM, SIGKILL, an abort, its window destroyed from outside, the window
// closed) takes the backend's whole tree down with it, a backend deaf to TERM included.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include "support/GuiSupport.h"
#include "support/TreeShapes.h"
#include "window/GtkAppHost.h"

namespace zvui {
namespace {

using namespace std::chrono_literals;
using test::iterateUntil;

// One instance per session: a second launch hands over to the running app and ends.
TEST(SecondLaunch, HandsOverToTheRunningAppAndStartsNoSecondBackend) {
  test::InstalledApp installed;
  ASSERT_FALSE(installed.bus.address.empty()) << "no session bus for the test";
  installed.start();
  ASSERT_TRUE(iterateUntil([&] { return installed.backendPid() != 0; }, 60s)) << installed.log();

  const auto second = installed.launch();
  const auto status = second->waitExit();
  ASSERT_TRUE(status) << "the second launch kept running\n" << installed.log();
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status;
  EXPECT_EQ(installed.backendsStarted(), 1u);
  EXPECT_EQ(::waitpid(installed.app->pid(), nullptr, WNOHANG), 0) << "the first app ended";
}

TEST(QuitPath, ClosingTheWindowEndsTheAppAndStopsTheBackend) {
  test::Prefix prefix;
  struct Watch {
    const test::Prefix* prefix;
    bool closed = false;
    int ticks = 0;
  } watch{&prefix};
  // Closes the window as its close button does once the backend runs; gives up after 60s.
  const guint source = g_timeout_add(20, [](gpointer data) {
        auto& w = *static_cast<Watch*>(data);
        const auto windows = Gtk::Window::list_toplevels();
        if (++w.ticks > 3000) g_application_quit(g_application_get_default());
        if (w.prefix->backendPid() == 0 || windows.empty() || !windows.front()->get_mapped())
          return gboolean(G_SOURCE_CONTINUE);
        w.closed = true;
        windows.front()->close();
        return gboolean(G_SOURCE_REMOVE);
      }, &watch);
  AppHost host({.resourceDirectory = prefix.resources(), .flags = Gio::Application::Flags::NON_UNIQUE});
  EXPECT_EQ(host.run(), 0);
  if (!watch.closed) g_source_remove(source);
  ASSERT_TRUE(watch.closed) << "no window with a running backend";
  EXPECT_FALSE(test::processAlive(prefix.backendPid()));
}

// Backend trees of the shapes that used to outlive the app, against the ways the app ends:
// SIGTERM takes its quit path; SIGKILL, an abort and the window destroyed from outside end it
// without one. Nothing of the tree, and not the guard, may be alive once the bound (a second
// of grace and the tools' run time) has passed.
using test::TreeShape;
enum class End { Term, Kill, Abort, WindowDestroyed };
struct TreeEnd {
  TreeShape tree;
  End end;
};
void PrintTo(const TreeEnd& row, std::ostream* out) { *out << row.tree.name << "/" << static_cast<int>(row.end); }
constexpr auto kAfterTheBound = 5s;  // the bound, with room for sanitizers on a busy machine

std::string run(const std::string& command) {
  std::string output;
  if (const std::unique_ptr<FILE, decltype(&pclose)> pipe(::popen(command.c_str(), "r"), &pclose); pipe) {
    for (char buffer[256]; std::fgets(buffer, sizeof buffer, pipe.get()) != nullptr;) output += buffer;
  }
  return output;
}

class TreeOutlivesNothing : public ::testing::TestWithParam<TreeEnd> {};

TEST_P(TreeOutlivesNothing, HoweverTheAppEnds) {
  const auto [tree, end] = GetParam();
  if (end == End::WindowDestroyed && std::getenv("DISPLAY") == nullptr)
    GTEST_SKIP() << "a window is destroyed from outside through X11";
  const rlimit noCore{0, 0};  // an abort is one of the ends under test
  ::setrlimit(RLIMIT_CORE, &noCore);
  test::InstalledApp installed;
  const auto backend = installed.resources() / "MacTamrikBackend";
  const auto pids = installed.root / "tree-pids";
  test::fs::remove(backend);
  test::placeTree(tree.wrapped, ZVUI_TREE_BACKEND, backend);
  ::setenv("HELPER_TREE", tree.shape, 1);
  ::setenv("HELPER_PIDS", pids.c_str(), 1);
  installed.start();
  std::vector<std::string> recorded;
  ASSERT_TRUE(iterateUntil(
      [&] { return (recorded = test::linesOf(test::readFile(pids))).size() >= tree.processes; }, 60s))
      << installed.log();
  const pid_t app = installed.app->pid();
  // The guard is started just after the backend; on a busy machine the tree may have
  // recorded itself before the guard has reached its own program.
  std::vector<std::string> guards;
  iterateUntil([&] { return !(guards = test::linesOf(run("pgrep -P " + std::to_string(app) + " '^zvui-backend-gu'"))).empty(); }, 10s);
  ASSERT_EQ(guards.size(), 1u) << "one guard beside the backend";

  if (end == End::WindowDestroyed) {
    // As the window manager or another client may: the X window goes away under GTK, which
    // then ends the app from its X error handler; the quit sequence never runs.
    const std::string windows = run("timeout 30 xdotool search --sync --onlyvisible --pid " +
                                    std::to_string(app) + " 2>/dev/null");
    ASSERT_FALSE(windows.empty()) << "no window of the app";
    run("xdotool windowclose " + test::linesOf(windows).front());
  } else {
    ::kill(app, end == End::Term ? SIGTERM : end == End::Kill ? SIGKILL : SIGABRT);
  }
  const auto status = installed.app->waitExit();
  ASSERT_TRUE(status) << "still running\n" << installed.log();
  if (end == End::Term) {
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status;
  } else if (end == End::WindowDestroyed) {
    // Not the quit path: GTK either exits from its X error handler or, when the surface
    // vanishes while its GL surface still exists, fails its own assertion and aborts.
    const bool exitedWithError = WIFEXITED(*status) && WEXITSTATUS(*status) != 0;
    EXPECT_TRUE(exitedWithError || WIFSIGNALED(*status)) << *status << "\n" << installed.log();
  }

  std::vector<pid_t> watched{std::stoi(guards.front())};
  for (const auto& pid : recorded) watched.push_back(std::stoi(pid));
  std::vector<pid_t> alive;
  iterateUntil([&] {
    alive.clear();
    std::copy_if(watched.begin(), watched.end(), std::back_inserter(alive), test::processAlive);
    return alive.empty();
  }, kAfterTheBound);
  for (const pid_t pid : alive) ::kill(pid, SIGKILL);
  EXPECT_TRUE(alive.empty()) << ::testing::PrintToString(alive) << " left behind (the guard: "
                             << guards.front() << ")\n" << installed.log();
}

std::vector<TreeEnd> treeEnds() {
  std::vector<TreeEnd> rows;
  for (const auto& tree : test::kTreeShapes) {
    for (const End end : {End::Term, End::Kill, End::Abort, End::WindowDestroyed})
      rows.push_back({tree, end});
  }
  return rows;
}

std::string rowName(const ::testing::TestParamInfo<TreeEnd>& row) {
  constexpr const char* kEnds[] = {"Term", "Kill", "Abort", "WindowDestroyed"};
  return std::string(row.param.tree.name) + kEnds[static_cast<int>(row.param.end)];
}

INSTANTIATE_TEST_SUITE_P(Trees, TreeOutlivesNothing, ::testing::ValuesIn(treeEnds()), rowName);

}  // namespace
}  // namespace zvui
