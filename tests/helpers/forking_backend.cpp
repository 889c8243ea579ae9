// A backend with two children, one obeying TERM and one ignoring it (both obey with
// HELPER_CHILDREN=obedient). It names them ("child <pid>") and says "ready". Then, by
// HELPER_PARENT: "exit" leaves at once (the children keep the output pipe open),
// "ignore-term" waits ignoring TERM, anything else waits for a signal to end it.
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
  helper::say("ready");
  if (!helper::environmentSays("HELPER_PARENT", "exit")) helper::waitToBeEnded();
}
