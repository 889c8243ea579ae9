#pragma once

#include <filesystem>

namespace zvui {

// The directory that holds the backend and the brand images: <prefix>/lib/zvui beside the
// executable's <prefix>/bin, so an installed tree keeps working after it is moved.
std::filesystem::path resourceDirectoryFor(const std::filesystem::path& executable);

// The resource directory of the running executable (found through /proc/self/exe).
std::filesystem::path resourceDirectory();

}  // namespace zvui
