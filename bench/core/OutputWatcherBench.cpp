// Throughput of the controller's handling of backend output, before and after the console
// address was accepted, and its cost per block as the total output grows.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include "MacTamrikApp/AppDelegate.h"
#include "support/ControllerFakes.h"
#include "support/TestMainLoop.h"

namespace zvui {
namespace {

// A window that ignores everything: the benchmark measures the controller alone.
class QuietView final : public AppView {
 public:
  void buildWindow(std::function<void()>) override {}
  void setLaunchSentence(std::string_view) override {}
  void setLaunchSentenceColour(const Colour&) override {}
  void setStatusWord(std::string_view) override {}
  void setHostText(std::string_view) override {}
  void setRuntimeText(std::string_view) override {}
  void showWindow() override {}
  [[nodiscard]] bool isFullscreen() const override { return false; }
  void enterFullscreen() override {}
  void loadConsole(const std::string&, std::chrono::milliseconds) override {}
  void showWebView() override {}
  void fadeOutLaunchView(std::chrono::milliseconds) override {}
};

// Terminal-like ASCII output: lines of 80 characters, a few CR LF among them.
std::string asciiBlock(std::size_t size) {
  std::string block;
  block.reserve(size);
  for (std::size_t line = 0; block.size() < size; ++line) {
    block += "[telemetry] cpu=12.5% mem=1024MiB pty=ok line " + std::to_string(line);
    block.resize(std::min(size, block.size() + 80 - block.size() % 80), '.');
    block += line % 8 == 0 ? "\r\n" : "\n";
  }
  block.resize(size);
  return block;
}

struct Harness {
  QuietView view;
  test::FakeLauncher launcher;
  test::TestMainLoop loop;
  std::shared_ptr<AppDelegate> app =
      std::make_shared<AppDelegate>(view, launcher, loop, ControllerInputs{});
  Harness() { app->applicationDidFinishLaunching(); }
};

void run(benchmark::State& state, const Harness& harness, const std::string& block) {
  for (auto _ : state) harness.app->handleBackendOutput(block);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(block.size()));
}

void BM_OutputBeforeAddress(benchmark::State& state) {
  const Harness harness;
  const std::string block = asciiBlock(static_cast<std::size_t>(state.range(0)));
  run(state, harness, block);
  if (harness.app->loadedURL()) state.SkipWithError("an address was accepted");
}
BENCHMARK(BM_OutputBeforeAddress)->Arg(4 << 10)->Arg(64 << 10)->Arg(256 << 10);

void BM_OutputAfterAddress(benchmark::State& state) {
  const Harness harness;
  harness.app->handleBackendOutput("TAMRIK_URL=http://127.0.0.1:41234/\n");
  const std::string block = asciiBlock(static_cast<std::size_t>(state.range(0)));
  run(state, harness, block);
  if (!harness.app->loadedURL()) state.SkipWithError("no address was accepted");
}
BENCHMARK(BM_OutputAfterAddress)->Arg(4 << 10)->Arg(64 << 10);

// The scan's worst case: every line holds the prefix, but never at its start.
void BM_OutputBeforeAddressNearMisses(benchmark::State& state) {
  const Harness harness;
  std::string block;
  while (block.size() < static_cast<std::size_t>(state.range(0))) block += " TAMRIK_URL=x\n";
  block.resize(static_cast<std::size_t>(state.range(0)));
  run(state, harness, block);
  if (harness.app->loadedURL()) state.SkipWithError("an address was accepted");
}
BENCHMARK(BM_OutputBeforeAddressNearMisses)->Arg(4 << 10);

// Mixed UTF-8 output (box drawing, accents, emoji) goes through ICU; for reference.
void BM_OutputAfterAddressUtf8(benchmark::State& state) {
  const Harness harness;
  harness.app->handleBackendOutput("TAMRIK_URL=http://127.0.0.1:41234/\n");
  std::string block;
  while (block.size() < static_cast<std::size_t>(state.range(0))) {
    block += "\u2502 caf\u00E9 \U0001F680 ok \u2500\u2500\n";
  }
  run(state, harness, block);
}
BENCHMARK(BM_OutputAfterAddressUtf8)->Arg(4 << 10);

// The cost of a 4 KiB block once 0, 64 or 512 MiB went before it, without an address: it
// must not grow with the total.
void BM_OutputBeforeAddressAfterTotal(benchmark::State& state) {
  const Harness harness;
  const std::string block = asciiBlock(4 << 10);
  const std::string bulk = asciiBlock(1 << 20);
  for (int64_t sent = 0; sent < state.range(0); ++sent) harness.app->handleBackendOutput(bulk);
  run(state, harness, block);
}
BENCHMARK(BM_OutputBeforeAddressAfterTotal)->Arg(0)->Arg(64)->Arg(512)->ArgName("MiB");

}  // namespace
}  // namespace zvui

BENCHMARK_MAIN();
