#include "window/GtkConsoleNavigation.h"

#include <gtkmm.h>

#include "window/GtkDesktopHandoff.h"
#include "window/WebOrigin.h"

namespace zvui {

ConsoleNavigation::ConsoleNavigation(WebKitWebView* view, const DesktopHandoff& handoff)
    : view_(view), handoff_(handoff) {
  decidePolicy_ = SignalConnection(
      view, g_signal_connect(view, "decide-policy", G_CALLBACK(&onDecidePolicy), this));
  loadChanged_ = SignalConnection(
      view, g_signal_connect(view, "load-changed", G_CALLBACK(&onLoadChanged), this));
  create_ = SignalConnection(view, g_signal_connect(view, "create", G_CALLBACK(&onCreate), this));
}

ConsoleNavigation::~ConsoleNavigation() = default;

gboolean ConsoleNavigation::onDecidePolicy(WebKitWebView*, WebKitPolicyDecision* decision,
                                           WebKitPolicyDecisionType type, gpointer self) {
  auto* navigation = static_cast<ConsoleNavigation*>(self);
  switch (type) {
    case WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION:
      return navigation->decideNavigation(decision, false);
    case WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION:
      return navigation->decideNavigation(decision, true);
    case WEBKIT_POLICY_DECISION_TYPE_RESPONSE:
      return navigation->decideResponse(WEBKIT_RESPONSE_POLICY_DECISION(decision));
  }
  return FALSE;
}

bool ConsoleNavigation::decideNavigation(WebKitPolicyDecision* decision, bool newWindow) {
  WebKitNavigationAction* action = webkit_navigation_policy_decision_get_navigation_action(
      WEBKIT_NAVIGATION_POLICY_DECISION(decision));
  const char* address = webkit_uri_request_get_uri(webkit_navigation_action_get_request(action));
  const bool byUser = webkit_navigation_action_is_user_gesture(action) != FALSE;
  if (newWindow) {
    if (byUser) handOn(address);
    webkit_policy_decision_ignore(decision);
    return true;
  }
  // WebKit does not say which frame a navigation is for, but a clicked link is the user's
  // wish to go there wherever it sits; other navigations wait for their response.
  if (live_ && byUser &&
      webkit_navigation_action_get_navigation_type(action) == WEBKIT_NAVIGATION_TYPE_LINK_CLICKED &&
      !sameWebOrigin(address != nullptr ? address : "", pageAddress_)) {
    handOn(address);
    webkit_policy_decision_ignore(decision);
    return true;
  }
  userNavigation_ = byUser;
  return false;  // WebKit's own answer: go ahead
}

bool ConsoleNavigation::decideResponse(WebKitResponsePolicyDecision* decision) {
  if (!live_ || !webkit_response_policy_decision_is_main_frame_main_resource(decision))
    return false;
  const char* address =
      webkit_uri_request_get_uri(webkit_response_policy_decision_get_request(decision));
  if (sameWebOrigin(address != nullptr ? address : "", pageAddress_)) return false;
  webkit_policy_decision_ignore(WEBKIT_POLICY_DECISION(decision));
  return true;
}

void ConsoleNavigation::handOn(const char* address) {
  if (address == nullptr || !mayHandToDesktop(address)) return;
  handoff_.openAddress(windowOf(view_), address);
}

void ConsoleNavigation::onLoadChanged(WebKitWebView* view, WebKitLoadEvent event, gpointer self) {
  if (event != WEBKIT_LOAD_COMMITTED) return;
  const char* address = webkit_web_view_get_uri(view);
  static_cast<ConsoleNavigation*>(self)->pageAddress_ = address != nullptr ? address : "";
}

GtkWidget* ConsoleNavigation::onCreate(WebKitWebView*, WebKitNavigationAction* action,
                                       gpointer self) {
  // window.open() asks here without a policy decision first.
  if (webkit_navigation_action_is_user_gesture(action))
    static_cast<ConsoleNavigation*>(self)->handOn(
        webkit_uri_request_get_uri(webkit_navigation_action_get_request(action)));
  return nullptr;  // never a second web view
}

}  // namespace zvui
