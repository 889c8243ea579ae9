#include <gtest/gtest.h>
#include <sys/stat.h>

#include "settings/LaunchSettings.h"
#include "support/TestFiles.h"

namespace zvui {
namespace {

using Texts = std::initializer_list<std::string>;

std::string is(const std::string& value) { return "{\"autoFullscreen\": " + value + "}"; }
std::string nested(std::size_t depth) {
  return "{\"a\": " + std::string(depth, '[') + std::string(depth, ']') +
         ", \"autoFullscreen\": false}";
}

TEST(SettingsText, OnlyFalseAndZeroTurnFullScreenOff) {
  for (const std::string& json :
       Texts{is("false"), is("0"), is("0.0"), R"({"autoFullscreen": 1, "autoFullscreen": 0})",
             R"({"autoFullscreen": false, "a": [1, {"c": null}]})", "\xEF\xBB\xBF" + is("false"),
             nested(kSettingsMaxDepth - 1),
             "{\"a\": \"\\\"" + std::string(10000, '[') + "\", \"autoFullscreen\": false}"}) {
    EXPECT_FALSE(parseLaunchSettings(json).autoFullscreen) << json.substr(0, 80);
  }
  // Other values keep the default, as do refused texts (too deep: without exhausting the stack).
  for (const std::string& json :
       Texts{is("true"), is("1"), is("2"), is("-1"), is("0.5"), is("null"), is("\"false\""),
             is("[false]"), R"({"autofullscreen": false})", "[" + is("false") + "]", "",
             R"({"autoFullscreen": false)", is("false") + " x",
             "{\"autoFullscreen\": false, \"a\": \"\xFF\"}", nested(kSettingsMaxDepth),
             nested(4 << 20), std::string(4 << 20, '{')}) {
    EXPECT_TRUE(parseLaunchSettings(json).autoFullscreen) << json.substr(0, 80);
  }
}

// Whether the window goes full screen with these entries at the two settings paths ("" for
// nothing). Reading writes nothing.
bool fullscreenWith(std::string_view primary, std::string_view fallback) {
  SCOPED_TRACE(std::string(primary) + " / " + std::string(fallback));
  const test::TempDir dir;
  const auto locations = settingsLocations(dir.path() / "config");
  for (const auto& [path, entry] :
       {std::pair{locations.primary, primary}, {locations.fallback, fallback}}) {
    if (entry.empty()) continue;
    std::filesystem::create_directories(path.parent_path());
    const auto write = [&](const std::string& text) { std::ofstream(path) << text; };
    if (entry == "true" || entry == "false" || entry == "sparse")
      write(is(entry == "true" ? "true" : "false"));
    if (entry == "{" || entry == "empty") write(entry == "{" ? "{" : "");
    if (entry.ends_with("limit")) {  // at the size limit, or one byte over it
      const std::string head = "{\"pad\": \"", tail = "\", \"autoFullscreen\": false}";
      const std::size_t size = kSettingsMaxBytes + (entry == "over-limit");
      write(head + std::string(size - head.size() - tail.size(), 'n') + tail);
    }
    if (entry == "sparse") std::filesystem::resize_file(path, std::size_t{8} << 30);  // a hole
    if (entry == "directory") std::filesystem::create_directories(path);
    if (entry == "fifo" && ::mkfifo(path.c_str(), 0600) != 0) throw std::runtime_error("mkfifo");
    if (entry == "dangling") std::filesystem::create_symlink(path.parent_path() / "nowhere", path);
    // Reading at offset 0 of our own memory fails, even for root.
    if (entry == "unreadable") std::filesystem::create_symlink("/proc/self/mem", path);
  }
  const bool fullscreen = readLaunchSettingsFrom(locations).autoFullscreen;
  EXPECT_EQ(std::filesystem::exists(dir.path() / "config"), !primary.empty() || !fallback.empty());
  return fullscreen;
}

TEST(SettingsFile, ReadsThePrimaryWhenAnythingIsThereElseTheFallback) {
  EXPECT_TRUE(fullscreenWith("", ""));
  EXPECT_FALSE(fullscreenWith("", "false"));
  EXPECT_FALSE(fullscreenWith("dangling", "false"));  // counts as nothing
  EXPECT_TRUE(fullscreenWith("", "fifo"));            // and does not hang
  EXPECT_FALSE(fullscreenWith("at-limit", ""));
  // Whatever stands at the primary path hides the fallback, even unreadable or too large.
  for (const char* primary :
       {"true", "{", "empty", "directory", "fifo", "unreadable", "over-limit", "sparse"}) {
    EXPECT_TRUE(fullscreenWith(primary, "false")) << primary;
  }
}

}  // namespace
}  // namespace zvui
