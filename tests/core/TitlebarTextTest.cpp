#include <gtest/gtest.h>
#include <unicode/uloc.h>

#include "support/TestFiles.h"
#include "titlebar/HostName.h"
#include "titlebar/TitlebarText.h"

namespace zvui {
namespace {

using Pairs = std::initializer_list<std::pair<const char*, const char*>>;

TEST(TitlebarText, HostAndRuntimeText) {
  EXPECT_EQ(titlebarHostText("Render Box 2", "ignored.local"), "RENDER BOX 2");
  EXPECT_EQ(titlebarHostText("", "host"), "");  // an empty localized name still counts
  // ".local" goes everywhere, in one pass, before upper-casing, which follows Unicode.
  for (const auto& [name, shown] : Pairs{{"host.localdomain", "HOSTDOMAIN"},
                                         {"MAC.LOCAL", "MAC.LOCAL"},
                                         {".loc.localal", ".LOCAL"},
                                         {"Stra\u00DFe.local", "STRASSE"},
                                         {"\uFB01le i\u0131", "FILE II"},
                                         {"a\xFF", "A\uFFFD"}}) {
    EXPECT_EQ(titlebarHostText(std::nullopt, name), shown);
  }
  for (const auto& [shell, shown] :
       Pairs{{"/bin/bash///", "BASH"}, {"tcsh", "TCSH"}, {"", ""}, {"///", "/"}})
    EXPECT_EQ(titlebarRuntimeText(shell), shown);
  EXPECT_EQ(titlebarRuntimeText(std::nullopt), "ZSH");
}

// The user's locale never changes the upper-casing: a Turkish "i" still becomes "I".
TEST(TitlebarText, UpperCasingIgnoresTheDefaultLocale) {
  const std::string before = uloc_getDefault();
  UErrorCode status = U_ZERO_ERROR;
  uloc_setDefault("tr_TR", &status);
  ASSERT_TRUE(U_SUCCESS(status));
  const std::string upper = upperCaseForDisplay("istanbul");
  uloc_setDefault(before.c_str(), &status);
  EXPECT_EQ(upper, "ISTANBUL");
}

TEST(MachineInfo, PrettyHostName) {
  for (const auto& [text, value] :
       Pairs{{"CHASSIS=laptop\nPRETTY_HOSTNAME = Studio  \r\nICON_NAME=x\n", "Studio"},
             {"PRETTY_HOSTNAME='a\\\"b $x'\n", "a\\\"b $x"},
             {R"(PRETTY_HOSTNAME="say \"hi\" \\ \$ \n")", R"(say "hi" \ $ \n)"},
             {"PRETTY_HOSTNAME=a\\ b\n", "a b"},
             {"PRETTY_HOSTNAME=\"one \\\ntwo\"\n", "one two"},
             {"PRETTY_HOSTNAME=a\nPRETTY_HOSTNAME=b\n", "b"},
             {"PRETTY_HOSTNAME=\"x", "x"},
             {"# PRETTY_HOSTNAME=no\n; PRETTY_HOSTNAME=no\n", nullptr},
             {"PRETTY_HOSTNAME2=x\nPRETTY_HOSTNAME\nX=1\n", nullptr}}) {
    EXPECT_EQ(environmentFileValue(text, "PRETTY_HOSTNAME").value_or("(none)"),
              value ? value : "(none)");
  }
  const test::TempDir dir;
  EXPECT_EQ(localizedHostName(dir.path() / "missing"), std::nullopt);
  EXPECT_EQ(localizedHostName(dir.write("empty", "PRETTY_HOSTNAME=\n")), std::nullopt);
  EXPECT_EQ(localizedHostName(dir.write("set", "PRETTY_HOSTNAME='Box 1'\n")), "Box 1");
}

}  // namespace
}  // namespace zvui
