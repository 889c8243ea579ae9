#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string_view>

namespace zvui {

// The launch settings: what the settings file says, or the defaults. The file may hold
// other members; they are ignored.
struct LaunchSettings {
  // Whether the window goes full screen after launch.
  bool autoFullscreen = true;
};

// JSON nested deeper than this is refused as a whole, so hostile files cannot exhaust the
// stack when the value is copied or destroyed.
inline constexpr int kSettingsMaxDepth = 512;

// A settings file larger than this is treated as unreadable, without reading it: the real
// file holds one key, and a huge or sparse file must not stall the launch or fill memory.
inline constexpr std::size_t kSettingsMaxBytes = 1024 * 1024;

struct SettingsLocations {
  std::filesystem::path primary;   // <config>/ZVui/settings.json
  std::filesystem::path fallback;  // <config>/KT-UI/settings.json
};

// The user's configuration directory: $XDG_CONFIG_HOME when it is set to an absolute path,
// else <home>/.config. Nothing when neither gives an absolute path.
[[nodiscard]] std::optional<std::filesystem::path> configDirectory(
    std::optional<std::string_view> xdgConfigHome, std::optional<std::string_view> home);

[[nodiscard]] SettingsLocations settingsLocations(const std::filesystem::path& configDirectory);

// The settings in a JSON text whose top-level value is an object. Anything else (invalid
// JSON, another top-level value, nesting deeper than kSettingsMaxDepth) gives the defaults.
// A name given twice keeps its last value. "autoFullscreen": the booleans as they are, the
// numbers 0 and 1 (also 0.0 and 1.0) as false and true; anything else keeps the default.
[[nodiscard]] LaunchSettings parseLaunchSettings(std::string_view json);

// Reads one file of `locations`: the primary when anything at all stands at its path (a
// directory too), else the fallback; the two are never merged. Every failure gives the
// defaults, silently. A file over kSettingsMaxBytes is a failure.
[[nodiscard]] LaunchSettings readLaunchSettingsFrom(const SettingsLocations& locations);

// readLaunchSettingsFrom for this user's configuration directory ($XDG_CONFIG_HOME, $HOME,
// then the password database).
[[nodiscard]] LaunchSettings readLaunchSettings();

}  // namespace zvui
