#include "window/DownloadName.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <cstdint>

namespace zvui {
namespace {

constexpr std::size_t kMaxNameBytes = 255;  // a file name's limit on Linux file systems
constexpr std::size_t kMaxKeptExtension = 32;

bool dropped(UChar32 c) {
  if (c < 0) return true;  // invalid UTF-8
  const auto type = static_cast<UCharCategory>(u_charType(c));
  return type == U_CONTROL_CHAR || type == U_FORMAT_CHAR || type == U_UNASSIGNED ||
         type == U_SURROGATE || type == U_PRIVATE_USE_CHAR || c == '/' || c == '\\';
}

bool trimmed(UChar32 c) { return u_isUWhiteSpace(c) || c == '.'; }

// The longest prefix of `text` of at most `limit` bytes that ends between characters.
std::size_t prefixWithin(const std::string& text, std::size_t limit) {
  std::size_t end = 0;
  for (std::size_t at = 0; at < text.size();) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    std::int32_t next = static_cast<std::int32_t>(at);
    UChar32 c = 0;
    U8_NEXT(bytes, next, static_cast<std::int32_t>(text.size()), c);
    if (static_cast<std::size_t>(next) > limit) break;
    at = end = static_cast<std::size_t>(next);
  }
  return end;
}

}  // namespace

std::string safeDownloadName(std::string_view suggested) {
  const auto separator = suggested.find_last_of("/\\");
  if (separator != std::string_view::npos) suggested.remove_prefix(separator + 1);

  std::string name;
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(suggested.data());
  const auto length = static_cast<std::int32_t>(suggested.size());
  for (std::int32_t at = 0; at < length;) {
    const std::int32_t start = at;
    UChar32 c = 0;
    U8_NEXT(bytes, at, length, c);
    if (dropped(c)) continue;
    // Leading dots and spaces would make a hidden or odd name.
    if (name.empty() && trimmed(c)) continue;
    name.append(
        suggested.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(at - start)));
  }
  while (!name.empty() && (name.back() == ' ' || name.back() == '.')) name.pop_back();

  if (name.size() > kMaxNameBytes) {
    const auto dot = name.rfind('.');
    const std::string extension =
        dot != std::string::npos && name.size() - dot <= kMaxKeptExtension ? name.substr(dot) : "";
    name.resize(prefixWithin(name, kMaxNameBytes - extension.size()));
    name += extension;
  }
  return name.empty() ? "download" : name;
}

}  // namespace zvui
