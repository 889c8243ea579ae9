#include "window/WebOrigin.h"

#include <algorithm>
#include <charconv>

#include "support/UriMembers.h"

namespace zvui {
namespace {

std::string lowered(const UriTextRangeA& range) {
  std::string text(
      range.first != nullptr ? range.first : "",
      range.first != nullptr ? static_cast<std::size_t>(range.afterLast - range.first) : 0);
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : static_cast<char>(c);
  });
  return text;
}

// A blob: address carries the origin of the page that made it.
bool isBlob(std::string_view address) {
  constexpr std::string_view kBlob = "blob:";
  return address.size() > kBlob.size() &&
         lowered({address.data(), address.data() + kBlob.size()}) == kBlob;
}

std::optional<int> defaultPort(std::string_view scheme) {
  if (scheme == "http") return 80;
  if (scheme == "https") return 443;
  return std::nullopt;
}

}  // namespace

std::optional<WebOrigin> webOriginOf(std::string_view address) {
  if (isBlob(address)) return webOriginOf(address.substr(5));
  UriMembers parsed;
  const char* error = nullptr;
  if (uriParseSingleUriExA(&parsed.uri, address.data(), address.data() + address.size(), &error) !=
      URI_SUCCESS) {
    return std::nullopt;
  }
  WebOrigin origin{lowered(parsed.uri.scheme), lowered(parsed.uri.hostText), 0};
  const auto fallback = defaultPort(origin.scheme);
  if (!fallback || origin.host.empty()) return std::nullopt;
  const UriTextRangeA& port = parsed.uri.portText;
  if (port.first == nullptr || port.first == port.afterLast) {
    origin.port = *fallback;
    return origin;
  }
  const auto [end, status] = std::from_chars(port.first, port.afterLast, origin.port);
  if (status != std::errc() || end != port.afterLast || origin.port > 65535) return std::nullopt;
  return origin;
}

bool sameWebOrigin(std::string_view a, std::string_view b) {
  const auto first = webOriginOf(a);
  return first && first == webOriginOf(b);
}

bool mayHandToDesktop(std::string_view address) {
  // A blob: address names a page's own data, meaningless anywhere else.
  return !isBlob(address) && webOriginOf(address).has_value();
}

}  // namespace zvui
