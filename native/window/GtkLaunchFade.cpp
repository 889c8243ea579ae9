#include "window/GtkLaunchFade.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace zvui {

double LaunchFade::progress(std::chrono::microseconds elapsed, std::chrono::milliseconds duration) {
  if (duration.count() <= 0) return 1.0;
  const double linear = std::clamp(
      static_cast<double>(elapsed.count()) /
          static_cast<double>(std::chrono::microseconds(duration).count()),
      0.0, 1.0);
  return linear * linear * (3.0 - 2.0 * linear);
}

void LaunchFade::start(std::chrono::milliseconds duration) {
  stop();
  if (!widget_.get_visible()) return;
  if (duration.count() <= 0 || !widget_.get_mapped()) {
    finish();
    return;
  }
  duration_ = duration;
  startOpacity_ = widget_.get_opacity();
  startTime_ = -1;
  tickId_ = widget_.add_tick_callback(sigc::mem_fun(*this, &LaunchFade::tick));
}

bool LaunchFade::tick(const Glib::RefPtr<Gdk::FrameClock>& clock) {
  const std::int64_t now = clock->get_frame_time();
  if (startTime_ < 0) startTime_ = now;
  const double done = progress(std::chrono::microseconds(now - startTime_), duration_);
  if (done >= 1.0) {
    tickId_ = 0;
    finish();
    return false;
  }
  widget_.set_opacity(startOpacity_ * (1.0 - done));
  return true;
}

void LaunchFade::finish() {
  widget_.set_opacity(0.0);
  widget_.set_visible(false);
}

void LaunchFade::stop() {
  if (tickId_ != 0) widget_.remove_tick_callback(std::exchange(tickId_, 0));
}

}  // namespace zvui
