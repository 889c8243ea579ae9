#pragma once

#include <fcntl.h>
#include <gtkmm.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <webkit/webkit.h>

#include "support/GlibHandles.h"
#include "support/GlibWait.h"
#include "support/TestFiles.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <string>

extern char** environ;

namespace zvui::test {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

// GTK set up once per test process, through an application so gtkmm is initialised too.
inline Glib::RefPtr<Gtk::Application> application() {
  static auto app = [] {
    auto created =
        Gtk::Application::create("dev.zvui.ZVui.Tests", Gio::Application::Flags::NON_UNIQUE);
    created->register_application();
    return created;
  }();
  return app;
}

// Counts every load the view reports finished, failed ones included.
inline void countFinishedLoads(WebKitWebView* view, int& count) {
  g_signal_connect(view, "load-changed",
                   G_CALLBACK(+[](WebKitWebView*, WebKitLoadEvent event, gpointer n) {
                     if (event == WEBKIT_LOAD_FINISHED) ++*static_cast<int*>(n);
                   }),
                   &count);
}

// A session of this test's own, as a desktop has one: a runtime directory in `root` and a
// session bus, set for this process and what it starts. The apps a test starts meet each
// other there (a second launch finds the first), never those of tests running beside it,
// and the desktop services the bus starts keep their sockets there. Ended with the test.
struct SessionBus {
  explicit SessionBus(const fs::path& root) {
    const fs::path runtime = root / "runtime";
    fs::create_directories(runtime);
    fs::permissions(runtime, fs::perms::owner_all);
    // A Wayland display is named relative to the runtime directory: bring its socket along.
    const char* display = std::getenv("WAYLAND_DISPLAY");
    const char* outer = std::getenv("XDG_RUNTIME_DIR");
    if (display != nullptr && *display != '/' && outer != nullptr) {
      std::error_code ignored;
      fs::create_symlink(fs::path(outer) / display, runtime / display, ignored);
    }
    ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) return;
    const int devnull = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    char* argv[] = {const_cast<char*>("dbus-daemon"), const_cast<char*>("--session"),
                    const_cast<char*>("--nofork"), const_cast<char*>("--print-address=3"),
                    nullptr};
    const pid_t parent = ::getpid();
    pid = ::fork();
    if (pid == 0) {
      // Ends with the test however the test ends (a crash, its timeout), and gets none of
      // the test's output streams: a bus or service that outlived the test would keep them
      // open, and the test's runner waiting.
      ::prctl(PR_SET_PDEATHSIG, SIGTERM);
      if (::getppid() != parent) ::_exit(127);
      ::dup2(devnull, STDIN_FILENO);
      ::dup2(devnull, STDOUT_FILENO);
      ::dup2(devnull, STDERR_FILENO);
      if (ends[1] == 3) ::fcntl(3, F_SETFD, 0); else ::dup2(ends[1], 3);
      ::execv("/usr/bin/dbus-daemon", argv);
      ::_exit(127);
    }
    if (pid < 0) pid = 0;
    if (devnull >= 0) ::close(devnull);
    ::close(ends[1]);
    char c = 0;
    while (pid != 0 && ::read(ends[0], &c, 1) == 1 && c != '\n') address.push_back(c);
    ::close(ends[0]);
    if (!address.empty()) ::setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
  }
  SessionBus(const SessionBus&) = delete;
  SessionBus& operator=(const SessionBus&) = delete;
  ~SessionBus() { stop(); }
  void stop() {
    if (pid <= 0) return;
    // This process's own connection to the bus (settings, accessibility) would end it with
    // SIGTERM when the bus goes away, as a desktop app does when its session ends.
    const auto own = GObjectPtr<GDBusConnection>::adopt(
        g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr));
    if (own) g_dbus_connection_set_exit_on_close(own.get(), FALSE);
    if (::kill(pid, SIGTERM) == 0) ::waitpid(pid, nullptr, 0);
    pid = 0;
  }
  pid_t pid = 0;
  std::string address;
};

