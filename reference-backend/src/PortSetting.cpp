#include "PortSetting.h"

namespace tamrik {

std::optional<std::uint16_t> parsePortSetting(const char* value) {
  if (value == nullptr) return 0;
  std::string_view text(value);
  if (text.empty() || text.size() > 5) return std::nullopt;
  unsigned port = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    port = port * 10 + static_cast<unsigned>(c - '0');
  }
  if (port > 65535) return std::nullopt;
  return static_cast<std::uint16_t>(port);
}

}  // namespace tamrik
