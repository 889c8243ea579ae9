#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "support/Result.h"

namespace tamrik {

// Decides who may talk to the console. A terminal on a port is code execution for whoever
// reaches it, so every request must name our own loopback host and port (against DNS
// rebinding), WebSocket upgrades must come from our own origin (against cross-site
// hijacking), and the caller must hold the launch token or the session cookie it buys.
class AccessGuard {
 public:
  enum class Verdict {
    Allow,          // carries a valid session cookie
    GrantSession,   // carries the launch token: set the cookie and redirect without it
    Unauthorized,   // carries neither token nor cookie (401)
    Forbidden,      // wrong host, wrong origin or a wrong secret (403)
  };

  // Draws the launch token and the session secret from the kernel's random source. Fails
  // when that source cannot give them: without real randomness the console would be open
  // to anyone.
  static zvui::Result<AccessGuard, std::string> create(std::uint16_t port);

  [[nodiscard]] const std::string& token() const { return token_; }
  [[nodiscard]] std::string cookieName() const;
  // The Set-Cookie value handed out in exchange for the token.
  [[nodiscard]] std::string sessionCookieHeader() const;

  // `host` and `origin` are the raw header values (nullptr when absent); `cookies` the raw
  // Cookie header; `queryToken` the value of the "token" query parameter, if any.
  [[nodiscard]] Verdict check(const char* host, const char* origin, bool isWebSocket,
                              const char* cookies, const char* queryToken) const;

  [[nodiscard]] bool hostAllowed(const char* host) const;
  [[nodiscard]] bool originAllowed(const char* origin, const char* host) const;

 private:
  AccessGuard(std::uint16_t port, std::string token, std::string session)
      : port_(port), token_(std::move(token)), session_(std::move(session)) {}

  [[nodiscard]] bool cookieValid(const char* cookies) const;

  std::uint16_t port_;
  std::string token_;
  std::string session_;
};

// Equal length and bytes, in time that depends only on the lengths.
bool constantTimeEquals(std::string_view a, std::string_view b);

}  // namespace tamrik
