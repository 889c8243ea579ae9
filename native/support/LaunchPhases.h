#pragma once

#include <string_view>

#include "support/Colour.h"

namespace zvui {

// The launch phases: what the titlebar status word and the launch sentence read while the
// backend comes up. The words are upper case, the sentences lower case without a full stop,
// both exactly as shown to the user.

namespace status_word {
inline constexpr std::string_view kLocal = "LOCAL";
inline constexpr std::string_view kArming = "ARMING";
inline constexpr std::string_view kBridge = "BRIDGE";
inline constexpr std::string_view kWarming = "WARMING";
inline constexpr std::string_view kSurface = "SURFACE";
inline constexpr std::string_view kLive = "LIVE";
inline constexpr std::string_view kError = "ERROR";
}  // namespace status_word

namespace launch_sentence {
inline constexpr std::string_view kArming = "arming local runtime";
inline constexpr std::string_view kBridge = "waiting for console service";
inline constexpr std::string_view kWarming = "arming telemetry and shell bridge";
// The surface phase writes both, in this order, in one main-thread turn.
inline constexpr std::string_view kSurface = "loading console surface";
inline constexpr std::string_view kHandOff = "handing off to local terminal";
inline constexpr std::string_view kLive = "console live";
// Error-phase sentences, shown in the failure colour.
inline constexpr std::string_view kExecutableMissing = "backend executable missing";
inline constexpr std::string_view kStartFailed = "could not start backend";
inline constexpr std::string_view kExitedEarly = "backend exited before the console was ready";
}  // namespace launch_sentence

// The launch sentence's colour from the start; the error phase switches it for good.
inline constexpr Colour kLaunchSentenceColour = Colour::white(0.62);
inline constexpr Colour kLaunchFailureColour{0.94, 0.32, 0.32, 1.0};

}  // namespace zvui
