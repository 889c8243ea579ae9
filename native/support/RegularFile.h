#pragma once

#include <cstddef>
#include <filesystem>
#include <limits>
#include <optional>
#include <string>

namespace zvui {

// Reads the whole of a regular file (following symbolic links). Anything else at the path
// (a directory, a FIFO, a device, a socket) and every read error give nothing; so does a
// file longer than `maxBytes`, refused by the size of the open file before anything is read
// and, should it grow meanwhile, as soon as more than `maxBytes` have come. Never blocks on
// a FIFO or a device.
[[nodiscard]] std::optional<std::string> readRegularFile(
    const std::filesystem::path& path,
    std::size_t maxBytes = std::numeric_limits<std::size_t>::max());

}  // namespace zvui
