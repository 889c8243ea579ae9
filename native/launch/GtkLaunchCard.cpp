#include "launch/GtkLaunchCard.h"

#include <gtk/gtk.h>

#include "support/LaunchPhases.h"
#include "launch/GtkBrandImages.h"
#include "launch/GtkCardColumn.h"
#include "support/GtkWidgetStyle.h"

namespace zvui {
namespace {

constexpr int kCardWidth = 540;
constexpr int kCardHeight = 348;
constexpr int kTileSide = 84;
constexpr int kWordmarkWidth = 320;
constexpr int kWordmarkHeight = 112;

// Greys are the card's white levels times 255. The tile's glow sits 3 px low, like a default
// layer shadow. The icon's circle is inset 8 px from the tile's outer edge: 1 px of border
// plus a 7 px margin.
constexpr const char* kStylesheet = R"css(
.zvui-launch-view { background-color: black; }
.zvui-launch-card {
  background-color: rgba(24, 24, 26, 0.86);
  border: 1px solid rgba(255, 255, 255, 0.12);
  border-radius: 10px;
}
.zvui-launch-icon-tile {
  background-color: rgb(7.65, 7.65, 7.65);
  border: 1px solid rgba(255, 255, 255, 0.18);
  border-radius: 42px;
  box-shadow: 0 3px 30px rgba(168.3, 244.8, 48.45, 0.22);
}
.zvui-launch-icon-clip { border-radius: 34px; }
.zvui-launch-monogram { font-size: 38px; font-weight: 800; color: rgb(244.8, 244.8, 244.8); }
.zvui-launch-kicker {
  font-family: monospace; font-size: 11px; font-weight: 600; color: rgb(173.4, 173.4, 173.4);
}
.zvui-launch-title { font-size: 30px; font-weight: 700; color: rgb(239.7, 239.7, 239.7); }
.zvui-launch-subtitle {
  font-family: monospace; font-size: 12px; font-weight: 500; color: rgb(142.8, 142.8, 142.8);
}
.zvui-launch-status { font-family: monospace; font-size: 12px; font-weight: 500; }
)css";

// A one-line label as large as its text: never wrapped, never shortened.
void styleLine(Gtk::Label& label, const char* cssClass) {
  label.add_css_class(cssClass);
  label.set_wrap(false);
  label.set_ellipsize(Pango::EllipsizeMode::NONE);
  label.set_single_line_mode(true);
  label.set_justify(Gtk::Justification::CENTER);
  label.set_xalign(0.5F);
  label.set_selectable(false);
  label.set_can_target(false);
}

void showScaled(Gtk::Picture& picture, const Glib::RefPtr<Gdk::Texture>& image) {
  // Proportions kept, small images scaled up to the box.
  gtk_picture_set_content_fit(picture.gobj(), GTK_CONTENT_FIT_CONTAIN);
  picture.set_can_shrink(true);
  picture.set_can_target(false);
  if (image) picture.set_paintable(image);
}

}  // namespace

struct LaunchCard::Parts {
  // Declared parent first: members die in reverse order, so children leave live parents.
  Gtk::Box cover;
  CardColumn card{kCardWidth, kCardHeight};
  Gtk::Box surface;
  Gtk::Overlay iconTile;
  Gtk::Box iconClip;
  Gtk::Picture iconView;
  Gtk::Label monogram{"ZV"};
  Gtk::Label kicker{"NATIVE MACOS COCKPIT"};
  Gtk::Label title{"ZVui"};
  Gtk::Picture wordmark;
  Gtk::Label subtitle{"local terminal surface / live telemetry"};
  Gtk::Label status{std::string(launch_sentence::kArming)};
  Glib::RefPtr<Gtk::CssProvider> statusColour = Gtk::CssProvider::create();
  bool hasWordmark = false;
  bool hasIcon = false;
};

LaunchCard::LaunchCard(const std::filesystem::path& resourceDirectory)
    : parts_(std::make_unique<Parts>()) {
  installDisplayStylesheet("zvui-launch-card-css", kStylesheet);
  Parts& p = *parts_;

  p.cover.add_css_class("zvui-launch-view");
  p.cover.set_hexpand(true);
  p.cover.set_vexpand(true);
  p.cover.append(p.card);
  // Centred at its fixed size however large the window grows.
  p.card.set_halign(Gtk::Align::CENTER);
  p.card.set_valign(Gtk::Align::CENTER);
  p.card.set_hexpand(true);
  p.card.set_vexpand(true);

  p.surface.add_css_class("zvui-launch-card");
  p.card.setBackground(p.surface);

  const Glib::RefPtr<Gdk::Texture> wordmarkImage =
      loadBundleImage(resourceDirectory, "BrandWordmark");
  const Glib::RefPtr<Gdk::Texture> iconImage = loadBundleImage(resourceDirectory, "BrandIcon");
  p.hasWordmark = static_cast<bool>(wordmarkImage);
  p.hasIcon = static_cast<bool>(iconImage);

  p.iconTile.add_css_class("zvui-launch-icon-tile");
  p.iconClip.add_css_class("zvui-launch-icon-clip");
  p.iconClip.set_overflow(Gtk::Overflow::HIDDEN);
  p.iconClip.set_margin(7);
  showScaled(p.iconView, iconImage);
  p.iconView.set_hexpand(true);
  p.iconView.set_vexpand(true);
  p.iconClip.append(p.iconView);
  p.iconTile.set_child(p.iconClip);
  styleLine(p.monogram, "zvui-launch-monogram");
  p.monogram.set_halign(Gtk::Align::CENTER);
  p.monogram.set_valign(Gtk::Align::CENTER);
  p.monogram.set_visible(!p.hasIcon);
  p.iconTile.add_overlay(p.monogram);

  styleLine(p.kicker, "zvui-launch-kicker");
  styleLine(p.title, "zvui-launch-title");
  showScaled(p.wordmark, wordmarkImage);
  p.wordmark.set_visible(p.hasWordmark);
  p.title.set_visible(!p.hasWordmark);
  styleLine(p.subtitle, "zvui-launch-subtitle");
  styleLine(p.status, "zvui-launch-status");
  // The sentence's colour changes with the launch phase, so it has a provider of its own,
  // above the shared stylesheet.
  p.status.get_style_context()->add_provider(p.statusColour,
                                             GTK_STYLE_PROVIDER_PRIORITY_APPLICATION + 1);
  setStatusColour(kLaunchSentenceColour);

  p.card.appendRow(34, {{&p.iconTile, kTileSide, kTileSide}});
  p.card.appendRow(16, {{&p.kicker}});
  // The title and the wordmark share one slot; whichever is shown decides where the
  // subtitle goes.
  p.card.appendRow(8, {{&p.title}, {&p.wordmark, kWordmarkWidth, kWordmarkHeight}});
  p.card.appendRow(10, {{&p.subtitle}});
  p.card.appendRow(14, {{&p.status}});
}

LaunchCard::~LaunchCard() = default;

Gtk::Widget& LaunchCard::widget() { return parts_->cover; }

void LaunchCard::setStatusText(std::string_view text) { parts_->status.set_text(labelText(text)); }

void LaunchCard::setStatusColour(const Colour& colour) {
  const std::string css = ".zvui-launch-status { color: " + cssColour(colour) + "; }";
  parts_->statusColour->load_from_data(css);
}

Gtk::Label& LaunchCard::statusLabel() { return parts_->status; }

bool LaunchCard::showsWordmark() const { return parts_->hasWordmark; }

bool LaunchCard::showsIcon() const { return parts_->hasIcon; }

}  // namespace zvui
