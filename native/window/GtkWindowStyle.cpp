#include "window/GtkWindowStyle.h"

#include <gtkmm.h>

namespace zvui {

namespace {

constexpr const char* kStyleSheet = R"css(
window.zvui-main, window.zvui-main > .zvui-content {
  background-color: #000000;
}
headerbar.zvui-titlebar {
  background: none;
  background-color: transparent;
  box-shadow: none;
  border: none;
  border-bottom: 1px solid rgba(255, 255, 255, 0.10);
}
headerbar.zvui-titlebar:backdrop {
  background-color: transparent;
}
)css";

}  // namespace

void installWindowStyle() {
  static bool installed = false;
  if (installed) return;
  auto display = Gdk::Display::get_default();
  if (!display) return;
  installed = true;
  if (auto settings = Gtk::Settings::get_default()) {
    settings->property_gtk_application_prefer_dark_theme() = true;
  }
  auto provider = Gtk::CssProvider::create();
  provider->load_from_data(kStyleSheet);
  Gtk::StyleContext::add_provider_for_display(display, provider,
                                              GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
}

}  // namespace zvui
