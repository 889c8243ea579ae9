// The installed program is one instance per session: a second launch hands over to the
// running app and ends, and no second backend is started.
#include <gtest/gtest.h>

#include "Support.h"

namespace zvui {
namespace {

using namespace std::chrono_literals;
using test::iterateUntil;

TEST(SecondLaunch, HandsOverToTheRunningAppAndStartsNoSecondBackend) {
  test::Prefix prefix;
  ASSERT_FALSE(prefix.bus.address.empty()) << "no session bus for the test";
  test::fs::create_directories(prefix.root / "bin");
  test::fs::copy_file(ZVUI_APP_BINARY, prefix.root / "bin" / "zvui");
  test::fs::copy_file(ZVUI_BACKEND_GUARD, prefix.resources() / "zvui-backend-guard");
  const auto program = (prefix.root / "bin" / "zvui").string();
  const int log = ::open((prefix.root / "log").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  test::Child first(program, log);
  ASSERT_TRUE(iterateUntil([&] { return prefix.backendPid() != 0; }, 60s))
      << test::readFile(prefix.root / "log");

  test::Child second(program, log);
  ::close(log);
  int status = 0;
  ASSERT_TRUE(iterateUntil([&] { return ::waitpid(second.pid, &status, WNOHANG) == second.pid; }))
      << "the second launch kept running\n"
      << test::readFile(prefix.root / "log");
  second.pid = 0;
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(prefix.backendsStarted(), 1u);
  EXPECT_EQ(::waitpid(first.pid, nullptr, WNOHANG), 0) << "the first app ended";
}

}  // namespace
}  // namespace zvui
