#include <gtest/gtest.h>

#include "support/WidgetProbe.h"
#include "titlebar/GtkTitlebarStrip.h"

namespace zvui::test {
namespace {

// The three capsules keep their places and sizes whatever their texts: a long text is
// ellipsized, a short one centred.
TEST(TitlebarStrip, CapsulesKeepTheirSizesWhateverTheText) {
  TitlebarStrip strip;
  Gtk::HeaderBar header;
  Gtk::Window window;
  header.pack_end(strip.widget());
  window.set_titlebar(header);
  window.set_default_size(1440, 920);
  window.present();
  ASSERT_TRUE(iterateUntil([&] { return strip.widget().is_drawable() && strip.widget().get_width(); }));
  Gtk::Label* labels[] = {&strip.statusLabel(), &strip.hostLabel(), &strip.runtimeLabel()};
  const auto layout = [&] {
    std::vector<double> edges{strip.widget().get_width() * 1.0, strip.widget().get_height() * 1.0};
    for (Gtk::Label* label : labels) {
      const Box capsule = boundsIn(*label->get_parent(), strip.widget());
      edges.insert(edges.end(), {capsule.x, capsule.width, capsule.height});
    }
    return edges;
  };
  ASSERT_TRUE(settle(strip.widget()));
  const std::vector<double> first = layout();
  const auto expectFixed = [&](const std::string& texts, const std::string& ellipsized) {
    ASSERT_TRUE(settle(strip.widget()));
    EXPECT_EQ(layout(), first);
    std::string shown, cut;
    for (Gtk::Label* label : labels) {
      const Box capsule = boundsIn(*label->get_parent(), strip.widget());
      const Box box = boundsIn(*label, strip.widget());
      EXPECT_NEAR(box.centreX(), capsule.centreX(), 1);
      EXPECT_NEAR(box.centreY(), capsule.centreY(), 1);
      EXPECT_NEAR(textBounds(*label).centreX(), box.width / 2, 1);
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
  expectFixed("SURFACE-AND-MORE|BUILD-07.EXAMPLE.INTERNAL.CORP.LONG-NAME|XONSH-DEVELOPMENT|", "yyy");
}

}  // namespace
}  // namespace zvui::test
