#pragma once

// What a person would see of a widget tree: where things are and the pixels drawn. Layout is
// awaited on the real frame clock with a deadline.

#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <gtkmm.h>

#include "support/GlibWait.h"
#include "support/TestFiles.h"

#include <cstdint>
#include <functional>
#include <memory>
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
inline ::testing::AssertionResult settle(Gtk::Widget& widget) {
  const Glib::RefPtr<Gdk::FrameClock> clock = widget.get_frame_clock();
  if (!clock) return ::testing::AssertionFailure() << "widget is not realized";
  int painted = 0;
  sigc::connection connection = clock->signal_paint().connect([&painted] { ++painted; });
  widget.queue_draw();
  const bool ok = iterateUntil([&painted] { return painted > 0; });
  connection.disconnect();
  if (ok) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "no frame was painted within the deadline";
}

// Sizes and shows `window`, then waits until `child` is laid out at that size and painted.
inline ::testing::AssertionResult showAt(Gtk::Window& window, Gtk::Widget& child, int width, int height) {
  window.set_default_size(width, height);
  window.present();
  if (!iterateUntil([&] {
        return child.get_width() == width && child.get_height() == height && child.is_drawable();
      })) {
    return ::testing::AssertionFailure()
           << "laid out at " << child.get_width() << "x" << child.get_height() << ", not " << width
           << "x" << height;
  }
  return settle(child);
}

// `widget`'s border box in the coordinates of `root`.
inline Box boundsIn(Gtk::Widget& widget, Gtk::Widget& root) {
  graphene_rect_t r;
  if (!gtk_widget_compute_bounds(widget.gobj(), root.gobj(), &r)) ADD_FAILURE() << "no bounds";
  return {r.origin.x, r.origin.y, r.size.width, r.size.height};
}

// The first widget under `root` that `match` accepts, or null.
inline Gtk::Widget* find(Gtk::Widget& root, const std::function<bool(Gtk::Widget&)>& match) {
  for (Gtk::Widget* child = root.get_first_child(); child; child = child->get_next_sibling()) {
    if (match(*child)) return child;
    if (Gtk::Widget* below = find(*child, match)) return below;
  }
  return nullptr;
}

// The label's laid-out text, in its own coordinates.
inline Box textBounds(Gtk::Label& label) {
  int x = 0;
  int y = 0;
  gtk_label_get_layout_offsets(label.gobj(), &x, &y);
  Pango::Rectangle ink;
  Pango::Rectangle text;
  label.get_layout()->get_pixel_extents(ink, text);
  return {double(x + text.get_x()), double(y + text.get_y()), double(text.get_width()),
          double(text.get_height())};
}

// The widget as drawn by its window's renderer: premultiplied 0xAARRGGBB, row by row.
inline std::vector<std::uint32_t> render(Gtk::Widget& widget) {
  const int width = widget.get_width();
  const int height = widget.get_height();
  const Glib::RefPtr<Gdk::Paintable> paintable =
      Glib::wrap(gtk_widget_paintable_new(widget.gobj()), false);
  GtkSnapshot* snapshot = gtk_snapshot_new();
  gdk_paintable_snapshot(paintable->gobj(), snapshot, width, height);
  const std::unique_ptr<GskRenderNode, decltype(&gsk_render_node_unref)> node(
      gtk_snapshot_free_to_node(snapshot), &gsk_render_node_unref);
  const graphene_rect_t viewport = GRAPHENE_RECT_INIT(0, 0, float(width), float(height));
  const Glib::RefPtr<Gdk::Texture> texture =
      Glib::wrap(gsk_renderer_render_texture(gtk_native_get_renderer(widget.get_native()->gobj()),
                                             node.get(), &viewport),
                 false);
  std::vector<std::uint32_t> pixels(std::size_t(width) * std::size_t(height));
  gdk_texture_download(texture->gobj(), reinterpret_cast<guchar*>(pixels.data()), width * 4u);
  return pixels;
}

}  // namespace zvui::test
