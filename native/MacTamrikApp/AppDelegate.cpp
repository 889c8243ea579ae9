#include "MacTamrikApp/AppDelegate.h"

#include <chrono>
#include <utility>

#include "support/LaunchPhases.h"
#include "backend/BackendShutdown.h"
#include "titlebar/TitlebarText.h"

namespace zvui {
namespace {

using namespace std::chrono_literals;

constexpr auto kFullscreenDelay = 450ms;
constexpr auto kConsoleLoadTimeout = 60s;
constexpr auto kLaunchViewFade = 420ms;
// How long the output must stay quiet before an address in its unterminated last line is
// taken as complete. Short enough that a backend announcing without a final newline is
// still loaded at once.
constexpr auto kOutputPause = 100ms;
constexpr std::string_view kBackendExecutable = "MacTamrikBackend";

}  // namespace

AppDelegate::AppDelegate(AppView& view, BackendLauncher& launcher, MainLoop& loop,
                         ControllerInputs inputs)
    : view_(view), launcher_(launcher), loop_(loop), inputs_(std::move(inputs)) {}

AppDelegate::~AppDelegate() = default;

void AppDelegate::applicationDidFinishLaunching() {
  if (launched_) return;
  launched_ = true;
  buildWindow();
  startBackend();
}

void AppDelegate::applicationWillTerminate() {
  if (terminated_) return;
  terminated_ = true;
  stopBackend();
}

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
  if (inputs_.settings.autoFullscreen && !view_.isFullscreen()) view_.enterFullscreen();
}

void AppDelegate::updateTitlebarContext() {
  view_.setHostText(titlebarHostText(inputs_.localizedHostName, inputs_.networkHostName));
  view_.setRuntimeText(titlebarRuntimeText(inputs_.shell));
}

void AppDelegate::updateTitlebarStatus(std::string_view word) { view_.setStatusWord(word); }

void AppDelegate::startBackend() {
  const auto executable = launcher_.locateExecutable(kBackendExecutable);
  if (!executable) {
    showLaunchError(launch_sentence::kExecutableMissing);
    return;
  }
  Environment inherited = inputs_.environment ? inputs_.environment() : Environment{};
  backendProcess_ = launcher_.makeProcess(*executable, backendEnvironment(std::move(inherited)));
  std::weak_ptr<AppDelegate> weak = weak_from_this();
  const bool launched = backendProcess_ && backendProcess_->launch(
                                               [weak](std::string block) {
                                                 if (auto self = weak.lock())
                                                   self->handleBackendOutput(block);
                                               },
                                               {},
                                               [weak] {
                                                 if (auto self = weak.lock())
                                                   self->handleBackendOutputEnd();
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
  ++outputBlocks_;
  // Every line is examined before the cap can drop it: a block may bring far more than the
  // cap, and the announcement may stand at its start.
  outputBuffer_.extend(chunk);
  if (launchFailed_) {
    outputBuffer_.trim();
    return;
  }
  // Once the address is accepted, later output is kept but moves no phase on.
  if (!loadedURL_) {
    view_.setLaunchSentence(launch_sentence::kWarming);
    updateTitlebarStatus(status_word::kWarming);
  }
  const bool rejected = followAnnouncement(false) == AnnouncementTracker::Action::Rejected;
  // The cap may drop a rejected announcement that hid the ones after it.
  if (outputBuffer_.trim() && rejected) followAnnouncement(false);
}

void AppDelegate::handleBackendOutputEnd() {
  if (launchFailed_) return;
  // No more output will come, so the last line is as complete as it will get.
  followAnnouncement(true);
  // A backend that ends before announcing its console would otherwise leave the progress
  // sentence up for good. A launcher that exits after starting the server does not end the
  // output: the server still holds the pipe.
  if (!loadedURL_) showLaunchError(launch_sentence::kExitedEarly);
}

AnnouncementTracker::Action AppDelegate::followAnnouncement(bool paused) {
  auto step = announcement_.examine(outputBuffer_, paused);
  switch (step.action) {
    case AnnouncementTracker::Action::None:
    case AnnouncementTracker::Action::Rejected:
      break;
    case AnnouncementTracker::Action::AwaitPause:
      awaitOutputPause();
      break;
    case AnnouncementTracker::Action::Load:
      loadedURL_ = true;
      view_.setLaunchSentence(launch_sentence::kSurface);
      updateTitlebarStatus(status_word::kSurface);
      loadConsole(step.address);
      break;
    case AnnouncementTracker::Action::Reload:
      // The address taken was cut short; the phase stays where the first one brought it.
      view_.loadConsole(step.address, kConsoleLoadTimeout);
      break;
  }
  return step.action;
}

void AppDelegate::awaitOutputPause() {
  if (pauseCheckDue_) return;
  pauseCheckDue_ = true;
  std::weak_ptr<AppDelegate> weak = weak_from_this();
  loop_.postAfter(kOutputPause, [weak, blocks = outputBlocks_] {
    auto self = weak.lock();
    if (!self) return;
    self->pauseCheckDue_ = false;
    if (self->launchFailed_) return;
    // Output came meanwhile: look again, and wait for the next pause if the line is still open.
    self->followAnnouncement(blocks == self->outputBlocks_);
  });
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
