#include "backend/SignalTools.h"

#include "backend/Spawn.h"

namespace zvui {

void runSignalTool(const std::filesystem::path& path, const std::vector<std::string>& arguments) {
  SpawnRequest request;
  request.executable = path;
  request.arguments = arguments;
  const Result<pid_t> tool = spawnProcess(request);
  // A tool that cannot start is ignored on purpose: the next one still runs.
  if (tool) waitForChild(*tool);
}

void signalProcessTree(const SignalTools& tools, std::int32_t pid, std::string_view signalName) {
  if (pid <= 0) return;
  std::string flag(1, '-');
  flag.append(signalName);
  const std::string target = std::to_string(pid);
  runSignalTool(tools.pkill, {flag, "-P", target});
  runSignalTool(tools.kill, {flag, target});
}

}  // namespace zvui
