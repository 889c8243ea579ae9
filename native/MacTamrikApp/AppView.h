#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <string_view>

#include "support/Colour.h"

namespace zvui {

// What the controller needs of its window. The GTK front end implements it; tests use a
// recording fake. Every call is made on the main thread.
class AppView {
 public:
  virtual ~AppView() = default;

  // Builds the window's content and the window itself, without showing it: the hidden web
  // view, the black launch view above it with its card (launch sentence "arming local
  // runtime" in white 0.62), then the window with its properties and the titlebar strip
  // reading "LOCAL", "HOST", "ZSH". `onNavigationFinished` is called for every navigation
  // of the web view that finished without failing.
  virtual void buildWindow(std::function<void()> onNavigationFinished) = 0;

  // Labels. Before buildWindow these do nothing.
  virtual void setLaunchSentence(std::string_view sentence) = 0;
  virtual void setLaunchSentenceColour(const Colour& colour) = 0;
  virtual void setStatusWord(std::string_view word) = 0;
  virtual void setHostText(std::string_view text) = 0;
  virtual void setRuntimeText(std::string_view text) = 0;

  // Centres the window, shows it in front as the key window and brings the app forward.
  virtual void showWindow() = 0;
  [[nodiscard]] virtual bool isFullscreen() const = 0;
  virtual void enterFullscreen() = 0;

  // Starts loading the console page: no cached data is used, and a load that goes
  // `timeout` without any progress is stopped (and so counts as failed). A later call
  // replaces the load under way.
  virtual void loadConsole(const std::string& url, std::chrono::milliseconds timeout) = 0;
  virtual void showWebView() = 0;
  // Fades the launch view to transparent over `duration`, then hides it.
  virtual void fadeOutLaunchView(std::chrono::milliseconds duration) = 0;
};

}  // namespace zvui
