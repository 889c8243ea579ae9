#pragma once

#include <webkit/webkit.h>

#include <string>

#include "support/GlibHandles.h"

namespace zvui {

struct DesktopHandoff;

// Keeps the console's window on the console. Until the console is live, navigation is
// WebKit's own (the console request and its redirects). From then on, the main frame stays on
// the origin of the page on screen: a link to another origin that the user clicked is handed
// to the desktop (http and https only) and not followed; any other main-frame navigation to
// another origin is dropped when its response arrives, so frames inside the page may still
// load what they like. Requests for a new window never create one: the user's own (a click,
// or window.open from one) are handed to the desktop like links, the rest dropped.
class ConsoleNavigation {
 public:
  ConsoleNavigation(WebKitWebView* view, const DesktopHandoff& handoff);
  ConsoleNavigation(const ConsoleNavigation&) = delete;
  ConsoleNavigation& operator=(const ConsoleNavigation&) = delete;
  ~ConsoleNavigation();

  // The console is live: the rules above hold from now on, until the app loads a console
  // again (`release`), whose request and redirects are then WebKit's own until it is live.
  void holdToOrigin() { live_ = true; }
  void release() { live_ = false; }

  // Whether the last navigation WebKit let go ahead was the user's doing, as a download it
  // turns into must be. Reading it uses it up: one gesture, one download.
  [[nodiscard]] bool takeUserNavigation() { return std::exchange(userNavigation_, false); }

 private:
  static gboolean onDecidePolicy(WebKitWebView* view, WebKitPolicyDecision* decision,
                                 WebKitPolicyDecisionType type, gpointer self);
  static void onLoadChanged(WebKitWebView* view, WebKitLoadEvent event, gpointer self);
  static GtkWidget* onCreate(WebKitWebView* view, WebKitNavigationAction* action, gpointer self);
  bool decideNavigation(WebKitPolicyDecision* decision, bool newWindow);
  bool decideResponse(WebKitResponsePolicyDecision* decision);
  void handOn(const char* address);

  WebKitWebView* view_;
  const DesktopHandoff& handoff_;
  SignalConnection decidePolicy_;
  SignalConnection loadChanged_;
  SignalConnection create_;
  std::string pageAddress_;  // the page on screen: the last committed load
  bool live_ = false;
  bool userNavigation_ = false;
};

}  // namespace zvui
