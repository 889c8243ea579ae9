// The installed program as a session runs it: one instance per session, and every way the
// session ends it takes the backend's whole tree down with it, a backend deaf to TERM included.
#include <gtest/gtest.h>

#include "support/GuiSupport.h"
#include "support/TreeShapes.h"

namespace zvui {
namespace {

using namespace std::chrono_literals;
using test::iterateUntil;

// One instance per session: a second launch hands over to the running app and ends.
TEST(SecondLaunch, HandsOverToTheRunningAppAndStartsNoSecondBackend) {
  test::InstalledApp installed;
  installed.app = installed.launch();
  ASSERT_TRUE(iterateUntil([&] { return installed.backendPid() != 0; }, 60s)) << installed.log();
  const auto status = installed.launch()->waitExit();
  ASSERT_TRUE(status) << "the second launch kept running\n" << installed.log();
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status;
  EXPECT_EQ(test::linesOf(test::readFile(installed.root / "pid")).size(), 1u) << "backends started";
  EXPECT_EQ(::waitpid(installed.app->pid(), nullptr, WNOHANG), 0) << "the first app ended";
}

std::string run(const std::string& command) {  // its output
  std::string output;
  if (const std::unique_ptr<FILE, decltype(&pclose)> pipe(::popen(command.c_str(), "r"), &pclose);
      pipe) {
    for (char buffer[256]; std::fgets(buffer, sizeof buffer, pipe.get()) != nullptr;)
      output += buffer;
  }
  return output;
}

// Backend trees of the shapes that used to outlive the app, against the ways the app ends:
// SIGTERM takes its quit path; SIGKILL, an abort and the window destroyed from outside do not.
// Nothing of the tree, nor the guard, may be alive once the bound has passed.
enum class End { Term, Kill, Abort, WindowDestroyed };
struct TreeEnd {
  test::TreeShape tree;
  End end;
};
class TreeOutlivesNothing : public ::testing::TestWithParam<TreeEnd> {};

TEST_P(TreeOutlivesNothing, HoweverTheAppEnds) {
  const auto [tree, end] = GetParam();
  if (end == End::WindowDestroyed && std::getenv("DISPLAY") == nullptr)
    GTEST_SKIP() << "a window is destroyed from outside through X11";
  const rlimit noCore{0, 0};  // an abort is one of the ends under test
  ::setrlimit(RLIMIT_CORE, &noCore);
  test::InstalledApp installed;
  const auto pids = installed.root / "tree-pids";
  test::fs::remove(installed.resources() / "MacTamrikBackend");
  test::placeTree(tree.wrapped, ZVUI_TREE_BACKEND, installed.resources() / "MacTamrikBackend");
  ::setenv("HELPER_TREE", tree.shape, 1);
  ::setenv("HELPER_PIDS", pids.c_str(), 1);
  installed.app = installed.launch();
  std::vector<std::string> recorded, guards;
  ASSERT_TRUE(iterateUntil(
      [&] { return (recorded = test::linesOf(test::readFile(pids))).size() >= tree.processes; },
      60s))
      << installed.log();
  const pid_t app = installed.app->pid();
  // The guard starts just after the backend, and may not have reached its own program yet.
  iterateUntil(
      [&] {
        return !(guards =
                     test::linesOf(run("pgrep -P " + std::to_string(app) + " '^zvui-backend-gu'")))
                    .empty();
      },
      10s);
  ASSERT_EQ(guards.size(), 1u) << "one guard beside the backend";

  if (end == End::WindowDestroyed) {
    // As a window manager may: GTK ends the app from its X error handler, with no quit sequence.
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
    // Not the quit path: GTK exits from its X error handler, or aborts on a vanished GL surface.
    EXPECT_TRUE((WIFEXITED(*status) && WEXITSTATUS(*status) != 0) || WIFSIGNALED(*status))
        << *status << "\n"
        << installed.log();
  }

  std::vector<pid_t> watched{std::stoi(guards.front())}, alive;
  for (const auto& pid : recorded) watched.push_back(std::stoi(pid));
  iterateUntil(
      [&] {  // the bound, with room for sanitizers on a busy machine
        alive = watched, std::erase_if(alive, [](pid_t pid) { return !test::processAlive(pid); });
        return alive.empty();
      },
      5s);
  for (const pid_t pid : alive) ::kill(pid, SIGKILL);
  EXPECT_TRUE(alive.empty()) << ::testing::PrintToString(alive)
                             << " left behind (the guard: " << guards.front() << ")\n"
                             << installed.log();
}

std::vector<TreeEnd> treeEnds() {
  std::vector<TreeEnd> rows;
  for (const auto& tree : test::kTreeShapes)
    for (const End end : {End::Term, End::Kill, End::Abort, End::WindowDestroyed})
      rows.push_back({tree, end});
  return rows;
}
std::string rowName(const ::testing::TestParamInfo<TreeEnd>& row) {
  constexpr const char* kEnds[] = {"Term", "Kill", "Abort", "WindowDestroyed"};
  return std::string(row.param.tree.name) + kEnds[static_cast<int>(row.param.end)];
}
INSTANTIATE_TEST_SUITE_P(Trees, TreeOutlivesNothing, ::testing::ValuesIn(treeEnds()), rowName);

}  // namespace
}  // namespace zvui
