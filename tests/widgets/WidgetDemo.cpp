// Shows the launch card and the titlebar strip in a 1440 x 920 window for a look by eye or a
// screenshot: zvui_widget_demo <resource-dir> [status sentence] [red]
#include <gtkmm.h>
#include <gtkmm/init.h>

#include <cstring>
#include <string>

#include "launch/LaunchCard.h"
#include "titlebar/TitlebarStrip.h"

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  gtk_init();
  Gtk::init_gtkmm_internals();
  zvui::LaunchCard card(argv[1]);
  zvui::TitlebarStrip strip;
  if (argc > 2) card.setStatusText(argv[2]);
  if (argc > 3 && std::strcmp(argv[3], "red") == 0) {
    card.setStatusColour({0.94, 0.32, 0.32, 1.0});
    strip.setStatusWord("ERROR");
  }
  strip.setHostText("RENDER BOX 2 WITH A VERY LONG HOST NAME");
  strip.setRuntimeText("BASH");

  Gtk::HeaderBar header;
  header.pack_end(strip.widget());
  Gtk::Window window;
  window.set_titlebar(header);
  window.set_child(card.widget());
  window.set_default_size(1440, 920);
  window.present();
  Glib::RefPtr<Glib::MainLoop> loop = Glib::MainLoop::create();
  window.signal_close_request().connect(
      [loop] {
        loop->quit();
        return false;
      },
      false);
  loop->run();
  window.unset_child();
  return 0;
}
