#pragma once
#include <memory>
#include <string>

#include "MacTamrikApp/AppDelegate.h"
#include "support/TestFiles.h"
#include "support/TestMainLoop.h"

namespace zvui::test {

// An AppView that records every call, in order, as one line of text ("word:ARMING").
struct RecordingView final : AppView {
  void buildWindow(std::function<void()> onNavigationFinished) override {
    navigationFinished = std::move(onNavigationFinished);
    record("build");
  }
  void setLaunchSentence(std::string_view sentence) override { record("sentence:", sentence); }
  void setLaunchSentenceColour(const Colour& c) override {
    lastColour = c;
    record("colour");
  }
  void setStatusWord(std::string_view word) override { record("word:", word); }
  void setHostText(std::string_view text) override { record("host:", text); }
  void setRuntimeText(std::string_view text) override { record("runtime:", text); }
  void showWindow() override { record("show"); }
  [[nodiscard]] bool isFullscreen() const override {
    ++fullscreenQueries;
    return fullscreen;
  }
  void enterFullscreen() override {
    fullscreen = true;
    record("fullscreen");
  }
  void loadConsole(const std::string& url, std::chrono::milliseconds timeout) override {
    loads.push_back(url);
    record("load:" + url + " ", std::to_string(timeout.count()) + "ms");
  }
  void showWebView() override { record("showWebView"); }
  void fadeOutLaunchView(std::chrono::milliseconds time) override {
    record("fade:", std::to_string(time.count()) + "ms");
  }
  void record(std::string what, std::string_view detail = {}) {
    calls.push_back(what.append(detail));
  }
  [[nodiscard]] std::string since(std::size_t from) const {
    std::string joined;
    for (std::size_t i = from; i < calls.size(); ++i) joined += (i > from ? " | " : "") + calls[i];
    return joined;
  }

  Strings calls, loads;  // every call; the addresses the console was asked to load
  std::function<void()> navigationFinished;
  Colour lastColour{};
  bool fullscreen = false;
  mutable int fullscreenQueries = 0;
};

// A backend process the test drives by hand through the handlers it was launched with.
struct FakeProcess final : BackendProcess {
  bool launch(BackendOutputHandler output, BackendExitHandler,
              BackendOutputEndHandler end) override {
    onOutput = std::move(output);
    onOutputEnd = std::move(end);
    return running = true;
  }
  [[nodiscard]] bool isRunning() const override { return running; }
  [[nodiscard]] std::int32_t processIdentifier() const override { return 4242; }
  bool waitForExit(std::chrono::milliseconds) override { return !running; }

  bool running = false;
  BackendOutputHandler onOutput;
  BackendOutputEndHandler onOutputEnd;
};

// Records the backend's environment and the signals sent; its backend exits on any of them.
struct FakeLauncher final : BackendLauncher {
  [[nodiscard]] std::optional<std::filesystem::path> locateExecutable(
      std::string_view name) const override {
    return std::filesystem::path("/opt/zvui/lib") / name;
  }
  std::unique_ptr<BackendProcess> makeProcess(std::filesystem::path, Environment env) override {
    madeWith = std::move(env);
    return std::unique_ptr<BackendProcess>(process = new FakeProcess);
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
  void endOutput() { launcher.process->onOutputEnd(); }
  void exit() { launcher.process->running = false; }

  ControllerInputs inputs{.networkHostName = "build-07.local",
                          .shell = "/usr/local/bin/fish",
                          .environment = [] { return Environment{"PATH=/bin"}; }};
  RecordingView view;
  FakeLauncher launcher;
  TestMainLoop loop;
  std::shared_ptr<AppDelegate> app;
};

}  // namespace zvui::test
