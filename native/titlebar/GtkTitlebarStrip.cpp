#include "titlebar/GtkTitlebarStrip.h"

#include "support/LaunchPhases.h"
#include "support/GtkWidgetStyle.h"

namespace zvui {
namespace {

constexpr int kCapsuleHeight = 24;
constexpr int kSpacing = 6;

// Greys are the white levels times 255. The label sits 8 px in from each capsule edge:
// 1 px of border plus a 7 px margin.
constexpr const char* kStylesheet = R"css(
.zvui-titlebar-capsule {
  border: 1px solid rgba(255, 255, 255, 0.12);
  border-radius: 6px;
  background-color: rgba(22.95, 22.95, 22.95, 0.94);
  padding: 0;
  min-height: 0;
}
.zvui-titlebar-label {
  font-family: monospace; font-size: 11px; font-weight: 700; color: rgb(209.1, 209.1, 209.1);
  padding: 0;
  min-height: 0;
}
)css";

// A capsule of fixed width whatever its text: a long text ends in an ellipsis instead.
struct Capsule {
  Capsule(int width, std::string_view text) : label(std::string(text)) {
    box.add_css_class("zvui-titlebar-capsule");
    box.set_size_request(width, kCapsuleHeight);
    // Set explicitly so the label's expansion does not spread to the header bar.
    box.set_hexpand(false);
    box.set_vexpand(false);
    box.set_valign(Gtk::Align::CENTER);
    label.add_css_class("zvui-titlebar-label");
    label.set_margin_start(7);
    label.set_margin_end(7);
    label.set_hexpand(true);
    label.set_valign(Gtk::Align::CENTER);
    label.set_xalign(0.5F);
    label.set_justify(Gtk::Justification::CENTER);
    label.set_single_line_mode(true);
    label.set_ellipsize(Pango::EllipsizeMode::END);
    // Keeps the label's natural width tiny, so the capsule's own width always wins and
    // the label gets exactly what is left inside it.
    label.set_max_width_chars(1);
    box.append(label);
  }

  Gtk::Box box;
  Gtk::Label label;
};

}  // namespace

struct TitlebarStrip::Parts {
  // Declared parent first: members die in reverse order, so children leave live parents.
  Gtk::Box strip{Gtk::Orientation::HORIZONTAL, kSpacing};
  Capsule status{88, status_word::kLocal};
  Capsule host{156, "HOST"};
  Capsule runtime{96, "ZSH"};
};

TitlebarStrip::TitlebarStrip() : parts_(std::make_unique<Parts>()) {
  installDisplayStylesheet("zvui-titlebar-strip-css", kStylesheet);
  Parts& p = *parts_;
  p.strip.set_hexpand(false);
  p.strip.set_valign(Gtk::Align::CENTER);
  p.strip.set_halign(Gtk::Align::END);
  p.strip.append(p.status.box);
  p.strip.append(p.host.box);
  p.strip.append(p.runtime.box);
}

TitlebarStrip::~TitlebarStrip() = default;

Gtk::Widget& TitlebarStrip::widget() { return parts_->strip; }

void TitlebarStrip::setStatusWord(std::string_view word) {
  parts_->status.label.set_text(labelText(word));
}

void TitlebarStrip::setHostText(std::string_view text) {
  parts_->host.label.set_text(labelText(text));
}

void TitlebarStrip::setRuntimeText(std::string_view text) {
  parts_->runtime.label.set_text(labelText(text));
}

Gtk::Label& TitlebarStrip::statusLabel() { return parts_->status.label; }
Gtk::Label& TitlebarStrip::hostLabel() { return parts_->host.label; }
Gtk::Label& TitlebarStrip::runtimeLabel() { return parts_->runtime.label; }

}  // namespace zvui
