// A backend child as it starts and runs: what it finds itself with, and its output, whole
// and in order, with the exit notice after the last of it.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <gtest/gtest.h>

#include "support/BackendRig.h"
#include "backend/BackendEnvironment.h"
#include "backend/OutputWatcher.h"
#include "backend/PosixBackendProcess.h"
#include "backend/ProcessGroup.h"
#include "backend/Spawn.h"

namespace zvui::test {
namespace {

std::string procFile(pid_t pid, const std::string& name) {
  return readFile("/proc/" + std::to_string(pid) + "/" + name);
}

TEST(BackendProcess, StartsWithOurEnvironmentPlainStateAndBothStreamsJoined) {
  // What a GUI process commonly holds: descriptors without close-on-exec (one far up the
  // table), and SIGPIPE ignored.
  UniqueFd stray(::open("/dev/null", O_RDONLY));
  UniqueFd high(::dup2(stray.get(), 250));
  const auto previousPipe = std::signal(SIGPIPE, SIG_IGN);
  Environment ours = currentEnvironment();
  ours.insert(ours.begin(), "TAMRIK_PORT=8080");
  ours.insert(ours.end(), {"TAMRIK_APP_MODE=0", "ZVUI_SPACED=a value = with signs"});

  TestMainLoop loop;
  Sweeper sweeper;
  Capture capture;
  PosixBackendProcess process(kAnnounceBackend, backendEnvironment(ours), loop);
  ASSERT_TRUE(process.launch(capture.onOutput(), capture.onExit()));
  std::signal(SIGPIPE, previousPipe);
  const pid_t pid = process.processIdentifier();
  sweeper.watch(pid);
  ASSERT_TRUE(loop.runUntil([&] { return capture.output.ends_with("ready\n"); }, kPatience));
  EXPECT_EQ(capture.output, "starting console\nTAMRIK_URL=http://127.0.0.1:9/console\nready\n");

  std::erase_if(ours, [](const std::string& entry) {
    return entry.starts_with("TAMRIK_PORT=") || entry.starts_with("TAMRIK_APP_MODE=");
  });
  ours.insert(ours.end(), {"TAMRIK_PORT=0", "TAMRIK_APP_MODE=1"});
  const std::string given = procFile(pid, "environ");
  Strings environment;
  for (std::size_t at = 0, end; (end = given.find('\0', at)) != std::string::npos; at = end + 1) {
    environment.push_back(given.substr(at, end - at));
  }
  EXPECT_THAT(environment, ::testing::ElementsAreArray(ours));
  Strings fds;
  for (const auto& fd :
       std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
    fds.push_back(fd.path().filename());
  }
  EXPECT_THAT(fds, ::testing::UnorderedElementsAre("0", "1", "2"));
  // Bit n-1 is signal n. The C library sets up 32 and 33 for itself; no program sees them.
  for (const auto& mask : linesOf(procFile(pid, "status"), "Sig")) {
    if (mask.starts_with("Blk:") || mask.starts_with("Ign:")) {
      EXPECT_EQ(std::stoull(mask.substr(4), nullptr, 16) & ~(3ULL << 31), 0u) << mask;
    }
  }
}

// Delivered whole, every byte arrives in order; condensed (the default), what the output
// buffer keeps of it is the same as of every byte. Either way few blocks wait for the main
// loop, and the exit notice follows the last of the output.
class Flood : public ::testing::TestWithParam<bool> {};

TEST_P(Flood, ArrivesInOrderWithFewBlocksInFlight) {
  constexpr std::size_t kBytes = 8 * 1024 * 1024;
  constexpr int kInFlight = 3;
  CountingLoop loop;
  PosixBackendProcess::Options options;
  options.maxBlocksInFlight = kInFlight;
  options.condense = GetParam();
  PosixBackendProcess process(kFloodBackend, {"HELPER_FLOOD_BYTES=" + std::to_string(kBytes)}, loop,
                              options);
  Capture capture;
  ASSERT_TRUE(process.launch(capture.onOutput(), capture.onExit()));
  ASSERT_TRUE(
      loop.inner.runUntil([&] { return capture.exitNotices > 0; }, std::chrono::seconds(60)));
  loop.inner.runPending();

  std::string expected;
  char line[65];
  for (std::size_t n = 0; n < kBytes / 64; ++n) {
    std::snprintf(line, sizeof line, "line %010zu %s\n", n, std::string(47, '.').c_str());
    expected += line;
  }
  if (GetParam()) {
    OutputBuffer fromAll;
    OutputBuffer fromDelivered;
    fromAll.append(expected);
    fromDelivered.append(capture.output);
    EXPECT_TRUE(fromDelivered.text() == fromAll.text()) << "the kept tail differs";
    EXPECT_TRUE(capture.output.starts_with(expected.substr(0, 64))) << "the first line is cut";
  } else {
    EXPECT_TRUE(capture.output == expected) << "lost, reordered or altered output";
  }
  EXPECT_EQ(capture.bytesAtExit, capture.output.size())
      << "the exit notice follows all output written before it";
  EXPECT_EQ(capture.exitNotices, 1);
  EXPECT_LE(loop.most, kInFlight + 2)
      << "blocks in flight, plus the exit and end-of-output notices";
}

INSTANTIATE_TEST_SUITE_P(WholeOrCondensed, Flood, ::testing::Bool());

TEST(BackendProcess, ExitIsNoticedWithoutPidfdWhileGrandchildrenHoldThePipe) {
  TestMainLoop loop;
  Sweeper sweeper;
  PosixBackendProcess::Options options;
  options.usePidfd = false;
  PosixBackendProcess process(kForkingBackend, {"HELPER_PARENT=exit"}, loop, options);
  Capture capture;
  ASSERT_TRUE(process.launch(capture.onOutput(), capture.onExit()));
  ASSERT_TRUE(loop.runUntil([&] { return capture.exitNotices > 0; }, kPatience));
  EXPECT_FALSE(process.isRunning());
  EXPECT_TRUE(capture.output.ends_with("ready\n"));
  EXPECT_EQ(capture.bytesAtExit, capture.output.size());
  const Strings children = linesOf(capture.output, "child ");
  ASSERT_EQ(children.size(), 2u);
  for (const auto& child : children) sweeper.watch(std::stoi(child));
  for (const auto& child : children)
    EXPECT_FALSE(sweeper.gone(std::stoi(child))) << "holds the pipe";
}

TEST(BackendProcess, StartedFromATerminalItIsNotStoppedForReadingIt) {
  // The stand-in shell runs in the foreground of a terminal that is its standard input. The
  // backend, in a group of its own, would be stopped (SIGTTIN) by reading that terminal; it
  // reads an empty input instead and stays free to serve and to end on TERM.
  int terminal = -1;
  int secondary = -1;
  ASSERT_EQ(::openpty(&terminal, &secondary, nullptr, nullptr, nullptr), 0);
  const UniqueFd terminalEnd(terminal);
  UniqueFd secondaryEnd(secondary);
  BackendTree tree("reads-stdin", false);
  Strings environment = tree.environment;
  for (char** entry = environ; *entry != nullptr; ++entry) environment.emplace_back(*entry);
  std::vector<char*> envp;
  for (auto& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);
  std::string parent = kLaunchingParent.string();
  std::string backend = kTreeBackend.string();
  char* argv[] = {parent.data(), backend.data(), nullptr};

  const pid_t shell = ::fork();
  if (shell == 0) {
    ::setsid();
    ::ioctl(secondary, TIOCSCTTY, 0);
    ::dup2(secondary, STDIN_FILENO);
    ::execve(argv[0], argv, envp.data());
    ::_exit(127);
  }
  ASSERT_GT(shell, 0);
  secondaryEnd.reset();
  Sweeper sweeper;
  sweeper.watch(shell);
  const Strings pids = tree.await(1, sweeper);
  ASSERT_EQ(pids.size(), 1u);
  const pid_t pid = std::stoi(pids.front());
  EXPECT_EQ(readProcessStat(pid)->group, pid);
  EXPECT_EQ(readFile(tree.dir.path() / "report"), "stdin 0\n");
  EXPECT_NE(readProcessStat(pid)->state, 'T');

  ::kill(shell, SIGTERM);
  const int status = waitForChild(shell).value_or(-1);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_TRUE(sweeper.gone(pid, kPatience));
}

}  // namespace
}  // namespace zvui::test
