// The launch card and the titlebar strip in real windows, painted, with leaks checked.
#include <gtest/gtest.h>
#include <gtkmm/init.h>

#include <fstream>

#include "launch/GtkLaunchCard.h"
#include "support/GlibWait.h"
#include "support/TestFiles.h"
#include "titlebar/GtkTitlebarStrip.h"

namespace zvui::test {
namespace {

// Shows `window` and waits for it to paint a frame.
bool painted(Gtk::Window& window) {
  window.set_default_size(1440, 920);
  window.present();
  if (!iterateUntil([&] { return window.is_drawable(); })) return false;
  const gint64 frame = window.get_frame_clock()->get_frame_counter();
  window.queue_draw();  // the counter moves as a frame starts, and the frame paints in one go
  return iterateUntil([&] { return window.get_frame_clock()->get_frame_counter() > frame; });
}

// The card and the strip in one window, painted. The brand images are shown where they can be,
// their stand-in where one is not an image; texts with bytes that are not UTF-8, as a backend's
// output may be, are shown with replacement characters; the sentence in the colour it is given.
TEST(LaunchCardAndStrip, ShowWhatTheyCanAndTextsMadeValid) {
  ASSERT_TRUE(gtk_init_check()) << "these tests need a display (run them under xvfb-run)";
  Gtk::init_gtkmm_internals();
  const TempDir resources;
  std::ofstream(resources.path() / "BrandWordmark.png") << "\x89PNG\r\n\x1a\n not an image";
  const auto pixbuf = Gdk::Pixbuf::create(Gdk::Colorspace::RGB, true, 8, 20, 20);
  pixbuf->fill(0xff00ffff);
  pixbuf->save((resources.path() / "BrandIcon.png").string(), "png");
  LaunchCard card(resources.path());
  TitlebarStrip strip;
  Gtk::HeaderBar header;
  Gtk::Window window;
  header.pack_end(strip.widget());
  window.set_titlebar(header);
  window.set_child(card.widget());
  ASSERT_TRUE(painted(window));
  EXPECT_FALSE(card.showsWordmark());
  EXPECT_TRUE(card.showsIcon());
  card.setStatusText("could not start \xff" + std::string(100, 'x'));
  card.setStatusColour({0.94, 0.32, 0.32, 1.0});
  strip.setStatusWord("live\xc3");
  strip.setHostText("BUILD-07.EXAMPLE.INTERNAL.CORP.LONG-NAME\xff");
  ASSERT_TRUE(painted(window));
  const Gtk::Label& status = card.statusLabel();
  EXPECT_EQ(status.get_text().raw(), "could not start \uFFFD" + std::string(100, 'x'));
  EXPECT_NEAR(status.get_style_context()->get_color().get_red(), 0.94, 0.01);
  EXPECT_NEAR(status.get_style_context()->get_color().get_blue(), 0.32, 0.01);
  EXPECT_EQ(strip.statusLabel().get_text().raw(), "live\uFFFD");
  EXPECT_EQ(strip.hostLabel().get_text().raw(), "BUILD-07.EXAMPLE.INTERNAL.CORP.LONG-NAME\uFFFD");
}

}  // namespace
}  // namespace zvui::test
