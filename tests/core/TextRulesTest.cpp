// The titlebar's host and runtime text, which addresses share the console's origin or may go
// to the desktop, and what a server's suggested file name becomes.
#include <gtest/gtest.h>

#include "titlebar/TitlebarText.h"
#include "window/DownloadName.h"
#include "window/WebOrigin.h"

namespace zvui {
namespace {

using Pairs = std::initializer_list<std::pair<const char*, const char*>>;

TEST(TitlebarText, HostAndRuntimeText) {
  EXPECT_EQ(titlebarHostText("Render Box 2", "ignored.local"), "RENDER BOX 2");
  EXPECT_EQ(titlebarHostText("", "host"), "");  // an empty localized name still counts
  // ".local" goes everywhere, in one pass, before upper-casing, which follows Unicode.
  for (const auto& [name, shown] : Pairs{{"host.localdomain", "HOSTDOMAIN"},
                                         {".loc.localal", ".LOCAL"},
                                         {"Stra\u00DFe.local", "STRASSE"},
                                         {"a\xFF", "A\uFFFD"}}) {
    EXPECT_EQ(titlebarHostText(std::nullopt, name), shown);
  }
  EXPECT_EQ(titlebarRuntimeText(std::nullopt), "ZSH");
}

TEST(WebOrigin, OnlyHttpAndHttpsAddressesLeaveForTheDesktop) {
  for (const char* address : {"http://example.org/page", "HTTPS://example.org:8443/a?b#c"})
    EXPECT_TRUE(mayHandToDesktop(address)) << address;
  for (const char* address :
       {"blob:http://127.0.0.1:8080/0d1e", "file:///etc/passwd", "mailto:someone@example.org",
        "javascript:alert(1)", "x-scheme-handler://run", "http:example.org", "//example.org/", ""})
    EXPECT_FALSE(mayHandToDesktop(address)) << address;
}

TEST(DownloadName, KeepsTheNameAndDropsWhatCouldMisleadOrEscape) {
  std::string wide;  // two bytes a character
  for (int i = 0; i < 200; ++i) wide += "\u00E9";
  for (const auto& [suggested, offered] :
       std::initializer_list<std::pair<std::string, std::string>>{
           {"Résumé 2024.txt", "Résumé 2024.txt"},
           {"../../.bashrc", "bashrc"},
           {"C:\\Users\\me\\evil.exe", "evil.exe"},
           {"invoice\u202Etxt\u200B.exe", "invoicetxt.exe"},  // right-to-left override, zero width
           {std::string("nul\0bad\xFF\xFEutf8.txt", 17), "nulbadutf8.txt"},
           {"", "download"},
           {std::string(300, 'a') + ".tar.gz", std::string(252, 'a') + ".gz"},
           {wide + ".txt", wide.substr(0, 250) + ".txt"},
           {std::string(300, 'b') + "." + std::string(40, 'c'), std::string(255, 'b')}}) {
    EXPECT_EQ(safeDownloadName(suggested), offered);
  }
}

}  // namespace
}  // namespace zvui
