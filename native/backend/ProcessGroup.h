#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace zvui {

// The backend's process group. The backend leads it, so its id is the backend's pid; the
// leader's start time tells that process apart from a later one that got the same pid.
struct ProcessGroup {
  pid_t id = 0;
  std::uint64_t leaderStart = 0;  // clock ticks since boot, as /proc reports it
};

// What /proc/<pid>/stat says about a process, as far as we need it.
struct ProcessStat {
  char state = '?';  // 'R', 'S', 'T', 'Z', ...
  pid_t group = 0;
  std::uint64_t start = 0;
};

// Reads the text of /proc/<pid>/stat; nullopt when it does not have the expected shape.
std::optional<ProcessStat> parseProcessStat(std::string_view text);
// The stat of `pid`, or nullopt when there is no such process.
std::optional<ProcessStat> readProcessStat(pid_t pid);

// The group as the guard program is given it: its id and its leader's start time, each the
// whole of a decimal number.
std::optional<ProcessGroup> parseProcessGroup(std::string_view id, std::string_view leaderStart);

// The group led by `leader`, which must be running (or be our unreaped child).
ProcessGroup processGroupLedBy(pid_t leader);

// True when `group` may be signalled by us: a real group id (not 0 or 1, not our own pid or
// group) whose leader is either gone or still the process it was. A leader that is gone
// leaves its id reserved for as long as any member lives, so the members can only be ours.
bool isSignallable(const ProcessGroup& group);

// Sends `signal` to every member of `group`, when isSignallable. True when it was sent.
bool signalProcessGroup(const ProcessGroup& group, int signal) noexcept;

// The members of `group` that have not ended (zombies have), at most `limit` of them; none
// when the group is not signallable.
std::vector<pid_t> liveMembers(const ProcessGroup& group, std::size_t limit = 256);

// Waits until no member of `group` is alive or `deadline` passes; true when none is.
bool waitForGroupToEnd(const ProcessGroup& group, std::chrono::steady_clock::time_point deadline);

// TERM to the group (and CONT, so a stopped member can act on it), up to `grace` for it to
// end, then KILL. Returns at once when nothing of the group is alive.
void stopProcessGroup(const ProcessGroup& group, std::chrono::milliseconds grace);

// "TERM" -> SIGTERM and the like, for the few signals the shutdown uses; 0 for others.
int signalNumber(std::string_view name) noexcept;

}  // namespace zvui
