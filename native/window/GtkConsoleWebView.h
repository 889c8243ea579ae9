#pragma once

#include <gtkmm.h>
#include <webkit/webkit.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>

#include "support/GlibHandles.h"
#include "window/GtkConsoleDownloads.h"
#include "window/GtkConsoleNavigation.h"
#include "window/GtkDesktopHandoff.h"

namespace zvui {

// The web view that shows the console. It starts hidden and paints no background of its
// own. It runs in an ephemeral network session (no disk cache, nothing written), so a page
// from an earlier run can never be shown from a cache; pages may not open windows by
// themselves and media may play without a gesture. Once the console is live it keeps to its
// origin (ConsoleNavigation), asks before any download is written (ConsoleDownloads) and
// refuses every permission a page may ask for; what leaves the window goes through `handoff`.
class ConsoleWebView {
 public:
  explicit ConsoleWebView(DesktopHandoff handoff = {});

  // Call first thing in main(), while the process has one thread. WebKit otherwise keeps a
  // thread in the UI process that polls the system's memory every few seconds for as long
  // as a web view exists; its switch is read from the environment once, when the first web
  // view is made. The variable is set until then and removed again afterwards, so nothing
  // the app starts inherits it, and a value the user set is left as it is.
  static void quietMemoryMonitor();
  ConsoleWebView(const ConsoleWebView&) = delete;
  ConsoleWebView& operator=(const ConsoleWebView&) = delete;
  ~ConsoleWebView();

  Gtk::Widget& widget() { return *widget_; }
  [[nodiscard]] WebKitWebView* webView() const { return view_.get(); }

  // Called for every load that finished without failing. WebKit reports "finished" after
  // a failed load too, and a load it refuses outright (a blocked port, say) it reports as
  // committing about:blank and finishing; both are filtered out here.
  void setOnLoadFinished(std::function<void()> onFinished) { onFinished_ = std::move(onFinished); }

  // Starts WebKit's web and network processes now, with an empty page, so that their
  // start-up overlaps the backend's instead of following it. None of it is reported: no
  // finish, no failure, no hold on navigation. A console load asked for meanwhile starts
  // as soon as the empty page is in (or its process has gone).
  void warmUp();

  // Loads `url`. If the load goes `timeout` without progress before it finishes, it is
  // stopped, which makes it a failed load; a slow page that keeps arriving is left to load.
  void load(const std::string& url, std::chrono::milliseconds timeout);

  [[nodiscard]] bool loadTimerPending() const { return static_cast<bool>(loadTimeout_); }

 private:
  static void onLoadChanged(WebKitWebView* view, WebKitLoadEvent event, gpointer self);
  static gboolean onLoadFailed(WebKitWebView* view, WebKitLoadEvent event, gchar* uri,
                               GError* error, gpointer self);
  static void onLoadProgress(WebKitWebView* view, GParamSpec* property, gpointer self);
  static gboolean onLoadTimeout(gpointer self);
  static gboolean onPermissionRequest(WebKitWebView* view, WebKitPermissionRequest* request,
                                      gpointer self);
  void armLoadTimeout();
  void endWarmUp();

  DesktopHandoff handoff_;
  GObjectPtr<WebKitNetworkSession> session_;
  GObjectPtr<WebKitWebContext> context_;
  GObjectPtr<WebKitWebView> view_;
  Gtk::Widget* widget_ = nullptr;  // gtkmm's wrapper of view_, owned by the GObject
  std::optional<ConsoleNavigation> navigation_;
  std::optional<ConsoleDownloads> downloads_;
  SignalConnection loadChanged_;
  SignalConnection loadFailed_;
  SignalConnection loadProgress_;
  SignalConnection processGone_;
  SignalConnection permissionRequest_;
  GlibSourceId loadTimeout_;
  guint loadTimeoutMs_ = 0;
  std::string requested_;
  bool warmingUp_ = false;
  bool currentLoadFailed_ = false;
  std::function<void()> onFinished_;
};

}  // namespace zvui
