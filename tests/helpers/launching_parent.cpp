// Stands in for the shell: starts the backend named by argv[1] through the real launcher,
// prints the backend's pid, and waits to be killed. Output it is handed is dropped.
#include <cstdio>
#include <functional>

#include "HelperIo.h"
#include "backend/BackendEnvironment.h"
#include "backend/PosixBackendLauncher.h"

namespace {

class DroppingLoop final : public zvui::MainLoop {
 public:
  void post(std::function<void()>) override {}
  void postAfter(std::chrono::milliseconds, std::function<void()>) override {}
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  helper::limitLifetime();
  DroppingLoop loop;
  zvui::PosixBackendLauncher launcher(".", loop);
  auto backend =
      launcher.makeProcess(argv[1], zvui::backendEnvironment(zvui::currentEnvironment()));
  if (!backend->launch([](std::string) {}, [] {})) return 1;
  helper::say(std::to_string(backend->processIdentifier()));
  helper::waitForever();
}
