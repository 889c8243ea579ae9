#pragma once

#include <memory>
#include <string>
#include <vector>

#include "MacTamrikApp/AppDelegate.h"
#include "support/TestFiles.h"
#include "support/TestMainLoop.h"

namespace zvui::test {

// An AppView that records every call, in order, as one line of text ("word:ARMING").
class RecordingView final : public AppView {
 public:
  void buildWindow(std::function<void()> onNavigationFinished) override {
    navigationFinished = std::move(onNavigationFinished);
    record("build");
  }
  void setLaunchSentence(std::string_view sentence) override { record("sentence:", sentence); }
  void setLaunchSentenceColour(const Colour& colour) override {
    lastColour = colour;
    record("colour");
  }
  void setStatusWord(std::string_view word) override { record("word:", word); }
  void setHostText(std::string_view text) override { record("host:", text); }
  void setRuntimeText(std::string_view text) override { record("runtime:", text); }
  void showWindow() override { record("show"); }
  [[nodiscard]] bool isFullscreen() const override { return ++fullscreenQueries, fullscreen; }
  void enterFullscreen() override {
    fullscreen = true;
    record("fullscreen");
  }
  void loadConsole(const std::string& url, std::chrono::milliseconds timeout) override {
    loaded.push_back(url);
    record("load:" + url + " ", std::to_string(timeout.count()) + "ms");
  }
  void showWebView() override { record("showWebView"); }
  void fadeOutLaunchView(std::chrono::milliseconds duration) override {
    record("fade:", std::to_string(duration.count()) + "ms");
  }

  // The calls from `from` on, joined by " | ".
  [[nodiscard]] std::string since(std::size_t from) const {
    std::string joined;
    for (std::size_t i = from; i < calls.size(); ++i) joined += (i > from ? " | " : "") + calls[i];
    return joined;
  }
  // The addresses the console was asked to load, in order.
  [[nodiscard]] const std::vector<std::string>& loads() const { return loaded; }
  std::vector<std::string> calls, loaded;
  std::function<void()> navigationFinished;
  Colour lastColour{};
  bool fullscreen = false;
  mutable int fullscreenQueries = 0;

 private:
  void record(std::string what, std::string_view detail = {}) {
    calls.push_back(what.append(detail));
  }
};

// A backend process the test drives by hand through the handlers it was launched with.
struct FakeProcess final : BackendProcess {
  bool launch(BackendOutputHandler output, BackendExitHandler exit,
              BackendOutputEndHandler end = {}) override {
    onOutput = std::move(output);
    onExit = std::move(exit);
    onOutputEnd = std::move(end);
    return running = true;
  }
  [[nodiscard]] bool isRunning() const override { return running; }
  [[nodiscard]] std::int32_t processIdentifier() const override { return running ? 4242 : 0; }
  bool waitForExit(std::chrono::milliseconds) override { return !running; }

  bool running = false;
  BackendOutputHandler onOutput;
  BackendExitHandler onExit;
  BackendOutputEndHandler onOutputEnd;
};

// A launcher that records the backend's environment and the signals sent. Its backend
// exits on TERM.
struct FakeLauncher final : BackendLauncher {
  [[nodiscard]] std::optional<std::filesystem::path> locateExecutable(
      std::string_view name) const override {
    return std::filesystem::path("/opt/zvui/lib") / name;
  }
  std::unique_ptr<BackendProcess> makeProcess(std::filesystem::path,
                                              Environment environment) override {
    madeWith = std::move(environment);
    auto made = std::make_unique<FakeProcess>();
    process = made.get();
    return made;
  }
  void signalBackendTree(std::int32_t pid, std::string_view signalName) override {
    signals += std::string(signalName) + " " + std::to_string(pid) + ";";
    process->running = false;
  }

  Environment madeWith;
  std::string signals;
  FakeProcess* process = nullptr;  // owned by the controller
};

// A controller wired to the fakes, made by the first launch() from `inputs`.
struct ControllerRig {
  void launch() {
    if (!app) app = std::make_shared<AppDelegate>(view, launcher, loop, inputs);
    app->applicationDidFinishLaunching();
  }
  void write(std::string block) { launcher.process->onOutput(std::move(block)); }
  // The backend exits; `lastWriter` says that nothing else holds its output pipe, so the
  // output ends too.
  void exit(bool lastWriter = true) {
    launcher.process->running = false;
    if (launcher.process->onExit) launcher.process->onExit();
    if (lastWriter) endOutput();
  }
  void endOutput() { launcher.process->onOutputEnd(); }

  ControllerInputs inputs{.networkHostName = "build-07.local",
                          .shell = "/usr/local/bin/fish",
                          .environment = [] { return Environment{"PATH=/bin"}; }};
  RecordingView view;
  FakeLauncher launcher;
  TestMainLoop loop;
  std::shared_ptr<AppDelegate> app;
};

}  // namespace zvui::test
