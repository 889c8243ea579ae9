#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace zvui {

// The origin of an address as the web compares them: scheme, host and port. Only http and
// https addresses (and blob: addresses made by such a page) have one here; every other
// address is of an origin of its own, equal to nothing.
struct WebOrigin {
  std::string scheme;  // lower case
  std::string host;    // lower case; an IPv6 address without its brackets
  int port = 0;        // the scheme's default port when the address names none

  friend bool operator==(const WebOrigin&, const WebOrigin&) = default;
};

[[nodiscard]] std::optional<WebOrigin> webOriginOf(std::string_view address);

// Whether two addresses share an origin; never for an address without one.
[[nodiscard]] bool sameWebOrigin(std::string_view a, std::string_view b);

// Whether an address may be handed to the desktop to open: an absolute http or https address
// with a host. Nothing else leaves the window (no file:, no custom schemes that would start
// other programs).
[[nodiscard]] bool mayHandToDesktop(std::string_view address);

}  // namespace zvui
