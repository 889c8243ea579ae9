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
using zvui::test::readFile;
constexpr auto npos = std::string::npos;

std::unique_ptr<BackendProcess> startBackend(BackendProcess::EnvChanges env,
                                             std::optional<rlimit> descriptors = {}) {
  env.emplace("SHELL", "/bin/sh");  // a shell whose prompt and startup files we know
  env.emplace("ENV", std::nullopt);
  return BackendProcess::start(MACTAMRIK_BACKEND_PATH, env, descriptors);
}

// `count` connections that each send `bytes` and then nothing.
std::vector<UniqueFd> stalledConnections(int port, int count, const std::string& bytes) {
  std::vector<UniqueFd> sockets;
  for (int i = 0; i < count; ++i) {
    UniqueFd fd = loopbackSocket(port);
    if (!fd || write(fd.get(), bytes.data(), bytes.size()) != std::ssize(bytes)) break;
    sockets.push_back(std::move(fd));
  }
  return sockets;
}

// How many of `sockets` the backend has not closed by the deadline; what it sent is dropped.
std::size_t waitAllClosed(const std::vector<UniqueFd>& sockets, milliseconds timeout) {
  std::vector<pollfd> open;
  for (const auto& fd : sockets) open.push_back({fd.get(), POLLIN, 0});
  iterateUntil([&] {
    poll(open.data(), open.size(), 0);
    std::erase_if(open, [](pollfd& entry) {
      char sink[4096];
      return entry.revents != 0 && read(entry.fd, sink, sizeof sink) <= 0;
    });
    return open.empty();
  }, timeout);
  return open.size();
}

struct PortCase {
  const char* name;
  const char* value;  // nullptr: unset; "{free}": a free port; "{busy}": one someone holds
  int exitStatus;     // -1: announces and runs
};

class PortSetting : public ::testing::TestWithParam<PortCase> {};

TEST_P(PortSetting, AnnouncesOneLineOrRefusesClearly) {
  const PortCase& row = GetParam();
  const std::string value = row.value != nullptr ? row.value : "";
  const helper::Listener listener = helper::listenOnLoopback();
  UniqueFd holder(listener.socket);
  if (value != "{busy}") holder.reset();
  BackendProcess::EnvChanges env{{"TAMRIK_PORT", std::nullopt}};
  if (row.value != nullptr) env["TAMRIK_PORT"] = value[0] == '{' ? std::to_string(listener.port) : value;
  auto backend = startBackend(env);
  ASSERT_TRUE(backend);
  const std::string line = backend->readLine(5s);
  if (row.exitStatus >= 0) {
    EXPECT_EQ(line, "");
    EXPECT_EQ(backend->waitExit(5s), row.exitStatus << 8) << "a wait status: exited with it";
    EXPECT_NE(backend->readAllStderr().find(row.exitStatus == 2 ? "TAMRIK_PORT" : "cannot listen"), npos);
    return;
  }
  const auto announcement = parseAnnouncement(line);
  ASSERT_TRUE(announcement) << line;
  EXPECT_TRUE(value != "{free}" || announcement->port == listener.port) << announcement->port;
  backend->signal(SIGTERM);
  ASSERT_TRUE(backend->waitExit(5s));
  EXPECT_EQ(backend->readLine(1s), "") << "exactly one line";
  EXPECT_EQ(backend->readAllStderr().find(announcement->token), npos);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, PortSetting,
    ::testing::Values(PortCase{"Unset", nullptr, -1}, PortCase{"Zero", "0", -1},
                      PortCase{"Given", "{free}", -1}, PortCase{"InUse", "{busy}", 1},
                      PortCase{"Empty", "", 2}, PortCase{"Word", "auto", 2}, PortCase{"Minus", "-1", 2},
                      PortCase{"Big", "65536", 2}, PortCase{"Huge", "99999999999999999999", 2},
                      PortCase{"Space", " 8080", 2}, PortCase{"Hex", "0x1f90", 2},
                      PortCase{"Junk", "8080abc", 2}, PortCase{"Plus", "+8080", 2}),
    zvui::test::RowName);

class RunningBackend : public ::testing::Test {
 protected:
  void SetUp() override { restart(std::nullopt); }

