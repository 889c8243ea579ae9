#pragma once

#include <gtkmm.h>

#include <chrono>
#include <cstdint>

namespace zvui {

// Fades a widget to transparent on its frame clock and hides it at the end. Nothing ticks
// once the fade is over, so a revealed window goes back to idling.
class LaunchFade {
 public:
  explicit LaunchFade(Gtk::Widget& widget) : widget_(widget) {}
  LaunchFade(const LaunchFade&) = delete;
  LaunchFade& operator=(const LaunchFade&) = delete;
  ~LaunchFade() { stop(); }

  // Starts from the widget's current opacity. A widget that is not on screen (no frame
  // clock ticks for it) or a zero duration is hidden at once.
  void start(std::chrono::milliseconds duration);
  [[nodiscard]] bool running() const { return tickId_ != 0; }

  // Share of the fade done at `elapsed`, eased in and out, from 0 to 1.
  static double progress(std::chrono::microseconds elapsed, std::chrono::milliseconds duration);

 private:
  bool tick(const Glib::RefPtr<Gdk::FrameClock>& clock);
  void finish();
  void stop();

  Gtk::Widget& widget_;
  guint tickId_ = 0;
  std::int64_t startTime_ = -1;  // frame clock time of the first tick, in microseconds
  double startOpacity_ = 1.0;
  std::chrono::milliseconds duration_{0};
};

}  // namespace zvui
