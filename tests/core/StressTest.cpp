// Hostile or huge input must neither crash nor stall the core, and what the watcher holds
// stays bounded by its cap plus one block.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>

#include "MacTamrikApp/AppDelegate.h"
#include "backend/Utf8Decoder.h"
#include "core/support/FakeBackend.h"
#include "core/support/RecordingView.h"
#include "core/support/ScopedEnvironment.h"
#include "core/support/TempDir.h"
#include "settings/LaunchSettings.h"
#include "support/TestMainLoop.h"

namespace zvui {
namespace {

constexpr std::size_t kMiB = 1024 * 1024;

class Stress : public ::testing::Test {
 protected:
  test::TempDir config;
  test::ScopedEnvironment xdg{"XDG_CONFIG_HOME", config.path().string()};
  test::RecordingView view;
  test::FakeLauncher launcher;
  test::TestMainLoop loop;
  std::shared_ptr<AppDelegate> app = std::make_shared<AppDelegate>(view, launcher, loop);

  void SetUp() override { app->applicationDidFinishLaunching(); }
};

TEST_F(Stress, HundredMegabytesWithoutANewlineThenTheAnnouncement) {
  const std::string block(64 * 1024, 'x');
  std::size_t largestHeld = 0;
  for (std::size_t sent = 0; sent < 100 * kMiB; sent += block.size()) {
    app->handleBackendOutput(block);
    largestHeld = std::max(largestHeld, app->outputBuffer().capacity());
  }
  EXPECT_EQ(app->outputBuffer().size(), kOutputBufferCapacity);
  EXPECT_LE(largestHeld, kOutputBufferCapacity + 2 * block.size());
  EXPECT_FALSE(app->loadedURL());

  app->handleBackendOutput("\nTAMRIK_URL=http://127.0.0.1:5000/\n");
  EXPECT_EQ(view.loads(), (std::vector<std::string>{"http://127.0.0.1:5000/ 60000ms"}));
}

TEST_F(Stress, OneHugeBlockIsNotKeptAfterwards) {
  app->handleBackendOutput(std::string(64 * kMiB, 'y') + "\r\n");
  app->handleBackendOutput("z");
  EXPECT_EQ(app->outputBuffer().size(), kOutputBufferCapacity + 1);  // CR LF is one character
  EXPECT_LE(app->outputBuffer().capacity(), 256 * 1024u);
}

TEST_F(Stress, NonAsciiFloodStaysBounded) {
  std::string block;
  while (block.size() < 256 * 1024)
    block += "\u00E9e\u0301\U0001F600\U0001F1FA\U0001F1F8\u0915\u094D\u0937 ";
  for (int i = 0; i < 40; ++i) app->handleBackendOutput(block);
  EXPECT_LE(app->outputBuffer().size(), kOutputBufferCapacity * 8);
  EXPECT_TRUE(isValidUtf8(app->outputBuffer()));

  // An endless cluster of combining marks is held to a fixed number of bytes.
  std::string marks;
  while (marks.size() < kMiB) marks += "\u0301";
  for (int i = 0; i < 8; ++i) app->handleBackendOutput(marks);
  EXPECT_LE(app->outputBuffer().size(), kOutputBufferCapacity * 128);
  app->handleBackendOutput("\nTAMRIK_URL=http://127.0.0.1:1/\n");
  EXPECT_TRUE(app->loadedURL());
}

TEST_F(Stress, NulBytesAndIllFormedBytesGoingStraightToTheWatcher) {
  std::mt19937 random(99);
  std::uniform_int_distribution<int> byte(0, 255);
  for (int round = 0; round < 2000; ++round) {
    std::string block(static_cast<std::size_t>(byte(random)), '\0');
    for (auto& c : block)
      c = static_cast<char>(byte(random) < 200 ? byte(random) % 4 : byte(random));
    app->handleBackendOutput(block);
  }
  EXPECT_TRUE(isValidUtf8(app->outputBuffer()));
  app->handleBackendOutput(std::string("\nTAMRIK_URL=http://127.0.0.1:2/\0\n", 33));
  EXPECT_FALSE(app->loadedURL()) << "a NUL is part of the value, which no URL contains";
  for (int i = 0; i < 13; ++i) app->handleBackendOutput(std::string(1000, '\0'));
  app->handleBackendOutput("\nTAMRIK_URL=http://127.0.0.1:3/\n");
  EXPECT_EQ(view.loads(), (std::vector<std::string>{"http://127.0.0.1:3/ 60000ms"}));
}

// A rejected announcement hides later ones only while the cap still keeps it.
TEST_F(Stress, RejectedAnnouncementIsForgottenOnceTheCapDropsIt) {
  app->handleBackendOutput("TAMRIK_URL=not a url\nTAMRIK_URL=http://127.0.0.1:4/\n");
  EXPECT_FALSE(app->loadedURL());
  app->handleBackendOutput(std::string(kOutputBufferCapacity - 52, '.'));
  EXPECT_FALSE(app->loadedURL());
  app->handleBackendOutput(".");  // the first "T" leaves the buffer
  EXPECT_EQ(view.loads(), (std::vector<std::string>{"http://127.0.0.1:4/ 60000ms"}));
}

TEST(StressSettings, DeepNestingIsRefusedWithoutExhaustingTheStack) {
  const std::string deep =
      "{\"a\": " + std::string(4 * kMiB, '[') + std::string(4 * kMiB, ']') + "}";
  EXPECT_TRUE(parseLaunchSettings(deep).empty());
  const std::string unbalanced(4 * kMiB, '{');
  EXPECT_TRUE(parseLaunchSettings(unbalanced).empty());
}

TEST(StressSettings, HugeFileIsReadWhole) {
  const test::TempDir dir;
  std::string json = "{\"padding\": [";
  for (int i = 0; i < 500'000; ++i) json += "12345678,";
  json += "0], \"note\": \"" + std::string(8 * kMiB, 'n') + "\", \"autoFullscreen\": false}";
  dir.write("ZVui/settings.json", json);
  const auto settings = readLaunchSettingsFrom(settingsLocations(dir.path()));
  EXPECT_EQ(settings.size(), 3u);
  EXPECT_FALSE(autoFullscreenSetting(settings));
}

}  // namespace
}  // namespace zvui
