// What a started backend finds itself with: its arguments, environment, descriptors,
// working directory, standard input and signal state, and whether it starts at all.
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "BackendTestSupport.h"
#include "backend/BackendEnvironment.h"
#include "backend/BackendShutdown.h"
#include "backend/PosixBackendLauncher.h"
#include "backend/PosixBackendProcess.h"
#include "backend/Spawn.h"

namespace zvui::test {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

// The lines of the report backend that start with `key` and a space or tab, without them.
std::vector<std::string> facts(const std::string& report, const std::string& key) {
  std::vector<std::string> values;
  for (const auto& line : splitLines(report)) {
    if (line.size() > key.size() && line.rfind(key, 0) == 0 &&
        (line[key.size()] == ' ' || line[key.size()] == '\t')) {
      values.push_back(line.substr(key.size() + 1));
    }
  }
  return values;
}

std::string launchAndCollect(const std::filesystem::path& executable, Environment environment) {
  TestMainLoop loop;
  PosixBackendProcess process(executable, std::move(environment), loop);
  Capture capture;
  EXPECT_TRUE(process.launch(capture.outputHandler(), capture.exitHandler()));
  EXPECT_TRUE(loop.runUntil([&] { return capture.exited; }, kPatience));
  return capture.output;
}

std::string linkTarget(const char* path) {
  char target[PATH_MAX];
  const ssize_t length = ::readlink(path, target, sizeof target - 1);
  return length < 0 ? "none" : std::string(target, static_cast<std::size_t>(length));
}

// Descriptors of ours that a careless spawn would hand on: plain open, plain pipe, and one
// far up the table.
class StrayDescriptors {
 public:
  StrayDescriptors() {
    fds_.push_back(::open("/dev/null", O_RDONLY));
    int ends[2];
    if (::pipe(ends) == 0) fds_.insert(fds_.end(), {ends[0], ends[1]});
    fds_.push_back(::dup2(fds_.front(), 250));
  }
  ~StrayDescriptors() {
    for (int fd : fds_) ::close(fd);
  }
  [[nodiscard]] std::size_t count() const { return fds_.size(); }

 private:
  std::vector<int> fds_;
};

TEST(BackendChild, GetsOurEnvironmentWithTheBackendSettingsOnTop) {
  Environment ours = currentEnvironment();
  ours.push_back("TAMRIK_PORT=8080");
  ours.push_back("ZVUI_SPACED=a value = with signs");
  ours.push_back("TAMRIK_APP_MODE=0");
  const Environment given = backendEnvironment(ours);

  const std::string report = launchAndCollect(kReportBackend, given);

  Environment expected;
  for (const auto& entry : ours) {
    if (entry.rfind("TAMRIK_PORT=", 0) != 0 && entry.rfind("TAMRIK_APP_MODE=", 0) != 0) {
      expected.push_back(entry);
    }
  }
  expected.push_back("TAMRIK_PORT=0");
  expected.push_back("TAMRIK_APP_MODE=1");
  EXPECT_THAT(facts(report, "env"), ElementsAreArray(expected));
}

// The same promises hold for both ways of starting a child: fork + exec (backends, which
// get a parent-death signal) and posix_spawn (the signalling tools).
class ChildState : public ::testing::TestWithParam<int> {
 protected:
  // Runs the report backend as its own child and returns what it wrote on standard output.
  static std::string report(Environment environment = {"A=1"}) {
    int ends[2];
    EXPECT_EQ(::pipe2(ends, O_CLOEXEC), 0);
    UniqueFd readEnd(ends[0]);
    UniqueFd writeEnd(ends[1]);
    SpawnRequest request;
    request.executable = kReportBackend;
    request.environment = std::move(environment);
    request.outputFd = writeEnd.get();
    request.parentDeathSignal = GetParam();
    const SpawnResult child = spawnProcess(request);
    EXPECT_TRUE(child) << child.error;
    writeEnd.reset();
    std::string text;
    char buffer[4096];
    for (ssize_t got; (got = ::read(readEnd.get(), buffer, sizeof buffer)) > 0;) {
      text.append(buffer, static_cast<std::size_t>(got));
    }
    if (child) waitForChild(child.pid);
    return text;
  }
};

TEST_P(ChildState, HasNoArgumentsAndInheritsDirectoryAndStandardInput) {
  const std::string text = report();
  char cwd[PATH_MAX];
  ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);

