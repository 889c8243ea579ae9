#pragma once

#include <chrono>

#include "backend/BackendProcess.h"

namespace zvui {

// How long quit waits after the TERM pass before the KILL pass.
inline constexpr std::chrono::milliseconds kBackendKillDelay{1000};

// The quit sequence: nothing when the process is absent or not running; otherwise the TERM
// pass, a wait of up to `killDelay` for the process to exit, and the KILL pass if it still
// runs. Returns when the sequence is over. Main thread.
void stopBackendTree(BackendProcess* process, BackendLauncher& launcher,
                     std::chrono::milliseconds killDelay = kBackendKillDelay);

}  // namespace zvui
