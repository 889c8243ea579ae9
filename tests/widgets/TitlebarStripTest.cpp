#include <gtest/gtest.h>

#include <string>

#include "support/WidgetProbe.h"
#include "titlebar/GtkTitlebarStrip.h"

namespace zvui::test {
namespace {

// The three capsules keep their sizes whatever their texts: a long text is ellipsized.
TEST(TitlebarStrip, CapsulesKeepTheirSizesWhateverTheText) {
  TitlebarStrip strip;
  Gtk::HeaderBar header;
  Gtk::Box content;
  Gtk::Window window;
  header.pack_end(strip.widget());
  window.set_titlebar(header);
  window.set_child(content);
  window.set_default_size(1440, 920);
  window.present();
  ASSERT_TRUE(
      iterateUntil([&] { return strip.widget().is_drawable() && strip.widget().get_width(); }));
  Gtk::Label* labels[] = {&strip.statusLabel(), &strip.hostLabel(), &strip.runtimeLabel()};
  const auto expectFixed = [&](const std::string& texts, const std::string& ellipsized) {
    ASSERT_TRUE(settle(strip.widget()));
    EXPECT_EQ(strip.widget().get_width(), 88 + 6 + 156 + 6 + 96);
    EXPECT_EQ(strip.widget().get_height(), 24);
    double x = 0;
    std::string shown;
    std::string cut;
    for (Gtk::Label* label : labels) {
      const Box capsule = boundsIn(*label->get_parent(), strip.widget());
      const Box box = boundsIn(*label, strip.widget());
      EXPECT_EQ(capsule.x, x);
      EXPECT_EQ(capsule.height, 24);
      EXPECT_EQ(box.x, capsule.x + 8);  // the label fills the capsule less 8 px each side
      EXPECT_EQ(box.width, capsule.width - 16);
      EXPECT_NEAR(box.centreY(), capsule.centreY(), 1);
      EXPECT_NEAR(textBounds(*label).centreX(), box.width / 2, 1);
      x += capsule.width + 6;
      shown += label->get_text() + "|";
      cut += label->get_layout()->is_ellipsized() ? "y" : "n";
    }
    EXPECT_EQ(shown, texts);
    EXPECT_EQ(cut, ellipsized);
  };
  expectFixed("LOCAL|HOST|ZSH|", "nnn");
  strip.setStatusWord("live");
  strip.setHostText("BUILD-07.EXAMPLE.INTERNAL.CORP.LONG-NAME");
  strip.setRuntimeText("");
  expectFixed("live|BUILD-07.EXAMPLE.INTERNAL.CORP.LONG-NAME||", "nyn");
  strip.setStatusWord("SURFACE-AND-MORE");
  strip.setRuntimeText("XONSH-DEVELOPMENT");
  expectFixed("SURFACE-AND-MORE|BUILD-07.EXAMPLE.INTERNAL.CORP.LONG-NAME|XONSH-DEVELOPMENT|",
              "yyy");
  window.unset_child();
}

}  // namespace
}  // namespace zvui::test