  EXPECT_THAT(facts(text, "argc"), ElementsAre("1"));
  EXPECT_THAT(facts(text, "argv0"), ElementsAre(kReportBackend.string()));
  EXPECT_THAT(facts(text, "cwd"), ElementsAre(cwd));
  EXPECT_THAT(facts(text, "stdin"), ElementsAre(linkTarget("/proc/self/fd/0")));
  EXPECT_THAT(facts(text, "env"), ElementsAre("A=1"));
}

TEST_P(ChildState, InheritsOnlyTheStandardDescriptors) {
  StrayDescriptors strays;
  ASSERT_EQ(strays.count(), 4u);
  EXPECT_THAT(facts(report(), "fd"), ElementsAre("0", "1", "2"));
}

TEST_P(ChildState, StartsWithDefaultSignalsAndNothingBlocked) {
  // GUI processes commonly ignore SIGPIPE and block signals on threads; none of it may
  // reach the child.
  struct sigaction ignore {};
  struct sigaction previousPipe {};
  ignore.sa_handler = SIG_IGN;
  ::sigaction(SIGPIPE, &ignore, &previousPipe);
  sigset_t blocked;
  sigset_t previousMask;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGUSR1);
  sigaddset(&blocked, SIGTERM);
  ::pthread_sigmask(SIG_BLOCK, &blocked, &previousMask);

  const std::string text = report();

  ::pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
  ::sigaction(SIGPIPE, &previousPipe, nullptr);
  // Bit n-1 stands for signal n. Signals 32 and 33 belong to the C library, which sets them
  // up itself (posix_spawn leaves them ignored); no program sees them.
  constexpr unsigned long long kLibcSignals = (1ULL << 31) | (1ULL << 32);
  const auto mask = [&](const char* key) {
    const auto values = facts(text, key);
    return values.size() == 1 ? std::stoull(values[0], nullptr, 16) : ~0ULL;
  };
  EXPECT_EQ(mask("SigBlk:"), 0u);
  EXPECT_EQ(mask("SigIgn:") & ~kLibcSignals, 0u);
}

INSTANTIATE_TEST_SUITE_P(SpawnPaths, ChildState, ::testing::Values(SIGTERM, 0),
                         [](const auto& row) { return row.param != 0 ? "Fork" : "PosixSpawn"; });

TEST(BackendChild, DescriptorListingFallbackClosesEverythingAboveTheStandardOnes) {
  StrayDescriptors strays;
  int ends[2];
  ASSERT_EQ(::pipe(ends), 0);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(ends[1], STDOUT_FILENO);
    closeDescriptorsByListing(-1);
    const std::string path = kReportBackend.string();
    char* const argv[] = {const_cast<char*>(path.c_str()), nullptr};
    ::execv(path.c_str(), argv);
    ::_exit(127);
  }
  ::close(ends[1]);
  UniqueFd readEnd(ends[0]);
  std::string text;
  char buffer[4096];
  for (ssize_t got; (got = ::read(readEnd.get(), buffer, sizeof buffer)) > 0;) {
    text.append(buffer, static_cast<std::size_t>(got));
  }
  const int status = waitForChild(pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_THAT(facts(text, "fd"), ElementsAre("0", "1", "2"));
}

TEST(BackendChild, StandardOutputAndErrorArriveJoinedInWriteOrder) {
  TestMainLoop loop;
  Sweeper sweeper;
  PosixBackendProcess process(kAnnounceBackend, {}, loop);
  Capture capture;
  ASSERT_TRUE(process.launch(capture.outputHandler(), capture.exitHandler()));
  sweeper.watch(process.processIdentifier());
  ASSERT_TRUE(loop.runUntil([&] { return capture.saw("ready\n"); }));
  EXPECT_EQ(capture.output,
            "starting console\nTAMRIK_URL=http://127.0.0.1:9/console\nready\n");
}

