// zvui-backend-guard <group id> <leader start time>
//
// Finishes stopping the backend when the app ends without its quit sequence: killed,
// crashed, or gone with its display. The app starts us right after the backend and keeps the
// only write end of the pipe that is our standard input; nothing is ever written to it, so
// the read below returns when the app is gone, however it went (or when it lets us go). Then
// whatever still runs of the backend's process group gets TERM, up to a second to end, and
// KILL, and we exit. We signal that group and nothing else, and only while it is still the
// one we were given.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <optional>

#include "backend/ProcessGroup.h"

namespace {

constexpr std::chrono::milliseconds kGrace{1000};

}  // namespace

int main(int argc, char** argv) {
  const std::optional<zvui::ProcessGroup> group =
      argc == 3 ? zvui::parseProcessGroup(argv[1], argv[2]) : std::nullopt;
  if (!group || !zvui::isSignallable(*group)) {
    std::fprintf(stderr, "usage: zvui-backend-guard <group id> <leader start time>\n");
    return 2;
  }
  // The terminal's signals are not for us: our job starts when the app has gone.
  for (const int sig : {SIGINT, SIGQUIT, SIGHUP, SIGPIPE, SIGTSTP, SIGTTIN, SIGTTOU}) {
    ::signal(sig, SIG_IGN);
  }

  char byte;
  for (;;) {
    const ssize_t got = ::read(STDIN_FILENO, &byte, 1);
    if (got > 0 || (got < 0 && errno == EINTR)) continue;
    break;
  }
  zvui::stopProcessGroup(*group, kGrace);
  return 0;
}
