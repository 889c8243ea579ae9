// The installed program as a user runs it: bin/zvui copied into a fresh prefix with a
// stand-in backend at lib/zvui/MacTamrikBackend, started as a child process and ended the
// ways a session ends it.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <string>
#include <vector>

#include "GuiTestSupport.h"

extern char** environ;

namespace zvui {
namespace {

using namespace std::chrono_literals;

// A child process started with extra environment entries, output to `log`.
pid_t spawn(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnvironment,
            const std::filesystem::path& log) {
  // Ours replace inherited entries of the same name.
  std::vector<std::string> entries;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    const auto name = entry.substr(0, entry.find('=') + 1);
    const bool replaced = std::any_of(extraEnvironment.begin(), extraEnvironment.end(),
                                      [&](const std::string& ours) { return ours.starts_with(name); });
    if (!replaced) entries.push_back(entry);
  }
  entries.insert(entries.end(), extraEnvironment.begin(), extraEnvironment.end());
  std::vector<char*> envp;
  for (auto& entry : entries) envp.push_back(entry.data());
  envp.push_back(nullptr);
  std::vector<std::string> args = argv;
  std::vector<char*> argp;
  for (auto& arg : args) argp.push_back(arg.data());
  argp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log.c_str(),
                                   O_WRONLY | O_CREAT | O_APPEND, 0644);
  posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  pid_t pid = 0;
  const int error = ::posix_spawn(&pid, argp[0], &actions, nullptr, argp.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  return error == 0 ? pid : -1;
}

// Waits for our child `pid` to exit; its wait status, or nothing at the deadline.
std::optional<int> waitExit(pid_t pid, std::chrono::milliseconds timeout) {
  int status = 0;
  pid_t done = 0;
  test::waitFor([&] { return (done = ::waitpid(pid, &status, WNOHANG)) != 0; }, timeout);
  if (done != pid) return std::nullopt;
  return status;
}

// One installed copy of the app in its own prefix, and the app processes started from it.
class InstalledApp {
 public:
  InstalledApp() {
    const auto& root = prefix_.path();
    std::filesystem::create_directories(root / "bin");
    std::filesystem::create_directories(root / "lib" / "zvui");
    std::filesystem::create_directories(root / "config" / "ZVui");
    std::filesystem::copy_file(ZVUI_APP_BINARY, binary());
    std::filesystem::copy_file(ZVUI_TEST_BACKEND, root / "lib" / "zvui" / "MacTamrikBackend");
    std::ofstream(root / "config" / "ZVui" / "settings.json") << R"({"autoFullscreen": false})";
  }
  InstalledApp(const InstalledApp&) = delete;
  InstalledApp& operator=(const InstalledApp&) = delete;
  ~InstalledApp() {
    for (pid_t pid : started_) {
      if (::waitpid(pid, nullptr, WNOHANG) == 0) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
      }
    }
  }

  pid_t start(std::vector<std::string> extraEnvironment = {}) {
    extraEnvironment.push_back("XDG_CONFIG_HOME=" + (prefix_.path() / "config").string());
    extraEnvironment.push_back("ZVUI_TEST_PIDFILE=" + pidFile().string());
    extraEnvironment.push_back("ZVUI_TEST_HITS=" + hitsFile().string());
    const pid_t pid = spawn({binary().string()}, extraEnvironment, prefix_.path() / "app.log");
    if (pid > 0) started_.push_back(pid);
    return pid;
  }

  // The backend's pid once it has served the console page to the app's web view.
  std::optional<pid_t> waitUntilConsoleRequested() {
    if (!test::waitFor([&] { return !test::readFile(hitsFile()).empty(); }, 60s)) {
      return std::nullopt;
    }
    return test::readPid(pidFile());
  }

  [[nodiscard]] std::filesystem::path binary() const { return prefix_.path() / "bin" / "zvui"; }
  [[nodiscard]] std::filesystem::path pidFile() const { return prefix_.path() / "backends"; }
  [[nodiscard]] std::filesystem::path hitsFile() const { return prefix_.path() / "hits"; }
  [[nodiscard]] std::string log() const { return test::readFile(prefix_.path() / "app.log"); }

 private:
  test::TempDir prefix_;
  std::vector<pid_t> started_;
};

class QuitSignal : public ::testing::TestWithParam<int> {};

