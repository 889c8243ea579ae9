// Stand-in while the controller and the backend launcher are not in the tree yet.
#include "window/AppHost.h"

namespace zvui {
AppHost::AppHost(Options options) : options_(std::move(options)) {}
AppHost::~AppHost() = default;
int AppHost::run() { return 1; }
}  // namespace zvui
