#pragma once

// Shared by the helper programs. write(2) directly, so that standard output and standard
// error interleave in the order of the calls. None of them handles a signal, so a write to
// a blocking pipe writes everything (or SIGPIPE ends the process).

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <string_view>

namespace helper {

inline void writeAll(int fd, std::string_view text) {
  [[maybe_unused]] const ssize_t wrote = ::write(fd, text.data(), text.size());
}

inline void say(const std::string& line) { writeAll(STDOUT_FILENO, line + "\n"); }

// Waits for a signal to end the process; one left behind by a failing test ends itself
// within a minute.
[[noreturn]] inline void waitToBeEnded() {
  ::alarm(60);
  for (;;) ::pause();
}

// Appends `line` to the file the environment variable `variable` names, if it names one.
inline void appendLine(const char* variable, const std::string& line) {
  const char* path = ::getenv(variable);
  const int file = path != nullptr ? ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644) : -1;
  if (file < 0) return;
  writeAll(file, line + "\n");
  ::close(file);
}

inline bool environmentSays(const char* name, const char* value) {
  const char* actual = ::getenv(name);
  return actual != nullptr && std::strcmp(actual, value) == 0;
}

}  // namespace helper