TEST_P(QuitSignal, StopsTheBackendBeforeTheAppExits) {
  InstalledApp app;
  const pid_t pid = app.start();
  ASSERT_GT(pid, 0);
  const auto backend = app.waitUntilConsoleRequested();
  ASSERT_TRUE(backend.has_value()) << app.log();
  ASSERT_TRUE(test::processAlive(*backend));

  ::kill(pid, GetParam());
  const auto status = waitExit(pid, 20s);
  ASSERT_TRUE(status.has_value()) << "still running after the signal\n" << app.log();
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status;
  // Checked at once: the app must not leave its backend behind to be stopped later.
  EXPECT_FALSE(test::processAlive(*backend));
}

INSTANTIATE_TEST_SUITE_P(Signals, QuitSignal, ::testing::Values(SIGTERM, SIGINT, SIGHUP),
                         [](const auto& row) { return std::string(sigabbrev_np(row.param)); });

TEST(ClosingTheWindow, QuitsTheAppAndStopsTheBackend) {
  InstalledApp app;
  // Names this instance's windows among those of other tests on the same display.
  const std::string startupId = "zvui-close-test-" + std::to_string(::getpid()) + "_TIME0";
  const pid_t pid = app.start({"DESKTOP_STARTUP_ID=" + startupId});
  ASSERT_GT(pid, 0);
  const auto backend = app.waitUntilConsoleRequested();
  ASSERT_TRUE(backend.has_value()) << app.log();

  const std::string closer = std::string(ZVUI_CLOSE_WINDOW) + " " + startupId;
  ASSERT_TRUE(test::waitFor([&] { return std::system(closer.c_str()) == 0; }, 20s));
  const auto status = waitExit(pid, 20s);
  ASSERT_TRUE(status.has_value()) << "still running after its window was closed\n" << app.log();
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status;
  EXPECT_FALSE(test::processAlive(*backend));
}

// A private session bus for the single-instance check, ended with the test. It offers no
// activatable services, so nothing (portals, accessibility) is started on it.
class SessionBus {
 public:
  SessionBus() {
    const auto config = directory_.path() / "session.conf";
    std::ofstream(config) << R"(<!DOCTYPE busconfig PUBLIC
 "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:dir=)" << directory_.path().string() << R"(</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)";
    const std::string configArgument = "--config-file=" + config.string();
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    char* argv[] = {const_cast<char*>("dbus-daemon"), const_cast<char*>(configArgument.c_str()),
                    const_cast<char*>("--nofork"), const_cast<char*>("--print-address=1"),
                    nullptr};
    if (::posix_spawnp(&pid_, "dbus-daemon", &actions, nullptr, argv, environ) != 0) pid_ = 0;
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    char c;
    while (pid_ != 0 && ::read(fds[0], &c, 1) == 1 && c != '\n') address_.push_back(c);
    ::close(fds[0]);
  }
  SessionBus(const SessionBus&) = delete;
  SessionBus& operator=(const SessionBus&) = delete;
  ~SessionBus() {
    if (pid_ == 0) return;
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
  }
  [[nodiscard]] const std::string& address() const { return address_; }

 private:
  test::TempDir directory_;
  pid_t pid_ = 0;
  std::string address_;
};

TEST(SecondLaunch, HandsOverToTheRunningAppAndStartsNoSecondBackend) {
  SessionBus bus;
  ASSERT_FALSE(bus.address().empty()) << "dbus-daemon did not start";
  const std::string busEntry = "DBUS_SESSION_BUS_ADDRESS=" + bus.address();
  InstalledApp app;
  const pid_t first = app.start({busEntry});
  ASSERT_GT(first, 0);
  ASSERT_TRUE(app.waitUntilConsoleRequested().has_value()) << app.log();

  const pid_t second = app.start({busEntry});
  ASSERT_GT(second, 0);
  const auto status = waitExit(second, 30s);
  ASSERT_TRUE(status.has_value()) << "the second launch kept running\n" << app.log();
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status;

  const std::string backends = test::readFile(app.pidFile());
  EXPECT_EQ(std::count(backends.begin(), backends.end(), '\n'), 1) << backends;
  EXPECT_EQ(::waitpid(first, nullptr, WNOHANG), 0) << "the first app ended";
  ::kill(first, SIGTERM);
  EXPECT_TRUE(waitExit(first, 20s).has_value());
}

}  // namespace
}  // namespace zvui