  // Starts a backend with a client logged in to it, in place of any started before.
  void restart(std::optional<rlimit> descriptors) {
    client_.reset();
    backend_ = startBackend({{"TAMRIK_PORT", "0"}, {"TAMRIK_APP_MODE", "1"}}, descriptors);
    ASSERT_TRUE(backend_);
    auto announcement = parseAnnouncement(backend_->readLine(5s));
    ASSERT_TRUE(announcement);
    client_ = std::make_unique<ConsoleClient>(*announcement);
    cookie_ = client_->logIn();
    ASSERT_FALSE(cookie_.empty());
  }

  std::unique_ptr<SocketClient> open(const char* path = "/term", bool acknowledge = true) {
    SoupWebsocketConnection* socket = client_->openSocket(path, cookie_);
    return socket != nullptr ? std::make_unique<SocketClient>(socket, acknowledge) : nullptr;
  }

  // Asks the shell for its pid; the quotes keep the echoed command from matching.
  static pid_t shellPid(SocketClient& terminal) {
    terminal.send("echo \"P\"\"ID:$$:\"\n");
    const auto at = terminal.waitFor("PID:", 5s, terminal.output().size());
    return at && terminal.waitFor(":\r\n", 5s, *at) ? std::atoi(terminal.output().c_str() + *at) : -1;
  }
  // Says `text` through the terminal's shell and waits for it to come back.
  static bool echoes(SocketClient& terminal, const std::string& text, milliseconds timeout = 10s) {
    const std::size_t half = text.size() / 2;  // split by quotes, so the echoed command differs
    terminal.send("echo " + text.substr(0, half) + "''" + text.substr(half) + "\n");
    return terminal.waitFor(text + "\r\n", timeout).has_value();
  }

