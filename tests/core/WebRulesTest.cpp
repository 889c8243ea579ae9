// Which addresses share the console's origin, which may be handed to the desktop, and what a
// server's suggested file name becomes.
#include <gtest/gtest.h>

#include "window/DownloadName.h"
#include "window/WebOrigin.h"

namespace zvui {
namespace {

// Addresses grouped by origin: the same within a group, different across groups. Paths,
// queries, fragments and user info do not count; neither do case and default ports.
TEST(WebOrigin, SameOriginIsSchemeHostAndPort) {
  const std::vector<std::vector<std::string>> groups = {
      {"http://127.0.0.1:8080/", "HTTP://127.0.0.1:8080/o?q=1#x", "blob:http://127.0.0.1:8080/0"},
      {"http://127.0.0.1:8081/"},
      {"https://127.0.0.1:8080/"},
      {"http://localhost:8080/", "http://LocalHost:8080/a"},
      {"http://host/", "http://host:80/", "http://user:pw@host/x"},
      {"https://host:443/", "https://host/"},
      {"http://host:443/"},
      {"http://host.:80/"},
      {"http://[::1]:5/", "http://[::1]:5/x"},
      {"http://127.0.0.1:5/"}};
  for (std::size_t g = 0; g < groups.size(); ++g)
    for (std::size_t h = 0; h < groups.size(); ++h)
      for (const auto& a : groups[g])
        for (const auto& b : groups[h]) EXPECT_EQ(sameWebOrigin(a, b), g == h) << a << " / " << b;
  // No origin of their own to share, not even with themselves: other schemes, relative and
  // broken addresses.
  for (const char* address :
       {"about:blank", "data:text/html,x", "file:///tmp/a", "ws://host/", "/relative",
        "http://host:99999/", "http://host:8x/", "http:///path", ""})
    EXPECT_FALSE(sameWebOrigin(address, address)) << address;
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
           {"  spaced name.txt  ", "spaced name.txt"},
           {"trailing...", "trailing"},
           {"bell\a\ttab\nline.txt", "belltabline.txt"},
           {"invoice\u202Etxt\u200B.exe", "invoicetxt.exe"},  // right-to-left override, zero width
           {std::string("nul\0bad\xFF\xFEutf8.txt", 17), "nulbadutf8.txt"},
           {"dir/", "download"},
           {"..", "download"},
           {"", "download"},
           // A long name is cut between characters and keeps a short extension.
           {std::string(300, 'a') + ".tar.gz", std::string(252, 'a') + ".gz"},
           {wide + ".txt", wide.substr(0, 250) + ".txt"},
           {std::string(300, 'b') + "." + std::string(40, 'c'), std::string(255, 'b')}}) {
    EXPECT_EQ(safeDownloadName(suggested), offered);
  }
}

}  // namespace
}  // namespace zvui
