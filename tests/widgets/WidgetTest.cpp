// The launch card and the titlebar strip in real windows, where a person would see things.
// Layout is awaited on the real frame clock with a deadline.
#include <gtest/gtest.h>
#include <gtkmm/init.h>

#include <fstream>

#include "launch/GtkLaunchCard.h"
#include "support/GlibWait.h"
#include "support/TestFiles.h"
#include "titlebar/GtkTitlebarStrip.h"

namespace zvui::test {
namespace {

// GTK and its C++ wrappers, brought up before the first test (not when the tests are listed).
struct WithGtk : ::testing::Environment {
  void SetUp() override {
    ASSERT_TRUE(gtk_init_check()) << "these tests need a display (run them under xvfb-run)";
    Gtk::init_gtkmm_internals();
  }
};
[[maybe_unused]] const auto* const kGtk = ::testing::AddGlobalTestEnvironment(new WithGtk);

// Waits for the next painted frame, so that anything queued before it has been laid out.
::testing::AssertionResult settle(Gtk::Widget& widget) {
  int painted = 0;
  sigc::connection connection =
      widget.get_frame_clock()->signal_paint().connect([&painted] { ++painted; });
  widget.queue_draw();
  const bool ok = iterateUntil([&painted] { return painted > 0; });
  connection.disconnect();
  return ok ? ::testing::AssertionSuccess()
            : ::testing::AssertionFailure() << "no frame was painted in time";
}

// The label under `root` that shows `text`, or null.
Gtk::Label* labelShowing(Gtk::Widget& root, const std::string& text) {
  for (Gtk::Widget* child = root.get_first_child(); child; child = child->get_next_sibling()) {
    auto* label = dynamic_cast<Gtk::Label*>(child);
    if ((label != nullptr && label->get_text().raw() == text) ||
        (label = labelShowing(*child, text)))
      return label;
  }
  return nullptr;
}

enum class Image { Valid, Missing, Undecodable };
// A small image, or bytes that only start like a PNG.
void place(const std::filesystem::path& file, Image image) {
  if (image == Image::Undecodable) std::ofstream(file) << "\x89PNG\r\n\x1a\n not an image";
  if (image != Image::Valid) return;
  const auto pixbuf = Gdk::Pixbuf::create(Gdk::Colorspace::RGB, true, 8, 20, 20);
  pixbuf->fill(0xff00ffff);
  pixbuf->save(file.string(), "png");
}

struct Images {
  const char* name;
  Image wordmark, icon;
};
class CardImages : public ::testing::TestWithParam<Images> {};

// The brand images are shown where they can be, their stand-ins where they cannot; a sentence
// with bytes that are not UTF-8 is shown with replacement characters, in its colour.
TEST_P(CardImages, ShowTheImagesOrTheirStandInsAndTheSentence) {
  const auto& row = GetParam();
  const TempDir resources;
  place(resources.path() / "BrandWordmark.png", row.wordmark);
  place(resources.path() / "BrandIcon.png", row.icon);
  LaunchCard card(resources.path());
  Gtk::Window window;
  Gtk::Widget& cover = card.widget();
  window.set_decorated(false);
  window.set_child(cover);
  window.set_default_size(1440, 920);
  window.present();
  ASSERT_TRUE(iterateUntil([&] {
    return cover.get_width() == 1440 && cover.get_height() == 920 && cover.is_drawable();
  }));
  ASSERT_TRUE(settle(cover));
  const bool wordmark = row.wordmark == Image::Valid, icon = row.icon == Image::Valid;
  EXPECT_EQ(card.showsWordmark(), wordmark);
  EXPECT_EQ(card.showsIcon(), icon);
  const auto drawn = [&](const char* text) {
    return labelShowing(cover, text) && labelShowing(cover, text)->is_drawable();
  };
  EXPECT_EQ(drawn("ZV"), !icon);
  EXPECT_EQ(drawn("ZVui"), !wordmark);

  Gtk::Label& status = card.statusLabel();
  card.setStatusText("could not start \xff" + std::string(100, 'x'));
  card.setStatusColour({0.94, 0.32, 0.32, 1.0});
  ASSERT_TRUE(settle(cover));
  EXPECT_EQ(status.get_text().raw(), "could not start \uFFFD" + std::string(100, 'x'));
  EXPECT_NEAR(status.get_style_context()->get_color().get_red(), 0.94, 0.01);
  EXPECT_NEAR(status.get_style_context()->get_color().get_blue(), 0.32, 0.01);
}

INSTANTIATE_TEST_SUITE_P(Rows, CardImages,
                         ::testing::Values(Images{"Both", Image::Valid, Image::Valid},
                                           Images{"Neither", Image::Missing, Image::Missing},
                                           Images{"IconOnly", Image::Missing, Image::Valid},
                                           Images{"WordmarkOnly", Image::Valid, Image::Missing},
                                           Images{"Undecodable", Image::Undecodable,
                                                  Image::Undecodable}),
                         RowName);

// The three capsules keep their places and sizes whatever their texts: a long text is
// ellipsized, not let out.
TEST(TitlebarStrip, CapsulesKeepTheirSizesWhateverTheText) {
  TitlebarStrip strip;
  Gtk::HeaderBar header;
  Gtk::Window window;
  Gtk::Widget& shown = strip.widget();
  header.pack_end(shown);
  window.set_titlebar(header);
  window.set_default_size(1440, 920);
  window.present();
  ASSERT_TRUE(iterateUntil([&] { return shown.is_drawable() && shown.get_width() > 0; }));
  std::vector<double> first;
  const auto expectFixed = [&](const std::string& ellipsized) {
    ASSERT_TRUE(settle(shown));
    std::vector<double> edges{double(shown.get_width()), double(shown.get_height())};
    std::string cut;
    for (Gtk::Label* label : {&strip.statusLabel(), &strip.hostLabel(), &strip.runtimeLabel()}) {
      graphene_rect_t capsule;
      ASSERT_TRUE(gtk_widget_compute_bounds(label->get_parent()->gobj(), shown.gobj(), &capsule));
      edges.insert(edges.end(), {capsule.origin.x, capsule.size.width, capsule.size.height});
      cut += label->get_layout()->is_ellipsized() ? "y" : "n";
    }
    if (first.empty()) first = edges;
    EXPECT_EQ(edges, first);
    EXPECT_EQ(cut, ellipsized);
  };
  expectFixed("nnn");
  strip.setStatusWord("live");
  strip.setHostText("BUILD-07.EXAMPLE.INTERNAL.CORP.LONG-NAME");
  strip.setRuntimeText("");
  expectFixed("nyn");
  strip.setStatusWord("SURFACE-AND-MORE");
  strip.setRuntimeText("XONSH-DEVELOPMENT");
  expectFixed("yyy");
}

}  // namespace
}  // namespace zvui::test
