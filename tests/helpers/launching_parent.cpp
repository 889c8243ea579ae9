// Stands in for the shell: starts the backend named by argv[1] through the real launcher (which
// finds the guard in the working directory) and waits. SIGTERM takes the app's quit path (the
// stop sequence, then exit 0); any other end is abrupt.
#include <signal.h>
#include <unistd.h>

#include "backend/BackendEnvironment.h"
#include "backend/BackendShutdown.h"
#include "backend/PosixBackendLauncher.h"

struct DroppingLoop final : zvui::MainLoop {
  void post(std::function<void()>) override {}
  void postAfter(std::chrono::milliseconds, std::function<void()>) override {}
};

int main(int argc, char** argv) {
  sigset_t waited;
  sigemptyset(&waited), sigaddset(&waited, SIGTERM), sigaddset(&waited, SIGALRM);
  ::sigprocmask(SIG_BLOCK, &waited, nullptr);
  DroppingLoop loop;
  zvui::PosixBackendLauncher launcher(".", loop);
  auto backend = launcher.makeProcess(argc > 1 ? argv[1] : "",
                                      zvui::backendEnvironment(zvui::currentEnvironment()));
  if (!backend->launch([](std::string) {}, [] {})) return 1;
  ::alarm(60);  // one that a failing test left behind ends within a minute
  int received = 0;
  ::sigwait(&waited, &received);
  if (received == SIGTERM) zvui::stopBackendTree(backend.get(), launcher);
  return received == SIGTERM ? 0 : 3;
}
