#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "MacTamrikApp/AppView.h"
#include "support/MainLoop.h"
#include "backend/BackendProcess.h"
#include "backend/OutputWatcher.h"
#include "settings/LaunchSettings.h"

namespace zvui {

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
  AppDelegate(AppView& view, BackendLauncher& launcher, MainLoop& loop);
  AppDelegate(const AppDelegate&) = delete;
  AppDelegate& operator=(const AppDelegate&) = delete;
  ~AppDelegate();

  // The launch sequence: settings, then the window, then the backend. Runs once; later
  // calls do nothing.
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
  [[nodiscard]] bool launchFullscreen() const noexcept { return launchFullscreen_; }
  [[nodiscard]] const BackendProcess* backendProcess() const noexcept {
    return backendProcess_.get();
  }

 private:
  [[nodiscard]] LaunchSettings readLaunchSettings() const;
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

  std::unique_ptr<BackendProcess> backendProcess_;
  OutputBuffer outputBuffer_;
  AnnouncementTracker announcement_;
  bool loadedURL_ = false;
  bool launchFullscreen_ = true;

  // The error phase is final: once entered, no later event changes the phase.
  bool launchFailed_ = false;
  // Output blocks handled so far, and whether a check for a pause in them is due.
  std::uint64_t outputBlocks_ = 0;
  bool pauseCheckDue_ = false;
  bool launched_ = false;
  bool terminated_ = false;
};

}  // namespace zvui
