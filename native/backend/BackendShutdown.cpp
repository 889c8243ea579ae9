#include "backend/BackendShutdown.h"

namespace zvui {

void stopBackendTree(BackendProcess* process, BackendLauncher& launcher,
                     std::chrono::milliseconds killDelay) {
  if (process == nullptr || !process->isRunning()) return;
  const std::int32_t pid = process->processIdentifier();
  launcher.signalBackendTree(pid, "TERM");
  if (process->waitForExit(killDelay)) return;
  launcher.signalBackendTree(pid, "KILL");
}

}  // namespace zvui
