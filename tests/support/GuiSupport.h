#pragma once
// What the GUI tests share: GTK, a session of the test's own, an installed tree to run the app
// from, and the test backend on its own.
#include <fcntl.h>
#include <gtkmm.h>
#include <sys/prctl.h>
#include <webkit/webkit.h>

#include <algorithm>

#include "support/ChildProcess.h"
#include "support/GlibWait.h"
#include "support/TestFiles.h"

namespace zvui::test {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

// GTK set up once per test process, through an application so gtkmm is initialised too.
inline Glib::RefPtr<Gtk::Application> application() {
  static auto app = [] {
    auto created = Gtk::Application::create("dev.zvui.ZVui.Tests", Gio::Application::Flags::NON_UNIQUE);
    created->register_application();
    return created;
  }();
  return app;
}

// Counts every load the view reports finished, failed ones included.
inline void countFinishedLoads(WebKitWebView* view, int& count) {
  g_signal_connect(view, "load-changed", G_CALLBACK(+[](WebKitWebView*, WebKitLoadEvent event, gpointer n) {
                     if (event == WEBKIT_LOAD_FINISHED) ++*static_cast<int*>(n);
                   }), &count);
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
    std::error_code ignored;
    if (display != nullptr && *display != '/' && outer != nullptr)
      fs::create_symlink(fs::path(outer) / display, runtime / display, ignored);
    ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) return;
    const UniqueFd reader(ends[0]);
    UniqueFd writer(ends[1]);
    // Ends with the test however the test ends (a crash, its timeout), and gets none of the
    // test's output streams: a bus or service that outlived the test would keep them open,
    // and the test's runner waiting.
    const char* argv[] = {"/usr/bin/dbus-daemon", "--session", "--nofork", "--print-address=3", nullptr};
    const gint sources[] = {writer.get()}, targets[] = {3};
    pid_t parent = ::getpid();
    const auto setup = [](gpointer ours) {
      ::prctl(PR_SET_PDEATHSIG, SIGTERM);
      if (::getppid() != *static_cast<pid_t*>(ours)) ::_exit(127);
    };
    const auto flags = GSpawnFlags(G_SPAWN_DO_NOT_REAP_CHILD | G_SPAWN_STDOUT_TO_DEV_NULL | G_SPAWN_STDERR_TO_DEV_NULL);
    if (!g_spawn_async_with_pipes_and_fds(nullptr, argv, nullptr, flags, setup, &parent, -1, -1, -1, sources,
                                          targets, 1, &pid, nullptr, nullptr, nullptr, nullptr)) {
      pid = 0;
      return;
    }
    writer.reset();
    for (char c = 0; ::read(reader.get(), &c, 1) == 1 && c != '\n';) address.push_back(c);
    if (!address.empty()) ::setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
  }
  SessionBus(const SessionBus&) = delete;
  SessionBus& operator=(const SessionBus&) = delete;
  ~SessionBus() { stop(); }
  void stop() {
    if (pid <= 0) return;
    // This process's own connection to the bus (settings, accessibility) would end it with
    // SIGTERM when the bus goes away, as a desktop app does when its session ends.
    const auto own = GObjectPtr<GDBusConnection>::adopt(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr));
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
    dir.write("config/ZVui/settings.json", R"({"autoFullscreen": false})");
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
  std::size_t backendsStarted() const { return linesOf(readFile(root / "pid")).size(); }
  TempDir dir;
  fs::path root = dir.path();
  SessionBus bus;
};

// The installed program in a fresh prefix, with the guard beside the backend; what it
// prints goes to the prefix's log.
struct InstalledApp : Prefix {
  InstalledApp() {
    fs::create_directories(root / "bin");
    fs::copy_file(ZVUI_APP_BINARY, root / "bin" / "zvui");
    fs::copy_file(ZVUI_BACKEND_GUARD, resources() / "zvui-backend-guard");
  }
  std::unique_ptr<ChildProcess> launch() const {
    const UniqueFd log(::open((root / "log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
    return ChildProcess::start((root / "bin" / "zvui").string(), {}, {}, log.get());
  }
  void start() { app = launch(); }
  std::string log() const { return readFile(root / "log"); }
  std::unique_ptr<ChildProcess> app;
};

// The test backend run on its own, in the mode named, and the address it announced.
struct TestServer {
  explicit TestServer(const char* mode = "page")
      : child(ChildProcess::start(ZVUI_TEST_BACKEND, {{"ZVUI_TEST_SERVE", mode}})) {
    for (std::string line; child && url.empty() && !(line = child->readLine(60s)).empty();) {
      if (line.starts_with("TAMRIK_URL=")) url = line.substr(11, line.find('\n') - 11);
    }
  }
  std::unique_ptr<ChildProcess> child;
  std::string url;
};

}  // namespace zvui::test
