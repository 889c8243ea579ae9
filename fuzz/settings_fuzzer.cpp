// Feeds arbitrary bytes to the settings parser: it must always answer with settings.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "settings/LaunchSettings.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view json(reinterpret_cast<const char*>(data), size);
  const bool fullscreen = zvui::parseLaunchSettings(json).autoFullscreen;
  // Without the key (which an escape could also spell) the default holds.
  if (json.find("autoFullscreen") == json.npos && json.find('\\') == json.npos && !fullscreen)
    std::abort();
  return 0;
}
