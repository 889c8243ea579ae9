#pragma once

#include <cstddef>

namespace tamrik {

// Whether this process could open `count` more files right now (it opens and closes that
// many). Libraries that give up the whole process, or stop working for good, when a file
// or a connection cannot be opened are only asked when this holds.
[[nodiscard]] bool descriptorsToSpare(std::size_t count);

}  // namespace tamrik
