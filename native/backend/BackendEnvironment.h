#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace zvui {

// A process environment as "NAME=value" entries, in the order the process received them.
using Environment = std::vector<std::string>;

// A copy of this process's environment.
Environment currentEnvironment();

// Sets `name` to `value`: every existing entry for `name` is removed and one entry is
// appended, so the last word is ours whatever the inherited environment held.
void setEnvironmentVariable(Environment& environment, std::string_view name, std::string_view value);

// The backend's environment: ours, then TAMRIK_PORT=0, then TAMRIK_APP_MODE=1.
Environment backendEnvironment(Environment inherited);

}  // namespace zvui
