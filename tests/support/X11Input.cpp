#include "support/X11Input.h"

#include "support/GuiSupport.h"
// After every gtkmm header: Xlib's macros break them.
#include <gdk/x11/gdkx.h>

#include <cstdlib>

namespace zvui::test {

bool onX11() {
  application();
  return GDK_IS_X11_DISPLAY(gdk_display_get_default());
}

void xdotool(const std::string& arguments, Gtk::Window* window) {
  std::string command = "xdotool " + arguments;
  if (window != nullptr) {
    const auto id = gdk_x11_surface_get_xid(gtk_native_get_surface(GTK_NATIVE(window->gobj())));
    for (std::size_t at; (at = command.find("%w")) != std::string::npos;)
      command.replace(at, 2, std::to_string(id));
  }
  (void)!std::system(command.c_str());
}

}  // namespace zvui::test
