#include "WidgetProbe.h"

#include <gtk/gtk.h>
#include <stdlib.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <stdexcept>

namespace zvui::test {

bool spinUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  GMainContext* context = g_main_context_default();
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return done();
    // Blocks for at most a tick so the deadline is honoured even when nothing happens.
    if (!g_main_context_iteration(context, FALSE)) g_usleep(2000);
  }
  return true;
}

::testing::AssertionResult settle(Gtk::Widget& widget) {
  const Glib::RefPtr<Gdk::FrameClock> clock = widget.get_frame_clock();
  if (!clock) return ::testing::AssertionFailure() << "widget is not realized";
  int painted = 0;
  sigc::connection connection = clock->signal_paint().connect([&painted] { ++painted; });
  widget.queue_draw();
  const bool ok = spinUntil([&painted] { return painted > 0; });
  connection.disconnect();
  if (!ok) return ::testing::AssertionFailure() << "no frame was painted within the deadline";
  return ::testing::AssertionSuccess();
}

TestWindow::TestWindow(Gtk::Widget& child, int width, int height)
    : child_(child), width_(width), height_(height) {
  window_.set_decorated(false);
  window_.set_default_size(width, height);
  window_.set_child(child);
}

TestWindow::~TestWindow() { window_.unset_child(); }

::testing::AssertionResult TestWindow::showAndLayOut() {
  window_.present();
  const bool laidOut = spinUntil([this] {
    return child_.get_width() == width_ && child_.get_height() == height_ && child_.is_drawable();
  });
  if (!laidOut) {
    return ::testing::AssertionFailure()
           << "child laid out at " << child_.get_width() << "x" << child_.get_height()
           << ", expected " << width_ << "x" << height_;
  }
  return settle(child_);
}

::testing::AssertionResult TestWindow::resizeAndLayOut(int width, int height) {
  width_ = width;
  height_ = height;
  window_.set_default_size(width, height);
  return showAndLayOut();
}

Box boundsIn(Gtk::Widget& widget, Gtk::Widget& root) {
  graphene_rect_t bounds;
  if (!gtk_widget_compute_bounds(widget.gobj(), root.gobj(), &bounds)) {
    ADD_FAILURE() << "the widget has no bounds in the given root";
    return {};
  }
  return {bounds.origin.x, bounds.origin.y, bounds.size.width, bounds.size.height};
}

std::vector<Gtk::Widget*> descendants(Gtk::Widget& root) {
  std::vector<Gtk::Widget*> found;
  for (Gtk::Widget* child = root.get_first_child(); child != nullptr;
       child = child->get_next_sibling()) {
    found.push_back(child);
    const std::vector<Gtk::Widget*> below = descendants(*child);
    found.insert(found.end(), below.begin(), below.end());
  }
  return found;
}

Gtk::Label* findLabel(Gtk::Widget& root, const std::string& text) {
  for (Gtk::Widget* widget : descendants(root)) {
    auto* label = dynamic_cast<Gtk::Label*>(widget);
    if (label != nullptr && label->get_text().raw() == text) return label;
  }
  return nullptr;
}

Box textBounds(Gtk::Label& label) {
  int offsetX = 0;
  int offsetY = 0;
  gtk_label_get_layout_offsets(label.gobj(), &offsetX, &offsetY);
  Pango::Rectangle ink;
  Pango::Rectangle logical;
  label.get_layout()->get_pixel_extents(ink, logical);
  return {static_cast<double>(offsetX + logical.get_x()),
          static_cast<double>(offsetY + logical.get_y()), static_cast<double>(logical.get_width()),
          static_cast<double>(logical.get_height())};
}

Rendering::Rendering(Gtk::Widget& widget)
    : width_(widget.get_width()), height_(widget.get_height()) {
  const Glib::RefPtr<Gdk::Paintable> paintable =
      Glib::wrap(gtk_widget_paintable_new(widget.gobj()), false);
  GtkSnapshot* snapshot = gtk_snapshot_new();
  gdk_paintable_snapshot(paintable->gobj(), snapshot, width_, height_);
  const std::unique_ptr<GskRenderNode, decltype(&gsk_render_node_unref)> node(
      gtk_snapshot_free_to_node(snapshot), &gsk_render_node_unref);
  if (!node) return;
  GskRenderer* renderer = gtk_native_get_renderer(widget.get_native()->gobj());
  const graphene_rect_t viewport =
      GRAPHENE_RECT_INIT(0, 0, static_cast<float>(width_), static_cast<float>(height_));
  const Glib::RefPtr<Gdk::Texture> texture =
      Glib::wrap(gsk_renderer_render_texture(renderer, node.get(), &viewport), false);
  width_ = texture->get_width();
  height_ = texture->get_height();
  pixels_.resize(static_cast<std::size_t>(width_) * static_cast<std::size_t>(height_));
  // Downloaded as premultiplied ARGB in native byte order.
  gdk_texture_download(texture->gobj(), reinterpret_cast<guchar*>(pixels_.data()),
                       static_cast<gsize>(width_) * 4);
}

Pixel Rendering::at(int x, int y) const {
  if (x < 0 || y < 0 || x >= width_ || y >= height_) return {};
  const std::uint32_t argb = pixels_[static_cast<std::size_t>(y) * width_ + x];
  const auto alpha = static_cast<std::uint8_t>(argb >> 24);
  auto channel = [alpha](std::uint32_t premultiplied) {
    if (alpha == 0) return std::uint8_t{0};
    return static_cast<std::uint8_t>(std::min<std::uint32_t>(255, premultiplied * 255 / alpha));
  };
  return {channel((argb >> 16) & 0xff), channel((argb >> 8) & 0xff), channel(argb & 0xff), alpha};
}

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "zvui-widgets-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

void writePng(const std::filesystem::path& file, int width, int height, std::uint32_t rgba) {
  const Glib::RefPtr<Gdk::Pixbuf> pixbuf =
      Gdk::Pixbuf::create(Gdk::Colorspace::RGB, true, 8, width, height);
  pixbuf->fill(rgba);
  pixbuf->save(file.string(), "png");
}

void writeFile(const std::filesystem::path& file, const std::string& bytes) {
  std::ofstream out(file, std::ios::binary);
  out << bytes;
}

}  // namespace zvui::test
