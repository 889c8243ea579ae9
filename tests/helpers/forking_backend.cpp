// Two children, one ignoring TERM unless HELPER_CHILDREN=obedient; says "child <pid>" for each,
// then "ready" on standard error. HELPER_PARENT=exit leaves at once, =ignore-term ignores TERM
// while it waits.
#include "support/HelperIo.h"

static pid_t startChild(bool ignoreTerm) {
  const pid_t pid = ::fork();
  if (pid == 0 && ignoreTerm) ::signal(SIGTERM, SIG_IGN);
  if (pid == 0) helper::waitToBeEnded();
  return pid;
}

int main() {
  const pid_t obedient = startChild(false);
  const pid_t stubborn = startChild(!helper::environmentSays("HELPER_CHILDREN", "obedient"));
  helper::say("child " + std::to_string(obedient) + "\nchild " + std::to_string(stubborn));
  if (helper::environmentSays("HELPER_PARENT", "ignore-term")) ::signal(SIGTERM, SIG_IGN);
  helper::writeAll(STDERR_FILENO, "ready\n");
  if (!helper::environmentSays("HELPER_PARENT", "exit")) helper::waitToBeEnded();
}
