#pragma once

#include <gtkmm.h>

#include <vector>

namespace zvui {

// A fixed-size container that stacks rows down a centre line at exact offsets: each row
// starts a given gap below the bottom of the row above (the first below the top edge).
// It always asks for exactly its own size, so a child wider than the container (a long
// launch sentence) overflows both sides symmetrically instead of growing or wrapping.
class CardColumn : public Gtk::Widget {
 public:
  // One widget of a row. A size of -1 means the widget's natural size on that axis.
  struct Item {
    Gtk::Widget* widget = nullptr;
    int width = -1;
    int height = -1;
  };

  CardColumn(int width, int height);
  ~CardColumn() override;

  // A child that fills the whole container, drawn beneath every row.
  void setBackground(Gtk::Widget& background);
  // Appends a row. Its items share one slot (say an image and its text stand-in); the first
  // visible item sets the slot's height, and so where the next row starts.
  void appendRow(int gapAbove, std::vector<Item> items);

 protected:
  Gtk::SizeRequestMode get_request_mode_vfunc() const override;
  void measure_vfunc(Gtk::Orientation orientation, int forSize, int& minimum, int& natural,
                     int& minimumBaseline, int& naturalBaseline) const override;
  void size_allocate_vfunc(int width, int height, int baseline) override;

 private:
  struct Row {
    int gapAbove = 0;
    std::vector<Item> items;
  };

  int width_;
  int height_;
  Gtk::Widget* background_ = nullptr;
  std::vector<Row> rows_;
};

}  // namespace zvui
