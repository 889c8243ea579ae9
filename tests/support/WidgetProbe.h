#pragma once

// What a person would see of a widget tree: where things are and the pixels drawn. Layout is
// awaited on the real frame clock with a deadline.

#include <gtest/gtest.h>
#include <gtkmm.h>

#include "support/GlibWait.h"
#include "support/TestFiles.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace zvui::test {

struct Box {
  double x = 0, y = 0, width = 0, height = 0;
  [[nodiscard]] double bottom() const { return y + height; }
  [[nodiscard]] double centreX() const { return x + width / 2; }
  [[nodiscard]] double centreY() const { return y + height / 2; }
};

// Waits for the next painted frame, so that anything queued before it has been laid out.
::testing::AssertionResult settle(Gtk::Widget& widget);
// Sizes and shows `window`, then waits until `child` is laid out at that size and painted.
::testing::AssertionResult showAt(Gtk::Window& window, Gtk::Widget& child, int width, int height);

// `widget`'s border box in the coordinates of `root`.
Box boundsIn(Gtk::Widget& widget, Gtk::Widget& root);
// The first widget under `root` that `match` accepts, or null.
Gtk::Widget* find(Gtk::Widget& root, const std::function<bool(Gtk::Widget&)>& match);
// The label's laid-out text, in its own coordinates.
Box textBounds(Gtk::Label& label);
// The widget as drawn by its window's renderer: premultiplied 0xAARRGGBB, row by row.
std::vector<std::uint32_t> render(Gtk::Widget& widget);

}  // namespace zvui::test
