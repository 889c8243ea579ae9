#include "launch/GtkCardColumn.h"

#include <algorithm>
#include <utility>

namespace zvui {
namespace {

// Measures `widget` as GTK requires before it is allocated; returns its natural size for
// `forSize` on the other axis.
int naturalSize(Gtk::Widget& widget, Gtk::Orientation orientation, int forSize) {
  int minimum = 0;
  int natural = 0;
  int minimumBaseline = -1;
  int naturalBaseline = -1;
  widget.measure(orientation, forSize, minimum, natural, minimumBaseline, naturalBaseline);
  return std::max(minimum, natural);
}

}  // namespace

CardColumn::CardColumn(int width, int height) : width_(width), height_(height) {}

CardColumn::~CardColumn() {
  while (Gtk::Widget* child = get_first_child()) child->unparent();
}

void CardColumn::setBackground(Gtk::Widget& background) {
  background_ = &background;
  // Inserted first, so it is drawn beneath the rows.
  background.insert_at_start(*this);
}

void CardColumn::appendRow(int gapAbove, std::vector<Item> items) {
  for (const Item& item : items) item.widget->insert_at_end(*this);
  rows_.push_back({gapAbove, std::move(items)});
  queue_resize();
}

Gtk::SizeRequestMode CardColumn::get_request_mode_vfunc() const {
  return Gtk::SizeRequestMode::CONSTANT_SIZE;
}

void CardColumn::measure_vfunc(Gtk::Orientation orientation, int /*forSize*/, int& minimum,
                               int& natural, int& minimumBaseline, int& naturalBaseline) const {
  minimum = natural = orientation == Gtk::Orientation::HORIZONTAL ? width_ : height_;
  minimumBaseline = naturalBaseline = -1;
}

void CardColumn::size_allocate_vfunc(int width, int /*height*/, int /*baseline*/) {
  if (background_ != nullptr) {
    naturalSize(*background_, Gtk::Orientation::HORIZONTAL, -1);
    background_->size_allocate(Gtk::Allocation(0, 0, width_, height_), -1);
  }
  const int centre = width / 2;
  int top = 0;
  for (const Row& row : rows_) {
    top += row.gapAbove;
    int slotHeight = 0;
    bool slotTaken = false;
    for (const Item& item : row.items) {
      Gtk::Widget& widget = *item.widget;
      const int naturalWidth = naturalSize(widget, Gtk::Orientation::HORIZONTAL, -1);
      const int itemWidth = item.width >= 0 ? item.width : naturalWidth;
      const int naturalHeight = naturalSize(widget, Gtk::Orientation::VERTICAL, itemWidth);
      const int itemHeight = item.height >= 0 ? item.height : naturalHeight;
      // Centred on the centre line even when wider than the container.
      const int left = centre - itemWidth / 2;
      widget.size_allocate(Gtk::Allocation(left, top, itemWidth, itemHeight), -1);
      if (!slotTaken && widget.get_visible()) {
        slotHeight = itemHeight;
        slotTaken = true;
      }
    }
    top += slotHeight;
  }
}

}  // namespace zvui
