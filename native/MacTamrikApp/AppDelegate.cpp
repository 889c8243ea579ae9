#include "MacTamrikApp/AppDelegate.h"

#include <chrono>
#include <cstdlib>

#include "MacTamrikApp/LaunchPhases.h"
#include "backend/BackendEnvironment.h"
#include "backend/BackendShutdown.h"
#include "titlebar/HostName.h"
#include "titlebar/TitlebarText.h"

namespace zvui {
namespace {

using namespace std::chrono_literals;

constexpr auto kFullscreenDelay = 450ms;
constexpr auto kConsoleLoadTimeout = 60s;
constexpr auto kLaunchViewFade = 420ms;
constexpr std::string_view kBackendExecutable = "MacTamrikBackend";

}  // namespace

AppDelegate::AppDelegate(AppView& view, BackendLauncher& launcher, MainLoop& loop)
    : view_(view), launcher_(launcher), loop_(loop) {}

AppDelegate::~AppDelegate() = default;

void AppDelegate::applicationDidFinishLaunching() {
  if (launched_) return;
  launched_ = true;
  launchFullscreen_ = autoFullscreenSetting(readLaunchSettings());
  buildWindow();
  startBackend();
}

void AppDelegate::applicationWillTerminate() {
  if (terminated_) return;
  terminated_ = true;
  stopBackend();
}

LaunchSettings AppDelegate::readLaunchSettings() const { return zvui::readLaunchSettings(); }

void AppDelegate::buildWindow() {
  std::weak_ptr<AppDelegate> weak = weak_from_this();
  view_.buildWindow([weak] {
    if (auto self = weak.lock()) self->webViewDidFinishNavigation();
  });
  updateTitlebarContext();
  updateTitlebarStatus(status_word::kArming);
  view_.showWindow();
  // The flag is read when the check runs, not now.
  loop_.postAfter(kFullscreenDelay, [weak] {
    if (auto self = weak.lock()) self->enterFullscreenIfWanted();
  });
}

void AppDelegate::enterFullscreenIfWanted() {
  // Only ever into full screen: a window the user already made full screen stays so.
  if (launchFullscreen_ && !view_.isFullscreen()) view_.enterFullscreen();
}

void AppDelegate::updateTitlebarContext() {
  const auto localized = localizedHostName();
  // The network name is only looked up when there is no localized name.
  const std::string hostText = localized ? titlebarHostText(*localized, {})
                                         : titlebarHostText(std::nullopt, networkHostName());
  const char* shell = std::getenv("SHELL");
  const std::string runtimeText =
      titlebarRuntimeText(shell ? std::optional<std::string_view>(shell) : std::nullopt);
  view_.setHostText(hostText);
  view_.setRuntimeText(runtimeText);
}

void AppDelegate::updateTitlebarStatus(std::string_view word) { view_.setStatusWord(word); }

void AppDelegate::startBackend() {
  const auto executable = launcher_.locateExecutable(kBackendExecutable);
  if (!executable) {
    showLaunchError(launch_sentence::kExecutableMissing);
    return;
  }
  backendProcess_ = launcher_.makeProcess(*executable, backendEnvironment(currentEnvironment()));
  std::weak_ptr<AppDelegate> weak = weak_from_this();
  const bool launched = backendProcess_ && backendProcess_->launch(
                                               [weak](std::string block) {
                                                 if (auto self = weak.lock())
                                                   self->handleBackendOutput(block);
                                               },
                                               [weak] {
                                                 if (auto self = weak.lock())
                                                   self->handleBackendExit();
                                               });
  if (!launched) {
    showLaunchError(launch_sentence::kStartFailed);
    return;
  }
  view_.setLaunchSentence(launch_sentence::kBridge);
  updateTitlebarStatus(status_word::kBridge);
}

void AppDelegate::showLaunchError(std::string_view message) {
  launchFailed_ = true;
  view_.setLaunchSentence(message);
  view_.setLaunchSentenceColour(kLaunchFailureColour);
  updateTitlebarStatus(status_word::kError);
}

void AppDelegate::handleBackendOutput(std::string_view chunk) {
  outputBuffer_.append(chunk);
  // Once the address is accepted, later output is kept but changes nothing on screen; and
  // nothing leaves the error phase.
  if (loadedURL_ || launchFailed_) return;
  view_.setLaunchSentence(launch_sentence::kWarming);
  updateTitlebarStatus(status_word::kWarming);

  auto address = announcedConsoleAddress(outputBuffer_.text());
  if (!address) return;
  loadedURL_ = true;
  view_.setLaunchSentence(launch_sentence::kSurface);
  updateTitlebarStatus(status_word::kSurface);
  loadConsole(*address);
}

void AppDelegate::handleBackendExit() {
  // A backend that ends before announcing its console would otherwise leave the progress
  // sentence up for good. Every block it wrote has been handled by now.
  if (loadedURL_ || launchFailed_) return;
  showLaunchError(launch_sentence::kExitedEarly);
}

void AppDelegate::stopBackend() { stopBackendTree(backendProcess_.get(), launcher_); }

void AppDelegate::loadConsole(const std::string& url) {
  view_.setLaunchSentence(launch_sentence::kHandOff);
  view_.loadConsole(url, kConsoleLoadTimeout);
}

void AppDelegate::webViewDidFinishNavigation() {
  view_.showWebView();
  view_.setLaunchSentence(launch_sentence::kLive);
  updateTitlebarStatus(status_word::kLive);
  view_.fadeOutLaunchView(kLaunchViewFade);
}

}  // namespace zvui
