#pragma once

#include <gtkmm.h>

#include <filesystem>
#include <memory>
#include <string_view>

#include "support/Colour.h"

namespace zvui {

// The launch view: a black, full-window cover with the 540 x 348 card centred on it (icon
// tile, kicker, wordmark or title, subtitle, launch sentence). Brand images are read once,
// at construction, from `resourceDirectory`; a missing or undecodable file falls back to text.
class LaunchCard {
 public:
  explicit LaunchCard(const std::filesystem::path& resourceDirectory);
  LaunchCard(const LaunchCard&) = delete;
  LaunchCard& operator=(const LaunchCard&) = delete;
  ~LaunchCard();

  // The full-window launch view; the caller places it above the web view.
  Gtk::Widget& widget();

  // The launch sentence (`launchStatus`).
  void setStatusText(std::string_view text);
  void setStatusColour(const Colour& colour);

  // For tests and the reveal.
  Gtk::Label& statusLabel();
  [[nodiscard]] bool showsWordmark() const;  // else the "ZVui" title
  [[nodiscard]] bool showsIcon() const;      // else the "ZV" monogram

 private:
  struct Parts;
  std::unique_ptr<Parts> parts_;
};

}  // namespace zvui
