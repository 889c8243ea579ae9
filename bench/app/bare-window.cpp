// The yardstick for the app's figures: the least a GTK 4 window needs to show a page in
// WebKitGTK with the same renderer settings as ZVui's console (ephemeral session, no
// automatic windows, media without a gesture, transparent background), and nothing else.
// With --no-page it is a bare GTK 4 window and nothing more, the yardstick for the first
// frame. Either way it prints when its first frame has been drawn, on the monotonic clock,
// in the words the app uses in its debug log.
// Usage: zvui_bare_window URL | --no-page
#include <webkit/webkit.h>

#include <cstring>

namespace {

void noteFirstFrame(GdkFrameClock* clock, gpointer) {
  g_printerr("first frame drawn at %" G_GINT64_FORMAT " us (monotonic)\n", g_get_monotonic_time());
  g_signal_handlers_disconnect_by_func(clock, reinterpret_cast<gpointer>(&noteFirstFrame), nullptr);
}

void onRealize(GtkWidget* window, gpointer) {
  g_signal_connect(gtk_widget_get_frame_clock(window), "after-paint", G_CALLBACK(&noteFirstFrame),
                   nullptr);
}

void activate(GtkApplication* application, gpointer url) {
  GtkWidget* window = gtk_application_window_new(application);
  gtk_window_set_default_size(GTK_WINDOW(window), 1440, 920);
  g_signal_connect(window, "realize", G_CALLBACK(&onRealize), nullptr);
  if (std::strcmp(static_cast<const char*>(url), "--no-page") == 0) {
    gtk_window_present(GTK_WINDOW(window));
    return;
  }

  WebKitNetworkSession* session = webkit_network_session_new_ephemeral();
  WebKitSettings* settings = webkit_settings_new();
  webkit_settings_set_javascript_can_open_windows_automatically(settings, FALSE);
  webkit_settings_set_media_playback_requires_user_gesture(settings, FALSE);
  GtkWidget* view = GTK_WIDGET(g_object_new(WEBKIT_TYPE_WEB_VIEW, "network-session", session,
                                            "settings", settings, nullptr));
  g_object_unref(settings);
  g_object_unref(session);
  const GdkRGBA transparent{0, 0, 0, 0};
  webkit_web_view_set_background_color(WEBKIT_WEB_VIEW(view), &transparent);

  gtk_window_set_child(GTK_WINDOW(window), view);
  webkit_web_view_load_uri(WEBKIT_WEB_VIEW(view), static_cast<const char*>(url));
  gtk_window_present(GTK_WINDOW(window));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  GtkApplication* application =
      gtk_application_new("dev.zvui.BareWindow", G_APPLICATION_NON_UNIQUE);
  g_signal_connect(application, "activate", G_CALLBACK(activate), argv[1]);
  const int status = g_application_run(G_APPLICATION(application), 0, nullptr);
  g_object_unref(application);
  return status;
}
