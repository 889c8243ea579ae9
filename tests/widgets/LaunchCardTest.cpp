#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <utility>

#include "support/WidgetProbe.h"
#include "launch/GtkLaunchCard.h"

namespace zvui::test {
namespace {

constexpr double kCentre = 540 / 2.0;
enum class Image { Valid, Missing, Undecodable };

// A solid image of `rgba` (0xRRGGBBAA), or bytes that only start like a PNG.
void place(const std::filesystem::path& file, Image image, int width, int height,
           std::uint32_t rgba) {
  if (image == Image::Undecodable) std::ofstream(file) << "\x89PNG\r\n\x1a\n not an image";
  if (image != Image::Valid) return;
  const auto pixbuf = Gdk::Pixbuf::create(Gdk::Colorspace::RGB, true, 8, width, height);
  pixbuf->fill(rgba);
  pixbuf->save(file.string(), "png");
}

// A launch card in an undecorated window, measured from the card's top-left corner.
struct ShownCard {
  explicit ShownCard(const std::filesystem::path& resources) : card(resources) {
    window.set_decorated(false);
    window.set_child(card.widget());
  }
  ~ShownCard() { window.unset_child(); }
  Gtk::Widget& cover() { return card.widget(); }
  Box cardBox() {
    Gtk::Widget* found =
        find(cover(), [](auto& w) { return w.get_width() == 540 && w.get_height() == 348; });
    return found ? boundsIn(*found, cover()) : Box{};
  }
  Box onCard(Gtk::Widget& widget) {
    Box box = boundsIn(widget, cover());
    box.x -= cardBox().x;
    box.y -= cardBox().y;
    return box;
  }
  Gtk::Label& label(const std::string& text) {
    Gtk::Widget* found = find(cover(), [&](auto& w) {
      auto* label = dynamic_cast<Gtk::Label*>(&w);
      return label && label->get_text().raw() == text;
    });
    if (!found) throw std::runtime_error("no label \"" + text + "\"");
    return static_cast<Gtk::Label&>(*found);
  }

