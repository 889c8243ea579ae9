#pragma once
// Input for GUI tests as a user gives it: through the X server (xdotool's XTEST), then GDK and
// GTK. Kept apart because the X11 headers' macros clash with GoogleTest's names.
#include <gtkmm.h>

#include <string>

namespace zvui::test {

[[nodiscard]] bool onX11();
// Runs xdotool with `arguments`, in which %w stands for the X id of `window`.
void xdotool(const std::string& arguments, Gtk::Window* window = nullptr);

}  // namespace zvui::test
