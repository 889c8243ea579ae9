#include "titlebar/HostName.h"

#include <limits.h>
#include <unistd.h>

#include <vector>

#include "support/RegularFile.h"

namespace zvui {
namespace {

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// Parses one assignment value starting at `at`; leaves `at` after the line that ends it.
std::string parseValue(std::string_view text, std::size_t& at) {
  std::string value;
  std::size_t keep = 0;  // length of `value` without trailing unquoted blanks
  while (at < text.size() && isBlank(text[at])) ++at;
  while (at < text.size()) {
    const char c = text[at++];
    if (c == '\n') break;
    if (c == '\'') {
      while (at < text.size() && text[at] != '\'') value.push_back(text[at++]);
      if (at < text.size()) ++at;
      keep = value.size();
    } else if (c == '"') {
      while (at < text.size() && text[at] != '"') {
        char d = text[at++];
        if (d == '\\' && at < text.size()) {
          const char next = text[at];
          if (next == '\n') {
            ++at;
            continue;
          }
          if (next == '"' || next == '\\' || next == '`' || next == '$') {
            d = next;
            ++at;
          }
        }
        value.push_back(d);
      }
      if (at < text.size()) ++at;
      keep = value.size();
    } else if (c == '\\') {
      if (at >= text.size()) break;
      const char next = text[at++];
      if (next == '\n') continue;
      value.push_back(next);
      keep = value.size();
    } else {
      value.push_back(c);
      if (!isBlank(c)) keep = value.size();
    }
  }
  value.resize(keep);
  return value;
}

}  // namespace

std::optional<std::string> environmentFileValue(std::string_view text, std::string_view key) {
  std::optional<std::string> result;
  std::size_t at = 0;
  while (at < text.size()) {
    while (at < text.size() && (isBlank(text[at]) || text[at] == '\n')) ++at;
    if (at >= text.size()) break;
    if (text[at] == '#' || text[at] == ';') {
      const std::size_t end = text.find('\n', at);
      at = end == std::string_view::npos ? text.size() : end + 1;
      continue;
    }
    const std::size_t keyStart = at;
    while (at < text.size() && text[at] != '=' && text[at] != '\n') ++at;
    if (at >= text.size() || text[at] == '\n') continue;  // no '=': not an assignment
    std::string_view name = text.substr(keyStart, at - keyStart);
    while (!name.empty() && isBlank(name.back())) name.remove_suffix(1);
    ++at;
    std::string value = parseValue(text, at);
    if (name == key) result = std::move(value);
  }
  return result;
}

std::optional<std::string> localizedHostName(const std::filesystem::path& machineInfo) {
  // machine-info is a few lines; anything far larger is not one.
  const auto contents = readRegularFile(machineInfo, 64 * 1024);
  if (!contents) return std::nullopt;
  auto name = environmentFileValue(*contents, "PRETTY_HOSTNAME");
  if (!name || name->empty()) return std::nullopt;
  return name;
}

std::string networkHostName() {
  std::vector<char> buffer(HOST_NAME_MAX + 2, '\0');
  if (::gethostname(buffer.data(), buffer.size() - 1) != 0) return {};
  return std::string(buffer.data());
}

}  // namespace zvui
