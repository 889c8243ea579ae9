#pragma once

#include <glib.h>
#include <gtkmm.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>

namespace zvui::test {

using namespace std::chrono_literals;

// Runs the default GLib main context until `done()` holds or `timeout` passes.
inline bool iterateUntil(const std::function<bool()>& done,
                         std::chrono::milliseconds timeout = 20s) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  // A periodic wake-up so the deadline is seen even when nothing else happens.
  const guint wake = g_timeout_add(20, [](gpointer) -> gboolean { return G_SOURCE_CONTINUE; },
                                   nullptr);
  bool ok = done();
  while (!ok && std::chrono::steady_clock::now() < deadline) {
    g_main_context_iteration(nullptr, TRUE);
    ok = done();
  }
  g_source_remove(wake);
  return ok;
}

// Polls a condition on something outside this process (a file, a pid) until a deadline.
inline bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout = 20s) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return done();
    g_usleep(10'000);
  }
  return true;
}

// GTK set up once per test process, through an application so gtkmm is initialised too.
inline Glib::RefPtr<Gtk::Application> testApplication() {
  static Glib::RefPtr<Gtk::Application> application = [] {
    auto app = Gtk::Application::create("dev.zvui.ZVui.Tests", Gio::Application::Flags::NON_UNIQUE);
    app->register_application();
    return app;
  }();
  return application;
}

// A directory removed with everything in it at the end of the test.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "zvui-gui-XXXXXX").string();
    path_ = ::mkdtemp(pattern.data());
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  [[nodiscard]] const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

inline std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The first pid written into `pidFile`, once it is there.
inline std::optional<pid_t> readPid(const std::filesystem::path& pidFile) {
  const std::string text = readFile(pidFile);
  if (text.empty() || text.back() != '\n') return std::nullopt;
  return static_cast<pid_t>(std::stol(text));
}

// True while `pid` names a process that has not yet been reaped and is not a zombie.
inline bool processAlive(pid_t pid) {
  if (::kill(pid, 0) != 0) return false;
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  std::getline(stat, line);
  const auto close = line.rfind(')');
  return close != std::string::npos && close + 2 < line.size() && line[close + 2] != 'Z';
}

}  // namespace zvui::test
