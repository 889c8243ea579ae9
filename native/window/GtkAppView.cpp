#include "window/GtkAppView.h"

#include <optional>

#include "launch/GtkLaunchCard.h"
#include "support/GlibHandles.h"
#include "titlebar/GtkTitlebarStrip.h"
#include "window/GtkConsoleWebView.h"
#include "window/GtkLaunchFade.h"
#include "window/GtkWindowRenderer.h"
#include "window/GtkWindowStyle.h"

namespace zvui {

namespace {
constexpr int kDefaultWidth = 1440;
constexpr int kDefaultHeight = 920;
constexpr int kMinimumWidth = 1120;
constexpr int kMinimumHeight = 760;

// The minimum size is for the window at a size of its own. Full screen and maximized take the
// monitor's size, which may be smaller; a Wayland compositor ends a client whose window is
// larger than the state it was given. So the minimum is lifted while the window fills the
// monitor and comes back when it leaves that state.
void applyMinimumSize(Gtk::Window& window) {
  const bool fillsMonitor = window.is_fullscreen() || window.is_maximized();
  window.set_size_request(fillsMonitor ? -1 : kMinimumWidth, fillsMonitor ? -1 : kMinimumHeight);
}

}  // namespace

// Built in the order of buildWindow; members are destroyed in reverse, window first.
struct GtkAppView::Parts {
  ConsoleWebView console;
  Gtk::WindowHandle launchView;  // dragging the black cover moves the window
  LaunchFade fade{launchView};
  std::optional<LaunchCard> card;
  Gtk::Overlay content;
  Gtk::Box noTitle;       // the header bar's title widget: the title is set but not drawn
  Gtk::Box noTitlebar;    // the window's own titlebar slot, left empty and hidden
  Gtk::HeaderBar headerBar;
  std::optional<TitlebarStrip> strip;
  std::optional<Gtk::Window> window;
  // Until the first frame has been drawn: the window's frame clock and our wait on it.
  GObjectPtr<GdkFrameClock> frameClock;
  SignalConnection firstFrame;
  GlibSourceId present;  // showing the window, on the loop's next turn
};

GtkAppView::GtkAppView(Glib::RefPtr<Gtk::Application> application,
                       std::filesystem::path resourceDirectory)
    : application_(std::move(application)), resourceDirectory_(std::move(resourceDirectory)) {}

GtkAppView::~GtkAppView() = default;

void GtkAppView::buildWindow(std::function<void()> onNavigationFinished) {
  if (parts_) return;  // one window per run
  installWindowStyle();
  chooseWindowRenderer();
  parts_ = std::make_unique<Parts>();
  Parts& p = *parts_;

  // A page will be loaded whatever the backend does, so WebKit's processes are started first,
  // with an empty page: they come up side by side with the backend and the window instead
  // of once the backend's address is known.
  p.console.warmUp();

  // The console under the launch view; the header bar floats above both.
  p.console.setOnLoadFinished(std::move(onNavigationFinished));
  p.content.add_css_class("zvui-content");
  p.content.set_child(p.console.widget());

  p.card.emplace(resourceDirectory_);
  p.launchView.set_child(p.card->widget());
  p.launchView.set_hexpand(true);
  p.launchView.set_vexpand(true);
  p.content.add_overlay(p.launchView);

  p.window.emplace();
  Gtk::Window& window = *p.window;
  window.add_css_class(kMainWindowClass);
  window.set_title("ZVui");
  window.set_default_size(kDefaultWidth, kDefaultHeight);
  applyMinimumSize(window);
  window.signal_realize().connect([this] { awaitFirstFrame(); });
  window.property_fullscreened().signal_changed().connect([&window] { applyMinimumSize(window); });
  window.property_maximized().signal_changed().connect([&window] { applyMinimumSize(window); });
  // Once revealed, the console has the keyboard whenever the window does: after another app
  // had the focus, and after full screen, where window managers may move it.
  Gtk::Widget& console = p.console.widget();
  const auto focusConsole = [&window, &console] {
    if (window.is_active() && console.get_visible()) console.grab_focus();
  };
  window.property_is_active().signal_changed().connect(focusConsole);
  window.property_fullscreened().signal_changed().connect(focusConsole);
  p.noTitlebar.set_visible(false);
  window.set_titlebar(p.noTitlebar);
  window.set_child(p.content);

  p.headerBar.add_css_class(kTitlebarClass);
  p.headerBar.set_show_title_buttons(true);
  p.headerBar.set_title_widget(p.noTitle);
  p.headerBar.set_valign(Gtk::Align::START);
  p.content.add_overlay(p.headerBar);

  p.strip.emplace();
  p.strip->widget().set_valign(Gtk::Align::CENTER);
  p.headerBar.pack_end(p.strip->widget());

  if (application_) application_->add_window(window);
}

void GtkAppView::awaitFirstFrame() {
  Parts& p = *parts_;
  GdkFrameClock* clock = gtk_widget_get_frame_clock(GTK_WIDGET(p.window->gobj()));
  if (clock == nullptr || p.frameClock) return;
  p.frameClock = GObjectPtr<GdkFrameClock>::ref(clock);
  p.firstFrame = SignalConnection(
      clock, g_signal_connect(clock, "after-paint", G_CALLBACK(&onFirstFrame), this));
}

void GtkAppView::onFirstFrame(GdkFrameClock*, gpointer self) {
  // Noted in the debug log (G_MESSAGES_DEBUG=ZVui) on the monotonic clock, so that a launch
  // can be timed from outside.
  g_log("ZVui", G_LOG_LEVEL_DEBUG, "first frame drawn at %" G_GINT64_FORMAT " us (monotonic)",
        g_get_monotonic_time());
  Parts& p = *static_cast<GtkAppView*>(self)->parts_;
  p.firstFrame.disconnect();
  p.frameClock.reset();
}

void GtkAppView::setLaunchSentence(std::string_view sentence) {
  if (parts_) parts_->card->setStatusText(sentence);
}

void GtkAppView::setLaunchSentenceColour(const Colour& colour) {
  if (parts_) parts_->card->setStatusColour(colour);
}

void GtkAppView::setStatusWord(std::string_view word) {
  if (parts_) parts_->strip->setStatusWord(word);
}

void GtkAppView::setHostText(std::string_view text) {
  if (parts_) parts_->strip->setHostText(text);
}

void GtkAppView::setRuntimeText(std::string_view text) {
  if (parts_) parts_->strip->setRuntimeText(text);
}

void GtkAppView::showWindow() {
  // Where the window appears is the window manager's choice on Linux; present() shows it
  // in front and asks for focus. It runs first thing on the loop's next turn, before the
  // window could be drawn anyway: realizing a window sets up its renderer, which takes long
  // enough that the backend is better started first.
  if (!parts_ || parts_->present) return;
  parts_->present.reset(g_idle_add_full(
      G_PRIORITY_HIGH,
      +[](gpointer data) {
        auto& parts = *static_cast<Parts*>(data);
        (void)parts.present.release();  // this source ends by returning REMOVE
        parts.window->present();
        return G_SOURCE_REMOVE;
      },
      parts_.get(), nullptr));
}

bool GtkAppView::isFullscreen() const { return parts_ && parts_->window->is_fullscreen(); }

void GtkAppView::enterFullscreen() {
  if (!parts_) return;
  parts_->window->set_size_request(-1, -1);  // before the compositor sizes it to the monitor
  parts_->window->fullscreen();
}

void GtkAppView::loadConsole(const std::string& url, std::chrono::milliseconds timeout) {
  if (parts_) parts_->console.load(url, timeout);
}

void GtkAppView::showWebView() {
  if (!parts_) return;
  // Typing reaches the console at once, without a click into the page.
  parts_->console.widget().set_visible(true);
  parts_->console.widget().grab_focus();
}

void GtkAppView::fadeOutLaunchView(std::chrono::milliseconds duration) {
  if (parts_) parts_->fade.start(duration);
}

Gtk::Window* GtkAppView::window() const { return parts_ ? &*parts_->window : nullptr; }
ConsoleWebView* GtkAppView::console() const { return parts_ ? &parts_->console : nullptr; }
LaunchCard* GtkAppView::launchCard() const { return parts_ ? &*parts_->card : nullptr; }
TitlebarStrip* GtkAppView::titlebarStrip() const { return parts_ ? &*parts_->strip : nullptr; }
Gtk::Widget* GtkAppView::launchView() const { return parts_ ? &parts_->launchView : nullptr; }
Gtk::HeaderBar* GtkAppView::headerBar() const { return parts_ ? &parts_->headerBar : nullptr; }
bool GtkAppView::fadeRunning() const { return parts_ && parts_->fade.running(); }

}  // namespace zvui
