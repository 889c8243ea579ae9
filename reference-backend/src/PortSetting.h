#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace tamrik {

// The listening port asked for in the environment: 0 means "any free port".
// Unset and "0" both mean 0; a decimal number from 1 to 65535 is that port; anything
// else (empty, signs, spaces, hex, out of range) is refused with nullopt.
std::optional<std::uint16_t> parsePortSetting(const char* value);

}  // namespace tamrik
