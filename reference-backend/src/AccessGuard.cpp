#include "AccessGuard.h"

#include <sys/random.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <strings.h>

namespace tamrik {
namespace {

zvui::Result<std::string, std::string> randomHex128() {
  std::array<unsigned char, 16> bytes{};
  std::size_t filled = 0;
  while (filled < bytes.size()) {
    ssize_t got = getrandom(bytes.data() + filled, bytes.size() - filled, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      return zvui::Failure{std::string("getrandom: ") + std::strerror(errno)};
    }
    filled += static_cast<std::size_t>(got);
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(32);
  for (unsigned char b : bytes) {
    out.push_back(kHex[b >> 4]);
    out.push_back(kHex[b & 0xf]);
  }
  return out;
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

}  // namespace

bool constantTimeEquals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  unsigned char diff = 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    diff |= static_cast<unsigned char>(a[i] ^ b[i]);
  }
  return diff == 0;
}

zvui::Result<AccessGuard, std::string> AccessGuard::create(std::uint16_t port) {
  auto token = randomHex128();
  if (!token) return zvui::Failure{token.error()};
  auto session = randomHex128();
  if (!session) return zvui::Failure{session.error()};
  return AccessGuard(port, std::move(*token), std::move(*session));
}

std::string AccessGuard::cookieName() const {
  // Browsers share cookies across ports of one host; the port in the name keeps two
  // consoles on this machine from overwriting each other's session.
  return "tamrik_session_" + std::to_string(port_);
}

std::string AccessGuard::sessionCookieHeader() const {
  return cookieName() + "=" + session_ + "; Path=/; HttpOnly; SameSite=Strict";
}

bool AccessGuard::hostAllowed(const char* host) const {
  if (host == nullptr) return false;
  const std::string port = std::to_string(port_);
  std::string_view value(host);
  for (std::string_view name : {std::string_view("127.0.0.1"), std::string_view("localhost")}) {
    if (value.size() != name.size() + 1 + port.size()) continue;
    if (strncasecmp(value.data(), name.data(), name.size()) != 0) continue;
    if (value[name.size()] != ':') continue;
    if (value.substr(name.size() + 1) == port) return true;
  }
  return false;
}

bool AccessGuard::originAllowed(const char* origin, const char* host) const {
  if (origin == nullptr || host == nullptr || !hostAllowed(host)) return false;
  // Our own origin is exactly the scheme plus the host the page was loaded from.
  std::string_view value(origin);
  constexpr std::string_view scheme = "http://";
  if (value.size() <= scheme.size() || value.substr(0, scheme.size()) != scheme) return false;
  std::string_view rest = value.substr(scheme.size());
  std::string_view hostView(host);
  return rest.size() == hostView.size() &&
         strncasecmp(rest.data(), hostView.data(), rest.size()) == 0;
}

bool AccessGuard::cookieValid(const char* cookies) const {
  if (cookies == nullptr) return false;
  const std::string name = cookieName();
  std::string_view rest(cookies);
  bool valid = false;
  while (!rest.empty()) {
    std::size_t end = rest.find(';');
    std::string_view pair = trim(rest.substr(0, end));
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    std::size_t eq = pair.find('=');
    if (eq == std::string_view::npos || trim(pair.substr(0, eq)) != name) continue;
    // Look at every cookie of our name: a stale one from an earlier run must not hide
    // the current one.
    valid = constantTimeEquals(trim(pair.substr(eq + 1)), session_) || valid;
  }
  return valid;
}

AccessGuard::Verdict AccessGuard::check(const char* host, const char* origin, bool isWebSocket,
                                        const char* cookies, const char* queryToken) const {
  if (!hostAllowed(host)) return Verdict::Forbidden;
  if (isWebSocket && !originAllowed(origin, host)) return Verdict::Forbidden;
  // A plain request that announces a foreign origin is cross-site; refuse it as well.
  if (!isWebSocket && origin != nullptr && !originAllowed(origin, host)) return Verdict::Forbidden;
  if (queryToken != nullptr) {
    // The token is only ever exchanged for the cookie, so it never stays in a page's URL.
    if (!isWebSocket && constantTimeEquals(queryToken, token_)) return Verdict::GrantSession;
    return Verdict::Forbidden;
  }
  if (cookieValid(cookies)) return Verdict::Allow;
  return cookies != nullptr && std::string_view(cookies).find(cookieName()) != std::string_view::npos
             ? Verdict::Forbidden
             : Verdict::Unauthorized;
}

}  // namespace tamrik
