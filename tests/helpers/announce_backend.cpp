// A backend that talks on both streams, announcing its address on standard error, and then
// waits until a signal ends it. It writes nothing after that, so only a signal can end it.
#include "HelperIo.h"

int main() {
  helper::limitLifetime();
  helper::say("starting console");
  helper::writeAll(STDERR_FILENO, "TAMRIK_URL=http://127.0.0.1:9/console\n");
  helper::say("ready");
  helper::waitForever();
}
