// The installed program as a session runs it: one instance per session, and every way the
// session ends it takes the backend's whole tree down with it, a backend deaf to TERM included.
#include <gtest/gtest.h>
#include <sys/resource.h>

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
  FILE* pipe = ::popen(command.c_str(), "r");
  for (char buffer[256]; pipe != nullptr && std::fgets(buffer, sizeof buffer, pipe);)
    output += buffer;
  if (pipe != nullptr) ::pclose(pipe);
  return output;
}

// Backend trees of the shapes that used to outlive the app, against the ways the app ends:
// SIGTERM takes its quit path; SIGKILL, an abort and the window destroyed from outside do not.
// Nothing of the tree, nor the guard, may be alive once the bound has passed.
enum class End { Term, Kill, Abort, WindowDestroyed };
class TreeOutlivesNothing : public ::testing::TestWithParam<std::tuple<test::TreeShape, End>> {};

TEST_P(TreeOutlivesNothing, HoweverTheAppEnds) {
  const auto [tree, end] = GetParam();
  if (end == End::WindowDestroyed && std::getenv("DISPLAY") == nullptr)
    GTEST_SKIP() << "a window is destroyed from outside through X11";
  const rlimit noCore{0, 0};  // an abort is one of the ends under test
  ::setrlimit(RLIMIT_CORE, &noCore);
  test::InstalledApp installed(false);
  const auto pids = installed.root / "tree-pids";
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
  const std::string pgrep = "pgrep -P " + std::to_string(app) + " '^zvui-backend-gu'";
  iterateUntil([&] { return !(guards = test::linesOf(run(pgrep))).empty(); }, 10s);
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
  EXPECT_TRUE(end != End::Term || (WIFEXITED(*status) && WEXITSTATUS(*status) == 0)) << *status;

  std::vector<pid_t> watched{std::stoi(guards.front())}, alive;
  for (const auto& pid : recorded) watched.push_back(std::stoi(pid));
  const auto allGone = [&] {
    alive = watched;
    std::erase_if(alive, [](pid_t pid) { return !test::processAlive(pid); });
    return alive.empty();
  };
  iterateUntil(allGone, 5s);  // the bound, with room for sanitizers on a busy machine
  for (const pid_t pid : alive) ::kill(pid, SIGKILL);
  EXPECT_TRUE(alive.empty()) << ::testing::PrintToString(alive)
                             << " left behind (the guard: " << guards.front() << ")\n"
                             << installed.log();
}

std::string rowName(const ::testing::TestParamInfo<std::tuple<test::TreeShape, End>>& row) {
  constexpr const char* kEnds[] = {"Term", "Kill", "Abort", "WindowDestroyed"};
  return std::string(std::get<0>(row.param).name) + kEnds[static_cast<int>(std::get<1>(row.param))];
}
INSTANTIATE_TEST_SUITE_P(Trees, TreeOutlivesNothing,
                         ::testing::Combine(::testing::ValuesIn(test::kTreeShapes),
                                            ::testing::Values(End::Term, End::Kill, End::Abort,
                                                              End::WindowDestroyed)),
                         rowName);

}  // namespace
}  // namespace zvui
