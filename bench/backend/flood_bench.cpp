// Output flood: a backend writes numbered log lines as fast as it can. Compares the time it
// takes through the real launcher (reader thread, decoding, main loop, a consumer that keeps
// the last 12,000 bytes) with the same backend piped into `cat > /dev/null`, and reports
// the peak resident set of this process before and after.
//
//   zvui_backend_flood_bench [bytes] [rounds] [both|cat|launcher]
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>

#include "BenchSupport.h"
#include "backend/BackendEnvironment.h"
#include "backend/PosixBackendLauncher.h"
#include "backend/Spawn.h"
#include "support/TestMainLoop.h"

namespace zvui::bench {
namespace {

std::string sizeSetting(unsigned long long bytes) {
  return "HELPER_FLOOD_BYTES=" + std::to_string(bytes);
}

double throughCat(unsigned long long bytes) {
  SpawnRequest request;
  request.executable = "/bin/sh";
  request.arguments = {"-c", "\"$0\" | cat > /dev/null", ZVUI_BENCH_FLOOD_BACKEND};
  Environment environment = currentEnvironment();
  setEnvironmentVariable(environment, "HELPER_FLOOD_BYTES", std::to_string(bytes));
  request.environment = environment;
  const auto start = Clock::now();
  const Result<pid_t> shell = spawnProcess(request);
  if (!shell) return -1;
  waitForChild(*shell);
  return millisecondsSince(start);
}

double cpuMilliseconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000.0 +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000.0;
}

double throughLauncher(unsigned long long bytes, std::size_t* received, double* cpu) {
  test::TestMainLoop loop;
  PosixBackendLauncher launcher(".", loop);
  auto process = launcher.makeProcess(ZVUI_BENCH_FLOOD_BACKEND, {sizeSetting(bytes)});
  std::string tail;
  std::size_t total = 0;
  bool exited = false;
  const auto start = Clock::now();
  const double cpuStart = cpuMilliseconds();
  const bool launched = process->launch(
      [&](std::string block) {
        total += block.size();
        constexpr std::size_t kCap = 12000;
        if (block.size() >= kCap) {
          tail.assign(block, block.size() - kCap, kCap);
        } else {
          tail += block;
          if (tail.size() > kCap) tail.erase(0, tail.size() - kCap);
        }
      },
      [&] { exited = true; });
  if (!launched || !loop.runUntil([&] { return exited; }, std::chrono::minutes(10))) return -1;
  *received = total;
  *cpu = cpuMilliseconds() - cpuStart;
  return millisecondsSince(start);
}

}  // namespace
}  // namespace zvui::bench

int main(int argc, char** argv) {
  using namespace zvui::bench;
  const unsigned long long bytes = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1ULL << 30;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
  const std::string mode = argc > 3 ? argv[3] : "both";
  const long peakBefore = statusKiB("VmHWM");
  std::vector<double> cat;
  std::vector<double> launcher;
  std::vector<double> cpu;
  std::size_t received = 0;
  for (int round = 0; round < rounds; ++round) {
    if (mode != "launcher") cat.push_back(throughCat(bytes));
    if (mode != "cat") {
      double used = 0;
      launcher.push_back(throughLauncher(bytes, &received, &used));
      cpu.push_back(used);
    }
    std::printf("round %d: cat %.0f ms, launcher %.0f ms, %zu bytes received\n", round + 1,
                cat.empty() ? 0.0 : cat.back(), launcher.empty() ? 0.0 : launcher.back(), received);
  }
  const double catMedian = quantile(cat, 0.5);
  const double launcherMedian = quantile(launcher, 0.5);
  std::printf("flood of %llu bytes, median of %d rounds\n", bytes, rounds);
  std::printf("  into cat > /dev/null : %8.0f ms (%.0f MiB/s)\n", catMedian,
              static_cast<double>(bytes) / 1048576.0 / (catMedian / 1000.0));
  std::printf("  through the launcher : %8.0f ms (%.0f MiB/s)  ratio %.2f\n", launcherMedian,
              static_cast<double>(bytes) / 1048576.0 / (launcherMedian / 1000.0),
              launcherMedian / catMedian);
  std::printf("  our CPU (reader + loop): %6.0f ms (%.2f ms per MiB)\n", quantile(cpu, 0.5),
              quantile(cpu, 0.5) / (static_cast<double>(bytes) / 1048576.0));
  std::printf("  peak RSS (VmHWM)     : before %ld KiB, after %ld KiB\n", peakBefore,
              statusKiB("VmHWM"));
  return mode == "cat" || received == bytes / 64 * 64 ? 0 : 1;
}