  LaunchCard card;
  Gtk::Window window;
};

struct Images {
  const char* name;
  Image wordmark, icon;
};

class CardImages : public ::testing::TestWithParam<Images> {};

// Close enough to an opaque colour given as 0xRRGGBBAA, for a pixel in 0xAARRGGBB.
bool near(std::uint32_t argb, std::uint32_t rgba) {
  for (int shift : {0, 8, 16}) {
    if (std::abs(int((argb >> shift) & 0xff) - int((rgba >> (shift + 8)) & 0xff)) > 24)
      return false;
  }
  return (argb >> 24) > 200;
}

TEST_P(CardImages, ShowTheImagesOrTheirStandInsAtTheCardsRhythm) {
  const auto& row = GetParam();
  const TempDir resources;
  // A tenth of their boxes' size: they fill the boxes only when scaled up.
  place(resources.path() / "BrandWordmark.png", row.wordmark, 32, 11, 0x00ffffff);
  place(resources.path() / "BrandIcon.png", row.icon, 20, 20, 0xff00ffff);
  ShownCard shown(resources.path());
  ASSERT_TRUE(showAt(shown.window, shown.cover(), 1440, 920));
  const bool wordmark = row.wordmark == Image::Valid;
  const bool icon = row.icon == Image::Valid;
  EXPECT_EQ(shown.card.showsWordmark(), wordmark);
  EXPECT_EQ(shown.card.showsIcon(), icon);

  // The 84 px tile holds the icon in a 68 px circle inset 8, or else the monogram, centred.
  Gtk::Label& monogram = shown.label("ZV");
  Gtk::Widget& tile = *monogram.get_parent();
  const auto picture = [&](bool inTile) {
    return find(shown.cover(), [&](auto& w) {
      return dynamic_cast<Gtk::Picture*>(&w) && w.is_ancestor(tile) == inTile;
    });
  };
  const Box tileBox = shown.onCard(tile);
  const Box iconBox = shown.onCard(*picture(true));
  EXPECT_EQ(tileBox.width, 84);
  EXPECT_EQ(tileBox.height, 84);
  EXPECT_EQ(iconBox.x, tileBox.x + 8);
  EXPECT_EQ(iconBox.y, tileBox.y + 8);
  EXPECT_EQ(iconBox.width, 68);
  EXPECT_EQ(iconBox.height, 68);
  EXPECT_EQ(monogram.is_drawable(), !icon);
  if (!icon) {
    EXPECT_NEAR(shown.onCard(monogram).centreY(), tileBox.centreY(), 1);
  }

  // Rows down the centre line at fixed gaps; the wordmark's 320 x 112 box or the title
  // takes the name slot.
  Gtk::Widget& slot = wordmark ? *picture(false) : shown.label("ZVui");
  EXPECT_EQ(shown.label("ZVui").is_drawable(), !wordmark);
  const std::pair<Gtk::Widget*, double> rows[] = {
      {&tile, 34},
      {&shown.label("NATIVE MACOS COCKPIT"), 16},
      {&slot, 8},
      {&shown.label("local terminal surface / live telemetry"), 10},
      {&shown.card.statusLabel(), 14}};
  double bottom = 0;
  for (const auto& [widget, gap] : rows) {
    const Box box = shown.onCard(*widget);
    EXPECT_EQ(box.y, bottom + gap);
    EXPECT_NEAR(box.centreX(), kCentre, 1);
    bottom = box.bottom();
  }

  // The icon is cut to its circle; the small wordmark is drawn across its whole box.
  const std::vector<std::uint32_t> pixels = render(shown.cover());
  const auto at = [&](double x, double y) {
    return pixels.at(std::size_t(y) * 1440 + std::size_t(x));
  };
  const Box i = boundsIn(*picture(true), shown.cover());
  EXPECT_EQ(near(at(i.centreX(), i.centreY()), 0xff00ffff), icon);
  EXPECT_FALSE(near(at(i.x + 3, i.y + 3), 0xff00ffff));
  const Box w = boundsIn(*picture(false), shown.cover());
  if (wordmark) {
    EXPECT_EQ(w.width, 320);
    EXPECT_EQ(w.height, 112);
    EXPECT_TRUE(near(at(w.x + 6, w.centreY()), 0x00ffffff));
    EXPECT_TRUE(near(at(w.x + w.width - 6, w.centreY()), 0x00ffffff));
  }
}

INSTANTIATE_TEST_SUITE_P(Rows, CardImages,
                         ::testing::Values(Images{"Both", Image::Valid, Image::Valid},
                                           Images{"Neither", Image::Missing, Image::Missing},
                                           Images{"IconOnly", Image::Missing, Image::Valid},
                                           Images{"WordmarkOnly", Image::Valid, Image::Missing},
                                           Images{"Undecodable", Image::Undecodable,
                                                  Image::Undecodable}),
                         [](const auto& row) { return std::string(row.param.name); });

TEST(LaunchCard, SentenceChangesTextAndColourAndMayOverflowTheCard) {
  const TempDir resources;
  ShownCard shown(resources.path());
  ASSERT_TRUE(showAt(shown.window, shown.cover(), 1440, 920));
  Gtk::Label& status = shown.card.statusLabel();
  const double lineHeight = status.get_height();
  EXPECT_EQ(status.get_text(), "arming local runtime");
  EXPECT_NEAR(status.get_style_context()->get_color().get_red(), 0.62, 0.01);
  EXPECT_NEAR(status.get_style_context()->get_color().get_blue(), 0.62, 0.01);

  shown.card.setStatusText("could not start \xff" + std::string(100, 'x'));
  shown.card.setStatusColour({0.94, 0.32, 0.32, 1.0});
  ASSERT_TRUE(settle(shown.cover()));
  EXPECT_EQ(status.get_text().raw(), "could not start \uFFFD" + std::string(100, 'x'));
  EXPECT_NEAR(status.get_style_context()->get_color().get_red(), 0.94, 0.01);
  EXPECT_NEAR(status.get_style_context()->get_color().get_blue(), 0.32, 0.01);
  // One line as wide as its text, centred on the card, which keeps its size.
  const Box box = shown.onCard(status);
  EXPECT_GT(box.width, 540);
  EXPECT_EQ(box.height, lineHeight);
  EXPECT_NEAR(box.centreX(), kCentre, 1);
  EXPECT_FALSE(status.get_layout()->is_ellipsized());
  EXPECT_EQ(shown.cardBox().width, 540);
}

}  // namespace
}  // namespace zvui::test
