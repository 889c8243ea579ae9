#pragma once

namespace zvui {

// A colour with components from 0 to 1, as the launch phases and the card specify them.
struct Colour {
  double red = 0;
  double green = 0;
  double blue = 0;
  double alpha = 1;

  static constexpr Colour white(double w, double a = 1.0) { return {w, w, w, a}; }
  friend constexpr bool operator==(const Colour&, const Colour&) = default;
};

}  // namespace zvui
