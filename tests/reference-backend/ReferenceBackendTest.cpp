// MacTamrikBackend driven as the desktop shell and a web page drive it: the real program,
// real sockets on 127.0.0.1, a real shell behind the terminal.
#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <random>

#include "support/ConsoleClient.h"
#include "support/LoopbackListener.h"

namespace tamrik::test {
namespace {

using namespace std::chrono_literals;
constexpr auto npos = std::string::npos;

std::unique_ptr<BackendProcess> startBackend(BackendProcess::EnvChanges env,
                                             std::optional<rlimit> limit = {}) {
  env.emplace("SHELL", "/bin/sh");  // a shell whose prompt and startup files we know
  env.emplace("ENV", std::nullopt);
  return BackendProcess::start(MACTAMRIK_BACKEND_PATH, env, limit);
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
    ASSERT_TRUE(backend->waitExit(5s));
    EXPECT_EQ(backend->readLine(1s), "") << "exactly one line";
    EXPECT_EQ(backend->readAllStderr().find(announcement->token), npos);
  }
}

class RunningBackend : public ::testing::Test {
 protected:
  void SetUp() override { restart(std::nullopt); }

  // Starts a backend with a client logged in to it, in place of any started before.
  void restart(std::optional<rlimit> descriptors) {
    client_.reset();
    backend_ = startBackend({{"TAMRIK_PORT", "0"}, {"TAMRIK_APP_MODE", "1"}}, descriptors);
    ASSERT_TRUE(backend_);
    const auto announcement = parseAnnouncement(backend_->readLine(5s));
    ASSERT_TRUE(announcement);
    at_ = *announcement;
    client_ = std::make_unique<ConsoleClient>(at_);
    ASSERT_FALSE((cookie_ = client_->logIn()).empty());
  }

  std::unique_ptr<SocketClient> open(const char* path = "/term", bool acknowledge = true) {
    SoupWebsocketConnection* socket = client_->openSocket(path, cookie_);
    return socket != nullptr ? std::make_unique<SocketClient>(socket, acknowledge) : nullptr;
  }
  // Says `text` through the shell and waits for it after `from` (not in the quoted command).
  static bool echoes(SocketClient& terminal, const std::string& text, std::size_t from = 0) {
    terminal.send("echo '" + text + "'\n");
    return terminal.waitFor(text + "\r\n", 10s, from).has_value();
  }
  // A request by hand: Host and nothing else; and `count` connections that send `bytes`, no more.
  std::string head() const {
    return "GET / HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(at_.port) + "\r\n";
  }
  void stall(std::vector<UniqueFd>& sockets, int count, const std::string& bytes) const {
    for (int i = 0; i < count; ++i) {
      UniqueFd fd = loopbackSocket(at_.port);
      if (!fd || write(fd.get(), bytes.data(), bytes.size()) != std::ssize(bytes)) return;
      sockets.push_back(std::move(fd));
    }
  }
  guint pageStatus() { return client_->get(at_.base + "/", cookie_).status; }

