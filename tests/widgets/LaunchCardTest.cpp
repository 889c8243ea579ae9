#include <gtest/gtest.h>

#include <string>

#include "WidgetProbe.h"
#include "launch/LaunchCard.h"

namespace zvui::test {
namespace {

constexpr double kCardWidth = 540;
constexpr double kCardHeight = 348;
constexpr double kCentre = kCardWidth / 2;

enum class Image { Valid, Missing, Undecodable };

constexpr std::uint32_t kIconColour = 0xff00ffff;      // magenta
constexpr std::uint32_t kWordmarkColour = 0x00ffffff;  // cyan

void place(const TempDir& dir, const char* name, Image image, int width, int height,
           std::uint32_t colour) {
  const std::filesystem::path file = dir.path() / name;
  switch (image) {
    case Image::Valid:
      writePng(file, width, height, colour);
      break;
    case Image::Undecodable:
      writeFile(file, std::string("\x89PNG\r\n\x1a\n", 8) + "this is not an image");
      break;
    case Image::Missing:
      break;
  }
}

// A launch card in an undecorated window, with the geometry a person would see.
class ShownCard {
 public:
  explicit ShownCard(const std::filesystem::path& resources)
      : card_(resources), window_(card_.widget(), 1440, 920) {}

  ::testing::AssertionResult show() { return window_.showAndLayOut(); }
  ::testing::AssertionResult resizeTo(int width, int height) {
    return window_.resizeAndLayOut(width, height);
  }
  LaunchCard& card() { return card_; }
  Gtk::Widget& cover() { return card_.widget(); }

  // The card's outline: the widget drawn at exactly the card's size.
  Box cardBox() {
    for (Gtk::Widget* widget : descendants(cover())) {
      if (widget->get_width() == kCardWidth && widget->get_height() == kCardHeight) {
        return boundsIn(*widget, cover());
      }
    }
    ADD_FAILURE() << "no 540 x 348 card in the launch view";
    return {};
  }

  // `widget` relative to the card's top-left corner.
  Box onCard(Gtk::Widget& widget) {
    const Box card = cardBox();
    Box box = boundsIn(widget, cover());
    box.x -= card.x;
    box.y -= card.y;
    return box;
  }

  Gtk::Label& label(const std::string& text) {
    Gtk::Label* found = findLabel(cover(), text);
    if (found == nullptr) throw std::runtime_error("no label \"" + text + "\"");
    return *found;
  }

  // The tile is whatever holds the monogram; its picture is the icon, the other the wordmark.
  Gtk::Widget& tile() { return *label("ZV").get_parent(); }
  Gtk::Picture& picture(bool inTile) {
    for (Gtk::Widget* widget : descendants(cover())) {
      auto* picture = dynamic_cast<Gtk::Picture*>(widget);
      if (picture != nullptr && picture->is_ancestor(tile()) == inTile) return *picture;
    }
    throw std::runtime_error("picture missing");
  }

