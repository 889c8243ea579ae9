// The installed desktop entry, metadata and images, as a desktop and a software centre read them.
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <glibmm/keyfile.h>
#include <glibmm/spawn.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "support/GlibHandles.h"
#include "support/TestFiles.h"

namespace zvui::test {
namespace {

namespace fs = std::filesystem;

const std::string kAppId = ZVUI_APP_ID;

// Runs a tool to completion; its output, and whether it exited with status 0.
std::pair<bool, std::string> run(const std::vector<std::string>& argv) {
  std::string out;
  std::string err;
  int status = -1;
  Glib::spawn_sync("", argv, Glib::SpawnFlags::SEARCH_PATH, {}, &out, &err, &status);
  return {WIFEXITED(status) && WEXITSTATUS(status) == 0, out + err};
}

// One install of just the desktop component into a temporary prefix, shared by the suite.
class Installed : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir = std::make_unique<TempDir>();
    prefix = dir->path();
    const auto [ok, output] = run({ZVUI_CMAKE_COMMAND, "--install", ZVUI_BUILD_DIR, "--component",
                                   ZVUI_DESKTOP_COMPONENT, "--prefix", prefix.string()});
    ASSERT_TRUE(ok) << output;
  }
  static void TearDownTestSuite() { dir.reset(); }
  static inline std::unique_ptr<TempDir> dir;
  static inline fs::path prefix;
};

TEST_F(Installed, DesktopEntryValidatesAndLaunchesTheApp) {
  const fs::path file = prefix / ("share/applications/" + kAppId + ".desktop");
  const auto [ok, output] = run({"desktop-file-validate", file.string()});
  EXPECT_TRUE(ok && output.find("error") == std::string::npos) << output;
  const Glib::RefPtr<Glib::KeyFile> entry = Glib::KeyFile::create();
  entry->load_from_file(file.string());
  const auto value = [&](const char* key) { return entry->get_string("Desktop Entry", key).raw(); };
  EXPECT_EQ(value("Exec") + "|" + value("Icon") + "|" + value("Name") + "|" + value("Type"),
            "zvui|" + kAppId + "|ZVui|Application");
}

TEST_F(Installed, MetainfoValidatesAndNamesTheDesktopEntry) {
  const fs::path file = prefix / ("share/metainfo/" + kAppId + ".metainfo.xml");
  const auto [ok, output] = run({"appstreamcli", "validate", "--no-net", file.string()});
  EXPECT_TRUE(ok) << output;
  // The validator cannot see that the launchable names the entry we install.
  EXPECT_NE(readFile(file).find(">" + kAppId + ".desktop</launchable>"), std::string::npos);
}

TEST_F(Installed, ImagesDecodeAtTheirSizes) {
  const std::string icons = "share/icons/hicolor/";
  for (const auto& [relative, width, height] :
       {std::tuple{std::string("lib/zvui/BrandIcon.png"), 256, 256},
        {std::string("lib/zvui/BrandWordmark.png"), 640, 224},
        {icons + "256x256/apps/" + kAppId + ".png", 256, 256}}) {
    const auto image = GObjectPtr<GdkPixbuf>::adopt(
        gdk_pixbuf_new_from_file((prefix / relative).c_str(), nullptr));
    ASSERT_TRUE(image) << relative;
    EXPECT_EQ(gdk_pixbuf_get_width(image.get()), width) << relative;
    EXPECT_EQ(gdk_pixbuf_get_height(image.get()), height) << relative;
  }
  // The scalable icon must render too; rsvg-convert is how the build renders it.
  const auto [ok, output] =
      run({"rsvg-convert", "--width", "64", "--output", (prefix / "check.png").string(),
           (prefix / (icons + "scalable/apps/" + kAppId + ".svg")).string()});
  EXPECT_TRUE(ok) << output;
}

}  // namespace
}  // namespace zvui::test
