#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace zvui {

// The value of `key` in an environment-style file such as /etc/machine-info: lines of
// KEY=value, where values may be quoted ('single' literally, "double" with \" \\ \` \$
// escapes), unquoted backslashes escape the next character, a backslash at the end of a
// line continues it, and lines starting with # or ; are comments. The last assignment
// wins; nothing when the key is not assigned.
[[nodiscard]] std::optional<std::string> environmentFileValue(std::string_view text,
                                                              std::string_view key);

// The user-visible computer name: PRETTY_HOSTNAME from machine-info. Nothing when the file
// or the key is missing or the name is empty, as the host tools treat an empty pretty
// name as unset.
[[nodiscard]] std::optional<std::string> localizedHostName(
    const std::filesystem::path& machineInfo = "/etc/machine-info");

// The network host name (gethostname).
[[nodiscard]] std::string networkHostName();

}  // namespace zvui
