// The ways a session ends the app, each of which must take the backend down with it: the
// installed program (copied into a fresh prefix) sent SIGTERM, and the window closed.
#include <gtest/gtest.h>

#include "Support.h"
#include "window/AppHost.h"

namespace zvui {
namespace {

using namespace std::chrono_literals;
using test::iterateUntil;

TEST(QuitPath, SigtermStopsTheBackendBeforeTheAppExits) {
  test::Prefix prefix;
  // Deaf to TERM, so only the app's own quit path (TERM, then KILL) ends it: the death
  // signal it gets when the app exits would not.
  ::setenv("ZVUI_TEST_TERM", "ignore", 1);
  test::fs::create_directories(prefix.root / "bin");
  test::fs::copy_file(ZVUI_APP_BINARY, prefix.root / "bin" / "zvui");
  const int log = ::open((prefix.root / "log").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  test::Child app((prefix.root / "bin" / "zvui").string(), log);
  ::close(log);
  ASSERT_TRUE(iterateUntil([&] { return prefix.backendPid() != 0; }, 60s))
      << test::readFile(prefix.root / "log");
  const pid_t backend = prefix.backendPid();
  ASSERT_TRUE(test::processAlive(backend));

  ::kill(app.pid, SIGTERM);
  int status = 0;
  ASSERT_TRUE(iterateUntil([&] { return ::waitpid(app.pid, &status, WNOHANG) == app.pid; }))
      << "still running\n"
      << test::readFile(prefix.root / "log");
  app.pid = 0;
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_TRUE(iterateUntil([&] { return !test::processAlive(backend); }, 5s));
}

TEST(QuitPath, ClosingTheWindowEndsTheAppAndStopsTheBackend) {
  test::Prefix prefix;
  struct Watch {
    const test::Prefix* prefix;
    bool closed = false;
    int ticks = 0;
  } watch{&prefix};
  // Closes the window as its close button does once the backend runs; gives up after 60s.
  const guint source = g_timeout_add(
      20,
      [](gpointer data) {
        auto& w = *static_cast<Watch*>(data);
        const auto windows = Gtk::Window::list_toplevels();
        if (++w.ticks > 3000) g_application_quit(g_application_get_default());
        if (w.prefix->backendPid() == 0 || windows.empty() || !windows.front()->get_mapped())
          return gboolean(G_SOURCE_CONTINUE);
        w.closed = true;
        windows.front()->close();
        return gboolean(G_SOURCE_REMOVE);
      },
      &watch);
  AppHost host(
      {.resourceDirectory = prefix.resources(), .flags = Gio::Application::Flags::NON_UNIQUE});
  EXPECT_EQ(host.run(), 0);
  if (!watch.closed) g_source_remove(source);
  ASSERT_TRUE(watch.closed) << "no window with a running backend";
  EXPECT_FALSE(test::processAlive(prefix.backendPid()));
}

}  // namespace
}  // namespace zvui
