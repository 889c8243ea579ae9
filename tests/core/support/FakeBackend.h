#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "backend/BackendProcess.h"

namespace zvui::test {

// A backend process the test drives by hand: it "writes" blocks and "exits" on request.
class FakeProcess final : public BackendProcess {
 public:
  FakeProcess(bool launchSucceeds, bool exitsOnTerm)
      : launchSucceeds_(launchSucceeds), exitsOnTerm_(exitsOnTerm) {}

  bool launch(BackendOutputHandler onOutput, BackendExitHandler onExit) override {
    ++launches;
    onOutput_ = std::move(onOutput);
    onExit_ = std::move(onExit);
    running_ = launchSucceeds_;
    return launchSucceeds_;
  }
  [[nodiscard]] bool isRunning() const override { return running_; }
  [[nodiscard]] std::int32_t processIdentifier() const override { return running_ ? 4242 : 0; }
  bool waitForExit(std::chrono::milliseconds) override { return !running_; }

  void write(std::string block) { onOutput_(std::move(block)); }
  // Copies of the handlers, as a reader thread would still hold them.
  [[nodiscard]] BackendOutputHandler outputHandler() const { return onOutput_; }
  [[nodiscard]] BackendExitHandler exitHandler() const { return onExit_; }
  void exit() {
    running_ = false;
    onExit_();
  }
  void receiveSignal(std::string_view name) {
    if (name == "KILL" || (name == "TERM" && exitsOnTerm_)) running_ = false;
  }

  int launches = 0;

 private:
  bool launchSucceeds_;
  bool exitsOnTerm_;
  bool running_ = false;
  BackendOutputHandler onOutput_;
  BackendExitHandler onExit_;
};

// A launcher whose executable may be missing or refuse to start; it records what it was
// asked to make and signal.
class FakeLauncher final : public BackendLauncher {
 public:
  [[nodiscard]] std::optional<std::filesystem::path> locateExecutable(
      std::string_view name) const override {
    located.emplace_back(name);
    if (!executablePresent) return std::nullopt;
    return std::filesystem::path("/opt/zvui/lib") / name;
  }
  std::unique_ptr<BackendProcess> makeProcess(std::filesystem::path executable,
                                              std::vector<std::string> environment) override {
    madeFor = std::move(executable);
    madeWith = std::move(environment);
    auto made = std::make_unique<FakeProcess>(launchSucceeds, exitsOnTerm);
    process = made.get();
    return made;
  }
  void signalBackendTree(std::int32_t pid, std::string_view signalName) override {
    signals.push_back(std::string(signalName) + " " + std::to_string(pid));
    if (process != nullptr) process->receiveSignal(signalName);
  }

  bool executablePresent = true;
  bool launchSucceeds = true;
  bool exitsOnTerm = true;

  mutable std::vector<std::string> located;
  std::optional<std::filesystem::path> madeFor;
  std::vector<std::string> madeWith;
  std::vector<std::string> signals;
  FakeProcess* process = nullptr;  // owned by the controller
};

}  // namespace zvui::test
