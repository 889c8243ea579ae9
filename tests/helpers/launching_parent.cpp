// Stands in for the shell, with signals blocked and ignored and descriptors left open as a GUI
// process may have them: starts the backend argv[1] names, with the guard from the working
// directory, and waits to be killed.
#include "backend/BackendEnvironment.h"
#include "backend/PosixBackendLauncher.h"
#include "support/HelperIo.h"

struct DroppingLoop final : zvui::MainLoop {
  void post(std::function<void()>) override {}
  void postAfter(std::chrono::milliseconds, std::function<void()>) override {}
};

int main(int argc, char** argv) {
  sigset_t blocked;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGTERM);
  ::sigprocmask(SIG_BLOCK, &blocked, nullptr);
  ::signal(SIGPIPE, SIG_IGN);
  ::dup2(STDIN_FILENO, 250);
  DroppingLoop loop;
  zvui::PosixBackendLauncher launcher(".", loop);
  auto backend = launcher.makeProcess(argc > 1 ? argv[1] : "",
                                      zvui::backendEnvironment(zvui::currentEnvironment()));
  if (!backend->launch([](std::string) {}, [] {})) return 1;
  helper::waitToBeEnded();
}