  std::unique_ptr<BackendProcess> backend_;
  Announcement at_;
  std::unique_ptr<ConsoleClient> client_;
  std::string cookie_;
};

TEST_F(RunningBackend, TokenBuysAStrictCookieAndThePageComesOnlyFromUs) {
  HttpResult answer = client_->get(at_.url + "&theme=dark");
  EXPECT_EQ(answer.status, 303u);
  EXPECT_NE(answer.headers["Set-Cookie"].find("; HttpOnly; SameSite=Strict"), npos);
  EXPECT_EQ(answer.headers["Location"], at_.base + "/?theme=dark");
  HttpResult page = client_->get(at_.base + "/", cookie_);
  ASSERT_EQ(page.status, 200u);
  EXPECT_EQ(page.body.find(at_.token), npos);
  EXPECT_NE(page.body.find(R"(data-app-mode="1")"), npos);  // room for the titlebar
  EXPECT_NE(
      page.headers["Content-Security-Policy"].find("connect-src ws://" + at_.base.substr(7) + ";"),
      npos);
  EXPECT_EQ(page.body.find("://"), npos) << "nothing may come from elsewhere";
}

// Requests by hand. {P} is our port, {Q} another, {T} the token, {C} our cookie and {F} a
// forged one; /term and /telemetry are asked for as WebSocket upgrades.
TEST_F(RunningBackend, GateLetsInOnlyOurOwnLoopbackNameOriginAndSecret) {
  const std::string forged = cookie_.substr(0, cookie_.find('=') + 1) + std::string(32, '0');
  const std::pair<std::string, std::string> keys[] = {{"{P}", std::to_string(at_.port)},
                                                      {"{Q}", std::to_string(at_.port + 1)},
                                                      {"{T}", at_.token},
                                                      {"{C}", cookie_},
                                                      {"{F}", forged}};
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
  ASSERT_EQ(got.size(), text.size());
  EXPECT_TRUE(got == text) << "at "
                           << std::mismatch(got.begin(), got.end(), text.begin()).first -
                                  got.begin();
}

// A session ends with its shell or its page, taking along jobs that ignore the hang-up; TERM
// ends the backend and every shell, even one deaf to it.
TEST_F(RunningBackend, ShellsEndWithTheirPageOrTheBackend) {
  std::unique_ptr<SocketClient> t[3];
  pid_t shells[3];
  const char* before[] = {"", "sleep 300 & (trap '' HUP; exec sleep 301) & ", "trap '' HUP TERM; "};
  for (int i = 0; i < 3; ++i) {  // one to exit, one to close, one deaf to TERM
    ASSERT_TRUE(t[i] = open());
    t[i]->send(before[i] +
               std::string("echo \"P\"\"ID:$$:\"\n"));  // quoted, so the echoed line differs
    const auto at = t[i]->waitFor("PID:", 5s);
    ASSERT_TRUE(at && t[i]->waitFor(":\r\n", 5s, *at));
    ASSERT_GT(shells[i] = std::atoi(t[i]->output().c_str() + *at), 1);
  }
  t[0]->send("exit\n");
  EXPECT_TRUE(t[0]->waitClosed(5s));
  t[1].reset();
  const auto gone = [](pid_t id) {
    return system(("pgrep -s " + std::to_string(id) + " >/dev/null").c_str()) != 0;
  };
  EXPECT_TRUE(iterateUntil([&] { return gone(shells[0]) && gone(shells[1]); }, 5s));
  backend_->signal(SIGTERM);
  EXPECT_EQ(backend_->waitExit(5s), 0) << "a wait status: exited with 0";
  EXPECT_TRUE(gone(shells[2]));
  ASSERT_TRUE(t[2]->waitClosed(5s));
  EXPECT_EQ(t[2]->closeCode(), SOUP_WEBSOCKET_CLOSE_GOING_AWAY) << "not just one shell went";
  EXPECT_FALSE(loopbackSocket(at_.port));
}

// Output waits for acknowledgements; input the terminal does not take is cut off at a bound;
// Ctrl-C stops a flood.
TEST_F(RunningBackend, FlowControlBoundsBothWays) {
  auto silent = open("/term", false);  // acknowledges nothing
  auto terminal = open();
  ASSERT_TRUE(silent && terminal);
  silent->send("yes\n");
  EXPECT_TRUE(iterateUntil([&] { return silent->received() > 16u * 1024u; }, 10s));
  iterateUntil([&] { return silent->received() > 4 * 1024 * 1024; },
               1500ms);  // it stops well short
  EXPECT_LE(silent->received(), 512u * 1024u);
  for (int i = 0; i < 12 && !silent->waitClosed(1ms); ++i) silent->send(std::string(1 << 20, 'x'));
  EXPECT_TRUE(silent->waitClosed(10s));
  EXPECT_EQ(silent->closeCode(), SOUP_WEBSOCKET_CLOSE_POLICY_VIOLATION);
  terminal->send("yes\n");
  ASSERT_TRUE(iterateUntil([&] { return terminal->received() > 1024 * 1024; }, 10s));
  terminal->send("\x03");
  EXPECT_TRUE(echoes(*terminal, "done", terminal->received()));
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
    ASSERT_TRUE(processAlive(backend_->pid())) << frame.substr(0, 60);
  }
  auto fresh = open();
  ASSERT_TRUE(fresh && echoes(*fresh, "fresh"));

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

// Stalled connections are dropped in time, even while they hold every descriptor the backend
// may have (raised from the limit it was given, which its shells get).
TEST_F(RunningBackend, StalledConnectionsAreDroppedEvenOutOfDescriptors) {
  restart(rlimit{64, 96});
  rlimit limit{};
  prlimit(backend_->pid(), RLIMIT_NOFILE, nullptr, &limit);
  EXPECT_EQ(limit.rlim_cur, 96u);
  auto feed = open("/telemetry");
  auto terminal = open();
  ASSERT_TRUE(feed && terminal);
  terminal->send("echo \"limit:$(ulimit -n):\"\n");
  EXPECT_TRUE(terminal->waitFor("limit:64:", 5s));
  std::vector<UniqueFd> idle, connections;  // idle: answered (401) on a kept-alive connection
  stall(idle, 20, head() + "\r\n");
  for (const auto& fd : idle) EXPECT_EQ(readStatus(fd.get(), 5s), 401);
  const auto start = Clock::now();
  stall(connections, 100, head());
  stall(connections, 30, "");
  ASSERT_EQ(connections.size(), 130u);
  const std::filesystem::path fds = "/proc/" + std::to_string(backend_->pid()) + "/fd";
  const auto descriptors = [&] {
    return std::distance(std::filesystem::directory_iterator(fds), {});
  };
  EXPECT_TRUE(iterateUntil([&] { return descriptors() >= 95; }, 10s)) << descriptors();
  const std::size_t starved = feed->texts().size();
  EXPECT_TRUE(echoes(*terminal, "still-here"));
  EXPECT_TRUE(iterateUntil([&] { return descriptors() < 80; }, 15s)) << descriptors();
  EXPECT_TRUE(iterateUntil([&] { return feed->texts().size() > starved; }, 5s));
  // Those that waited in the queue are taken in and dropped in turn.
  const auto allClosed = [](std::vector<UniqueFd>& sockets) {
    return iterateUntil(
        [&] {
          std::erase_if(sockets, [](const UniqueFd& fd) {
            char sink[4096];
            const ssize_t got = recv(fd.get(), sink, sizeof sink, MSG_DONTWAIT);
            return got == 0 || (got < 0 && errno != EAGAIN);
          });
          return sockets.empty();
        },
        30s);
  };
  EXPECT_TRUE(allClosed(connections)) << connections.size();
  EXPECT_GE(Clock::now() - start, 4s) << "a header gets a few seconds";
  EXPECT_TRUE(allClosed(idle)) << idle.size();
  EXPECT_EQ(pageStatus(), 200u);
}

TEST_F(RunningBackend, ABodyNobodyAskedForIsNotKept) {
  const std::string status = "/proc/" + std::to_string(backend_->pid()) + "/status";
  const auto peakKiB = [&] {
    return std::stol(zvui::test::linesOf(zvui::test::readFile(status), "VmHWM:").at(0));
  };
  const long before = peakKiB();
  UniqueFd fd = loopbackSocket(at_.port);
  const std::string request = head() + "Content-Length: 100000000000\r\n\r\n";
  ASSERT_EQ(write(fd.get(), request.data(), request.size()), std::ssize(request));
  // Sends until the backend hangs up on it (its deadline) or 1 GiB has gone. Freed memory
  // that a sanitizer holds back for a while (up to 256 MiB) is allowed for.
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
