// Quit latency: from the start of the stop sequence until the backend and everything of its
// tree are gone, with the real pkill and kill; and what the guard costs.
//   - a tree that obeys TERM (backend and two children), stopped by the sequence as it was
//     before process groups (tools only, KILL decided by the backend) and as it is now,
//     alternating, in one run;
//   - trees that ignore TERM, which the KILL pass after the 1 s wait ends;
//   - the guard: launch time with and without it, its resident set, and its release.
//
//   zvui_backend_quit_bench [runs-obeying] [runs-ignoring]
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <thread>

#include "BenchSupport.h"
#include "backend/BackendShutdown.h"
#include "backend/PosixBackendLauncher.h"
#include "backend/PosixBackendProcess.h"
#include "backend/ProcessGroup.h"
#include "backend/SignalTools.h"
#include "backend/Spawn.h"
#include "support/TestMainLoop.h"
#include "support/UniqueHandle.h"

namespace zvui::bench {
namespace {

using Samples = std::vector<double>;

std::vector<int> numbersAfter(const std::string& text, const std::string& prefix) {
  std::vector<int> found;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(prefix, 0) == 0) found.push_back(std::stoi(line.substr(prefix.size())));
  }
  return found;
}

std::string readAll(const std::string& path) {
  std::ifstream in(path);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool waitGone(int pidfd) {
  pollfd fd{pidfd, POLLIN, 0};
  return ::poll(&fd, 1, 3000) > 0;
}

// The stop sequence before the backend had a process group of its own.
void stopAsBefore(BackendProcess& process, BackendLauncher& launcher) {
  if (!process.isRunning()) return;
  const std::int32_t pid = process.processIdentifier();
  launcher.signalBackendTree(pid, "TERM");
  if (process.waitForExit(kBackendKillDelay)) return;
  launcher.signalBackendTree(pid, "KILL");
}

enum class Sequence { Before, Now };

// A backend tree: the forking helper (children named on its output) or the tree helper
// (pids in a file, `processes` of them).
struct TreeShape {
  std::filesystem::path executable;
  std::vector<std::string> environment;
  std::size_t processes = 0;  // 0: the forking helper
};

// One launch and stop; the milliseconds until the whole tree is gone, or -1.
double quitOnce(const TreeShape& shape, Sequence sequence) {
  test::TestMainLoop loop;
  PosixBackendLauncher launcher(".", loop);
  const std::string pidFile = "/tmp/zvui-quit-bench-" + std::to_string(::getpid());
  std::filesystem::remove(pidFile);
  auto environment = shape.environment;
  environment.push_back("HELPER_PIDS=" + pidFile);
  auto process = launcher.makeProcess(shape.executable, environment);
  std::string output;
  bool exited = false;
  if (!process->launch([&](std::string block) { output += block; }, [&] { exited = true; })) {
    return -1;
  }
  std::vector<int> tree;
  if (shape.processes == 0) {
    if (!loop.runUntil([&] { return output.find("ready\n") != std::string::npos; })) return -1;
    tree = numbersAfter(output, "child ");
    tree.push_back(process->processIdentifier());
  } else {
    const auto start = Clock::now();
    while ((tree = numbersAfter(readAll(pidFile), "")).size() < shape.processes) {
      if (millisecondsSince(start) > 10000) return -1;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  std::vector<UniqueFd> handles;
  for (int pid : tree) handles.emplace_back(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));

  const auto start = Clock::now();
  if (sequence == Sequence::Now) {
    stopBackendTree(process.get(), launcher);
  } else {
    stopAsBefore(*process, launcher);
  }
  bool gone = true;
  for (const auto& handle : handles) gone = waitGone(handle.get()) && gone;
  const double elapsed = millisecondsSince(start);
  // What a sequence left behind is taken down here, so it cannot skew the next run.
  for (const auto& handle : handles) {
    ::syscall(SYS_pidfd_send_signal, handle.get(), SIGKILL, nullptr, 0);
  }
  loop.runUntil([&] { return exited; });
  std::filesystem::remove(pidFile);
  return gone ? elapsed : -1;
}

void print(const char* label, const Samples& samples) {
  const bool failed = std::any_of(samples.begin(), samples.end(), [](double v) { return v < 0; });
  std::printf("%-40s runs %3zu  median %8.2f ms  p90 %8.2f ms  min %8.2f ms  max %8.2f ms%s\n",
              label, samples.size(), quantile(samples, 0.5), quantile(samples, 0.9),
              quantile(samples, 0.0), quantile(samples, 1.0),
              failed ? "  (SOME RUNS FAILED: tree left)" : "");
}

// The floor under every signalling pass: starting a tool and waiting for it.
void reportToolRun(const char* label, const std::filesystem::path& tool,
                   const std::vector<std::string>& arguments, int runs) {
  Samples samples;
  for (int run = 0; run < runs; ++run) {
    const auto start = Clock::now();
    runSignalTool(tool, arguments);
    samples.push_back(millisecondsSince(start));
  }
  print(label, samples);
}

void reportGroupScan(int runs) {
  // One look at a group that has a member: kill(-id, 0) finds it, so /proc is listed.
  SpawnRequest request;
  request.executable = ZVUI_BENCH_TREE_BACKEND;
  request.environment = std::vector<std::string>{"HELPER_TREE=ignores-term"};
  request.newProcessGroup = true;
  const Result<pid_t> member = spawnProcess(request);
  if (!member) return;
  const ProcessGroup group = processGroupLedBy(*member);
  Samples samples;
  for (int run = 0; run < runs; ++run) {
    const auto start = Clock::now();
    const auto found = liveMembers(group);
    samples.push_back(found.size() == 1 ? millisecondsSince(start) : -1);
  }
  ::kill(*member, SIGKILL);
  waitForChild(*member);
  print("one look for live members (/proc listing)", samples);
}

long statusField(pid_t pid, const std::string& field) {
  std::istringstream status(readAll("/proc/" + std::to_string(pid) + "/status"));
  for (std::string line; std::getline(status, line);) {
    if (line.rfind(field + ":", 0) == 0) return std::stol(line.substr(field.size() + 1));
  }
  return -1;
}

void reportGuard(int runs) {
  Samples without;
  Samples with;
  Samples release;
  Samples rss;
  Samples anon;
  for (int run = 0; run < runs; ++run) {
    for (const bool guarded : {false, true}) {
      test::TestMainLoop loop;
      PosixBackendProcess::Options options;
      if (guarded) options.guard = ZVUI_BENCH_GUARD;
      auto process = std::make_unique<PosixBackendProcess>(
          ZVUI_BENCH_FORKING_BACKEND,
          std::vector<std::string>{"HELPER_CHILDREN=obedient"}, loop, options);
      std::string output;
      bool exited = false;
      const auto start = Clock::now();
      process->launch([&](std::string block) { output += block; }, [&] { exited = true; });
      (guarded ? with : without).push_back(millisecondsSince(start));
      loop.runUntil([&] { return output.find("ready\n") != std::string::npos; });
      if (guarded) {
        const pid_t guard = process->guardIdentifier();
        // Settled: blocked in its one read.
        for (const auto begin = Clock::now(); millisecondsSince(begin) < 2000;) {
          const auto stat = readProcessStat(guard);
          if (stat && stat->state == 'S') break;
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        rss.push_back(static_cast<double>(statusField(guard, "VmRSS")));
        anon.push_back(static_cast<double>(statusField(guard, "RssAnon")));
      }
      PosixBackendLauncher launcher(".", loop);
      stopBackendTree(process.get(), launcher);
      loop.runUntil([&] { return exited; });
      const pid_t guardPid = guarded ? process->guardIdentifier() : 0;
      const UniqueFd guard(guarded ? static_cast<int>(::syscall(SYS_pidfd_open, guardPid, 0)) : -1);
      const auto released = Clock::now();
      process.reset();
      if (guarded) {
        // From letting it go until it has exited (it looks, finds the group empty, ends).
        const bool gone = waitGone(guard.get());
        release.push_back(gone ? millisecondsSince(released) : -1);
        ::waitpid(guardPid, nullptr, WNOHANG);
      }
    }
  }
  print("launch without the guard", without);
  print("launch with the guard", with);
  print("guard exit after its release", release);
  std::printf("%-40s median %6.0f KiB (anonymous %4.0f KiB), max %6.0f KiB\n",
              "guard resident set", quantile(rss, 0.5), quantile(anon, 0.5), quantile(rss, 1.0));
}

}  // namespace
}  // namespace zvui::bench

int main(int argc, char** argv) {
  using namespace zvui::bench;
  const int obeying = argc > 1 ? std::atoi(argv[1]) : 50;
  const int ignoring = argc > 2 ? std::atoi(argv[2]) : 5;
  reportToolRun("one run of /bin/true", "/bin/true", {}, obeying);
  reportToolRun("one run of pkill -0 -P 999999", "/usr/bin/pkill", {"-0", "-P", "999999"},
                obeying);
  reportGroupScan(obeying);

  const TreeShape obedient{ZVUI_BENCH_FORKING_BACKEND, {"HELPER_CHILDREN=obedient"}};
  Samples before;
  Samples now;
  for (int run = 0; run < obeying; ++run) {
    before.push_back(quitOnce(obedient, Sequence::Before));
    now.push_back(quitOnce(obedient, Sequence::Now));
  }
  print("obeys TERM: sequence before groups", before);
  print("obeys TERM: sequence now", now);
  std::printf("%-40s %.3f\n", "ratio of the medians (now / before)",
              quantile(now, 0.5) / quantile(before, 0.5));

  const TreeShape stubborn{ZVUI_BENCH_FORKING_BACKEND, {"HELPER_PARENT=ignore-term"}};
  const TreeShape grandchild{ZVUI_BENCH_TREE_BACKEND, {"HELPER_TREE=grandchild-ignores-term"}, 3};
  Samples stubbornNow;
  Samples grandchildNow;
  Samples grandchildBefore;
  for (int run = 0; run < ignoring; ++run) {
    stubbornNow.push_back(quitOnce(stubborn, Sequence::Now));
    grandchildNow.push_back(quitOnce(grandchild, Sequence::Now));
    grandchildBefore.push_back(quitOnce(grandchild, Sequence::Before));
  }
  print("ignores TERM (+1 stubborn child): now", stubbornNow);
  print("grandchild ignores TERM: now", grandchildNow);
  print("grandchild ignores TERM: before", grandchildBefore);

  reportGuard(obeying);
  return 0;
}
