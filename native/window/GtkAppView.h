#pragma once

#include <gtkmm.h>

#include <filesystem>
#include <memory>

#include "MacTamrikApp/AppView.h"

namespace zvui {

class ConsoleWebView;
class LaunchCard;
class LaunchFade;
class TitlebarStrip;

// The GTK window of ZVui: one dark window whose content is the console web view under the
// black launch view, with a transparent header bar laid over both that carries the window
// controls and the status strip.
class GtkAppView final : public AppView {
 public:
  // `application` may be empty (tests); otherwise the window joins it so that closing the
  // last window ends the application.
  GtkAppView(Glib::RefPtr<Gtk::Application> application, std::filesystem::path resourceDirectory);
  GtkAppView(const GtkAppView&) = delete;
  GtkAppView& operator=(const GtkAppView&) = delete;
  ~GtkAppView() override;

  void buildWindow(std::function<void()> onNavigationFinished) override;
  void setLaunchSentence(std::string_view sentence) override;
  void setLaunchSentenceColour(const Colour& colour) override;
  void setStatusWord(std::string_view word) override;
  void setHostText(std::string_view text) override;
  void setRuntimeText(std::string_view text) override;
  void showWindow() override;
  [[nodiscard]] bool isFullscreen() const override;
  void enterFullscreen() override;
  void loadConsole(const std::string& url, std::chrono::milliseconds timeout) override;
  void showWebView() override;
  void fadeOutLaunchView(std::chrono::milliseconds duration) override;

  // The built parts; null before buildWindow. For the application host and tests.
  [[nodiscard]] Gtk::Window* window() const;
  [[nodiscard]] ConsoleWebView* console() const;
  [[nodiscard]] LaunchCard* launchCard() const;
  [[nodiscard]] TitlebarStrip* titlebarStrip() const;
  [[nodiscard]] Gtk::Widget* launchView() const;
  [[nodiscard]] Gtk::HeaderBar* headerBar() const;
  [[nodiscard]] bool fadeRunning() const;

 private:
  void awaitFirstFrame();
  static void onFirstFrame(GdkFrameClock* clock, gpointer self);

  struct Parts;
  Glib::RefPtr<Gtk::Application> application_;
  std::filesystem::path resourceDirectory_;
  std::unique_ptr<Parts> parts_;
};

}  // namespace zvui
