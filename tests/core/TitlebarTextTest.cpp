#include <gtest/gtest.h>
#include <unicode/uloc.h>

#include <optional>
#include <string>

#include "support/TestFiles.h"
#include "titlebar/HostName.h"
#include "titlebar/TitlebarText.h"

namespace zvui {
namespace {

constexpr std::nullopt_t kUnset = std::nullopt;

TEST(TitlebarText, HostText) {
  EXPECT_EQ(titlebarHostText("Render Box 2", "ignored.local"), "RENDER BOX 2");
  EXPECT_EQ(titlebarHostText("", "host"), "");  // an empty localized name still counts
  EXPECT_EQ(titlebarHostText(kUnset, "build-07.local"), "BUILD-07");
  EXPECT_EQ(titlebarHostText(kUnset, "host.localdomain"), "HOSTDOMAIN");
  EXPECT_EQ(titlebarHostText(kUnset, "MAC.LOCAL"), "MAC.LOCAL");  // removed before upper-casing
  EXPECT_EQ(titlebarHostText(kUnset, ".loc.localal"), ".LOCAL");  // one pass
  EXPECT_EQ(titlebarHostText("Stra\u00DFe.local", "x"), "STRASSE");
  EXPECT_EQ(titlebarHostText("\uFB01le i\u0131", "x"), "FILE II");
  EXPECT_EQ(titlebarHostText("a\xFF", "x"), "A\uFFFD");
}

TEST(TitlebarText, RuntimeText) {
  EXPECT_EQ(titlebarRuntimeText("/bin/zsh"), "ZSH");
  EXPECT_EQ(titlebarRuntimeText("/bin/bash///"), "BASH");
  EXPECT_EQ(titlebarRuntimeText("tcsh"), "TCSH");
  EXPECT_EQ(titlebarRuntimeText(kUnset), "ZSH");
  EXPECT_EQ(titlebarRuntimeText(""), "");
  EXPECT_EQ(titlebarRuntimeText("/"), "/");
  EXPECT_EQ(titlebarRuntimeText("///"), "/");
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
  const auto value = [](std::string_view text) {
    return environmentFileValue(text, "PRETTY_HOSTNAME");
  };
  EXPECT_EQ(value("CHASSIS=laptop\nPRETTY_HOSTNAME = Studio  \r\nICON_NAME=x\n"), "Studio");
  EXPECT_EQ(value("PRETTY_HOSTNAME='a\\\"b $x'\n"), "a\\\"b $x");
  EXPECT_EQ(value(R"(PRETTY_HOSTNAME="say \"hi\" \\ \$ \n")"), R"(say "hi" \ $ \n)");
  EXPECT_EQ(value("PRETTY_HOSTNAME=a\\ b\n"), "a b");
  EXPECT_EQ(value("PRETTY_HOSTNAME=\"one \\\ntwo\"\n"), "one two");
  EXPECT_EQ(value("PRETTY_HOSTNAME=a\nPRETTY_HOSTNAME=b\n"), "b");
  EXPECT_EQ(value("PRETTY_HOSTNAME=\"x"), "x");
  EXPECT_EQ(value("# PRETTY_HOSTNAME=no\n; PRETTY_HOSTNAME=no\n"), std::nullopt);
  EXPECT_EQ(value("PRETTY_HOSTNAME2=x\nPRETTY_HOSTNAME\nX=1\n"), std::nullopt);

  const test::TempDir dir;
  EXPECT_EQ(localizedHostName(dir.path() / "missing"), std::nullopt);
  EXPECT_EQ(localizedHostName(dir.write("empty", "PRETTY_HOSTNAME=\n")), std::nullopt);
  EXPECT_EQ(localizedHostName(dir.write("set", "PRETTY_HOSTNAME='Box 1'\n")), "Box 1");
}

}  // namespace
}  // namespace zvui
