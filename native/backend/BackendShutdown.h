#pragma once

#include <chrono>

#include "backend/BackendProcess.h"

namespace zvui {

// How long quit waits after the TERM pass before the KILL pass.
inline constexpr std::chrono::milliseconds kBackendKillDelay{1000};

// The quit sequence: nothing when the process is absent or nothing of its tree runs;
// otherwise the TERM pass, a wait of up to `killDelay` for the whole tree to end, and the
// KILL pass if anything of it still runs. A pass runs the two tools (while the backend
// itself runs) and then signals the backend's process group. Returns when the sequence is
// over, at most `killDelay` plus the passes after it began. Main thread.
void stopBackendTree(BackendProcess* process, BackendLauncher& launcher,
                     std::chrono::milliseconds killDelay = kBackendKillDelay);

}  // namespace zvui
