// A backend that describes the process it was started as, one fact per line, and exits:
// "argc", "argv0", "cwd", "stdin" (what descriptor 0 refers to), one "fd <n>" per open
// descriptor, "SigBlk:" and "SigIgn:" as the kernel reports them, then "env <entry>" for
// every environment entry in order.
#include <dirent.h>
#include <limits.h>

#include <fstream>
#include <string>

#include "HelperIo.h"

extern char** environ;

namespace {

std::string linkTarget(const char* path) {
  char target[PATH_MAX];
  const ssize_t length = ::readlink(path, target, sizeof target - 1);
  return length < 0 ? std::string("none") : std::string(target, static_cast<std::size_t>(length));
}

}  // namespace

int main(int argc, char** argv) {
  std::string report;
  report += "argc " + std::to_string(argc) + "\n";
  report += "argv0 " + std::string(argv[0]) + "\n";
  char cwd[PATH_MAX];
  report += "cwd " + std::string(::getcwd(cwd, sizeof cwd) != nullptr ? cwd : "none") + "\n";
  report += "stdin " + linkTarget("/proc/self/fd/0") + "\n";

  if (DIR* directory = ::opendir("/proc/self/fd")) {
    while (const dirent* entry = ::readdir(directory)) {
      if (entry->d_name[0] == '.') continue;
      if (std::stoi(entry->d_name) == ::dirfd(directory)) continue;
      report += "fd " + std::string(entry->d_name) + "\n";
    }
    ::closedir(directory);
  }

  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("SigBlk:", 0) == 0 || line.rfind("SigIgn:", 0) == 0) report += line + "\n";
  }

  for (char** entry = environ; *entry != nullptr; ++entry) report += "env " + std::string(*entry) + "\n";
  helper::writeAll(STDOUT_FILENO, report);
  return 0;
}