 private:
  LaunchCard card_;
  TestWindow window_;
};

TEST(LaunchCardPlacement, CardKeepsItsSizeAndStaysCentredAsTheWindowResizes) {
  const TempDir resources;
  ShownCard shown(resources.path());
  ASSERT_TRUE(shown.show());
  struct Size {
    int width;
    int height;
  };
  for (const Size size : {Size{1440, 920}, Size{1120, 760}, Size{1900, 1180}, Size{1301, 803}}) {
    ASSERT_TRUE(shown.resizeTo(size.width, size.height));
    const Box card = shown.cardBox();
    EXPECT_EQ(card.width, kCardWidth) << size.width << "x" << size.height;
    EXPECT_EQ(card.height, kCardHeight) << size.width << "x" << size.height;
    EXPECT_NEAR(card.centreX(), size.width / 2.0, 1.0) << size.width << "x" << size.height;
    EXPECT_NEAR(card.centreY(), size.height / 2.0, 1.0) << size.width << "x" << size.height;
  }
}

struct Fallback {
  const char* name;
  Image wordmark;
  Image icon;
};

class CardFallbacks : public ::testing::TestWithParam<Fallback> {};

TEST_P(CardFallbacks, ShowsImagesOrTheirStandInsAtTheRhythmOfTheCard) {
  const Fallback& row = GetParam();
  const TempDir resources;
  place(resources, "BrandWordmark.png", row.wordmark, 640, 224, kWordmarkColour);
  place(resources, "BrandIcon.png", row.icon, 256, 256, kIconColour);
  ShownCard shown(resources.path());
  ASSERT_TRUE(shown.show());
  const bool wordmark = row.wordmark == Image::Valid;
  const bool icon = row.icon == Image::Valid;
  EXPECT_EQ(shown.card().showsWordmark(), wordmark);
  EXPECT_EQ(shown.card().showsIcon(), icon);

  // The tile: an 84 px circle 34 px from the top, the icon in a 68 px square inset 8.
  const Box tile = shown.onCard(shown.tile());
  EXPECT_EQ(tile.y, 34);
  EXPECT_EQ(tile.width, 84);
  EXPECT_EQ(tile.height, 84);
  EXPECT_NEAR(tile.centreX(), kCentre, 1);
  Gtk::Picture& iconView = shown.picture(true);
  const Box iconBox = shown.onCard(iconView);
  EXPECT_EQ(iconBox.x, tile.x + 8);
  EXPECT_EQ(iconBox.y, tile.y + 8);
  EXPECT_EQ(iconBox.width, 68);
  EXPECT_EQ(iconBox.height, 68);
  EXPECT_EQ(iconView.get_paintable() != nullptr, icon);
  Gtk::Label& monogram = shown.label("ZV");
  EXPECT_EQ(monogram.is_drawable(), !icon);
  if (!icon) {
    EXPECT_NEAR(shown.onCard(monogram).centreX(), tile.centreX(), 1);
    EXPECT_NEAR(shown.onCard(monogram).centreY(), tile.centreY(), 1);
  }

  Gtk::Label& kicker = shown.label("NATIVE MACOS COCKPIT");
  const Box kickerBox = shown.onCard(kicker);
  EXPECT_EQ(kickerBox.y, tile.bottom() + 16);

  // The name slot: the 320 x 112 wordmark box or the "ZVui" title, 8 px under the kicker.
  Gtk::Label& title = shown.label("ZVui");
  Gtk::Picture& wordmarkView = shown.picture(false);
  EXPECT_EQ(title.is_drawable(), !wordmark);
  EXPECT_EQ(wordmarkView.is_drawable(), wordmark);
  const Box slot = shown.onCard(wordmark ? static_cast<Gtk::Widget&>(wordmarkView) : title);
  EXPECT_EQ(slot.y, kickerBox.bottom() + 8);
  if (wordmark) {
    EXPECT_EQ(slot.width, 320);
    EXPECT_EQ(slot.height, 112);
  }

  const Box subtitle = shown.onCard(shown.label("local terminal surface / live telemetry"));
  EXPECT_EQ(subtitle.y, slot.bottom() + 10);
  const Box status = shown.onCard(shown.card().statusLabel());
  EXPECT_EQ(shown.card().statusLabel().get_text(), "arming local runtime");
  EXPECT_EQ(status.y, subtitle.bottom() + 14);
  for (const Box& box : {kickerBox, slot, subtitle, status}) {
    EXPECT_NEAR(box.centreX(), kCentre, 1);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Images, CardFallbacks,
    ::testing::Values(Fallback{"Both", Image::Valid, Image::Valid},
                      Fallback{"Neither", Image::Missing, Image::Missing},
                      Fallback{"IconOnly", Image::Missing, Image::Valid},
                      Fallback{"WordmarkOnly", Image::Valid, Image::Missing},
                      Fallback{"UndecodableWordmark", Image::Undecodable, Image::Valid},
                      Fallback{"UndecodableIcon", Image::Valid, Image::Undecodable}),
    [](const auto& testCase) { return std::string(testCase.param.name); });

bool near(const Pixel& pixel, std::uint32_t rgba) {
  auto close = [](int a, std::uint32_t b) { return std::abs(a - static_cast<int>(b & 0xff)) < 24; };
  return pixel.alpha > 200 && close(pixel.red, rgba >> 24) && close(pixel.green, rgba >> 16) &&
         close(pixel.blue, rgba >> 8);
}

TEST(LaunchCardImages, IconIsCutToACircleAndSmallWordmarksAreScaledUp) {
  const TempDir resources;
  // Same proportions as the box, a tenth of its size.
  place(resources, "BrandWordmark.png", Image::Valid, 32, 11, kWordmarkColour);
  place(resources, "BrandIcon.png", Image::Valid, 20, 20, kIconColour);
  ShownCard shown(resources.path());
  ASSERT_TRUE(shown.show());
  const Rendering pixels(shown.cover());

  const Box icon = boundsIn(shown.picture(true), shown.cover());
  EXPECT_TRUE(near(pixels.at(static_cast<int>(icon.centreX()), static_cast<int>(icon.centreY())),
                   kIconColour));
  // Just inside the square's corner, but outside its circle.
  EXPECT_FALSE(
      near(pixels.at(static_cast<int>(icon.x) + 3, static_cast<int>(icon.y) + 3), kIconColour));

  const Box wordmark = boundsIn(shown.picture(false), shown.cover());
  for (int x : {static_cast<int>(wordmark.x) + 6, static_cast<int>(wordmark.right()) - 6}) {
    EXPECT_TRUE(near(pixels.at(x, static_cast<int>(wordmark.centreY())), kWordmarkColour))
        << "the wordmark does not reach x=" << x;
  }
}

// True when some pixel of the label's text is clearly red.
bool drawsRed(ShownCard& shown) {
  const Rendering pixels(shown.cover());
  Gtk::Label& status = shown.card().statusLabel();
  const Box text = textBounds(status);
  const Box label = boundsIn(status, shown.cover());
  for (int y = static_cast<int>(label.y + text.y); y < label.y + text.bottom(); ++y) {
    for (int x = static_cast<int>(label.x + text.x); x < label.x + text.right(); ++x) {
      const Pixel pixel = pixels.at(x, y);
      if (pixel.red > 150 && pixel.red > 2 * pixel.green) return true;
    }
  }
  return false;
}

TEST(LaunchCardStatus, SentenceChangesTextAndColour) {
  const TempDir resources;
  ShownCard shown(resources.path());
  ASSERT_TRUE(shown.show());
  Gtk::Label& status = shown.card().statusLabel();
  const Gdk::RGBA grey = status.get_style_context()->get_color();
  EXPECT_NEAR(grey.get_red(), 0.62, 0.01);
  EXPECT_NEAR(grey.get_green(), 0.62, 0.01);
  EXPECT_NEAR(grey.get_alpha(), 1.0, 0.01);
  EXPECT_FALSE(drawsRed(shown));

  shown.card().setStatusText("could not start backend");
  shown.card().setStatusColour({0.94, 0.32, 0.32, 1.0});
  ASSERT_TRUE(settle(shown.cover()));
  EXPECT_EQ(status.get_text(), "could not start backend");
  const Gdk::RGBA red = status.get_style_context()->get_color();
  EXPECT_NEAR(red.get_red(), 0.94, 0.01);
  EXPECT_NEAR(red.get_green(), 0.32, 0.01);
  EXPECT_NEAR(red.get_blue(), 0.32, 0.01);
  EXPECT_TRUE(drawsRed(shown));
  EXPECT_NEAR(shown.onCard(status).centreX(), kCentre, 1);
}

TEST(LaunchCardStatus, LongSentenceStaysOneCentredLineWiderThanTheCard) {
  const TempDir resources;
  ShownCard shown(resources.path());
  ASSERT_TRUE(shown.show());
  Gtk::Label& status = shown.card().statusLabel();
  const double lineHeight = status.get_height();

  const std::string sentence(120, 'x');
  shown.card().setStatusText(sentence);
  ASSERT_TRUE(settle(shown.cover()));
  const Box box = shown.onCard(status);
  EXPECT_GT(box.width, kCardWidth);
  EXPECT_EQ(box.height, lineHeight);
  EXPECT_NEAR(box.centreX(), kCentre, 1);
  EXPECT_FALSE(status.get_layout()->is_ellipsized());
  EXPECT_FALSE(status.get_layout()->is_wrapped());
  EXPECT_EQ(status.get_layout()->get_line_count(), 1);
  EXPECT_EQ(shown.cardBox().width, kCardWidth);
  EXPECT_EQ(shown.cover().get_width(), 1440);
}

TEST(LaunchCardStatus, InvalidUtf8IsShownWithReplacementCharacters) {
  const TempDir resources;
  LaunchCard card(resources.path());
  card.setStatusText("bad \xff byte");
  EXPECT_EQ(card.statusLabel().get_text(), "bad \xef\xbf\xbd byte");
}

}  // namespace
}  // namespace zvui::test
