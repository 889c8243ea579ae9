#pragma once

// What a person would see of a widget tree: where things are, whether they are drawn, and
// the pixels themselves. Layout is awaited on the real frame clock with a deadline.

#include <gtest/gtest.h>
#include <gtkmm.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace zvui::test {

struct Box {
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;
  [[nodiscard]] double right() const { return x + width; }
  [[nodiscard]] double bottom() const { return y + height; }
  [[nodiscard]] double centreX() const { return x + width / 2; }
  [[nodiscard]] double centreY() const { return y + height / 2; }
};

// Runs the default main context until `done` holds or `timeout` passes.
bool spinUntil(const std::function<bool()>& done,
               std::chrono::milliseconds timeout = std::chrono::seconds(10));

// Waits for the next frame to be painted after queueing a redraw, so that any resize queued
// before the call has been laid out.
::testing::AssertionResult settle(Gtk::Widget& widget);

// An undecorated window of exactly `width` x `height` showing `child`.
class TestWindow {
 public:
  TestWindow(Gtk::Widget& child, int width, int height);
  ~TestWindow();
  TestWindow(const TestWindow&) = delete;
  TestWindow& operator=(const TestWindow&) = delete;

  Gtk::Window& window() { return window_; }
  // Shows the window and waits until `child` is laid out at the window's size.
  ::testing::AssertionResult showAndLayOut();
  // Resizes the shown window and waits until `child` is laid out at the new size.
  ::testing::AssertionResult resizeAndLayOut(int width, int height);

 private:
  Gtk::Window window_;
  Gtk::Widget& child_;
  int width_;
  int height_;
};

// `widget`'s border box (what its CSS draws) in the coordinates of `root`.
Box boundsIn(Gtk::Widget& widget, Gtk::Widget& root);

std::vector<Gtk::Widget*> descendants(Gtk::Widget& root);
// The label under `root` showing exactly `text`, or null.
Gtk::Label* findLabel(Gtk::Widget& root, const std::string& text);

// The label's laid-out text in its own coordinates.
Box textBounds(Gtk::Label& label);

// A 32-bit pixel, straight (not premultiplied) alpha.
struct Pixel {
  std::uint8_t red = 0;
  std::uint8_t green = 0;
  std::uint8_t blue = 0;
  std::uint8_t alpha = 0;
};

// The widget as it was last drawn, rendered with its window's renderer.
class Rendering {
 public:
  explicit Rendering(Gtk::Widget& widget);
  [[nodiscard]] Pixel at(int x, int y) const;
  [[nodiscard]] int width() const { return width_; }
  [[nodiscard]] int height() const { return height_; }

 private:
  int width_ = 0;
  int height_ = 0;
  std::vector<std::uint32_t> pixels_;
};

// A directory removed with everything in it when the test ends.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  [[nodiscard]] const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// Writes a solid-colour PNG of the given size (RGBA, 0xRRGGBBAA).
void writePng(const std::filesystem::path& file, int width, int height, std::uint32_t rgba);
void writeFile(const std::filesystem::path& file, const std::string& bytes);

}  // namespace zvui::test
