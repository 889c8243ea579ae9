#include "backend/PosixBackendLauncher.h"

#include "backend/PosixBackendProcess.h"

namespace zvui {

PosixBackendLauncher::PosixBackendLauncher(std::filesystem::path resourceDirectory,
                                           MainLoop& loop, SignalTools tools)
    : resourceDirectory_(std::move(resourceDirectory)), loop_(loop), tools_(std::move(tools)) {}

std::optional<std::filesystem::path> PosixBackendLauncher::locateExecutable(
    std::string_view name) const {
  // A name with a separator, or "." and "..", would reach outside the directory.
  if (name.empty() || name == "." || name == ".." ||
      name.find('/') != std::string_view::npos) {
    return std::nullopt;
  }
  std::filesystem::path candidate = resourceDirectory_ / name;
  std::error_code error;
  if (!std::filesystem::exists(candidate, error)) return std::nullopt;
  return candidate;
}

std::unique_ptr<BackendProcess> PosixBackendLauncher::makeProcess(
    std::filesystem::path executable, std::vector<std::string> environment) {
  PosixBackendProcess::Options options;
  std::error_code error;
  const auto guard = resourceDirectory_ / kBackendGuardName;
  if (std::filesystem::is_regular_file(guard, error)) options.guard = guard;
  return std::make_unique<PosixBackendProcess>(std::move(executable), std::move(environment),
                                               loop_, options);
}

void PosixBackendLauncher::signalBackendTree(std::int32_t pid, std::string_view signalName) {
  signalProcessTree(tools_, pid, signalName);
}

}  // namespace zvui