  const Announcement& announced() const { return client_->announcement(); }
  int port() const { return announced().port; }
  // A request's first line and Host header, and the status of a logged-in page request.
  std::string head() const { return "GET / HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port()) + "\r\n"; }
  guint pageStatus() { return client_->get(announced().base + "/", cookie_).status; }

  std::unique_ptr<BackendProcess> backend_;
  std::unique_ptr<ConsoleClient> client_;
  std::string cookie_;
};

TEST_F(RunningBackend, TokenBuysAStrictCookieAndThePageComesOnlyFromUs) {
  HttpResult answer = client_->get(announced().url + "&theme=dark");
  EXPECT_EQ(answer.status, 303u);
  EXPECT_NE(answer.headers["Set-Cookie"].find("; HttpOnly; SameSite=Strict"), npos);
  EXPECT_EQ(answer.headers["Location"], announced().base + "/?theme=dark");

  HttpResult page = client_->get(announced().base + "/", cookie_);
  ASSERT_EQ(page.status, 200u);
  EXPECT_EQ(page.body.find(announced().token), npos);
  EXPECT_NE(page.body.find(R"(data-app-mode="1")"), npos);  // room for the titlebar
  const std::string sockets = "connect-src ws://127.0.0.1:" + std::to_string(port()) + ";";
  EXPECT_NE(page.headers["Content-Security-Policy"].find(sockets), npos);
  EXPECT_EQ(page.body.find("://"), npos) << "nothing may come from elsewhere";
  for (auto at = page.body.find("/assets/"); at != npos; at = page.body.find("/assets/", at + 1)) {
    const std::string path = page.body.substr(at, page.body.find('"', at) - at);
    EXPECT_EQ(client_->get(announced().base + path, cookie_).status, 200u) << path;
  }
}

struct GateCase {
  const char* name;
  const char* target;  // "GET /" etc.; "GET /term" is a WebSocket upgrade
  const char* host;    // nullptr: no Host header
  const char* origin;  // nullptr: no Origin header
  const char* cookie;  // nullptr: no Cookie header
  int status;
};

class Gate : public RunningBackend, public ::testing::WithParamInterface<GateCase> {};

// {P} is our port, {Q} another, {T} the token, {C} our cookie and {F} a forged one.
TEST_P(Gate, OnlyOurOwnLoopbackNameOriginAndSecret) {
  const GateCase& row = GetParam();
  const std::string forged = cookie_.substr(0, cookie_.find('=') + 1) + std::string(32, '0');
  const std::pair<std::string, std::string> keys[] = {{"{P}", std::to_string(port())},
      {"{Q}", std::to_string(port() + 1)}, {"{T}", announced().token}, {"{C}", cookie_}, {"{F}", forged}};
  // One line of the request with the placeholders filled in; none for a missing header.
  auto line = [&](std::string text, const char* value) {
    if (value == nullptr) return std::string();
    text += value;
    for (const auto& [key, to] : keys) {
      for (auto at = text.find(key); at != npos; at = text.find(key)) text.replace(at, 3, to);
    }
    return text + "\r\n";
  };
  const bool upgrade = std::string_view(row.target).find(" /te") != npos;  // /term, /telemetry
  const std::string request =
      line(row.target, " HTTP/1.1") + line("Host: ", row.host) + line("Origin: ", row.origin) +
      line("Cookie: ", row.cookie) +
      (upgrade ? "Upgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Version: 13\r\n"
                 "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n"
               : "Content-Length: 0\r\nConnection: close\r\n\r\n");
  UniqueFd fd = loopbackSocket(port());
  ASSERT_EQ(write(fd.get(), request.data(), request.size()), std::ssize(request));
  EXPECT_EQ(readStatus(fd.get(), 5s), row.status) << request;
}

constexpr const char* kOurs = "127.0.0.1:{P}";
constexpr const char* kOrigin = "http://127.0.0.1:{P}";

INSTANTIATE_TEST_SUITE_P(
    Table, Gate,
    ::testing::Values(
        // the secret
        GateCase{"NoCookie", "GET /", kOurs, nullptr, nullptr, 401},
        GateCase{"ForgedCookie", "GET /", kOurs, nullptr, "{F}", 403},
        GateCase{"OursAmongOthers", "GET /", kOurs, nullptr, "a=b; {F}; {C}", 200},
        GateCase{"LongerToken", "GET /?token={T}0", kOurs, nullptr, nullptr, 403},
        // what may be asked for
        GateCase{"EncodedSeparator", "GET /assets/..%2Findex.html", kOurs, nullptr, "{C}", 400},
        GateCase{"HiddenAsset", "GET /assets/.hidden", kOurs, nullptr, "{C}", 404},
        GateCase{"Post", "POST /", kOurs, nullptr, "{C}", 405},
        // the Host a page was loaded from
        GateCase{"Localhost", "GET /", "localhost:{P}", nullptr, "{C}", 200},
        GateCase{"NoPort", "GET /", "127.0.0.1", nullptr, "{C}", 403},
        GateCase{"OtherPort", "GET /", "127.0.0.1:{Q}", nullptr, "{C}", 403},
        GateCase{"LookalikeName", "GET /", "127.0.0.1.attacker.example:{P}", nullptr, "{C}", 403},
        GateCase{"OtherLoopback", "GET /", "127.0.0.2:{P}", nullptr, "{C}", 403},
        GateCase{"NoHost", "GET /", nullptr, nullptr, "{C}", 400},
        GateCase{"ForeignHostThenOurs", "GET /", "evil.example\r\nHost: 127.0.0.1:{P}", nullptr, "{C}", 400},
        GateCase{"OurHostThenForeign", "GET /", "127.0.0.1:{P}\r\nHost: evil.example", nullptr, "{C}", 400},
        GateCase{"ForeignOriginOnPage", "GET /", kOurs, "http://attacker.example", "{C}", 403},
        // WebSocket upgrades
        GateCase{"SocketLocalhost", "GET /term", "localhost:{P}", "http://localhost:{P}", "{C}", 101},
        GateCase{"SocketNoCookie", "GET /term", kOurs, kOrigin, nullptr, 401},
        GateCase{"SocketTwoHosts", "GET /term", "127.0.0.1:{P}\r\nHost: evil.example", kOrigin, "{C}", 400},
        GateCase{"TelemetryForgedCookie", "GET /telemetry", kOurs, kOrigin, "{F}", 403},
        GateCase{"SocketNoOrigin", "GET /term", kOurs, nullptr, "{C}", 403},
        GateCase{"SocketOtherPortOrigin", "GET /term", kOurs, "http://127.0.0.1:{Q}", "{C}", 403},
        GateCase{"SocketNullOrigin", "GET /term", kOurs, "null", "{C}", 403},
        GateCase{"SocketCrossedNames", "GET /term", "localhost:{P}", kOrigin, "{C}", 403}),
    zvui::test::RowName);

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
  terminal->send("stty -echo; echo \"RE\"\"ADY\"; cat > " + (dir.path() / "paste").string() +
                 "; stty echo; echo \"PAS\"\"TED\"\n");
  ASSERT_TRUE(terminal->waitFor("READY", 5s));
  terminal->send(text.substr(0, 1 << 20));
  ASSERT_TRUE(terminal->paste(text.substr(1 << 20) + "\x04", 120s));
  EXPECT_TRUE(terminal->waitFor("PASTED", 60s));
  const std::string got = readFile(dir.path() / "paste");
  ASSERT_EQ(got.size(), text.size());
  EXPECT_TRUE(got == text) << "at " << std::mismatch(got.begin(), got.end(), text.begin()).first - got.begin();
}

