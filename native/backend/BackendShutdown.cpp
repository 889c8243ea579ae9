#include "backend/BackendShutdown.h"

namespace zvui {

void stopBackendTree(BackendProcess* process, BackendLauncher& launcher,
                     std::chrono::milliseconds killDelay) {
  if (process == nullptr) return;
  // The tools are given the backend's pid only while it runs: once the backend has ended,
  // that pid may soon name someone else. Its group stays safe to signal (it is checked).
  const bool backendRuns = process->isRunning();
  if (!backendRuns && !process->treeIsRunning()) return;
  const std::int32_t pid = process->processIdentifier();
  if (backendRuns) launcher.signalBackendTree(pid, "TERM");
  process->signalGroup("TERM");
  if (process->waitForTreeExit(killDelay)) return;
  if (process->isRunning()) launcher.signalBackendTree(pid, "KILL");
  process->signalGroup("KILL");
}

}  // namespace zvui
