// A backend that ignores the terminate signal; only KILL ends it.
#include "HelperIo.h"

int main() {
  helper::limitLifetime();
  ::signal(SIGTERM, SIG_IGN);
  helper::say("ready");
  helper::waitForever();
}
