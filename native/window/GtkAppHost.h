#pragma once

#include <filesystem>
#include <string>

#include <giomm/application.h>

namespace zvui {

// The running application: one Gtk::Application that builds the window and its controller
// on first activation, brings the window forward on later ones (a second launch), and
// takes the one quit path on closing the window or on SIGTERM, SIGINT and SIGHUP. run()
// returns only after the backend has been stopped.
class AppHost {
 public:
  struct Options {
    std::filesystem::path resourceDirectory;
    std::string applicationId = ZVUI_APP_ID;
    Gio::Application::Flags flags = Gio::Application::Flags::NONE;
  };

  explicit AppHost(Options options);
  AppHost(const AppHost&) = delete;
  AppHost& operator=(const AppHost&) = delete;
  ~AppHost();

  // Runs the event loop; the exit status of the process.
  int run();

 private:
  Options options_;
};

}  // namespace zvui
