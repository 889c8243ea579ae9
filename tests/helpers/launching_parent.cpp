// Stands in for the shell: starts the backend named by argv[1] through the real launcher,
// prints its own pid and the backend's and waits to be killed. Output it is handed is dropped.
#include "HelperIo.h"
#include "backend/BackendEnvironment.h"
#include "backend/PosixBackendLauncher.h"

namespace {

struct DroppingLoop final : zvui::MainLoop {
  void post(std::function<void()>) override {}
  void postAfter(std::chrono::milliseconds, std::function<void()>) override {}
};

}  // namespace

int main(int, char** argv) {
  DroppingLoop loop;
  zvui::PosixBackendLauncher launcher(".", loop);
  auto backend =
      launcher.makeProcess(argv[1], zvui::backendEnvironment(zvui::currentEnvironment()));
  if (!backend->launch([](std::string) {}, [] {})) return 1;
  helper::say(std::to_string(::getpid()) + " " + std::to_string(backend->processIdentifier()));
  helper::waitToBeEnded();
}
