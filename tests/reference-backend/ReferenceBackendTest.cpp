// MacTamrikBackend driven as the desktop shell and a page drive it, with a real shell behind it.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <random>

#include "support/ConsoleClient.h"
#include "support/HelperIo.h"

namespace tamrik::test {
namespace {

using namespace std::chrono_literals;
constexpr auto npos = std::string::npos;

std::unique_ptr<BackendProcess> startBackend(BackendProcess::EnvChanges env) {
  env.emplace("SHELL", "/bin/sh");  // a shell whose prompt and startup files we know
  env.emplace("ENV", std::nullopt);
  return BackendProcess::start(MACTAMRIK_BACKEND_PATH, env);
}

// TAMRIK_PORT unset, a port, a free port ("{free}") or one someone holds ("{busy}"), or no port.
TEST(PortSetting, AnnouncesOneLineOrRefusesClearly) {
  const std::pair<const char*, int> rows[] = {
      // the value, and the exit status (-1: it runs)
      {nullptr, -1}, {"0", -1},     {"{free}", -1},
      {"{busy}", 1}, {"", 2},       {"auto", 2},
      {"-1", 2},     {"65536", 2},  {"99999999999999999999", 2},
      {" 8080", 2},  {"0x1f90", 2}, {"8080abc", 2},
      {"+8080", 2}};
  for (const auto& [value, exitStatus] : rows) {
    SCOPED_TRACE(value != nullptr ? value : "unset");
    const std::string given = value != nullptr ? value : "";
    const helper::Listener listener = helper::listenOnLoopback();
    UniqueFd holder(listener.socket);
    if (given != "{busy}") holder.reset();
    BackendProcess::EnvChanges env{{"TAMRIK_PORT", std::nullopt}};
    if (value != nullptr)
      env["TAMRIK_PORT"] = given[0] == '{' ? std::to_string(listener.port) : given;
    auto backend = startBackend(env);
    ASSERT_TRUE(backend);
    const std::string line = backend->readLine(5s);
    if (exitStatus >= 0) {
      EXPECT_EQ(line, "");
      EXPECT_EQ(backend->waitExit(5s), exitStatus << 8) << "a wait status: exited with it";
      EXPECT_NE(backend->readAllStderr().find(exitStatus == 2 ? "TAMRIK_PORT" : "cannot listen"),
                npos);
      continue;
    }
    const auto announcement = parseAnnouncement(line);
    ASSERT_TRUE(announcement) << line;
    EXPECT_TRUE(given != "{free}" || announcement->port == listener.port) << announcement->port;
    backend->signal(SIGTERM);
    EXPECT_EQ(backend->waitExit(5s), 0) << "a wait status: exited with 0";
    EXPECT_EQ(backend->readLine(1s), "") << "exactly one line";
    EXPECT_EQ(backend->readAllStderr().find(announcement->token), npos);
  }
}

class RunningBackend : public ::testing::Test {
 protected:
  void SetUp() override {
    backend_ = startBackend({{"TAMRIK_PORT", "0"}, {"TAMRIK_APP_MODE", "1"}});
    ASSERT_TRUE(backend_);
    at_ = parseAnnouncement(backend_->readLine(5s)).value_or(Announcement{});
    ASSERT_NE(at_.port, 0) << "no announcement";
    client_ = std::make_unique<ConsoleClient>(at_);
    ASSERT_FALSE((cookie_ = client_->logIn()).empty());
  }

  std::unique_ptr<SocketClient> open(const char* path = "/term", bool acknowledge = true) {
    SoupWebsocketConnection* socket = client_->openSocket(path, cookie_);
    return socket != nullptr ? std::make_unique<SocketClient>(socket, acknowledge) : nullptr;
  }

