// Stands in for the shell: starts the backend named by argv[1] through the real launcher,
// with the guard when argv[2] names a resource directory that holds it, prints its own pid,
// the backend's and the guard's (0 for none), and waits. SIGTERM takes the app's quit path
// (the stop sequence, then exit 0); any other end is abrupt. Output it is handed is dropped.
#include <sys/resource.h>

#include "HelperIo.h"
#include "backend/BackendEnvironment.h"
#include "backend/BackendShutdown.h"
#include "backend/PosixBackendLauncher.h"
#include "backend/PosixBackendProcess.h"

namespace {

struct DroppingLoop final : zvui::MainLoop {
  void post(std::function<void()>) override {}
  void postAfter(std::chrono::milliseconds, std::function<void()>) override {}
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  // An abort is one of the ends under test; it needs no core file.
  const rlimit noCore{0, 0};
  ::setrlimit(RLIMIT_CORE, &noCore);
  sigset_t waited;
  sigemptyset(&waited);
  sigaddset(&waited, SIGTERM);
  sigaddset(&waited, SIGALRM);
  ::sigprocmask(SIG_BLOCK, &waited, nullptr);

  DroppingLoop loop;
  zvui::PosixBackendLauncher launcher(argc > 2 ? argv[2] : ".", loop);
  auto backend =
      launcher.makeProcess(argv[1], zvui::backendEnvironment(zvui::currentEnvironment()));
  if (!backend->launch([](std::string) {}, [] {})) return 1;
  const auto guard = static_cast<zvui::PosixBackendProcess&>(*backend).guardIdentifier();
  helper::say(std::to_string(::getpid()) + " " + std::to_string(backend->processIdentifier()) +
              " " + std::to_string(guard));

  // One left behind by a failing test ends itself within a minute.
  ::alarm(60);
  int received = 0;
  ::sigwait(&waited, &received);
  if (received != SIGTERM) return 3;
  zvui::stopBackendTree(backend.get(), launcher);
  backend.reset();
  return 0;
}