// An installed tree in a fresh directory: lib/zvui holds the test backend (unless
// `backend` is false), config/ZVui turns full screen off, and the process environment
// points the app's config, its session bus and the backend's pid file into it. Removed at
// the end.
struct Prefix {
  explicit Prefix(bool backend = true) : bus(root) {
    fs::create_directories(resources());
    fs::create_directories(root / "config" / "ZVui");
    std::ofstream(root / "config" / "ZVui" / "settings.json") << R"({"autoFullscreen": false})";
    if (backend) fs::copy_file(ZVUI_TEST_BACKEND, resources() / "MacTamrikBackend");
    ::setenv("XDG_CONFIG_HOME", (root / "config").c_str(), 1);
    ::setenv("ZVUI_TEST_PIDFILE", (root / "pid").c_str(), 1);
  }
  ~Prefix() {
    if (const pid_t pid = backendPid()) ::kill(pid, SIGKILL);  // whatever a failed test left
    bus.stop();
  }
  fs::path resources() const { return root / "lib" / "zvui"; }
  pid_t backendPid() const {  // the first backend's, 0 until it has started
    const std::string text = readFile(root / "pid");
    return text.ends_with('\n') ? std::stoi(text) : 0;
  }
  std::size_t backendsStarted() const {
    const std::string text = readFile(root / "pid");
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
  }
  TempDir dir;
  fs::path root = dir.path();
  SessionBus bus;
};

// A child process with this process's environment and its stdout and stderr on `out`;
// killed and reaped with the test unless it was reaped before.
struct Child {
  Child(const std::string& program, int out) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out, STDERR_FILENO);
    char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
    if (::posix_spawn(&pid, argv[0], &actions, nullptr, argv, environ) != 0) pid = 0;
    posix_spawn_file_actions_destroy(&actions);
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child() {
    if (pid > 0 && ::kill(pid, SIGKILL) == 0) ::waitpid(pid, nullptr, 0);
  }
  pid_t pid = 0;
};

// The installed program in a fresh prefix, with the guard beside the backend; what it
// prints goes to the prefix's log.
struct InstalledApp {
  InstalledApp() {
    fs::create_directories(prefix.root / "bin");
    fs::copy_file(ZVUI_APP_BINARY, prefix.root / "bin" / "zvui");
    fs::copy_file(ZVUI_BACKEND_GUARD, prefix.resources() / "zvui-backend-guard");
  }
  std::unique_ptr<Child> launch() const {
    const int log = ::open((prefix.root / "log").c_str(),
                           O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    auto child = std::make_unique<Child>((prefix.root / "bin" / "zvui").string(), log);
    ::close(log);
    return child;
  }
  void start() { app = launch(); }
  // Waits for `child` to end; its wait status, or nothing at the deadline.
  static std::optional<int> wait(Child& child, std::chrono::milliseconds timeout = 30s) {
    int status = 0;
    if (!iterateUntil([&] { return ::waitpid(child.pid, &status, WNOHANG) == child.pid; },
                      timeout)) {
      return std::nullopt;
    }
    child.pid = 0;
    return status;
  }
  std::optional<int> wait(std::chrono::milliseconds timeout = 30s) { return wait(*app, timeout); }
  std::string log() const { return readFile(prefix.root / "log"); }

  Prefix prefix;
  std::unique_ptr<Child> app;
};

// The test backend run on its own, in the mode named, and the address it announced.
struct TestServer {
  explicit TestServer(const char* mode = "page") {
    ::setenv("ZVUI_TEST_SERVE", mode, 1);
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) return;
    child.emplace(ZVUI_TEST_BACKEND, ends[1]);
    ::close(ends[1]);
    FILE* out = ::fdopen(ends[0], "r");
    char line[256];
    while (url.empty() && std::fgets(line, sizeof line, out) != nullptr) {
      if (std::string_view(line).starts_with("TAMRIK_URL="))
        url.assign(line + 11, std::strcspn(line + 11, "\n"));
    }
    std::fclose(out);
  }
  std::optional<Child> child;
  std::string url;
};

}  // namespace zvui::test
