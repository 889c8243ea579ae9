// A backend that talks on both streams, announcing its address on standard error, then
// waits for a signal to end it.
#include "support/HelperIo.h"

int main() {
  helper::say("starting console");
  helper::writeAll(STDERR_FILENO, "TAMRIK_URL=http://127.0.0.1:9/console\n");
  helper::say("ready");
  helper::waitToBeEnded();
}
