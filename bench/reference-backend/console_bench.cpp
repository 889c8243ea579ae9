// Whole-program figures for MacTamrikBackend over loopback:
//   keystroke-to-echo latency through the WebSocket and the terminal,
//   output throughput of `seq 1 2000000` (about 15 MB) with every frame acknowledged on
//   arrival: the backend and the protocol without a page's parsing and drawing,
//   how fast Ctrl-C brings the prompt back while `yes` floods the terminal,
//   resident memory of the idle backend with one terminal open,
//   pastes of 10 and 50 MiB into `cat` as the page sends them: throughput, the backend's
//   CPU time and its peak memory.
// Usage: mactamrik_console_bench [path-to-MacTamrikBackend]

#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/ConsoleClient.h"

using namespace tamrik::test;
using namespace std::chrono_literals;

namespace {

double percentile(std::vector<double> values, double p) {
  std::sort(values.begin(), values.end());
  const auto index = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
  return values[std::min(index, values.size() - 1)];
}

long statusKiB(pid_t pid, const std::string& field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field, 0) == 0) return std::stol(line.substr(field.size()));
  }
  return -1;
}
long rssKiB(pid_t pid) { return statusKiB(pid, "VmRSS:"); }

// User plus system CPU time of `pid`, in seconds.
double cpuSeconds(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string skip;
  for (int i = 0; i < 11; ++i) fields >> skip;  // state .. cmajflt
  double user = 0, system = 0;
  fields >> user >> system;
  return (user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double msSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  const std::string path = argc > 1 ? argv[1] : MACTAMRIK_BACKEND_PATH;
  auto backend = BackendProcess::start(path, {{"TAMRIK_PORT", "0"}, {"TAMRIK_APP_MODE", "1"}});
  if (!backend) return 1;
  auto announcement = parseAnnouncement(backend->readLine(5s));
  if (!announcement) {
    std::fprintf(stderr, "no announcement\n");
    return 1;
  }
  ConsoleClient client(*announcement);
  const std::string cookie = client.logIn();
  SoupWebsocketConnection* socket = client.openSocket("/term", cookie);
  if (socket == nullptr) return 1;
  SocketClient terminal(socket);
  terminal.send("echo rea''dy\n");
  if (!terminal.waitFor("ready", 10s)) return 1;
  iterateUntil([] { return false; }, 500ms);  // let the prompt settle

  // 1. Keystroke to echo: one printable key at a time, the next only after its echo.
  std::vector<double> echo;
  for (int i = 0; i < 400; ++i) {
    if (i % 60 == 59) {  // clear the line now and then so it never wraps far
      terminal.send("\x15");
      iterateUntil([] { return false; }, 20ms);
    }
    const std::size_t before = terminal.received();
    const auto start = Clock::now();
    terminal.send("x");
    if (!iterateUntil([&] { return terminal.received() > before; }, 2s)) {
      std::fprintf(stderr, "no echo for key %d\n", i);
      return 1;
    }
    echo.push_back(msSince(start));
  }
  terminal.send("\x15");
  std::printf("keystroke_echo_ms   n=%zu p50=%.3f p95=%.3f p99=%.3f max=%.3f\n", echo.size(),
              percentile(echo, 0.50), percentile(echo, 0.95), percentile(echo, 0.99),
              percentile(echo, 1.0));

  // 2. Output throughput: everything acknowledged at once, so only the backend, the
  //    terminal and the socket count. The marker is searched for in new output only.
  {
    terminal.send("seq 1 2000000; echo SEQ-DO''NE\n");
    const std::string marker = "SEQ-DONE";
    const std::size_t from = terminal.received();
    std::size_t scanned = from;
    const double cpuBefore = cpuSeconds(backend->pid());
    const auto start = Clock::now();
    const bool done = iterateUntil([&] {
      const std::string& out = terminal.output();
      if (out.find(marker, scanned) != std::string::npos) return true;
      scanned = std::max(from, out.size() >= marker.size() ? out.size() - marker.size() : 0);
      return false;
    }, 120s);
    if (!done) {
      std::fprintf(stderr, "seq did not finish\n");
      return 1;
    }
    const double seconds = msSince(start) / 1000.0;
    const double mib = static_cast<double>(terminal.received() - from) / (1024.0 * 1024.0);
    std::printf("output_mib_per_s    %.1f (%.2f s for %.1f MiB), backend CPU %.2f s\n",
                mib / seconds, seconds, mib, cpuSeconds(backend->pid()) - cpuBefore);
    iterateUntil([] { return false; }, 300ms);
  }

  // 3. `yes` flooding, then Ctrl-C: time until a command typed after it has answered.
  std::vector<double> interrupt;
  for (int round = 0; round < 10; ++round) {
    terminal.send("yes\n");
    const std::size_t before = terminal.received();
    iterateUntil([&] { return terminal.received() > before + 2 * 1024 * 1024; }, 10s);
    const std::size_t from = terminal.output().size();
    const auto start = Clock::now();
    terminal.send("\x03");
    const std::string marker = "back-" + std::to_string(round);
    terminal.send("echo back-$((" + std::to_string(round) + "))\n");
    if (!terminal.waitFor(marker + "\r\n", 10s, from)) {
      std::fprintf(stderr, "prompt did not come back\n");
      return 1;
    }
    interrupt.push_back(msSince(start));
  }
  std::printf("ctrl_c_to_prompt_ms n=%zu p50=%.1f max=%.1f\n", interrupt.size(),
              percentile(interrupt, 0.5), percentile(interrupt, 1.0));

  // 4. Idle memory with this one terminal open.
  iterateUntil([] { return false; }, 3s);
  std::printf("idle_rss_kib        %ld\n", rssKiB(backend->pid()));

  // 5. Pastes into `cat`, in 64 KiB messages with at most 256 KiB unacknowledged, as the
  //    page sends them. Printable lines, echo off: the figure is the input path alone.
  terminal.send("stty -echo\n");
  for (const std::size_t mib : {10, 50}) {
    std::string text;
    text.reserve(mib << 20);
    for (std::size_t line = 0; text.size() < (mib << 20); ++line) {
      text += std::string(63, static_cast<char>('a' + line % 26)) + "\n";
    }
    terminal.send("echo \"RE\"\"ADY-" + std::to_string(mib) + "\"; cat > /dev/null; echo \"PAS\"\"TED-" +
                  std::to_string(mib) + "\"\n");
    if (!terminal.waitFor("READY-" + std::to_string(mib), 5s)) return 1;
    const double cpuBefore = cpuSeconds(backend->pid());
    const auto start = Clock::now();
    if (!terminal.paste(text + "\x04", 600s) ||
        !terminal.waitFor("PASTED-" + std::to_string(mib), 600s)) {
      std::fprintf(stderr, "paste of %zu MiB did not arrive\n", mib);
      return 1;
    }
    const double seconds = msSince(start) / 1000.0;
    std::printf("paste_%zu_mib         %.1f MiB/s (%.2f s), backend CPU %.2f s, peak RSS %ld KiB\n",
                mib, static_cast<double>(mib) / seconds, seconds,
                cpuSeconds(backend->pid()) - cpuBefore, statusKiB(backend->pid(), "VmHWM:"));
  }
  terminal.send("stty echo\n");

  // 6. TERM with the terminal still open, its shell deaf to hang-ups: the worst case, where
  //    the backend must fall back to KILL before it may exit.
  terminal.send("trap '' HUP TERM; echo arm''ed\n");
  terminal.waitFor("armed\r\n", 5s);
  backend->signal(SIGTERM);
  const auto stopStart = Clock::now();
  const auto status = backend->waitExit(5s);
  std::printf("term_to_exit_ms     %.1f (%s)\n", msSince(stopStart),
              status ? "exited" : "still running");
  if (status && (!WIFEXITED(*status) || WEXITSTATUS(*status) != 0)) {
    std::printf("backend exit status %d\n", *status);
  }
  if (const std::string said = backend->readAllStderr(); !said.empty()) {
    std::printf("backend stderr:\n%s\n", said.c_str());
  }
  return 0;
}
