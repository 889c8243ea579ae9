#pragma once

#include <filesystem>

#include "support/MainLoop.h"
#include "backend/BackendProcess.h"
#include "backend/SignalTools.h"

namespace zvui {

// The guard program's name in the resource directory, next to the backend.
inline constexpr std::string_view kBackendGuardName = "zvui-backend-guard";

// Finds backends in the app's resource directory, starts them as POSIX children (with the
// guard from that directory, when it is there) and signals their process trees through the
// system's tools.
class PosixBackendLauncher final : public BackendLauncher {
 public:
  PosixBackendLauncher(std::filesystem::path resourceDirectory, MainLoop& loop,
                       SignalTools tools = {});

  // Presence only: a directory or a file without execute permission still counts, and
  // only the launch finds out that it cannot run.
  [[nodiscard]] std::optional<std::filesystem::path> locateExecutable(
      std::string_view name) const override;
  std::unique_ptr<BackendProcess> makeProcess(std::filesystem::path executable,
                                              std::vector<std::string> environment) override;
  void signalBackendTree(std::int32_t pid, std::string_view signalName) override;

 private:
  std::filesystem::path resourceDirectory_;
  MainLoop& loop_;
  SignalTools tools_;
};

}  // namespace zvui
