#pragma once

// Small, dependency-free pieces shared by the helper programs. They use write(2) directly so
// that the order of standard output and standard error is the order of the calls.

#include <signal.h>
#include <unistd.h>

#include <cstring>
#include <string>

namespace helper {

inline void writeAll(int fd, const std::string& text) {
  const char* data = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    const ssize_t done = ::write(fd, data, left);
    if (done <= 0) return;
    data += done;
    left -= static_cast<std::size_t>(done);
  }
}

inline void say(const std::string& line) { writeAll(STDOUT_FILENO, line + "\n"); }

// A helper left behind by a failing test must not live for ever.
inline void limitLifetime() { ::alarm(60); }

[[noreturn]] inline void waitForever() {
  for (;;) ::pause();
}

inline bool environmentSays(const char* name, const char* value) {
  const char* actual = ::getenv(name);
  return actual != nullptr && std::strcmp(actual, value) == 0;
}

}  // namespace helper
