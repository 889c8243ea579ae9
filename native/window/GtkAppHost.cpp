#include "window/GtkAppHost.h"

#include <glib-unix.h>
#include <gtkmm.h>

#include <array>
#include <csignal>
#include <cstdlib>
#include <memory>

#include "MacTamrikApp/AppDelegate.h"
#include "backend/PosixBackendLauncher.h"
#include "settings/LaunchSettings.h"
#include "support/GlibHandles.h"
#include "titlebar/HostName.h"
#include "window/GtkAppView.h"
#include "window/GtkMainLoop.h"

namespace zvui {

namespace {

gboolean quitOnSignal(gpointer application) {
  g_application_quit(G_APPLICATION(application));
  return G_SOURCE_CONTINUE;
}

// What this process gives the controller: the user's settings, the computer's names and the
// shell, read as the launch begins, and the environment, read as the backend starts.
ControllerInputs thisProcessInputs() {
  ControllerInputs inputs;
  inputs.settings = readLaunchSettings();
  inputs.localizedHostName = localizedHostName();
  // The network name is only looked up when there is no localized name.
  if (!inputs.localizedHostName) inputs.networkHostName = networkHostName();
  if (const char* shell = std::getenv("SHELL")) inputs.shell = shell;
  inputs.environment = &currentEnvironment;
  return inputs;
}

}  // namespace

AppHost::AppHost(Options options) : options_(std::move(options)) {}

AppHost::~AppHost() = default;

int AppHost::run() {
  // Declared in the order they may be torn down last-to-first: the controller goes before
  // the launcher and the view it uses, and the loop outlives everything that posts to it.
  GtkMainLoop loop;
  auto application = Gtk::Application::create(options_.applicationId, options_.flags);
  std::unique_ptr<GtkAppView> view;
  std::unique_ptr<PosixBackendLauncher> launcher;
  std::shared_ptr<AppDelegate> controller;
  bool terminated = false;

  const auto terminate = [&] {
    if (terminated || !controller) return;
    terminated = true;
    controller->applicationWillTerminate();
  };

  application->signal_activate().connect([&] {
    if (view) {  // a second launch: bring the one window forward
      if (auto* window = view->window()) window->present();
      return;
    }
    view = std::make_unique<GtkAppView>(application, options_.resourceDirectory);
    launcher = std::make_unique<PosixBackendLauncher>(options_.resourceDirectory, loop);
    controller = std::make_shared<AppDelegate>(*view, *launcher, loop, thisProcessInputs());
    // The application ends with its last window unless the controller wants otherwise.
    if (!controller->applicationShouldTerminateAfterLastWindowClosed()) application->hold();
    controller->applicationDidFinishLaunching();
  });
  application->signal_shutdown().connect(terminate);

  std::array<GlibSourceId, 3> signalSources;
  const std::array<int, 3> quitSignals{SIGTERM, SIGINT, SIGHUP};
  for (std::size_t i = 0; i < quitSignals.size(); ++i) {
    signalSources[i].reset(g_unix_signal_add(quitSignals[i], &quitOnSignal, application->gobj()));
  }

  // No command line is read: options are not ours to interpret.
  const int status = application->run();
  terminate();
  controller.reset();
  launcher.reset();
  view.reset();
  return status;
}

}  // namespace zvui
