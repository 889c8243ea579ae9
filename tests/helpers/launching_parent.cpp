// Stands in for the shell: starts the backend named by argv[1] through the real launcher,
// prints its own pid and the backend's, and waits. SIGTERM takes the app's quit path (the
// stop sequence, then exit 0); any other end is abrupt. Output it is handed is dropped.
#include "support/HelperIo.h"
#include "backend/BackendEnvironment.h"
#include "backend/BackendShutdown.h"
#include "backend/PosixBackendLauncher.h"

namespace {

struct DroppingLoop final : zvui::MainLoop {
  void post(std::function<void()>) override {}
  void postAfter(std::chrono::milliseconds, std::function<void()>) override {}
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  sigset_t waited;
  sigemptyset(&waited);
  sigaddset(&waited, SIGTERM);
  sigaddset(&waited, SIGALRM);
  ::sigprocmask(SIG_BLOCK, &waited, nullptr);

  DroppingLoop loop;
  zvui::PosixBackendLauncher launcher(".", loop);
  auto backend =
      launcher.makeProcess(argv[1], zvui::backendEnvironment(zvui::currentEnvironment()));
  if (!backend->launch([](std::string) {}, [] {})) return 1;
  helper::say(std::to_string(::getpid()) + " " + std::to_string(backend->processIdentifier()));

  // One left behind by a failing test ends itself within a minute.
  ::alarm(60);
  int received = 0;
  ::sigwait(&waited, &received);
  if (received != SIGTERM) return 3;
  zvui::stopBackendTree(backend.get(), launcher);
  backend.reset();
  return 0;
}
