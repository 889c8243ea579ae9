// The rules the console's web view applies: which addresses share the console's origin, which
// may be handed to the desktop, and what a server's suggested file name becomes.
#include <gtest/gtest.h>

#include <string>

#include "window/DownloadName.h"
#include "window/WebOrigin.h"

namespace zvui {
namespace {

TEST(WebOrigin, SameOriginIsSchemeHostAndPort) {
  const struct {
    const char* a;
    const char* b;
    bool same;
  } rows[] = {
      // Same: paths, queries, fragments and user info do not count; case and default ports.
      {"http://127.0.0.1:8080/", "http://127.0.0.1:8080/other?q=1#x", true},
      {"http://127.0.0.1:8080/", "HTTP://127.0.0.1:8080/", true},
      {"http://LocalHost:9/", "http://localhost:9/a", true},
      {"http://host/", "http://host:80/", true},
      {"https://host:443/", "https://host/", true},
      {"http://user:pw@host:1/", "http://host:1/", true},
      {"http://[::1]:5/", "http://[::1]:5/x", true},
      {"blob:http://127.0.0.1:8080/0d1e", "http://127.0.0.1:8080/", true},
      // Different scheme, host or port.
      {"http://127.0.0.1:8080/", "http://127.0.0.1:8081/", false},
      {"http://127.0.0.1:8080/", "https://127.0.0.1:8080/", false},
      {"http://127.0.0.1:8080/", "http://localhost:8080/", false},
      {"http://host/", "http://host:443/", false},
      {"https://host/", "https://host:80/", false},
      {"http://host/", "http://host.:80/", false},
      {"http://[::1]:5/", "http://127.0.0.1:5/", false},
      // No origin of their own to share: other schemes, relative and broken addresses.
      {"about:blank", "about:blank", false},
      {"data:text/html,x", "data:text/html,x", false},
      {"file:///tmp/a", "file:///tmp/a", false},
      {"ws://host/", "ws://host/", false},
      {"/relative", "/relative", false},
      {"http://host:99999/", "http://host:99999/", false},
      {"http://host:8x/", "http://host:8x/", false},
      {"http:///path", "http:///path", false},
      {"", "", false},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(sameWebOrigin(row.a, row.b), row.same) << row.a << " / " << row.b;
    EXPECT_EQ(sameWebOrigin(row.b, row.a), row.same) << row.b << " / " << row.a;
  }
}

TEST(WebOrigin, OnlyHttpAndHttpsAddressesLeaveForTheDesktop) {
  const struct {
    const char* address;
    bool handed;
  } rows[] = {
      {"http://example.org/page", true},
      {"HTTPS://example.org:8443/a?b#c", true},
      {"http://127.0.0.1:9/", true},
      {"blob:http://127.0.0.1:8080/0d1e", false},
      {"file:///etc/passwd", false},
      {"mailto:someone@example.org", false},
      {"javascript:alert(1)", false},
      {"data:text/html,x", false},
      {"ftp://example.org/", false},
      {"x-scheme-handler://run", false},
      {"about:blank", false},
      {"http:example.org", false},
      {"//example.org/", false},
      {"", false},
  };
  for (const auto& row : rows) EXPECT_EQ(mayHandToDesktop(row.address), row.handed) << row.address;
}

TEST(DownloadName, KeepsTheNameAndDropsWhatCouldMisleadOrEscape) {
  const struct {
    std::string suggested;
    std::string offered;
  } rows[] = {
      {"report.pdf", "report.pdf"},
      {"Résumé 2024.txt", "Résumé 2024.txt"},
      {"../../.bashrc", "bashrc"},
      {"/etc/passwd", "passwd"},
      {"C:\\Users\\me\\evil.exe", "evil.exe"},
      {"dir/", "download"},
      {"..", "download"},
      {"", "download"},
      {"  spaced name.txt  ", "spaced name.txt"},
      {"trailing...", "trailing"},
      {"bell\a\ttab\nline.txt", "belltabline.txt"},
      {"invoice\u202Etxt.exe", "invoicetxt.exe"},  // a right-to-left override
      {"zero\u200Bwidth.txt", "zerowidth.txt"},
      {"bad\xFF\xFEutf8.txt", "badutf8.txt"},
      {std::string("nul\0byte.txt", 12), "nulbyte.txt"},
  };
  for (const auto& row : rows) EXPECT_EQ(safeDownloadName(row.suggested), row.offered);
}

TEST(DownloadName, ALongNameIsCutBetweenCharactersAndKeepsItsExtension) {
  const std::string long_ = std::string(300, 'a') + ".tar.gz";
  const std::string cut = safeDownloadName(long_);
  EXPECT_EQ(cut.size(), 255u);
  EXPECT_TRUE(cut.ends_with("a.gz")) << cut;

  std::string wide;
  for (int i = 0; i < 200; ++i) wide += "\u00E9";  // two bytes each
  const std::string wideCut = safeDownloadName(wide + ".txt");
  EXPECT_LE(wideCut.size(), 255u);
  EXPECT_TRUE(wideCut.ends_with("\u00E9.txt")) << wideCut;

  const std::string noExtension =
      safeDownloadName(std::string(300, 'b') + "." + std::string(40, 'c'));
  EXPECT_EQ(noExtension, std::string(255, 'b'));
}

}  // namespace
}  // namespace zvui
