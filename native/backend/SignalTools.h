#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace zvui {

// The system tools that signal the backend's process tree. Data, so tests can put
// recording tools in their place.
struct SignalTools {
  std::filesystem::path pkill = "/usr/bin/pkill";
  std::filesystem::path kill = "/bin/kill";
};

// Runs `path` with `arguments` (argv[0] is the path itself), with our environment and
// standard streams, and returns once it has exited. Its exit status means nothing to us and
// a tool that cannot start is skipped: signalling is best effort.
void runSignalTool(const std::filesystem::path& path, const std::vector<std::string>& arguments);

// "pkill -<signal> -P <pid>" then "kill -<signal> <pid>", each run to completion. A pid
// that is not positive names no single process (0 and negatives address process groups,
// or everything), so nothing runs for it.
void signalProcessTree(const SignalTools& tools, std::int32_t pid, std::string_view signalName);

}  // namespace zvui
