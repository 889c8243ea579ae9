#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <optional>
#include <string>

#include "core/support/RowName.h"
#include "core/support/TempDir.h"
#include "settings/LaunchSettings.h"

namespace zvui {
namespace {

// "autoFullscreen" as the file gives it, and what the launch makes of it.
struct FullscreenRow {
  const char* name;
  const char* json;
  bool expected;
};

class AutoFullscreen : public ::testing::TestWithParam<FullscreenRow> {};

TEST_P(AutoFullscreen, Converts) {
  EXPECT_EQ(autoFullscreenSetting(parseLaunchSettings(GetParam().json)), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, AutoFullscreen,
    ::testing::Values(FullscreenRow{"true", R"({"autoFullscreen": true})", true},
                      FullscreenRow{"false", R"({"autoFullscreen": false})", false},
                      FullscreenRow{"one", R"({"autoFullscreen": 1})", true},
                      FullscreenRow{"zero", R"({"autoFullscreen": 0})", false},
                      FullscreenRow{"one_point_zero", R"({"autoFullscreen": 1.0})", true},
                      FullscreenRow{"zero_point_zero", R"({"autoFullscreen": 0.0})", false},
                      FullscreenRow{"zero_in_exponent_form", R"({"autoFullscreen": 0e5})", false},
                      FullscreenRow{"absent", R"({"other": false})", true},
                      FullscreenRow{"null", R"({"autoFullscreen": null})", true},
                      FullscreenRow{"two", R"({"autoFullscreen": 2})", true},
                      FullscreenRow{"half", R"({"autoFullscreen": 0.5})", true},
                      FullscreenRow{"minus_one", R"({"autoFullscreen": -1})", true},
                      FullscreenRow{"string_false", R"({"autoFullscreen": "false"})", true},
                      FullscreenRow{"string_zero", R"({"autoFullscreen": "0"})", true},
                      FullscreenRow{"array", R"({"autoFullscreen": [false]})", true},
                      FullscreenRow{"object", R"({"autoFullscreen": {}})", true},
                      FullscreenRow{"key_is_case_sensitive", R"({"autofullscreen": false})", true},
                      FullscreenRow{"repeated_name_last_wins",
                                    R"({"autoFullscreen": true, "autoFullscreen": false})", false}),
    test::RowName{});

// Which texts give a dictionary, and how many members it holds.
struct ParseRow {
  const char* name;
  std::string json;
  std::size_t members;
};

class ParseSettings : public ::testing::TestWithParam<ParseRow> {};

TEST_P(ParseSettings, TopLevelObjectOrNothing) {
  EXPECT_EQ(parseLaunchSettings(GetParam().json).size(), GetParam().members);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ParseSettings,
    ::testing::Values(ParseRow{"object", R"({"a": 1, "b": [1, {"c": null}]})", 2},
                      ParseRow{"empty_object", "{}", 0},
                      ParseRow{"with_bom", "\xEF\xBB\xBF{\"a\": 1}", 1},
                      ParseRow{"array", "[1, 2]", 0}, ParseRow{"number", "1", 0},
                      ParseRow{"string", "\"x\"", 0}, ParseRow{"null", "null", 0},
                      ParseRow{"empty_text", "", 0}, ParseRow{"truncated", R"({"a": 1)", 0},
                      ParseRow{"trailing_garbage", "{} x", 0}, ParseRow{"comment", "{} // no", 0},
                      ParseRow{"ill_formed_utf8_in_string", "{\"a\": \"\xFF\"}", 0},
                      ParseRow{"nested_to_the_limit",
                               "{\"a\": " + std::string(kSettingsMaxDepth - 1, '[') +
                                   std::string(kSettingsMaxDepth - 1, ']') + "}",
                               1},
                      ParseRow{"nested_past_the_limit",
                               "{\"a\": " + std::string(kSettingsMaxDepth, '[') +
                                   std::string(kSettingsMaxDepth, ']') + "}",
                               0},
                      ParseRow{"brackets_in_strings_do_not_nest",
                               "{\"a\": \"" + std::string(10000, '[') + "\\\"" + "\"}", 1}),
    test::RowName{});

struct DirectoryRow {
  const char* name;
  std::optional<std::string_view> xdg;
  std::optional<std::string_view> home;
  std::optional<std::string> expected;
};

class ConfigDirectory : public ::testing::TestWithParam<DirectoryRow> {};

TEST_P(ConfigDirectory, FollowsTheBaseDirectoryRules) {
  const auto& row = GetParam();
  const auto directory = configDirectory(row.xdg, row.home);
  EXPECT_EQ(directory ? std::optional(directory->string()) : std::nullopt, row.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ConfigDirectory,
    ::testing::Values(DirectoryRow{"xdg_wins", "/x/conf", "/home/u", "/x/conf"},
                      DirectoryRow{"xdg_unset", std::nullopt, "/home/u", "/home/u/.config"},
                      DirectoryRow{"xdg_empty", "", "/home/u", "/home/u/.config"},
                      DirectoryRow{"xdg_relative", "conf", "/home/u", "/home/u/.config"},
                      DirectoryRow{"no_home", std::nullopt, std::nullopt, std::nullopt},
                      DirectoryRow{"relative_home", std::nullopt, "home", std::nullopt}),
    test::RowName{});

// The choice between the two files: what stands at each path, and the members read.
enum class Entry { None, File, Directory, Fifo, DanglingLink, Unreadable };

struct ChoiceRow {
  const char* name;
  Entry primary;
  std::string primaryText;
  Entry fallback;
  std::string fallbackText;
  std::optional<std::string> expectedKey;  // the one member expected, if any
};

void place(const test::TempDir& dir, const std::filesystem::path& path, Entry entry,
           const std::string& text) {
  std::filesystem::create_directories(path.parent_path());
  switch (entry) {
    case Entry::None:
      break;
    case Entry::File:
      dir.write(std::filesystem::relative(path, dir.path()), text);
      break;
    case Entry::Directory:
      std::filesystem::create_directories(path);
      break;
    case Entry::Fifo:
      ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
      break;
    case Entry::DanglingLink:
      std::filesystem::create_symlink(dir.path() / "nowhere", path);
      break;
    case Entry::Unreadable:
      // Reading at offset 0 of our own memory fails, even for root.
      std::filesystem::create_symlink("/proc/self/mem", path);
      break;
  }
}

class SettingsChoice : public ::testing::TestWithParam<ChoiceRow> {};

TEST_P(SettingsChoice, ReadsExactlyOneFile) {
  const auto& row = GetParam();
  const test::TempDir dir;
  const auto locations = settingsLocations(dir.path());
  place(dir, locations.primary, row.primary, row.primaryText);
  place(dir, locations.fallback, row.fallback, row.fallbackText);
  const auto settings = readLaunchSettingsFrom(locations);
  if (row.expectedKey) {
    EXPECT_EQ(settings.size(), 1u);
    EXPECT_TRUE(settings.contains(*row.expectedKey));
  } else {
    EXPECT_TRUE(settings.empty());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, SettingsChoice,
    ::testing::Values(ChoiceRow{"neither", Entry::None, "", Entry::None, "", std::nullopt},
                      ChoiceRow{"primary_only", Entry::File, R"({"p": 1})", Entry::None, "", "p"},
                      ChoiceRow{"fallback_only", Entry::None, "", Entry::File, R"({"f": 1})", "f"},
                      ChoiceRow{"both_primary_wins", Entry::File, R"({"p": 1})", Entry::File,
                                R"({"autoFullscreen": false})", "p"},
                      ChoiceRow{"invalid_primary_hides_fallback", Entry::File, "{", Entry::File,
                                R"({"f": 1})", std::nullopt},
                      ChoiceRow{"empty_primary_hides_fallback", Entry::File, "", Entry::File,
                                R"({"f": 1})", std::nullopt},
                      ChoiceRow{"directory_at_primary", Entry::Directory, "", Entry::File,
                                R"({"f": 1})", std::nullopt},
                      ChoiceRow{"fifo_at_primary_does_not_hang", Entry::Fifo, "", Entry::File,
                                R"({"f": 1})", std::nullopt},
                      ChoiceRow{"unreadable_primary", Entry::Unreadable, "", Entry::File,
                                R"({"f": 1})", std::nullopt},
                      ChoiceRow{"dangling_link_counts_as_nothing", Entry::DanglingLink, "",
                                Entry::File, R"({"f": 1})", "f"},
                      ChoiceRow{"fifo_at_fallback", Entry::None, "", Entry::Fifo, "", std::nullopt},
                      ChoiceRow{"array_at_primary", Entry::File, "[1]", Entry::File, R"({"f": 1})",
                                std::nullopt}),
    test::RowName{});

TEST(SettingsChoice, NeverWritesAnything) {
  const test::TempDir dir;
  (void)readLaunchSettingsFrom(settingsLocations(dir.path() / "config"));
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "config"));
}

}  // namespace
}  // namespace zvui
