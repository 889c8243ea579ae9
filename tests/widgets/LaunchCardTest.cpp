// The launch card as drawn: its brand images or their stand-ins, and its sentence.
#include <gtest/gtest.h>

#include <fstream>

#include "launch/GtkLaunchCard.h"
#include "support/WidgetProbe.h"

namespace zvui::test {
namespace {

enum class Image { Valid, Missing, Undecodable };

// A solid image of `rgba` (0xRRGGBBAA), or bytes that only start like a PNG.
void place(const std::filesystem::path& file, Image image, int width, int height, std::uint32_t rgba) {
  if (image == Image::Undecodable) std::ofstream(file) << "\x89PNG\r\n\x1a\n not an image";
  if (image != Image::Valid) return;
  const auto pixbuf = Gdk::Pixbuf::create(Gdk::Colorspace::RGB, true, 8, width, height);
  pixbuf->fill(rgba);
  pixbuf->save(file.string(), "png");
}

// Close enough to an opaque colour given as 0xRRGGBBAA, for a pixel in 0xAARRGGBB.
bool near(std::uint32_t argb, std::uint32_t rgba) {
  for (int shift : {0, 8, 16}) {
    if (std::abs(int((argb >> shift) & 0xff) - int((rgba >> (shift + 8)) & 0xff)) > 24) return false;
  }
  return (argb >> 24) > 200;
}

// A launch card in an undecorated 1440 x 920 window.
struct ShownCard {
  explicit ShownCard(const std::filesystem::path& resources) : card(resources) {
    window.set_decorated(false);
    window.set_child(card.widget());
  }
  ~ShownCard() { window.unset_child(); }
  Gtk::Widget& cover() { return card.widget(); }
  Gtk::Label& label(const std::string& text) {
    Gtk::Widget* found = find(cover(), [&](auto& w) {
      auto* label = dynamic_cast<Gtk::Label*>(&w);
      return label && label->get_text().raw() == text;
    });
    if (!found) throw std::runtime_error("no label \"" + text + "\"");
    return static_cast<Gtk::Label&>(*found);
  }
  Gtk::Widget& picture(bool inTile) {  // the icon's (in the monogram's tile) or the wordmark's
    Gtk::Widget& tile = *label("ZV").get_parent();
    return *find(cover(), [&](auto& w) { return dynamic_cast<Gtk::Picture*>(&w) && w.is_ancestor(tile) == inTile; });
  }

  LaunchCard card;
  Gtk::Window window;
};

struct Images {
  const char* name;
  Image wordmark, icon;
};
class CardImages : public ::testing::TestWithParam<Images> {};

TEST_P(CardImages, ShowTheImagesOrTheirStandIns) {
  const auto& row = GetParam();
  const TempDir resources;
  // A tenth of their boxes' size: they fill the boxes only when scaled up.
  place(resources.path() / "BrandWordmark.png", row.wordmark, 32, 11, 0x00ffffff);
  place(resources.path() / "BrandIcon.png", row.icon, 20, 20, 0xff00ffff);
  ShownCard shown(resources.path());
  ASSERT_TRUE(showAt(shown.window, shown.cover(), 1440, 920));
  const bool wordmark = row.wordmark == Image::Valid, icon = row.icon == Image::Valid;
  EXPECT_EQ(shown.card.showsWordmark(), wordmark);
  EXPECT_EQ(shown.card.showsIcon(), icon);
  EXPECT_EQ(shown.label("ZV").is_drawable(), !icon);
  EXPECT_EQ(shown.label("ZVui").is_drawable(), !wordmark);

  // Rows down the centre line, each below the one before, all on the card.
  const Box card = boundsIn(*shown.cover().get_first_child(), shown.cover());
  double bottom = card.y;
  Gtk::Widget* rows[] = {shown.label("ZV").get_parent(), &shown.label("NATIVE MACOS COCKPIT"),
                         wordmark ? &shown.picture(false) : &shown.label("ZVui"),
                         &shown.label("local terminal surface / live telemetry"), &shown.card.statusLabel()};
  for (Gtk::Widget* widget : rows) {
    const Box box = boundsIn(*widget, shown.cover());
    EXPECT_GT(box.y, bottom);
    EXPECT_NEAR(box.centreX(), card.centreX(), 1);
    bottom = box.bottom();
  }
  EXPECT_LT(bottom, card.bottom());

  // The icon is cut to its circle; the small wordmark is drawn across its whole box.
  const std::vector<std::uint32_t> pixels = render(shown.cover());
  const auto at = [&](double x, double y) { return pixels.at(std::size_t(y) * 1440 + std::size_t(x)); };
  const Box i = boundsIn(shown.picture(true), shown.cover());
  EXPECT_EQ(near(at(i.centreX(), i.centreY()), 0xff00ffff), icon);
  EXPECT_FALSE(near(at(i.x + 3, i.y + 3), 0xff00ffff));
  const Box w = boundsIn(shown.picture(false), shown.cover());
  if (wordmark) {
    EXPECT_TRUE(near(at(w.x + 6, w.centreY()), 0x00ffffff));
    EXPECT_TRUE(near(at(w.x + w.width - 6, w.centreY()), 0x00ffffff));
  }
}

INSTANTIATE_TEST_SUITE_P(Rows, CardImages,
                         ::testing::Values(Images{"Both", Image::Valid, Image::Valid},
                                           Images{"Neither", Image::Missing, Image::Missing},
                                           Images{"IconOnly", Image::Missing, Image::Valid},
                                           Images{"WordmarkOnly", Image::Valid, Image::Missing},
                                           Images{"Undecodable", Image::Undecodable, Image::Undecodable}),
                         RowName);

TEST(LaunchCard, SentenceChangesTextAndColourAndMayOverflowTheCard) {
  const TempDir resources;
  ShownCard shown(resources.path());
  ASSERT_TRUE(showAt(shown.window, shown.cover(), 1440, 920));
  Gtk::Label& status = shown.card.statusLabel();
  const double lineHeight = status.get_height();
  const Box card = boundsIn(*shown.cover().get_first_child(), shown.cover());
  shown.card.setStatusText("could not start \xff" + std::string(100, 'x'));
  shown.card.setStatusColour({0.94, 0.32, 0.32, 1.0});
  ASSERT_TRUE(settle(shown.cover()));
  EXPECT_EQ(status.get_text().raw(), "could not start \uFFFD" + std::string(100, 'x'));
  EXPECT_NEAR(status.get_style_context()->get_color().get_red(), 0.94, 0.01);
  EXPECT_NEAR(status.get_style_context()->get_color().get_blue(), 0.32, 0.01);
  // One line as wide as its text, centred on the card, which keeps its size.
  const Box box = boundsIn(status, shown.cover());
  EXPECT_GT(box.width, card.width);
  EXPECT_EQ(box.height, lineHeight);
  EXPECT_NEAR(box.centreX(), card.centreX(), 1);
  EXPECT_FALSE(status.get_layout()->is_ellipsized());
  EXPECT_EQ(boundsIn(*shown.cover().get_first_child(), shown.cover()).width, card.width);
}

}  // namespace
}  // namespace zvui::test
