#include "window/GtkConsoleWebView.h"

#include <cstdlib>
#include <string_view>
#include <utility>

namespace zvui {

namespace {
constexpr const char* kMemoryMonitorSwitch = "WEBKIT_DISABLE_MEMORY_PRESSURE_MONITOR";
bool memoryMonitorSwitchIsOurs = false;
}  // namespace

void ConsoleWebView::quietMemoryMonitor() {
  if (std::getenv(kMemoryMonitorSwitch) != nullptr) return;
  memoryMonitorSwitchIsOurs = ::setenv(kMemoryMonitorSwitch, "1", 0) == 0;
}

ConsoleWebView::ConsoleWebView(DesktopHandoff handoff)
    : handoff_(std::move(handoff)),
      session_(GObjectPtr<WebKitNetworkSession>::adopt(webkit_network_session_new_ephemeral())) {
  auto settings = GObjectPtr<WebKitSettings>::adopt(webkit_settings_new());
  webkit_settings_set_javascript_can_open_windows_automatically(settings.get(), FALSE);
  webkit_settings_set_media_playback_requires_user_gesture(settings.get(), FALSE);

  // A context of our own, whose web processes watch their own memory with WebKit's default
  // memory pressure settings; see quietMemoryMonitor for the UI process's.
  const UniquePointer<WebKitMemoryPressureSettings, webkit_memory_pressure_settings_free> pressure(
      webkit_memory_pressure_settings_new());
  context_ = GObjectPtr<WebKitWebContext>::adopt(WEBKIT_WEB_CONTEXT(g_object_new(
      WEBKIT_TYPE_WEB_CONTEXT, "memory-pressure-settings", pressure.get(), nullptr)));
  if (std::exchange(memoryMonitorSwitchIsOurs, false)) ::unsetenv(kMemoryMonitorSwitch);

  view_ = GObjectPtr<WebKitWebView>::adoptSunk(WEBKIT_WEB_VIEW(
      g_object_new(WEBKIT_TYPE_WEB_VIEW, "web-context", context_.get(), "network-session",
                   session_.get(), "settings", settings.get(), nullptr)));
  const GdkRGBA transparent{0, 0, 0, 0};
  webkit_web_view_set_background_color(view_.get(), &transparent);

  widget_ = Glib::wrap(GTK_WIDGET(view_.get()));
  widget_->set_hexpand(true);
  widget_->set_vexpand(true);
  widget_->set_visible(false);

  navigation_.emplace(view_.get(), handoff_);
  downloads_.emplace(session_.get(), view_.get(), handoff_,
                     [this] { return navigation_->takeUserNavigation(); });

  loadChanged_ = SignalConnection(
      view_.get(), g_signal_connect(view_.get(), "load-changed", G_CALLBACK(&onLoadChanged), this));
  loadFailed_ = SignalConnection(
      view_.get(), g_signal_connect(view_.get(), "load-failed", G_CALLBACK(&onLoadFailed), this));
  loadProgress_ =
      SignalConnection(view_.get(), g_signal_connect(view_.get(), "notify::estimated-load-progress",
                                                     G_CALLBACK(&onLoadProgress), this));
  processGone_ = SignalConnection(
      view_.get(), g_signal_connect(view_.get(), "web-process-terminated",
                                    G_CALLBACK(+[](WebKitWebView*, WebKitWebProcessTerminationReason,
                                                   gpointer self) {
                                      // A warm-up that ends this way is over all the same.
                                      static_cast<ConsoleWebView*>(self)->endWarmUp();
                                    }),
                                    this));
  permissionRequest_ = SignalConnection(
      view_.get(), g_signal_connect(view_.get(), "permission-request",
                                    G_CALLBACK(&onPermissionRequest), this));
}

ConsoleWebView::~ConsoleWebView() = default;

void ConsoleWebView::warmUp() {
  if (warmingUp_ || !requested_.empty() || webkit_web_view_get_uri(view_.get()) != nullptr) return;
  warmingUp_ = true;
  webkit_web_view_load_html(view_.get(), "", nullptr);
}

void ConsoleWebView::load(const std::string& url, std::chrono::milliseconds timeout) {
  loadTimeoutMs_ = timeout.count() < 0 ? 0 : static_cast<guint>(timeout.count());
  armLoadTimeout();
  currentLoadFailed_ = false;
  requested_ = url;
  navigation_->release();
  // A warm-up under way is left to finish: the console's load needs the same process it is
  // starting, and one that replaced it could be confused with what is left of it.
  if (!warmingUp_) webkit_web_view_load_uri(view_.get(), url.c_str());
}

void ConsoleWebView::endWarmUp() {
  if (!std::exchange(warmingUp_, false)) return;
  if (!requested_.empty()) webkit_web_view_load_uri(view_.get(), requested_.c_str());
}

void ConsoleWebView::armLoadTimeout() {
  loadTimeout_.reset(g_timeout_add(loadTimeoutMs_, &ConsoleWebView::onLoadTimeout, this));
}

void ConsoleWebView::onLoadChanged(WebKitWebView* view, WebKitLoadEvent event, gpointer self) {
  auto* console = static_cast<ConsoleWebView*>(self);
  if (console->warmingUp_) {
    if (event == WEBKIT_LOAD_FINISHED) console->endWarmUp();
    return;
  }
  if (event == WEBKIT_LOAD_STARTED) {
    console->currentLoadFailed_ = false;
  } else if (event == WEBKIT_LOAD_COMMITTED) {
    // What WebKit commits in place of an address it will not load at all.
    const char* committed = webkit_web_view_get_uri(view);
    if (committed != nullptr && std::string_view(committed) == "about:blank" &&
        console->requested_ != "about:blank") {
      console->currentLoadFailed_ = true;
    }
  } else if (event == WEBKIT_LOAD_FINISHED) {
    console->loadTimeout_.reset();
    if (console->currentLoadFailed_) return;
    console->navigation_->holdToOrigin();
    if (console->onFinished_) console->onFinished_();
  }
}

gboolean ConsoleWebView::onLoadFailed(WebKitWebView*, WebKitLoadEvent, gchar*, GError*,
                                      gpointer self) {
  auto* console = static_cast<ConsoleWebView*>(self);
  if (!console->warmingUp_) console->currentLoadFailed_ = true;
  // Handled: no error page is loaded in its place, so nothing can later pass for the console.
  return TRUE;
}

void ConsoleWebView::onLoadProgress(WebKitWebView*, GParamSpec*, gpointer self) {
  // The limit is on a load that stalls: every sign of progress starts it afresh.
  auto* console = static_cast<ConsoleWebView*>(self);
  if (console->loadTimeout_) console->armLoadTimeout();
}

gboolean ConsoleWebView::onPermissionRequest(WebKitWebView*, WebKitPermissionRequest* request,
                                             gpointer) {
  // Every request is refused: notifications, camera, microphone, location, screen sharing,
  // pointer lock and the rest. A terminal console needs none of them, and this window has no
  // prompt or indicator to show that a page is using them, as a browser has.
  webkit_permission_request_deny(request);
  return TRUE;
}

gboolean ConsoleWebView::onLoadTimeout(gpointer self) {
  auto* console = static_cast<ConsoleWebView*>(self);
  (void)console->loadTimeout_.release();  // this source ends by returning REMOVE
  console->warmingUp_ = false;  // the console's load will not follow it now
  console->currentLoadFailed_ = true;
  webkit_web_view_stop_loading(console->view_.get());
  return G_SOURCE_REMOVE;
}

}  // namespace zvui
