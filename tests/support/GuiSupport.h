#pragma once
// What the GUI tests share: GTK, an installed tree to run the app from, the test backend.
#include <fcntl.h>
#include <gtkmm.h>
#include <webkit/webkit.h>

#include "support/ChildProcess.h"
#include "support/GlibWait.h"
#include "support/TestFiles.h"

namespace zvui::test {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

// GTK set up once per test process, through an application so gtkmm is initialised too.
inline Glib::RefPtr<Gtk::Application> application() {
  static const auto app =
      Gtk::Application::create("dev.zvui.ZVui.Tests", Gio::Application::Flags::NON_UNIQUE);
  [[maybe_unused]] static const bool registered = app->register_application();
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

// A fresh resource directory, with the test backend unless `backend` is false, and a config
// with full screen off; the config and the backend's pid file are pointed there. Whatever
// backend a failed test left running is killed at the end.
struct Prefix {
  explicit Prefix(bool backend = true) {
    fs::create_directories(resources());
    dir.write("config/ZVui/settings.json", R"({"autoFullscreen": false})");
    if (backend) fs::copy_file(ZVUI_TEST_BACKEND, resources() / "MacTamrikBackend");
    ::setenv("XDG_CONFIG_HOME", (root / "config").c_str(), 1);
    ::setenv("ZVUI_TEST_PIDFILE", (root / "pid").c_str(), 1);
  }
  ~Prefix() {
    if (const pid_t pid = backendPid()) ::kill(pid, SIGKILL);
  }
  fs::path resources() const { return root / "lib" / "zvui"; }
  pid_t backendPid() const {  // the first backend's, 0 until it has started
    const std::string text = readFile(root / "pid");
    return text.ends_with('\n') ? std::stoi(text) : 0;
  }
  TempDir dir;
  fs::path root = dir.path();
};

// The installed program in a prefix, the guard beside the backend, what it prints going to
// the prefix's log. It is one instance per session: tests that start it run alone.
struct InstalledApp : Prefix {
  explicit InstalledApp(bool backend = true) : Prefix(backend) {
    fs::create_directories(root / "bin");
    fs::copy_file(ZVUI_APP_BINARY, root / "bin" / "zvui");
    fs::copy_file(ZVUI_BACKEND_GUARD, resources() / "zvui-backend-guard");
  }
  std::unique_ptr<ChildProcess> launch() const {
    const UniqueFd log(
        ::open((root / "log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
    return ChildProcess::start((root / "bin" / "zvui").string(), {}, log.get());
  }
  std::string log() const { return readFile(root / "log"); }
  std::unique_ptr<ChildProcess> app;
};

// The test backend run on its own in the mode named, and the address it announced.
struct TestServer {
  explicit TestServer(const char* mode = "page")
      : child(ChildProcess::start(ZVUI_TEST_BACKEND, {{"ZVUI_TEST_SERVE", mode}})) {
    for (std::string line; child && url.empty() && !(line = child->readLine(60s)).empty();)
      if (line.starts_with("TAMRIK_URL=")) url = line.substr(11, line.find('\n') - 11);
  }
  std::unique_ptr<ChildProcess> child;
  std::string url;
};

}  // namespace zvui::test
