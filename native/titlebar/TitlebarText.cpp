#include "titlebar/TitlebarText.h"

#include <unicode/ucasemap.h>

#include <memory>

#include "support/UniqueHandle.h"
#include "support/Utf8Decoder.h"

namespace zvui {
namespace {

// Upper-cases ASCII letters only: what is shown when ICU cannot map the text.
std::string upperCaseAscii(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

std::string removeEvery(std::string_view text, std::string_view needle) {
  std::string result;
  result.reserve(text.size());
  std::size_t at = 0;
  for (std::size_t found = text.find(needle); found != std::string_view::npos;
       found = text.find(needle, at)) {
    result.append(text.substr(at, found - at));
    at = found + needle.size();
  }
  result.append(text.substr(at));
  return result;
}

std::string_view lastPathComponent(std::string_view path) {
  if (path.empty()) return path;
  const std::size_t lastKept = path.find_last_not_of('/');
  if (lastKept == std::string_view::npos) return "/";
  path = path.substr(0, lastKept + 1);
  const std::size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

}  // namespace

std::string upperCaseForDisplay(std::string_view text) {
  const std::string valid = toValidUtf8(text);
  if (valid.empty()) return valid;
  UErrorCode status = U_ZERO_ERROR;
  // "" names the root locale, so the user's language never changes the result.
  const UniquePointer<UCaseMap, ucasemap_close> map(
      ucasemap_open("", U_FOLD_CASE_DEFAULT, &status));
  if (U_FAILURE(status)) return upperCaseAscii(valid);

  // Upper-casing grows text by at most three times (one character to three).
  std::string upper(valid.size() * 3, '\0');
  const auto length =
      ucasemap_utf8ToUpper(map.get(), upper.data(), static_cast<int32_t>(upper.size()),
                           valid.data(), static_cast<int32_t>(valid.size()), &status);
  if (status == U_BUFFER_OVERFLOW_ERROR) {
    status = U_ZERO_ERROR;
    upper.assign(static_cast<std::size_t>(length), '\0');
    ucasemap_utf8ToUpper(map.get(), upper.data(), length, valid.data(),
                         static_cast<int32_t>(valid.size()), &status);
  }
  if (U_FAILURE(status)) return upperCaseAscii(valid);
  upper.resize(static_cast<std::size_t>(length));
  return upper;
}

std::string titlebarHostText(std::optional<std::string_view> localizedName,
                             std::string_view hostName) {
  return upperCaseForDisplay(removeEvery(localizedName ? *localizedName : hostName, ".local"));
}

std::string titlebarRuntimeText(std::optional<std::string_view> shell) {
  return upperCaseForDisplay(shell ? lastPathComponent(*shell) : std::string_view("zsh"));
}

}  // namespace zvui
