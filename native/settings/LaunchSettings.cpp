#include "settings/LaunchSettings.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <exception>
#include <nlohmann/json.hpp>
#include <system_error>
#include <vector>

#include "support/RegularFile.h"

namespace zvui {
namespace {

std::optional<std::string_view> environmentValue(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) return std::nullopt;
  return std::string_view(value);
}

std::optional<std::string> passwordDatabaseHome() {
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 ||
      found == nullptr || found->pw_dir == nullptr) {
    return std::nullopt;
  }
  return std::string(found->pw_dir);
}

// The deepest nesting of arrays and objects in `json`, counting only brackets outside
// strings. Stops counting once `limit` is passed.
int nestingDepth(std::string_view json, int limit) {
  int depth = 0;
  int deepest = 0;
  bool inString = false;
  for (std::size_t i = 0; i < json.size(); ++i) {
    const char c = json[i];
    if (inString) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        inString = false;
      }
      continue;
    }
    if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      deepest = std::max(deepest, ++depth);
      if (deepest > limit) return deepest;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return deepest;
}

// Zero in any of JSON's number types: 0, 0.0, 0e5, -0.
bool isZero(const nlohmann::json& value) { return value.is_number() && value.get<double>() == 0; }

// The file to read: the primary when anything at all stands at its path (a directory too),
// else the fallback, whether or not it exists. The two files are never merged.
std::filesystem::path chooseSettingsFile(const SettingsLocations& locations) {
  std::error_code error;
  // An existence test that fails (a path we may not search) counts as nothing there.
  return std::filesystem::exists(locations.primary, error) ? locations.primary : locations.fallback;
}

}  // namespace

std::optional<std::filesystem::path> configDirectory(std::optional<std::string_view> xdgConfigHome,
                                                     std::optional<std::string_view> home) {
  // A relative or empty XDG_CONFIG_HOME is invalid and ignored, as the base directory rules ask.
  if (xdgConfigHome && !xdgConfigHome->empty() && xdgConfigHome->front() == '/') {
    return std::filesystem::path(*xdgConfigHome);
  }
  if (home && !home->empty() && home->front() == '/') {
    return std::filesystem::path(*home) / ".config";
  }
  return std::nullopt;
}

SettingsLocations settingsLocations(const std::filesystem::path& configDirectory) {
  return {configDirectory / "ZVui" / "settings.json", configDirectory / "KT-UI" / "settings.json"};
}

LaunchSettings parseLaunchSettings(std::string_view json) {
  LaunchSettings settings;
  try {
    if (nestingDepth(json, kSettingsMaxDepth) > kSettingsMaxDepth) return settings;
    const auto parsed = nlohmann::json::parse(json, nullptr, /*allow_exceptions=*/false);
    if (!parsed.is_object()) return settings;
    const auto found = parsed.find("autoFullscreen");
    if (found == parsed.end()) return settings;
    if (found->is_boolean()) {
      settings.autoFullscreen = found->get<bool>();
    } else if (isZero(*found)) {
      settings.autoFullscreen = false;
    }
  } catch (const std::exception&) {
    // Out of memory on a huge file: the settings keep their defaults like any bad file.
  }
  return settings;
}

LaunchSettings readLaunchSettingsFrom(const SettingsLocations& locations) {
  try {
    const auto contents = readRegularFile(chooseSettingsFile(locations), kSettingsMaxBytes);
    if (!contents) return {};
    return parseLaunchSettings(*contents);
  } catch (const std::exception&) {
    return {};
  }
}

LaunchSettings readLaunchSettings() {
  std::optional<std::string> databaseHome;
  auto home = environmentValue("HOME");
  if (!home || home->empty()) {
    databaseHome = passwordDatabaseHome();
    if (databaseHome) home = *databaseHome;
  }
  const auto directory = configDirectory(environmentValue("XDG_CONFIG_HOME"), home);
  if (!directory) return {};
  return readLaunchSettingsFrom(settingsLocations(*directory));
}

}  // namespace zvui