// A session ends with its shell or its page; TERM ends the backend and leaves no shell behind.
TEST_F(RunningBackend, ShellsEndWithTheirPageOrTheBackend) {
  std::unique_ptr<SocketClient> t[3];  // exiting, closing, deaf to TERM
  pid_t shells[3];
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(t[i] = open());
    ASSERT_GT(shells[i] = shellPid(*t[i]), 1);
  }
  t[0]->send("exit\n");
  EXPECT_TRUE(t[0]->waitClosed(5s));
  // Closing the page takes a background job, and one that shrugs off the hang-up, too.
  t[1]->send("sleep 300 & (trap '' HUP; exec sleep 301) & echo started\n");
  ASSERT_TRUE(t[1]->waitFor("started\r\n", 5s));
  t[1]->close();
  const std::string others = "pgrep -s " + std::to_string(shells[1]) + " >/dev/null";
  EXPECT_TRUE(iterateUntil([&] { return !processAlive(shells[0]) && !processAlive(shells[1]); }, 5s));
  EXPECT_TRUE(iterateUntil([&] { return system(others.c_str()) != 0; }, 5s));

  t[2]->send("trap '' HUP TERM; echo armored\n");
  ASSERT_TRUE(t[2]->waitFor("armored\r\n", 5s));
  backend_->signal(SIGTERM);
  EXPECT_EQ(backend_->waitExit(5s), 0) << "a wait status: exited with 0";
  EXPECT_FALSE(processAlive(shells[2]));
  // The page learns that the backend itself went away, not just one shell.
  ASSERT_TRUE(t[2]->waitClosed(5s));
  EXPECT_EQ(t[2]->closeCode(), SOUP_WEBSOCKET_CLOSE_GOING_AWAY);
  EXPECT_FALSE(loopbackSocket(port()));
}

// Output waits for acknowledgements, input the terminal does not take is cut off at a bound,
// and a flood goes out in large frames that Ctrl-C stops.
TEST_F(RunningBackend, FlowControlBoundsBothWays) {
  auto silent = open("/term", false);  // never acknowledges
  auto terminal = open();
  ASSERT_TRUE(silent && terminal);
  silent->send("yes\n");
  iterateUntil([&] { return silent->received() > 4 * 1024 * 1024; }, 1500ms);
  EXPECT_LE(silent->received(), 512u * 1024u);
  EXPECT_GT(silent->received(), 16u * 1024u);
  const std::string slice(1 << 20, 'x');  // `yes` reads nothing
  for (int i = 0; i < 12 && !silent->waitClosed(1ms); ++i) silent->send(slice);
  EXPECT_TRUE(silent->waitClosed(10s));
  EXPECT_EQ(silent->closeCode(), SOUP_WEBSOCKET_CLOSE_POLICY_VIOLATION);

  terminal->send("yes\n");
  ASSERT_TRUE(iterateUntil([&] { return terminal->received() > 1024 * 1024; }, 10s));
  EXPECT_GT(terminal->largestFrame(), 16u * 1024u);
  EXPECT_LE(terminal->largestFrame(), 64u * 1024u);
  terminal->send("\x03");
  const auto from = terminal->output().size();
  terminal->send("echo done-$((6*7))\n");
  EXPECT_TRUE(terminal->waitFor("done-42", 10s, from));
}