  std::unique_ptr<BackendProcess> backend_;
  Announcement at_;
  std::unique_ptr<ConsoleClient> client_;
  std::string cookie_;
};

// Requests by hand. {P} is our port, {Q} another, {T} the token, {C} our cookie and {F} a
// forged one; /term and /telemetry are asked for as WebSocket upgrades.
TEST_F(RunningBackend, GateLetsInOnlyOurOwnLoopbackNameOriginAndSecret) {
  const std::string forged = cookie_.substr(0, cookie_.find('=') + 1) + std::string(32, '0');
  const std::string p = std::to_string(at_.port), q = std::to_string(at_.port + 1);
  const std::string keys[][2] = {
      {"{P}", p}, {"{Q}", q}, {"{T}", at_.token}, {"{C}", cookie_}, {"{F}", forged}};
  constexpr const char *ours = "127.0.0.1:{P}", *origin = "http://127.0.0.1:{P}";
  const struct {
    const char *target, *host, *origin, *cookie;
    int status;
  } rows[] = {
      {"GET /", ours, nullptr, nullptr, 401},                      // no cookie
      {"GET /", ours, nullptr, "{F}", 403},                        // a forged one
      {"GET /", ours, nullptr, "a=b; {F}; {C}", 200},              // ours among others
      {"GET /?token={T}0", ours, nullptr, nullptr, 403},           // a token that only starts right
      {"GET /assets/..%2Findex.html", ours, nullptr, "{C}", 400},  // an encoded separator
      {"GET /assets/.hidden", ours, nullptr, "{C}", 404},          // a hidden file
      {"POST /", ours, nullptr, "{C}", 405},                       // a change asked for
      {"GET /", "localhost:{P}", nullptr, "{C}", 200},             // our other name
      {"GET /", "127.0.0.1", nullptr, "{C}", 403},                 // no port
      {"GET /", "127.0.0.1:{Q}", nullptr, "{C}", 403},             // another port
      {"GET /", "127.0.0.1.attacker.example:{P}", nullptr, "{C}", 403},  // a lookalike name
      {"GET /", "127.0.0.2:{P}", nullptr, "{C}", 403},                   // another loopback address
      {"GET /", nullptr, nullptr, "{C}", 400},                           // no Host
      {"GET /", "evil.example\r\nHost: 127.0.0.1:{P}", nullptr, "{C}", 400},  // two of them
      {"GET /", ours, "http://attacker.example", "{C}", 403},  // a foreign page's request
      {"GET /term", "localhost:{P}", "http://localhost:{P}", "{C}", 101},        // our other name
      {"GET /term", ours, origin, nullptr, 401},                                 // no cookie
      {"GET /term", "127.0.0.1:{P}\r\nHost: evil.example", origin, "{C}", 400},  // two Hosts
      {"GET /telemetry", ours, origin, "{F}", 403},                              // a forged cookie
      {"GET /term", ours, nullptr, "{C}", 403},                                  // no Origin
      {"GET /term", ours, "http://127.0.0.1:{Q}", "{C}", 403},                   // another port's
      {"GET /term", ours, "null", "{C}", 403},                                   // an opaque one
      {"GET /term", "localhost:{P}", origin, "{C}", 403}};                       // names crossed
  for (const auto& row : rows) {
    std::string request = std::string(row.target) + " HTTP/1.1\r\n";
    for (const auto& [name, value] :
         {std::pair{"Host", row.host}, {"Origin", row.origin}, {"Cookie", row.cookie}})
      if (value != nullptr) request += std::string(name) + ": " + value + "\r\n";
    request += std::string_view(row.target).find(" /te") != npos
                   ? "Upgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Version: 13\r\n"
                     "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n"
                   : "Content-Length: 0\r\nConnection: close\r\n\r\n";
    for (const auto& [key, to] : keys)
      for (auto at = request.find(key); at != npos; at = request.find(key))
        request.replace(at, 3, to);
    UniqueFd fd = loopbackSocket(at_.port);
    ASSERT_EQ(write(fd.get(), request.data(), request.size()), std::ssize(request));
    EXPECT_EQ(readStatus(fd.get(), 5s), row.status) << request;
  }
}

// Typing, resizing and a paste of tens of MiB, the first of it in one large message: printable
// lines of varied length, so that anything lost, doubled or reordered shows.
TEST_F(RunningBackend, TerminalCarriesTypingResizesAndPastesWhole) {
  auto terminal = open();
  ASSERT_TRUE(terminal);
  terminal->send("echo h''i $TERM\n");
  EXPECT_TRUE(terminal->waitFor("hi xterm-256color\r\n", 5s));
  terminal->sendText(R"({"type":"resize","cols":132,"rows":43})");
  terminal->send("stty size\n");
  EXPECT_TRUE(terminal->waitFor("43 132", 5s));
  std::mt19937 random(12);
  std::string text;
  for (std::size_t length = 0; text.size() < (24u << 20); length = random() % 200) {
    for (std::size_t i = 0; i < length; ++i) text.push_back(static_cast<char>(' ' + random() % 95));
    text.push_back('\n');
  }
  const zvui::test::TempDir dir;
  terminal->send("stty -echo; echo RE''ADY; cat > " + (dir.path() / "paste").string() +
                 "; echo PAS''TED\n");
  ASSERT_TRUE(terminal->waitFor("READY", 5s));
  terminal->send(text.substr(0, 1 << 20));
  ASSERT_TRUE(terminal->paste(text.substr(1 << 20) + "\x04", 120s));
  EXPECT_TRUE(terminal->waitFor("PASTED", 60s));
  const std::string got = zvui::test::readFile(dir.path() / "paste");
  EXPECT_TRUE(got == text) << got.size() << " of " << text.size() << " bytes";
}

// A session ends with its shell or its page, taking along jobs that ignore the hang-up; TERM
// ends the backend and every shell, even one deaf to it.
TEST_F(RunningBackend, ShellsEndWithTheirPageOrTheBackend) {
  std::unique_ptr<SocketClient> t[3];
  pid_t shells[3];
  const char* before[] = {"", "sleep 300 & (trap '' HUP; exec sleep 301) & ", "trap '' HUP TERM; "};
  for (int i = 0; i < 3; ++i) {  // one to exit, one to close, one deaf to TERM
    ASSERT_TRUE(t[i] = open());
    t[i]->send(before[i] + std::string("echo \"P\"\"ID:$$:\"\n"));  // the echo differs
    const auto at = t[i]->waitFor("PID:", 5s);
    ASSERT_TRUE(at && t[i]->waitFor(":\r\n", 5s, *at));
    ASSERT_GT(shells[i] = std::atoi(t[i]->output().c_str() + *at), 1);
  }
  const auto gone = [](pid_t id) {
    return system(("pgrep -s " + std::to_string(id) + " >/dev/null").c_str()) != 0;
  };
  t[0]->send("exit\n");
  t[1].reset();
  EXPECT_TRUE(iterateUntil([&] { return gone(shells[0]) && gone(shells[1]); }, 5s));
  backend_->signal(SIGTERM);
  EXPECT_EQ(backend_->waitExit(5s), 0) << "a wait status: exited with 0";
  EXPECT_TRUE(gone(shells[2]));
  EXPECT_TRUE(iterateUntil([&] { return t[2]->closed(); }, 5s));
  EXPECT_EQ(t[2]->closeCode(), SOUP_WEBSOCKET_CLOSE_GOING_AWAY) << "not just one shell went";
}

// Output waits for acknowledgements; input the terminal does not take is cut off at a bound.
TEST_F(RunningBackend, FlowControlBoundsBothWays) {
  auto silent = open("/term", false);  // acknowledges nothing
  ASSERT_TRUE(silent);
  silent->send("yes\n");
  EXPECT_TRUE(iterateUntil([&] { return silent->received() > 16u * 1024u; }, 10s));
  iterateUntil([&] { return silent->received() > 4 * 1024 * 1024; }, 1500ms);  // stops short
  EXPECT_LE(silent->received(), 512u * 1024u);
  for (int i = 0; i < 12 && !iterateUntil([&] { return silent->closed(); }, 1ms); ++i)
    silent->send(std::string(1 << 20, 'x'));
  EXPECT_TRUE(iterateUntil([&] { return silent->closed(); }, 10s));
  EXPECT_EQ(silent->closeCode(), SOUP_WEBSOCKET_CLOSE_POLICY_VIOLATION);
}

// Frames a broken or curious page might send are ignored: the terminal keeps its 80x24 and
// goes on answering, and the telemetry feed takes nothing and goes on with sound readings.
TEST_F(RunningBackend, MalformedMessagesAreIgnoredAndTelemetryFlows) {
  const auto resize = [](const std::string& cols, const std::string& rows = "24") {
    return R"({"type":"resize","cols":)" + cols + R"(,"rows":)" + rows + "}";
  };
  const std::string frames[] = {
      // wrong types where a typed look-up would throw
      R"({"type":1})", R"(["resize",100,30])", R"({"type":"resize","cols":100})", resize("null"),
      resize(R"("100")"), R"({"type":"ack","bytes":"x"})",
      // numbers out of every range
      resize("100.5"), resize("0"), resize("4001"), resize("-100"), resize("65636", "65560"),
      resize("18446744073709551615"), resize("184467440737095516160"), resize("1e400"),
      R"({"type":"ack","bytes":-1})", R"({"type":"ack","bytes":18446744073709551615})",
      // shapes that are no message at all
      resize(std::string(2000, '[') + std::string(2000, ']')), std::string(1 << 20, '['), "",
      resize("100", "30,\"x\":\"\xff\""), R"({"type":"resize","cols":100,"ro)",
      resize("100", "30") + '\0'};
  auto terminal = open();
  auto feed = open("/telemetry");
  ASSERT_TRUE(terminal && feed);
  feed->send("\x01\x02\xff");
  feed->sendText(resize("100"));
  for (const std::string& frame : frames) {
    terminal->sendText(frame);
    const std::size_t from = terminal->received();
    terminal->send("stty size\n");
    EXPECT_TRUE(terminal->waitFor("24 80\r\n", 10s, from)) << frame.substr(0, 60);
    ASSERT_TRUE(zvui::test::processAlive(backend_->pid())) << frame.substr(0, 60);
  }
  EXPECT_TRUE(open()) << "a new page still gets in";

