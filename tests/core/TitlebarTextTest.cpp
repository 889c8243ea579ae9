#include <gtest/gtest.h>
#include <unicode/uloc.h>

#include <clocale>
#include <optional>
#include <string>

#include "core/support/RowName.h"
#include "core/support/TempDir.h"
#include "titlebar/HostName.h"
#include "titlebar/TitlebarText.h"

namespace zvui {
namespace {

struct HostRow {
  const char* name;
  std::optional<std::string_view> localizedName;
  std::string_view hostName;
  std::string expected;
};

class HostText : public ::testing::TestWithParam<HostRow> {};

TEST_P(HostText, Rule) {
  const auto& row = GetParam();
  EXPECT_EQ(titlebarHostText(row.localizedName, row.hostName), row.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, HostText,
    ::testing::Values(
        HostRow{"localized_name_wins", "Render Box 2", "ignored.local", "RENDER BOX 2"},
        HostRow{"empty_localized_name_counts", "", "host", ""},
        HostRow{"host_name_suffix_removed", std::nullopt, "build-07.local", "BUILD-07"},
        HostRow{"not_only_a_suffix", std::nullopt, "lab.local.example", "LAB.EXAMPLE"},
        HostRow{"inside_a_longer_word", std::nullopt, "host.localdomain", "HOSTDOMAIN"},
        HostRow{"case_sensitive_before_upper_casing", std::nullopt, "MAC.LOCAL", "MAC.LOCAL"},
        HostRow{"one_pass", std::nullopt, ".loc.localal", ".LOCAL"},
        HostRow{"localized_name_also_loses_local", "Studio.local", "x", "STUDIO"},
        HostRow{"sharp_s_becomes_two_letters", "Stra\u00DFe", "x", "STRASSE"},
        HostRow{"ligature_expands", "\uFB01le", "x", "FILE"},
        HostRow{"dotless_and_dotted_i", std::nullopt, "i\u0131", "II"},
        HostRow{"ill_formed_bytes_replaced", "a\xFF", "x", "A\uFFFD"}),
    test::RowName{});

struct RuntimeRow {
  const char* name;
  std::optional<std::string_view> shell;
  std::string expected;
};

class RuntimeText : public ::testing::TestWithParam<RuntimeRow> {};

TEST_P(RuntimeText, Rule) { EXPECT_EQ(titlebarRuntimeText(GetParam().shell), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(
    Rows, RuntimeText,
    ::testing::Values(
        RuntimeRow{"zsh", "/bin/zsh", "ZSH"}, RuntimeRow{"fish", "/usr/local/bin/fish", "FISH"},
        RuntimeRow{"trailing_slash", "/bin/bash/", "BASH"},
        RuntimeRow{"many_trailing_slashes", "/bin/bash///", "BASH"},
        RuntimeRow{"no_slash", "tcsh", "TCSH"}, RuntimeRow{"not_set", std::nullopt, "ZSH"},
        RuntimeRow{"set_but_empty", "", ""}, RuntimeRow{"root", "/", "/"},
        RuntimeRow{"only_slashes", "///", "/"}, RuntimeRow{"relative", "bin/nu", "NU"}),
    test::RowName{});

// The user's locale never changes the upper-casing: a Turkish "i" still becomes "I".
TEST(UpperCase, IgnoresTheDefaultLocale) {
  const std::string before = uloc_getDefault();
  UErrorCode status = U_ZERO_ERROR;
  uloc_setDefault("tr_TR", &status);
  ASSERT_TRUE(U_SUCCESS(status));
  const std::string upper = upperCaseForDisplay("istanbul");
  uloc_setDefault(before.c_str(), &status);
  EXPECT_EQ(upper, "ISTANBUL");
}

struct EnvFileRow {
  const char* name;
  std::string text;
  std::optional<std::string> value;
};

class MachineInfo : public ::testing::TestWithParam<EnvFileRow> {};

TEST_P(MachineInfo, PrettyHostName) {
  EXPECT_EQ(environmentFileValue(GetParam().text, "PRETTY_HOSTNAME"), GetParam().value);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, MachineInfo,
    ::testing::Values(
        EnvFileRow{"plain", "PRETTY_HOSTNAME=Studio\n", "Studio"},
        EnvFileRow{"double_quoted", "PRETTY_HOSTNAME=\"Render Box 2\"\n", "Render Box 2"},
        EnvFileRow{"single_quoted_is_literal", "PRETTY_HOSTNAME='a\\\"b $x'\n", "a\\\"b $x"},
        EnvFileRow{"escapes_in_double_quotes", R"(PRETTY_HOSTNAME="say \"hi\" \\ \$ \n")",
                   R"(say "hi" \ $ \n)"},
        EnvFileRow{"unquoted_escape", "PRETTY_HOSTNAME=a\\ b\n", "a b"},
        EnvFileRow{"line_continuation", "PRETTY_HOSTNAME=\"one \\\ntwo\"\n", "one two"},
        EnvFileRow{"trailing_blanks_trimmed", "PRETTY_HOSTNAME=Box   \n", "Box"},
        EnvFileRow{"blanks_around_equals", "PRETTY_HOSTNAME = Box\n", "Box"},
        EnvFileRow{"among_other_keys", "CHASSIS=laptop\nPRETTY_HOSTNAME=Lap\nICON_NAME=x\n", "Lap"},
        EnvFileRow{"last_assignment_wins", "PRETTY_HOSTNAME=a\nPRETTY_HOSTNAME=b\n", "b"},
        EnvFileRow{"comment_lines", "# PRETTY_HOSTNAME=no\n; PRETTY_HOSTNAME=no\n", std::nullopt},
        EnvFileRow{"no_newline_at_end", "PRETTY_HOSTNAME=\"x\"", "x"},
        EnvFileRow{"unterminated_quote", "PRETTY_HOSTNAME=\"x", "x"},
        EnvFileRow{"crlf_line", "PRETTY_HOSTNAME=Box\r\n", "Box"},
        EnvFileRow{"similar_key", "PRETTY_HOSTNAME2=x\n", std::nullopt},
        EnvFileRow{"line_without_equals", "PRETTY_HOSTNAME\nX=1\n", std::nullopt},
        EnvFileRow{"utf8_name", "PRETTY_HOSTNAME=\"J\u00FCrgen's Mac\"\n", "J\u00FCrgen's Mac"}),
    test::RowName{});

TEST(MachineInfo, EmptyOrMissingNameFallsBack) {
  const test::TempDir dir;
  EXPECT_EQ(localizedHostName(dir.path() / "missing"), std::nullopt);
  EXPECT_EQ(localizedHostName(dir.write("empty", "PRETTY_HOSTNAME=\n")), std::nullopt);
  EXPECT_EQ(localizedHostName(dir.write("set", "PRETTY_HOSTNAME='Box 1'\n")), "Box 1");
}

}  // namespace
}  // namespace zvui
