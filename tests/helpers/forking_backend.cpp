// A backend with two children: one that obeys the terminate signal and one that ignores it
// (both obey it when HELPER_CHILDREN is "obedient"). It names them ("child <pid>"), then says "ready". HELPER_PARENT chooses what the backend
// itself does next: "exit" leaves at once (the children keep the output pipe open),
// "ignore-term" waits ignoring TERM, anything else waits until a signal ends it.
#include <string>

#include "HelperIo.h"

namespace {

pid_t startChild(bool ignoreTerm) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    helper::limitLifetime();
    if (ignoreTerm) ::signal(SIGTERM, SIG_IGN);
    helper::waitForever();
  }
  return pid;
}

}  // namespace

int main() {
  helper::limitLifetime();
  const pid_t obedient = startChild(false);
  const pid_t stubborn = startChild(!helper::environmentSays("HELPER_CHILDREN", "obedient"));
  helper::say("child " + std::to_string(obedient));
  helper::say("child " + std::to_string(stubborn));
  if (helper::environmentSays("HELPER_PARENT", "ignore-term")) ::signal(SIGTERM, SIG_IGN);
  helper::say("ready");
  if (helper::environmentSays("HELPER_PARENT", "exit")) return 0;
  helper::waitForever();
}