// Text frames a broken or curious page might send are ignored: the terminal keeps its 80x24
// and goes on answering; the telemetry feed takes nothing and goes on with sound readings.
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
      "{\"type\":\"resize\",\"cols\":100,\"rows\":30,\"x\":\"\xff\"}",
      R"({"type":"resize","cols":100,"ro)", resize("100", "30") + '\0'};
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
  ASSERT_TRUE(fresh);
  EXPECT_TRUE(echoes(*fresh, "fresh"));

  ASSERT_TRUE(iterateUntil([&] { return feed->texts().size() >= 2; }, 5s));
  const auto history = nlohmann::json::parse(feed->texts()[0], nullptr, false);
  const auto s = nlohmann::json::parse(feed->texts()[1], nullptr, false);
  ASSERT_EQ(history.value("type", "") + s.value("type", ""), "historysample") << s.dump();
  ASSERT_GE(history["samples"].size(), 1u);
  EXPECT_LE(s["cpu"].get<double>(), 1.0);
  EXPECT_GT(s["memTotal"].get<double>(), 64 << 20);
  EXPECT_LT(s["memUsed"].get<double>(), s["memTotal"].get<double>());
  ASSERT_EQ(s["load"].size(), 3u);
  for (const auto& v : {s["cpu"], s["netIn"], s["netOut"], s["load"][0], s["load"][2]}) EXPECT_GE(v.get<double>(), 0.0);
  for (const char* key : {"memUsed", "uptime", "procs"}) EXPECT_GT(s[key].get<double>(), 0.0) << key;
  const auto spacing = s["t"].get<double>() - history["samples"].back()["t"].get<double>();
  EXPECT_TRUE(spacing > 500 && spacing < 2500) << spacing;  // one a second
}

TEST_F(RunningBackend, ABodyNobodyAskedForIsNotKept) {
  const auto peakKiB = [&] {
    const auto status = readFile("/proc/" + std::to_string(backend_->pid()) + "/status");
    return std::stol(zvui::test::linesOf(status, "VmHWM:").at(0));
  };
  const long before = peakKiB();
  UniqueFd fd = loopbackSocket(port());
  const std::string request = head() + "Content-Length: 100000000000\r\n\r\n";
  ASSERT_EQ(write(fd.get(), request.data(), request.size()), std::ssize(request));
  // Sends until the backend hangs up on it (its deadline) or 1 GiB has gone. Freed memory
  // that a sanitizer holds back for a while (up to 256 MiB) is allowed for.
  const std::string chunk(1 << 20, 'b');
  std::size_t sent = 0;
  for (ssize_t put; sent < (std::size_t{1} << 30) && (put = send(fd.get(), chunk.data(), chunk.size(), MSG_NOSIGNAL)) > 0;)
    sent += static_cast<std::size_t>(put);
  EXPECT_GT(sent, std::size_t{512} << 20);
  EXPECT_LT(peakKiB() - before, 448 * 1024) << "after " << (sent >> 20) << " MiB of body";
}

// Connections that stall are dropped in time, even once they hold every descriptor the
// backend may have: readings are skipped, accepting resumes, the terminal goes on. The backend
// raises its descriptor limit and gives its shells the one it was started with.
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
  // Complete requests on keep-alive connections, answered (401) and then left idle.
  auto idle = stalledConnections(port(), 20, head() + "\r\n");
  for (const auto& fd : idle) EXPECT_EQ(readStatus(fd.get(), 5s), 401);
  const auto start = Clock::now();
  auto halfHeaders = stalledConnections(port(), 100, head());
  auto silent = stalledConnections(port(), 30, "");
  ASSERT_EQ(halfHeaders.size() + silent.size(), 130u);
  const auto descriptors = [&] {
    std::error_code error;
    const std::string fds = "/proc/" + std::to_string(backend_->pid()) + "/fd";
    return std::distance(std::filesystem::directory_iterator(fds, error), {});
  };
  EXPECT_TRUE(iterateUntil([&] { return descriptors() >= 95; }, 10s)) << descriptors();
  const std::size_t starved = feed->texts().size();
  EXPECT_TRUE(echoes(*terminal, "still-here", 5s));
  EXPECT_TRUE(iterateUntil([&] { return descriptors() < 80; }, 15s)) << descriptors();
  EXPECT_TRUE(iterateUntil([&] { return feed->texts().size() > starved; }, 5s));
  // Those that waited in the queue are taken in and timed out in turn.
  EXPECT_EQ(waitAllClosed(halfHeaders, 30s), 0u);
  EXPECT_EQ(waitAllClosed(silent, 10s), 0u);
  EXPECT_GE(Clock::now() - start, 4s) << "a header gets a few seconds";
  EXPECT_EQ(waitAllClosed(idle, 30s), 0u);
  EXPECT_EQ(pageStatus(), 200u);
}

}  // namespace
}  // namespace tamrik::test
