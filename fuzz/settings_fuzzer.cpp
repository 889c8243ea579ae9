// Feeds arbitrary bytes to the settings parser: it must always answer with a dictionary.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "settings/LaunchSettings.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view json(reinterpret_cast<const char*>(data), size);
  const auto settings = zvui::parseLaunchSettings(json);
  const bool fullscreen = zvui::autoFullscreenSetting(settings);
  // Without the key the default holds.
  if (!settings.contains("autoFullscreen") && !fullscreen) std::abort();
  return 0;
}