// Which files count as the backend, and which of them start.
struct LocateCase {
  const char* label;
  const char* name;
  void (*prepare)(const std::filesystem::path& directory);
  bool located;
  bool launches;
};
void PrintTo(const LocateCase& row, std::ostream* out) { *out << row.label; }

void nothing(const std::filesystem::path&) {}
void copyExiting(const std::filesystem::path& directory) {
  std::filesystem::copy_file(kExitingBackend, directory / "MacTamrikBackend");
}
void plainFile(const std::filesystem::path& directory) {
  std::ofstream(directory / "MacTamrikBackend") << "#!/bin/sh\nexit 0\n";
  std::filesystem::permissions(directory / "MacTamrikBackend",
                               std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
}
void aDirectory(const std::filesystem::path& directory) {
  std::filesystem::create_directory(directory / "MacTamrikBackend");
}
void besideTheDirectory(const std::filesystem::path& directory) {
  std::filesystem::copy_file(kExitingBackend, directory.parent_path() / "MacTamrikBackend");
}
void garbageExecutable(const std::filesystem::path& directory) {
  writeExecutable(directory / "MacTamrikBackend", "\x7f" "ELF but not really");
}

class Locate : public ::testing::TestWithParam<LocateCase> {};

TEST_P(Locate, FindsByPresenceAndStartsOnlyWhatCanRun) {
  const LocateCase& row = GetParam();
  TempDir temp;
  const auto resources = temp.path() / "lib";
  std::filesystem::create_directory(resources);
  row.prepare(resources);
  TestMainLoop loop;
  RecordingTools recorder(false);
  PosixBackendLauncher launcher(resources, loop, recorder.tools());

  const auto found = launcher.locateExecutable(row.name);
  ASSERT_EQ(found.has_value(), row.located);
  if (!found) return;
  EXPECT_EQ(*found, resources / row.name);

  auto process = launcher.makeProcess(*found, {});
  EXPECT_FALSE(process->isRunning()) << "nothing runs before launch";
  Capture capture;
  EXPECT_EQ(process->launch(capture.outputHandler(), capture.exitHandler()), row.launches);
  if (row.launches) {
    EXPECT_TRUE(loop.runUntil([&] { return capture.exited; }));
    return;
  }
  EXPECT_FALSE(process->isRunning());
  EXPECT_EQ(process->processIdentifier(), 0);
  EXPECT_TRUE(process->waitForExit(std::chrono::milliseconds(0)));
  EXPECT_FALSE(process->launch(capture.outputHandler(), capture.exitHandler()))
      << "a process object launches at most once";
  stopBackendTree(process.get(), launcher);
  loop.runPending();
  EXPECT_EQ(capture.blocks + capture.exitNotices, 0u) << "a process that never ran says nothing";
  EXPECT_THAT(recorder.lines(), IsEmpty()) << "quit after a failed launch signals nothing";
}

INSTANTIATE_TEST_SUITE_P(
    Backends, Locate,
    ::testing::Values(LocateCase{"Missing", "MacTamrikBackend", nothing, false, false},
                      LocateCase{"Executable", "MacTamrikBackend", copyExiting, true, true},
                      LocateCase{"NotExecutable", "MacTamrikBackend", plainFile, true, false},
                      LocateCase{"Directory", "MacTamrikBackend", aDirectory, true, false},
                      LocateCase{"NotAProgram", "MacTamrikBackend", garbageExecutable, true, false},
                      LocateCase{"OtherName", "MacTamrikBackend.app", copyExiting, false, false},
                      LocateCase{"EscapingName", "../MacTamrikBackend", besideTheDirectory, false, false},
                      LocateCase{"Empty", "", nothing, false, false}),
    [](const auto& row) { return std::string(row.param.label); });

}  // namespace
}  // namespace zvui::test
