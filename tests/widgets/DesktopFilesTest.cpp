// The installed desktop entry, icons, metadata and brand images, as a desktop and a
// software centre would read them.
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <glibmm/keyfile.h>
#include <glibmm/spawn.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

const std::string kAppId = ZVUI_APP_ID;

struct ToolRun {
  int status = -1;
  std::string output;
};

ToolRun runTool(const std::vector<std::string>& argv) {
  ToolRun result;
  std::string out;
  std::string err;
  Glib::spawn_sync("", argv, Glib::SpawnFlags::SEARCH_PATH, {}, &out, &err, &result.status);
  result.output = out + err;
  return result;
}

bool exitedCleanly(int waitStatus) { return WIFEXITED(waitStatus) && WEXITSTATUS(waitStatus) == 0; }

// One install of just the desktop component into a temporary prefix, shared by the suite.
class InstalledDesktopFiles : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string pattern = (fs::temp_directory_path() / "zvui-install-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    prefix_ = pattern;
    const ToolRun install = runTool({ZVUI_CMAKE_COMMAND, "--install", ZVUI_BUILD_DIR, "--component",
                                     ZVUI_DESKTOP_COMPONENT, "--prefix", prefix_.string()});
    ASSERT_TRUE(exitedCleanly(install.status)) << install.output;
  }
  static void TearDownTestSuite() {
    std::error_code ignored;
    fs::remove_all(prefix_, ignored);
  }

  static fs::path installed(const std::string& relative) { return prefix_ / relative; }
  static fs::path desktopFile() { return installed("share/applications/" + kAppId + ".desktop"); }
  static fs::path metainfoFile() { return installed("share/metainfo/" + kAppId + ".metainfo.xml"); }

  static inline fs::path prefix_;
};

TEST_F(InstalledDesktopFiles, DesktopEntryValidatesAndLaunchesTheApp) {
  const ToolRun validate = runTool({"desktop-file-validate", desktopFile().string()});
  EXPECT_TRUE(exitedCleanly(validate.status)) << validate.output;
  EXPECT_EQ(validate.output.find("error"), std::string::npos) << validate.output;

  const Glib::RefPtr<Glib::KeyFile> entry = Glib::KeyFile::create();
  entry->load_from_file(desktopFile().string());
  auto value = [&entry](const char* key) { return entry->get_string("Desktop Entry", key).raw(); };
  EXPECT_EQ(value("Exec"), "zvui");
  EXPECT_EQ(value("Icon"), kAppId);
  EXPECT_EQ(value("Name"), "ZVui");
  EXPECT_EQ(value("Type"), "Application");
}

TEST_F(InstalledDesktopFiles, MetainfoValidatesAndNamesTheDesktopEntry) {
  const ToolRun validate =
      runTool({"appstreamcli", "validate", "--no-net", metainfoFile().string()});
  EXPECT_TRUE(exitedCleanly(validate.status)) << validate.output;

  // The validator cannot see that the launchable names the entry we install.
  std::ifstream in(metainfoFile());
  const std::string text{std::istreambuf_iterator<char>(in), {}};
  EXPECT_NE(text.find(">" + kAppId + ".desktop</launchable>"), std::string::npos);
}

struct ImageCase {
  const char* name;
  const char* path;  // relative to the prefix; @ stands for the app id
  int width;
  int height;
  bool transparentCorner;
};

class InstalledImages : public InstalledDesktopFiles,
                        public ::testing::WithParamInterface<ImageCase> {};

TEST_P(InstalledImages, DecodeAtTheirSizes) {
  std::string relative = GetParam().path;
  if (const auto at = relative.find('@'); at != std::string::npos) relative.replace(at, 1, kAppId);
  const fs::path file = installed(relative);
  ASSERT_TRUE(fs::is_regular_file(file)) << file;
  if (file.extension() == ".svg") {
    // The scalable icon must render too; rsvg-convert is how the build renders it.
    const ToolRun render = runTool({"rsvg-convert", "--width", "64", "--output",
                                    (prefix_ / "render-check.png").string(), file.string()});
    EXPECT_TRUE(exitedCleanly(render.status)) << render.output;
    return;
  }
  const std::unique_ptr<GdkPixbuf, decltype(&g_object_unref)> image(
      gdk_pixbuf_new_from_file(file.c_str(), nullptr), &g_object_unref);
  ASSERT_NE(image, nullptr) << "cannot decode " << file;
  EXPECT_EQ(gdk_pixbuf_get_width(image.get()), GetParam().width);
  EXPECT_EQ(gdk_pixbuf_get_height(image.get()), GetParam().height);
  if (GetParam().transparentCorner) {
    ASSERT_TRUE(gdk_pixbuf_get_has_alpha(image.get()));
    EXPECT_EQ(gdk_pixbuf_read_pixels(image.get())[3], 0)
        << "the top-left corner should be transparent";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Files, InstalledImages,
    ::testing::Values(
        ImageCase{"BrandIcon", "lib/zvui/BrandIcon.png", 256, 256, false},
        ImageCase{"BrandWordmark", "lib/zvui/BrandWordmark.png", 640, 224, true},
        ImageCase{"AppIcon256", "share/icons/hicolor/256x256/apps/@.png", 256, 256, false},
        ImageCase{"AppIconScalable", "share/icons/hicolor/scalable/apps/@.svg", 0, 0, false}),
    [](const auto& testCase) { return std::string(testCase.param.name); });

}  // namespace
