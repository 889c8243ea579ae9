#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "MacTamrikApp/AppView.h"

namespace zvui::test {

// An AppView that records every call, in order, as one line of text ("word:ARMING").
class RecordingView final : public AppView {
 public:
  void buildWindow(std::function<void()> onNavigationFinished) override {
    record("build");
    navigationFinished = std::move(onNavigationFinished);
  }
  void setLaunchSentence(std::string_view sentence) override {
    record("sentence:" + std::string(sentence));
  }
  void setLaunchSentenceColour(const Colour& colour) override {
    lastColour = colour;
    record("colour");
  }
  void setStatusWord(std::string_view word) override { record("word:" + std::string(word)); }
  void setHostText(std::string_view text) override { record("host:" + std::string(text)); }
  void setRuntimeText(std::string_view text) override { record("runtime:" + std::string(text)); }
  void showWindow() override { record("show"); }
  [[nodiscard]] bool isFullscreen() const override { return fullscreen; }
  void enterFullscreen() override {
    fullscreen = true;
    record("fullscreen");
  }
  void loadConsole(const std::string& url, std::chrono::milliseconds timeout) override {
    record("load:" + url + " " + std::to_string(timeout.count()) + "ms");
  }
  void showWebView() override { record("showWebView"); }
  void fadeOutLaunchView(std::chrono::milliseconds duration) override {
    record("fade:" + std::to_string(duration.count()) + "ms");
  }

  // The recorded calls that start with `prefix`, with the prefix removed.
  [[nodiscard]] std::vector<std::string> with(std::string_view prefix) const {
    std::vector<std::string> found;
    for (const auto& call : calls) {
      if (call.starts_with(prefix)) found.push_back(call.substr(prefix.size()));
    }
    return found;
  }
  [[nodiscard]] std::vector<std::string> words() const { return with("word:"); }
  [[nodiscard]] std::vector<std::string> sentences() const { return with("sentence:"); }
  [[nodiscard]] std::vector<std::string> loads() const { return with("load:"); }

  std::vector<std::string> calls;
  std::function<void()> navigationFinished;
  Colour lastColour{};
  bool fullscreen = false;

 private:
  void record(std::string call) { calls.push_back(std::move(call)); }
};

}  // namespace zvui::test
