#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <optional>
#include <string>

#include "support/TestFiles.h"
#include "settings/LaunchSettings.h"

namespace zvui {
namespace {

// A settings text and whether the window goes full screen. The texts that must be refused
// as a whole say false, so only a refusal gives the default, true.
struct TextRow {
  const char* name;
  std::string json;
  bool fullscreen;
};
using T = TextRow;

class SettingsText : public ::testing::TestWithParam<TextRow> {};

TEST_P(SettingsText, ConvertsAutoFullscreen) {
  EXPECT_EQ(autoFullscreenSetting(parseLaunchSettings(GetParam().json)), GetParam().fullscreen);
}

std::string is(const std::string& value) { return "{\"autoFullscreen\": " + value + "}"; }
std::string nested(std::size_t depth) {
  return "{\"a\": " + std::string(depth, '[') + std::string(depth, ']') +
         ", \"autoFullscreen\": false}";
}

INSTANTIATE_TEST_SUITE_P(
    Values, SettingsText,
    ::testing::Values(T{"true", is("true"), true}, T{"false", is("false"), false},
                      T{"one", is("1"), true}, T{"zero", is("0"), false},
                      T{"zero_point_zero", is("0.0"), false}, T{"zero_e5", is("0e5"), false},
                      T{"one_point_zero", is("1.0"), true}, T{"null", is("null"), true},
                      T{"two", is("2"), true}, T{"half", is("0.5"), true},
                      T{"minus_one", is("-1"), true}, T{"string_false", is("\"false\""), true},
                      T{"string_zero", is("\"0\""), true}, T{"array", is("[false]"), true},
                      T{"object", is("{}"), true}, T{"absent", R"({"other": false})", true},
                      T{"key_is_case_sensitive", R"({"autofullscreen": false})", true},
                      T{"last_repeat_wins", R"({"autoFullscreen": 1, "autoFullscreen": 0})",
                        false}),
    test::RowName);

INSTANTIATE_TEST_SUITE_P(
    Texts, SettingsText,
    ::testing::Values(
        T{"other_members_kept", R"({"autoFullscreen": false, "a": [1, {"c": null}]})", false},
        T{"with_bom", "\xEF\xBB\xBF" + is("false"), false},
        T{"top_level_array", "[" + is("false") + "]", true}, T{"empty", "", true},
        T{"truncated", R"({"autoFullscreen": false)", true},
        T{"trailing_garbage", is("false") + " x", true},
        T{"ill_formed_utf8", "{\"autoFullscreen\": false, \"a\": \"\xFF\"}", true},
        T{"nested_to_the_limit", nested(kSettingsMaxDepth - 1), false},
        T{"nested_past_the_limit", nested(kSettingsMaxDepth), true},
        T{"brackets_in_strings_do_not_nest",
          "{\"a\": \"\\\"" + std::string(10000, '[') + "\", \"autoFullscreen\": false}", false},
        // Hostile nesting is refused without exhausting the stack.
        T{"nested_four_million_deep", nested(4 << 20), true},
        T{"unclosed_four_million_deep", std::string(4 << 20, '{'), true}),
    test::RowName);

TEST(ConfigDirectory, FollowsTheBaseDirectoryRules) {
  using std::nullopt;
  EXPECT_EQ(configDirectory("/x/conf", "/home/u"), "/x/conf");
  EXPECT_EQ(configDirectory(nullopt, "/home/u"), "/home/u/.config");
  EXPECT_EQ(configDirectory("", "/home/u"), "/home/u/.config");
  EXPECT_EQ(configDirectory("conf", "/home/u"), "/home/u/.config");  // relative: ignored
  EXPECT_EQ(configDirectory(nullopt, nullopt), nullopt);
  EXPECT_EQ(configDirectory(nullopt, "home"), nullopt);
}

// The choice between the two files: what stands at each path, and the one member read.
enum class Entry { None, File, Directory, Fifo, DanglingLink, Unreadable };
using enum Entry;

struct ChoiceRow {
  const char* name;
  Entry primary;
  std::string primaryText;
  Entry fallback;
  const char* expectedKey;  // "p" from the primary, "f" from the fallback, "" for nothing
};
using Ch = ChoiceRow;

void place(const test::TempDir& dir, const std::filesystem::path& path, Entry entry,
           const std::string& text) {
  std::filesystem::create_directories(path.parent_path());
  if (entry == File) dir.write(path.lexically_relative(dir.path()), text);
  if (entry == Directory) std::filesystem::create_directories(path);
  if (entry == Fifo && ::mkfifo(path.c_str(), 0600) != 0) throw std::runtime_error("mkfifo");
  if (entry == DanglingLink) std::filesystem::create_symlink(dir.path() / "nowhere", path);
  // Reading at offset 0 of our own memory fails, even for root.
  if (entry == Unreadable) std::filesystem::create_symlink("/proc/self/mem", path);
}

class SettingsChoice : public ::testing::TestWithParam<ChoiceRow> {};

TEST_P(SettingsChoice, ReadsExactlyOneFileAndWritesNothing) {
  const auto& row = GetParam();
  const test::TempDir dir;
  const auto locations = settingsLocations(dir.path() / "config");
  if (row.primary != None) place(dir, locations.primary, row.primary, row.primaryText);
  if (row.fallback != None) place(dir, locations.fallback, row.fallback, R"({"f": 1})");
  const auto settings = readLaunchSettingsFrom(locations);
  EXPECT_EQ(settings.size() == 1 ? settings.begin()->first : "", row.expectedKey);
  if (row.primary == None && row.fallback == None) {
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "config"));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, SettingsChoice,
    ::testing::Values(Ch{"neither", None, "", None, ""},
                      Ch{"primary_only", File, R"({"p": 1})", None, "p"},
                      Ch{"fallback_only", None, "", File, "f"},
                      Ch{"both_primary_wins", File, R"({"p": 1})", File, "p"},
                      Ch{"invalid_primary_hides_fallback", File, "{", File, ""},
                      Ch{"empty_primary_hides_fallback", File, "", File, ""},
                      Ch{"array_at_primary", File, "[1]", File, ""},
                      Ch{"directory_at_primary", Directory, "", File, ""},
                      Ch{"fifo_at_primary_does_not_hang", Fifo, "", File, ""},
                      Ch{"unreadable_primary", Unreadable, "", File, ""},
                      Ch{"dangling_link_counts_as_nothing", DanglingLink, "", File, "f"},
                      Ch{"fifo_at_fallback", None, "", Fifo, ""}),
    test::RowName);

// A settings text of exactly `size` bytes that holds the member "p".
std::string ofSize(std::size_t size) {
  const std::string frame = "{\"p\": \"\"}";
  return frame.substr(0, 7) + std::string(size - frame.size(), 'n') + frame.substr(7);
}

struct SizeRow {
  const char* name;
  std::size_t size;
  bool sparse;  // all but the start is a hole
  const char* expectedKey;
};

class SettingsSize : public ::testing::TestWithParam<SizeRow> {};

// Over the limit counts as unreadable: the defaults, and the fallback is not consulted.
TEST_P(SettingsSize, LargeFilesAreRefusedBeforeTheyAreRead) {
  const auto& row = GetParam();
  const test::TempDir dir;
  const auto locations = settingsLocations(dir.path() / "config");
  place(dir, locations.fallback, File, R"({"f": 1})");
  if (row.sparse) {
    place(dir, locations.primary, File, R"({"p": 1})");
    std::filesystem::resize_file(locations.primary, row.size);
  } else {
    place(dir, locations.primary, File, ofSize(row.size));
  }
  const auto settings = readLaunchSettingsFrom(locations);
  EXPECT_EQ(settings.size() == 1 ? settings.begin()->first : "", row.expectedKey);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, SettingsSize,
    ::testing::Values(SizeRow{"just_under", kSettingsMaxBytes - 1, false, "p"},
                      SizeRow{"at_the_limit", kSettingsMaxBytes, false, "p"},
                      SizeRow{"just_over", kSettingsMaxBytes + 1, false, ""},
                      SizeRow{"sixteen_mebibytes", std::size_t{16} << 20, false, ""},
                      SizeRow{"sparse_eight_gibibytes", std::size_t{8} << 30, true, ""}),
    test::RowName);

}  // namespace
}  // namespace zvui
