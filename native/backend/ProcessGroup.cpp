#include "backend/ProcessGroup.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <climits>
#include <thread>

#include "support/UniqueHandle.h"

namespace zvui {
namespace {

using Clock = std::chrono::steady_clock;

// Fields after the command name, counted from the state (field 3 of proc(5)).
constexpr std::size_t kGroupField = 2;
constexpr std::size_t kStartField = 19;

// The whole of `text` as a decimal number.
template <typename Number>
std::optional<Number> parseNumber(std::string_view text) {
  Number value{};
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::optional<pid_t> parsePid(std::string_view text) {
  const auto pid = parseNumber<pid_t>(text);
  if (!pid || *pid <= 0) return std::nullopt;
  return pid;
}

}  // namespace

std::optional<ProcessStat> parseProcessStat(std::string_view text) {
  // The command name is in parentheses and may itself hold spaces and parentheses; only the
  // last ')' ends it.
  const auto close = text.rfind(')');
  if (close == std::string_view::npos) return std::nullopt;
  std::string_view rest = text.substr(close + 1);
  char state = '?';
  std::optional<pid_t> group;
  std::optional<std::uint64_t> start;
  std::size_t field = 0;
  while (!rest.empty() && field <= kStartField) {
    const auto begin = rest.find_first_not_of(' ');
    if (begin == std::string_view::npos) break;
    rest.remove_prefix(begin);
    const auto end = std::min(rest.find_first_of(" \n"), rest.size());
    const std::string_view token = rest.substr(0, end);
    rest.remove_prefix(end);
    if (field == 0) {
      if (token.size() != 1) return std::nullopt;
      state = token[0];
    } else if (field == kGroupField) {
      group = parseNumber<pid_t>(token);
    } else if (field == kStartField) {
      start = parseNumber<std::uint64_t>(token);
    }
    ++field;
  }
  if (!group || !start) return std::nullopt;
  return ProcessStat{state, *group, *start};
}

std::optional<ProcessGroup> parseProcessGroup(std::string_view id, std::string_view leaderStart) {
  const auto group = parseNumber<pid_t>(id);
  const auto start = parseNumber<std::uint64_t>(leaderStart);
  if (!group || !start) return std::nullopt;
  return ProcessGroup{*group, *start};
}

namespace {

// The stat of the process whose /proc entry is `entry` ("<pid>/stat"), relative to `proc`.
std::optional<ProcessStat> readStatAt(int proc, const char* entry) {
  const UniqueFd file(::openat(proc, entry, O_RDONLY | O_CLOEXEC));
  if (!file) return std::nullopt;
  std::array<char, 1024> text{};
  ssize_t got;
  do {
    got = ::read(file.get(), text.data(), text.size());
  } while (got < 0 && errno == EINTR);
  if (got <= 0) return std::nullopt;
  return parseProcessStat({text.data(), static_cast<std::size_t>(got)});
}

}  // namespace

std::optional<ProcessStat> readProcessStat(pid_t pid) {
  if (pid <= 0) return std::nullopt;
  std::array<char, 40> path{};
  std::snprintf(path.data(), path.size(), "/proc/%d/stat", static_cast<int>(pid));
  return readStatAt(AT_FDCWD, path.data());
}

ProcessGroup processGroupLedBy(pid_t leader) {
  const auto stat = readProcessStat(leader);
  return {leader, stat ? stat->start : 0};
}

bool isSignallable(const ProcessGroup& group) {
  if (group.id <= 1 || group.id == ::getpid() || group.id == ::getpgrp()) return false;
  const pid_t parentGroup = ::getpgid(::getppid());
  if (parentGroup > 0 && group.id == parentGroup) return false;
  // A process under the leader's pid that started at another time is not our leader: the
  // group has emptied and the id has been given out again.
  const auto leader = readProcessStat(group.id);
  return !leader || leader->start == group.leaderStart;
}

bool signalProcessGroup(const ProcessGroup& group, int signal) noexcept {
  if (signal <= 0 || !isSignallable(group)) return false;
  return ::kill(-group.id, signal) == 0;
}

std::vector<pid_t> liveMembers(const ProcessGroup& group, std::size_t limit) {
  std::vector<pid_t> members;
  if (limit == 0 || !isSignallable(group)) return members;
  // Most often the group is simply empty, which needs no listing.
  if (::kill(-group.id, 0) != 0 && errno == ESRCH) return members;

  DIR* directory = ::opendir("/proc");
  if (directory == nullptr) {
    // Nothing to tell the living from the zombies by: count the group as alive.
    members.push_back(group.id);
    return members;
  }
  std::array<char, 40> path{};
  while (const dirent* entry = ::readdir(directory)) {
    const auto pid = parsePid(entry->d_name);
    if (!pid) continue;
    std::snprintf(path.data(), path.size(), "%d/stat", static_cast<int>(*pid));
    const auto stat = readStatAt(::dirfd(directory), path.data());
    if (!stat || stat->group != group.id || stat->state == 'Z' || stat->state == 'X') continue;
    members.push_back(*pid);
    if (members.size() == limit) break;
  }
  ::closedir(directory);
  return members;
}

bool waitForGroupToEnd(const ProcessGroup& group, Clock::time_point deadline) {
  for (;;) {
    const auto members = liveMembers(group);
    if (members.empty()) return true;
    if (Clock::now() >= deadline) return false;

    // Wait for the members we found, then look again: they may have started others.
    std::vector<UniqueFd> handles;
    std::vector<pollfd> waiting;
    for (const pid_t pid : members) {
      UniqueFd handle(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
      if (!handle) continue;
      waiting.push_back({handle.get(), POLLIN, 0});
      handles.push_back(std::move(handle));
    }
    if (waiting.empty()) {
      // No pidfds (or every one of them ended just now): look again shortly.
      std::this_thread::sleep_for(
          std::min<Clock::duration>(std::chrono::milliseconds(5), deadline - Clock::now()));
      continue;
    }
    while (!waiting.empty()) {
      const auto left =
          std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
      const int ready = ::poll(waiting.data(), waiting.size(),
                               static_cast<int>(std::clamp<std::int64_t>(left, 0, INT_MAX)));
      if (ready < 0 && errno == EINTR) continue;
      if (ready < 0) break;
      if (ready == 0) return liveMembers(group).empty();
      std::erase_if(waiting, [](const pollfd& fd) { return fd.revents != 0; });
    }
  }
}

void stopProcessGroup(const ProcessGroup& group, std::chrono::milliseconds grace) {
  if (liveMembers(group, 1).empty()) return;
  signalProcessGroup(group, SIGTERM);
  signalProcessGroup(group, SIGCONT);
  if (waitForGroupToEnd(group, Clock::now() + grace)) return;
  signalProcessGroup(group, SIGKILL);
}

int signalNumber(std::string_view name) noexcept {
  static constexpr std::pair<std::string_view, int> kSignals[] = {
      {"TERM", SIGTERM}, {"KILL", SIGKILL}, {"CONT", SIGCONT}, {"INT", SIGINT}, {"HUP", SIGHUP}};
  for (const auto& [known, number] : kSignals) {
    if (known == name) return number;
  }
  return 0;
}

}  // namespace zvui
