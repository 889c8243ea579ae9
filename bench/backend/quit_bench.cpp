// Quit latency: from the start of the stop sequence until the backend and its children are
// gone, with the real pkill and kill. A backend (and children) that obey TERM, and one that
// ignores it (so the kill pass after the 1 s delay ends it).
//
//   zvui_backend_quit_bench [runs-obeying] [runs-ignoring]
#include <sys/syscall.h>
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "BenchSupport.h"
#include "backend/BackendShutdown.h"
#include "backend/PosixBackendLauncher.h"
#include "backend/SignalTools.h"
#include "support/TestMainLoop.h"
#include "support/UniqueHandle.h"

namespace zvui::bench {
namespace {

std::vector<int> namedChildren(const std::string& output) {
  std::vector<int> pids;
  std::istringstream in(output);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("child ", 0) == 0) pids.push_back(std::stoi(line.substr(6)));
  }
  return pids;
}

bool waitGone(int pidfd) {
  pollfd fd{pidfd, POLLIN, 0};
  return ::poll(&fd, 1, 10000) > 0;
}

// One launch and stop; the milliseconds until everything is gone, or -1.
double quitOnce(const std::vector<std::string>& environment) {
  test::TestMainLoop loop;
  PosixBackendLauncher launcher(".", loop);
  auto process = launcher.makeProcess(ZVUI_BENCH_FORKING_BACKEND, environment);
  std::string output;
  bool exited = false;
  if (!process->launch([&](std::string block) { output += block; }, [&] { exited = true; })) {
    return -1;
  }
  if (!loop.runUntil([&] { return output.find("ready\n") != std::string::npos; })) return -1;
  std::vector<UniqueFd> children;
  for (int pid : namedChildren(output)) {
    children.emplace_back(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
  }

  const auto start = Clock::now();
  stopBackendTree(process.get(), launcher);
  bool gone = process->waitForExit(std::chrono::seconds(10));
  for (const auto& child : children) gone = waitGone(child.get()) && gone;
  const double elapsed = millisecondsSince(start);
  loop.runUntil([&] { return exited; });
  return gone ? elapsed : -1;
}

void report(const char* label, const std::vector<std::string>& environment, int runs) {
  std::vector<double> samples;
  for (int run = 0; run < runs; ++run) samples.push_back(quitOnce(environment));
  const bool failed = std::any_of(samples.begin(), samples.end(), [](double v) { return v < 0; });
  std::printf("%-34s runs %3d  median %8.2f ms  p90 %8.2f ms  min %8.2f ms  max %8.2f ms%s\n",
              label, runs, quantile(samples, 0.5), quantile(samples, 0.9),
              quantile(samples, 0.0), quantile(samples, 1.0), failed ? "  (SOME RUNS FAILED)" : "");
}

// The floor under every signalling pass: starting a tool and waiting for it.
void reportToolRun(const char* label, const std::filesystem::path& tool,
                   const std::vector<std::string>& arguments, int runs) {
  std::vector<double> samples;
  for (int run = 0; run < runs; ++run) {
    const auto start = Clock::now();
    runSignalTool(tool, arguments);
    samples.push_back(millisecondsSince(start));
  }
  std::printf("%-34s runs %3d  median %8.2f ms  p90 %8.2f ms  min %8.2f ms  max %8.2f ms\n",
              label, runs, quantile(samples, 0.5), quantile(samples, 0.9),
              quantile(samples, 0.0), quantile(samples, 1.0));
}

}  // namespace
}  // namespace zvui::bench

int main(int argc, char** argv) {
  const int obeying = argc > 1 ? std::atoi(argv[1]) : 50;
  const int ignoring = argc > 2 ? std::atoi(argv[2]) : 5;
  zvui::bench::reportToolRun("one run of /bin/true", "/bin/true", {}, obeying);
  zvui::bench::reportToolRun("one run of pkill -0 -P 999999", "/usr/bin/pkill",
                             {"-0", "-P", "999999"}, obeying);
  zvui::bench::report("obeys TERM (2 obedient children)", {"HELPER_CHILDREN=obedient"}, obeying);
  zvui::bench::report("ignores TERM (+1 stubborn child)", {"HELPER_PARENT=ignore-term"},
                      ignoring);
  return 0;
}
