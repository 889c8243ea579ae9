#include <gtest/gtest.h>

#include <array>
#include <string>

#include "WidgetProbe.h"
#include "titlebar/TitlebarStrip.h"

namespace zvui::test {
namespace {

constexpr std::array<int, 3> kCapsuleWidths{88, 156, 96};

// The strip at the end of a header bar, where the window puts it.
class ShownStrip {
 public:
  ShownStrip() {
    header_.pack_end(strip_.widget());
    window_.set_titlebar(header_);
    window_.set_child(content_);
    window_.set_default_size(1440, 920);
  }
  ShownStrip(const ShownStrip&) = delete;
  ShownStrip& operator=(const ShownStrip&) = delete;

  ::testing::AssertionResult show() {
    window_.present();
    if (!spinUntil(
            [this] { return strip_.widget().is_drawable() && strip_.widget().get_width() > 0; })) {
      return ::testing::AssertionFailure() << "the strip was never laid out";
    }
    return settle(strip_.widget());
  }

  TitlebarStrip& strip() { return strip_; }
  Gtk::Widget& capsule(Gtk::Label& label) { return *label.get_parent(); }
  std::array<Gtk::Label*, 3> labels() {
    return {&strip_.statusLabel(), &strip_.hostLabel(), &strip_.runtimeLabel()};
  }

 private:
  TitlebarStrip strip_;
  Gtk::HeaderBar header_;
  Gtk::Box content_;
  Gtk::Window window_;
};

void expectFixedGeometry(ShownStrip& shown) {
  Gtk::Widget& strip = shown.strip().widget();
  EXPECT_EQ(strip.get_width(), 352);
  EXPECT_EQ(strip.get_height(), 24);
  double x = 0;
  const std::array<Gtk::Label*, 3> labels = shown.labels();
  for (std::size_t i = 0; i < labels.size(); ++i) {
    Gtk::Widget& capsule = shown.capsule(*labels[i]);
    const Box box = boundsIn(capsule, strip);
    EXPECT_EQ(box.x, x) << "capsule " << i;
    EXPECT_EQ(box.y, 0) << "capsule " << i;
    EXPECT_EQ(box.width, kCapsuleWidths[i]) << "capsule " << i;
    EXPECT_EQ(box.height, 24) << "capsule " << i;
    // The label fills the capsule less 8 px each side, and its text is centred in it.
    const Box label = boundsIn(*labels[i], strip);
    EXPECT_EQ(label.x, box.x + 8) << "capsule " << i;
    EXPECT_EQ(label.width, kCapsuleWidths[i] - 16) << "capsule " << i;
    EXPECT_NEAR(label.centreY(), box.centreY(), 1) << "capsule " << i;
    EXPECT_NEAR(textBounds(*labels[i]).centreX(), label.width / 2, 1) << "capsule " << i;
    x += box.width + 6;
  }
}

TEST(TitlebarStrip, StartsWithItsThreeWordsInFixedCapsules) {
  ShownStrip shown;
  ASSERT_TRUE(shown.show());
  EXPECT_EQ(shown.strip().statusLabel().get_text(), "LOCAL");
  EXPECT_EQ(shown.strip().hostLabel().get_text(), "HOST");
  EXPECT_EQ(shown.strip().runtimeLabel().get_text(), "ZSH");
  for (Gtk::Label* label : shown.labels()) EXPECT_FALSE(label->get_layout()->is_ellipsized());
  expectFixedGeometry(shown);
}

struct TextCase {
  const char* name;
  std::size_t capsule;  // 0 status, 1 host, 2 runtime
  const char* text;
  bool ellipsized;
};

class StripTexts : public ::testing::TestWithParam<TextCase> {};

TEST_P(StripTexts, CapsulesKeepTheirWidthsWhateverTheText) {
  const TextCase& row = GetParam();
  ShownStrip shown;
  ASSERT_TRUE(shown.show());
  TitlebarStrip& strip = shown.strip();
  switch (row.capsule) {
    case 0:
      strip.setStatusWord(row.text);
      break;
    case 1:
      strip.setHostText(row.text);
      break;
    default:
      strip.setRuntimeText(row.text);
      break;
  }
  ASSERT_TRUE(settle(strip.widget()));
  Gtk::Label& label = *shown.labels()[row.capsule];
  EXPECT_EQ(label.get_text(), row.text);
  EXPECT_EQ(label.get_layout()->is_ellipsized(), row.ellipsized);
  expectFixedGeometry(shown);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, StripTexts,
    ::testing::Values(TextCase{"LongHost", 1, "BUILD-07.EXAMPLE.INTERNAL.CORP.LONG-NAME", true},
                      TextCase{"HostThatFits", 1, "RENDER BOX 2", false},
                      TextCase{"LongStatus", 0, "SURFACE-AND-MORE", true},
                      TextCase{"LowerCaseStatus", 0, "live", false},
                      TextCase{"EmptyStatus", 0, "", false},
                      TextCase{"LongRuntime", 2, "XONSH-DEVELOPMENT", true},
                      TextCase{"EmptyRuntime", 2, "", false}),
    [](const auto& testCase) { return std::string(testCase.param.name); });

}  // namespace
}  // namespace zvui::test
