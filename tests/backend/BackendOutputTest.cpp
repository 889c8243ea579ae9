// Reading a running backend: blocks in order, the exit notice after the last of them,
// bounded memory under a flood, waiting for the exit, and tearing the reader down.
#include <signal.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <thread>

#include "BackendTestSupport.h"
#include "backend/PosixBackendProcess.h"
#include "backend/Spawn.h"

namespace zvui::test {
namespace {

constexpr std::size_t kLineLength = 64;

// Every case runs twice: watching the exit through a pidfd, and by asking for it.
class BackendOutput : public ::testing::TestWithParam<bool> {
 protected:
  PosixBackendProcess::Options options(std::size_t maxBlocksInFlight = 8) const {
    PosixBackendProcess::Options options;
    options.usePidfd = GetParam();
    options.maxBlocksInFlight = maxBlocksInFlight;
    return options;
  }
};

// What the flood backend writes: numbered 64-byte lines.
std::string floodText(std::size_t bytes) {
  std::string text;
  text.reserve(bytes);
  char line[kLineLength + 1];
  for (std::size_t n = 0; n < bytes / kLineLength; ++n) {
    std::snprintf(line, sizeof line, "line %010zu %s\n", n, std::string(47, '.').c_str());
    text.append(line, kLineLength);
  }
  return text;
}

TEST_P(BackendOutput, FloodArrivesWholeAndInOrderWithFewBlocksInFlight) {
  constexpr std::size_t kBytes = 8 * 1024 * 1024;
  constexpr std::size_t kInFlight = 3;
  CountingLoop loop;
  PosixBackendProcess process(kFloodBackend, {"HELPER_FLOOD_BYTES=" + std::to_string(kBytes)},
                              loop, options(kInFlight));
  Capture capture;
  ASSERT_TRUE(process.launch(capture.outputHandler(), capture.exitHandler()));
  ASSERT_TRUE(loop.runUntil([&] { return capture.exited; }, std::chrono::seconds(60)));
  loop.runPending();

  EXPECT_TRUE(capture.output == floodText(kBytes)) << "lost, reordered or altered output";
  EXPECT_EQ(capture.bytesAtExit, kBytes) << "every byte written before the exit precedes the notice";
  EXPECT_EQ(capture.exitNotices, 1);
  // The blocks the reader may have handed over, plus the exit notice.
  EXPECT_LE(loop.mostPending(), static_cast<int>(kInFlight) + 1);
}

TEST_P(BackendOutput, ExitNoticeDoesNotWaitForGrandchildrenHoldingThePipe) {
  TestMainLoop loop;
  Sweeper sweeper;
  PosixBackendProcess process(kForkingBackend, {"HELPER_PARENT=exit"}, loop, options());
  Capture capture;
  ASSERT_TRUE(process.launch(capture.outputHandler(), capture.exitHandler()));
  ASSERT_TRUE(loop.runUntil([&] { return capture.exited; }));
  for (pid_t child : namedChildren(capture.output)) {
    EXPECT_FALSE(sweeper.watch(child).gone()) << "the children still hold the pipe";
  }
  EXPECT_EQ(namedChildren(capture.output).size(), 2u);
  EXPECT_TRUE(capture.output.ends_with("ready\n"));
  EXPECT_EQ(capture.bytesAtExit, capture.output.size());
}

TEST_P(BackendOutput, WaitForExitWaitsOnlyWhileTheBackendRuns) {
  TestMainLoop loop;
  Sweeper sweeper;
  PosixBackendProcess process(kAnnounceBackend, {}, loop, options());
  Capture capture;
  ASSERT_TRUE(process.launch(capture.outputHandler(), capture.exitHandler()));
  const pid_t pid = process.processIdentifier();
  sweeper.watch(pid);
  ASSERT_TRUE(loop.runUntil([&] { return capture.saw("ready\n"); }));

  EXPECT_TRUE(process.isRunning());
  EXPECT_FALSE(process.waitForExit(std::chrono::milliseconds(30)));
  EXPECT_TRUE(process.isRunning());

  // Another thread sees the end as soon as the main thread does.
  std::atomic<bool> seenElsewhere{false};
  std::thread watcher([&] {
    while (process.isRunning()) std::this_thread::yield();
    seenElsewhere = true;
  });
  ::kill(pid, SIGTERM);
  EXPECT_TRUE(process.waitForExit(kPatience));
  EXPECT_FALSE(process.isRunning());
  watcher.join();
  EXPECT_TRUE(seenElsewhere);
  EXPECT_EQ(process.processIdentifier(), pid) << "the pid stays readable after the exit";
  ASSERT_TRUE(loop.runUntil([&] { return capture.exited; }));
  EXPECT_EQ(capture.exitNotices, 1);
}

TEST_P(BackendOutput, DestroyingTheProcessStopsItsReaderEvenWhileItWaitsForTheLoop) {
  CountingLoop loop;
  Sweeper sweeper;
  pid_t pid = 0;
  Capture capture;
  {
    PosixBackendProcess process(kFloodBackend, {"HELPER_FLOOD_BYTES=1073741824"}, loop,
                                options(2));
    ASSERT_TRUE(process.launch(capture.outputHandler(), capture.exitHandler()));
    pid = process.processIdentifier();
    sweeper.watch(pid);
    // The loop does not run: the reader fills its places, then waits for the main thread.
    ASSERT_TRUE(eventually([&] { return loop.pending() == 2; }));
  }
  // The tasks left in the loop still run safely without their process object.
  loop.runPending();
  EXPECT_EQ(capture.blocks, 2u);
  EXPECT_FALSE(capture.exited);
  // The backend was left behind (its next write fails now that nobody reads its pipe); this
  // test is its parent now and reaps it.
  ::kill(pid, SIGKILL);
  const int status = waitForChild(pid);
  EXPECT_TRUE(WIFSIGNALED(status)) << "still ours to reap: the reader reaps only an exit it saw";
}

INSTANTIATE_TEST_SUITE_P(ExitWatch, BackendOutput, ::testing::Bool(),
                         [](const auto& row) { return row.param ? "Pidfd" : "Polling"; });

}  // namespace
}  // namespace zvui::test