  ASSERT_TRUE(iterateUntil([&] { return feed->texts().size() >= 2; }, 5s));
  const auto history = nlohmann::json::parse(feed->texts()[0], nullptr, false);
  const auto s = nlohmann::json::parse(feed->texts()[1], nullptr, false);
  ASSERT_EQ(history.value("type", "") + s.value("type", ""), "historysample") << s.dump();
  ASSERT_GE(history["samples"].size(), 1u);
  EXPECT_LE(s["cpu"].get<double>(), 1.0);
  EXPECT_GT(s["memTotal"].get<double>(), 64 << 20);
  EXPECT_LT(s["memUsed"].get<double>(), s["memTotal"].get<double>());
  ASSERT_EQ(s["load"].size(), 3u);
  for (const auto& v : {s["cpu"], s["netIn"], s["netOut"], s["load"][0], s["load"][2]})
    EXPECT_GE(v.get<double>(), 0.0);
  for (const char* key : {"memUsed", "uptime", "procs"})
    EXPECT_GT(s[key].get<double>(), 0.0) << key;
  const auto spacing = s["t"].get<double>() - history["samples"].back()["t"].get<double>();
  EXPECT_TRUE(spacing > 500 && spacing < 2500) << spacing;  // one a second
}

// A body nobody asked for is read and thrown away until the backend hangs up (its deadline) or
// 1 GiB has gone. Freed memory a sanitizer holds back (up to 256 MiB) is allowed for.
TEST_F(RunningBackend, ABodyNobodyAskedForIsNotKept) {
  const std::string status = "/proc/" + std::to_string(backend_->pid()) + "/status";
  const auto peakKiB = [&] {
    return std::stol(zvui::test::linesOf(zvui::test::readFile(status), "VmHWM:").at(0));
  };
  const long before = peakKiB();
  UniqueFd fd = loopbackSocket(at_.port);
  const std::string request = "GET / HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(at_.port) +
                              "\r\nContent-Length: 100000000000\r\n\r\n";
  ASSERT_EQ(write(fd.get(), request.data(), request.size()), std::ssize(request));
  const std::string chunk(1 << 20, 'b');
  std::size_t sent = 0;
  for (ssize_t put; sent < (std::size_t{1} << 30) &&
                    (put = send(fd.get(), chunk.data(), chunk.size(), MSG_NOSIGNAL)) > 0;)
    sent += static_cast<std::size_t>(put);
  EXPECT_GT(sent, std::size_t{512} << 20);
  EXPECT_LT(peakKiB() - before, 448 * 1024) << "after " << (sent >> 20) << " MiB of body";
}

}  // namespace
}  // namespace tamrik::test
