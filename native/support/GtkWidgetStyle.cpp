#include "support/GtkWidgetStyle.h"

#include <glib.h>
#include <gtkmm/cssprovider.h>
#include <gtkmm/stylecontext.h>

#include <algorithm>
#include <array>
#include <charconv>

#include "support/GlibHandles.h"

namespace zvui {
namespace {

void appendNumber(std::string& out, double value) {
  std::array<char, 32> buffer{};
  auto [end, error] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value,
                                    std::chars_format::fixed, 3);
  if (error != std::errc{}) end = buffer.data();
  out.append(buffer.data(), end);
}

double clampUnit(double value) { return std::clamp(value, 0.0, 1.0); }

}  // namespace

void installDisplayStylesheet(const char* key, const char* css) {
  const Glib::RefPtr<Gdk::Display> display = Gdk::Display::get_default();
  if (!display) return;
  GObject* displayObject = G_OBJECT(display->gobj());
  if (g_object_get_data(displayObject, key) != nullptr) return;
  const Glib::RefPtr<Gtk::CssProvider> provider = Gtk::CssProvider::create();
  provider->load_from_data(css);
  Gtk::StyleContext::add_provider_for_display(display, provider,
                                              GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
  // The display keeps the marker (our own reference to the provider) until it closes.
  g_object_set_data_full(displayObject, key, provider->gobj_copy(), g_object_unref);
}

std::string cssColour(const Colour& colour) {
  std::string out = "rgba(";
  appendNumber(out, clampUnit(colour.red) * 255.0);
  out += ',';
  appendNumber(out, clampUnit(colour.green) * 255.0);
  out += ',';
  appendNumber(out, clampUnit(colour.blue) * 255.0);
  out += ',';
  appendNumber(out, clampUnit(colour.alpha));
  out += ')';
  return out;
}

Glib::ustring labelText(std::string_view text) {
  const auto length = static_cast<gssize>(text.size());
  if (g_utf8_validate(text.data(), length, nullptr)) return {text.data(), text.size()};
  const GlibString valid(g_utf8_make_valid(text.data(), length));
  return valid.get();
}

}  // namespace zvui
