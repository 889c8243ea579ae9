#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "MacTamrikApp/AppView.h"
#include "support/MainLoop.h"
#include "backend/BackendEnvironment.h"
#include "backend/BackendProcess.h"
#include "backend/OutputWatcher.h"
#include "settings/LaunchSettings.h"

namespace zvui {

// What the controller learns from outside: gathered by whoever creates it, so the controller
// itself reads no files, names or environment. Every member has an initializer, so a caller
// names only what it sets.
struct ControllerInputs {
  LaunchSettings settings{};
  // The computer's user-visible name, when it has one (an empty one counts).
  std::optional<std::string> localizedHostName{};
  // The network host name; only consulted when there is no localized name.
  std::string networkHostName{};
  // $SHELL, when it is set.
  std::optional<std::string> shell{};
  // The environment the backend inherits, asked for as the backend starts: building the
  // window may still change this process's own. None: the backend inherits nothing.
  std::function<Environment()> environment{};
};

// The application controller: owns the launch state, runs the launch and quit sequences and
// moves the launch phases on as the backend comes up. Toolkit-neutral: the window is
// reached through AppView, the backend through BackendLauncher, the event loop through
// MainLoop; all three must outlive the controller.
//
// Hold it in a std::shared_ptr (std::make_shared): the handlers it gives to the view, the
// backend and the loop keep only a weak reference, so late events find it gone and do
// nothing. Main thread only.
class AppDelegate : public std::enable_shared_from_this<AppDelegate> {
 public:
  AppDelegate(AppView& view, BackendLauncher& launcher, MainLoop& loop, ControllerInputs inputs);
  AppDelegate(const AppDelegate&) = delete;
  AppDelegate& operator=(const AppDelegate&) = delete;
  ~AppDelegate();

  // The launch sequence: the window, then the backend. Runs once; later calls do nothing.
  void applicationDidFinishLaunching();
  // The quit path: stops the backend's process tree, once; later calls do nothing.
  void applicationWillTerminate();
  [[nodiscard]] bool applicationShouldTerminateAfterLastWindowClosed() const { return true; }

  // The web view finished a navigation without failing: the console is live.
  void webViewDidFinishNavigation();
  // One decoded block of backend output, in the order the backend wrote it.
  void handleBackendOutput(std::string_view chunk);
  // The backend's output has ended: it has exited and nothing else holds its pipe.
  void handleBackendOutputEnd();

  [[nodiscard]] bool loadedURL() const noexcept { return loadedURL_; }
  [[nodiscard]] const std::string& outputBuffer() const noexcept { return outputBuffer_.text(); }

 private:
  void buildWindow();
  void updateTitlebarContext();
  void updateTitlebarStatus(std::string_view word);
  void startBackend();
  void showLaunchError(std::string_view message);
  AnnouncementTracker::Action followAnnouncement(bool paused);
  void awaitOutputPause();
  void stopBackend();
  void loadConsole(const std::string& url);
  void enterFullscreenIfWanted();

  AppView& view_;
  BackendLauncher& launcher_;
  MainLoop& loop_;
  ControllerInputs inputs_;

  std::unique_ptr<BackendProcess> backendProcess_;
  OutputBuffer outputBuffer_;
  AnnouncementTracker announcement_;
  bool loadedURL_ = false;

  // The error phase is final: once entered, no later event changes the phase.
  bool launchFailed_ = false;
  // Output blocks handled so far, and whether a check for a pause in them is due.
  std::uint64_t outputBlocks_ = 0;
  bool pauseCheckDue_ = false;
  bool launched_ = false;
  bool terminated_ = false;
};

}  // namespace zvui
