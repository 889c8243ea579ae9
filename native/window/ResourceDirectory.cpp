#include "window/ResourceDirectory.h"

#include <system_error>

#ifndef ZVUI_RESOURCE_SUBDIR
#define ZVUI_RESOURCE_SUBDIR "lib/zvui"
#endif

namespace zvui {

std::filesystem::path resourceDirectoryFor(const std::filesystem::path& executable) {
  return (executable.parent_path() / ".." / ZVUI_RESOURCE_SUBDIR).lexically_normal();
}

std::filesystem::path resourceDirectory() {
  std::error_code error;
  auto executable = std::filesystem::read_symlink("/proc/self/exe", error);
  // Without /proc the lookup falls back to the working directory; the backend then shows
  // as missing rather than something unexpected being run.
  if (error) executable = std::filesystem::current_path(error) / "zvui";
  return resourceDirectoryFor(executable);
}

}  // namespace zvui
