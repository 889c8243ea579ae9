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

// Waits until the backend has closed every one of `sockets` (whatever it sent first is
// read and dropped); how many are still open at the deadline.
std::size_t waitAllClosed(const std::vector<UniqueFd>& sockets, milliseconds timeout) {
  std::vector<pollfd> open;
  for (const auto& fd : sockets) open.push_back({fd.get(), POLLIN, 0});
  const auto deadline = Clock::now() + timeout;
  while (!open.empty() && Clock::now() < deadline) {
    const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
    if (poll(open.data(), open.size(), static_cast<int>(left.count()) + 1) <= 0) continue;
    std::erase_if(open, [](pollfd& entry) {
      if (entry.revents == 0) return false;
      char sink[4096];
      return read(entry.fd, sink, sizeof sink) <= 0;
    });
  }
  return open.size();
}

rlim_t descriptorLimit(pid_t pid, bool hard) {
  rlimit limit{};
  prlimit(pid, RLIMIT_NOFILE, nullptr, &limit);
  return hard ? limit.rlim_max : limit.rlim_cur;
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
  const int port = listener.port;
  UniqueFd holder(listener.socket);
  if (value != "{busy}") holder.reset();
  BackendProcess::EnvChanges env{{"TAMRIK_PORT", std::nullopt}};
  if (row.value != nullptr) env["TAMRIK_PORT"] = value[0] == '{' ? std::to_string(port) : value;
  auto backend = startBackend(env);
  ASSERT_TRUE(backend);
  const std::string line = backend->readLine(5s);
  if (row.exitStatus >= 0) {
    EXPECT_EQ(line, "");
    const auto status = backend->waitExit(5s);
    ASSERT_TRUE(status && WIFEXITED(*status));
    EXPECT_EQ(WEXITSTATUS(*status), row.exitStatus);
    EXPECT_NE(backend->readAllStderr().find(row.exitStatus == 2 ? "TAMRIK_PORT" : "cannot listen"), npos);
    return;
  }
  const auto announcement = parseAnnouncement(line);
  ASSERT_TRUE(announcement) << line;
  EXPECT_TRUE(value != "{free}" || announcement->port == port) << announcement->port;
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
    if (!at || !terminal.waitFor(":\r\n", 5s, *at)) return -1;
    return static_cast<pid_t>(std::atoi(terminal.output().c_str() + *at));
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
  const std::pair<std::string, std::string> keys[] = {
      {"{P}", std::to_string(port())}, {"{Q}", std::to_string(port() + 1)},
      {"{T}", announced().token}, {"{C}", cookie_}, {"{F}", forged}};
  // One line of the request with the placeholders filled in; none for a missing header.
  auto line = [&](const std::string& name, const char* value) {
    if (value == nullptr) return std::string();
    std::string text = name + value;
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
        GateCase{"WrongToken", "GET /?token=aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", kOurs, nullptr, nullptr, 403},
        GateCase{"LongerToken", "GET /?token={T}0", kOurs, nullptr, nullptr, 403},
        // what may be asked for
        GateCase{"Asset", "GET /assets/xterm.js", kOurs, nullptr, "{C}", 200},
        GateCase{"EncodedSeparator", "GET /assets/..%2Findex.html", kOurs, nullptr, "{C}", 400},
        GateCase{"HiddenAsset", "GET /assets/.hidden", kOurs, nullptr, "{C}", 404},
        GateCase{"Post", "POST /", kOurs, nullptr, "{C}", 405},
        // the Host a page was loaded from
        GateCase{"Localhost", "GET /", "localhost:{P}", nullptr, "{C}", 200},
        GateCase{"NoPort", "GET /", "127.0.0.1", nullptr, "{C}", 403},
        GateCase{"OtherPort", "GET /", "127.0.0.1:{Q}", nullptr, "{C}", 403},
        GateCase{"RebindingName", "GET /", "attacker.example:{P}", nullptr, "{C}", 403},
        GateCase{"LookalikeName", "GET /", "127.0.0.1.attacker.example:{P}", nullptr, "{C}", 403},
        GateCase{"OtherLoopback", "GET /", "127.0.0.2:{P}", nullptr, "{C}", 403},
        GateCase{"NoHost", "GET /", nullptr, nullptr, "{C}", 400},
        GateCase{"ForeignHostThenOurs", "GET /", "evil.example\r\nHost: 127.0.0.1:{P}", nullptr, "{C}", 400},
        GateCase{"OurHostThenForeign", "GET /", "127.0.0.1:{P}\r\nHost: evil.example", nullptr, "{C}", 400},
        GateCase{"OurHostTwice", "GET /", "127.0.0.1:{P}\r\nHost: 127.0.0.1:{P}", nullptr, "{C}", 400},
        GateCase{"ForeignOriginOnPage", "GET /", kOurs, "http://attacker.example", "{C}", 403},
        // WebSocket upgrades
        GateCase{"Socket", "GET /term", kOurs, kOrigin, "{C}", 101},
        GateCase{"SocketLocalhost", "GET /term", "localhost:{P}", "http://localhost:{P}", "{C}", 101},
        GateCase{"SocketNoCookie", "GET /term", kOurs, kOrigin, nullptr, 401},
        GateCase{"SocketForeignHostThenOurs", "GET /term", "evil.example\r\nHost: 127.0.0.1:{P}", kOrigin, "{C}", 400},
        GateCase{"SocketOurHostThenForeign", "GET /term", "127.0.0.1:{P}\r\nHost: evil.example", kOrigin, "{C}", 400},
        GateCase{"TelemetryForgedCookie", "GET /telemetry", kOurs, kOrigin, "{F}", 403},
        GateCase{"SocketNoOrigin", "GET /term", kOurs, nullptr, "{C}", 403},
        GateCase{"SocketForeignOrigin", "GET /term", kOurs, "http://attacker.example", "{C}", 403},
        GateCase{"SocketOtherPortOrigin", "GET /term", kOurs, "http://127.0.0.1:{Q}", "{C}", 403},
        GateCase{"SocketNullOrigin", "GET /term", kOurs, "null", "{C}", 403},
        GateCase{"SocketCrossedNames", "GET /term", "localhost:{P}", kOrigin, "{C}", 403},
        GateCase{"SocketRebinding", "GET /term", "attacker.example:{P}", "http://attacker.example:{P}", "{C}", 403}),
    zvui::test::RowName);

TEST_F(RunningBackend, TerminalCarriesTypingResizesAndPastes) {
  auto terminal = open();
  ASSERT_TRUE(terminal);
  terminal->send("echo h''i $TERM\n");
  EXPECT_TRUE(terminal->waitFor("hi xterm-256color\r\n", 5s));
  terminal->sendText(R"({"type":"resize","cols":132,"rows":43})");
  terminal->send("stty size\n");
  EXPECT_TRUE(terminal->waitFor("43 132", 5s));
  terminal->send("stty -echo; wc -c; stty echo\n");
  std::string paste;
  while (paste.size() < 300000) paste += std::string(99, 'p') + "\n";
  terminal->send(paste + "\x04");  // one message, as a page sends a paste
  EXPECT_TRUE(terminal->waitFor(std::to_string(paste.size()), 10s));
}

// A session ends with its shell or its page; TERM ends the backend and leaves no shell behind.
TEST_F(RunningBackend, ShellsEndWithTheirPageOrTheBackend) {
  std::unique_ptr<SocketClient> t[4];  // exiting, closing, open at TERM, deaf to TERM
  pid_t shells[4];
  for (int i = 0; i < 4; ++i) {
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

  t[3]->send("trap '' HUP TERM; echo armored\n");
  ASSERT_TRUE(t[3]->waitFor("armored\r\n", 5s));
  backend_->signal(SIGTERM);
  const auto status = backend_->waitExit(5s);
  ASSERT_TRUE(status && WIFEXITED(*status));
  EXPECT_EQ(WEXITSTATUS(*status), 0);
  EXPECT_FALSE(processAlive(shells[2]));
  EXPECT_FALSE(processAlive(shells[3]));
  // The page learns that the backend itself went away, not just one shell.
  ASSERT_TRUE(t[2]->waitClosed(5s));
  EXPECT_EQ(t[2]->closeCode(), SOUP_WEBSOCKET_CLOSE_GOING_AWAY);
  EXPECT_FALSE(loopbackSocket(port()));
}

TEST_F(RunningBackend, FloodStopsWithoutAcknowledgementsAndCtrlCAnswers) {
  auto silent = open("/term", false);  // never acknowledges: gets a bounded amount
  auto terminal = open();
  ASSERT_TRUE(silent && terminal);
  silent->send("yes\n");
  iterateUntil([&] { return silent->received() > 4 * 1024 * 1024; }, 1500ms);
  EXPECT_LE(silent->received(), 512u * 1024u);
  EXPECT_GT(silent->received(), 16u * 1024u);

  terminal->send("yes\n");
  ASSERT_TRUE(iterateUntil([&] { return terminal->received() > 1024 * 1024; }, 10s));
  // A flood goes out in frames of many reads' worth, none beyond the frame limit.
  EXPECT_GT(terminal->largestFrame(), 16u * 1024u);
  EXPECT_LE(terminal->largestFrame(), 64u * 1024u);
  terminal->send("\x03");
  const auto from = terminal->output().size();
  terminal->send("echo done-$((6*7))\n");
  EXPECT_TRUE(terminal->waitFor("done-42", 10s, from));
}

TEST_F(RunningBackend, TelemetryArrivesWithSaneValues) {
  auto feed = open("/telemetry");
  ASSERT_TRUE(feed);
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

// Text frames a broken or curious page might send. Each is ignored: the backend keeps
// running, the terminal's size stays 80x24 and it goes on answering.
struct ControlCase {
  const char* name;
  std::string frame;
  SoupWebsocketDataType type = SOUP_WEBSOCKET_DATA_TEXT;
  const char* path = "/term";
};

class ControlMessages : public RunningBackend, public ::testing::WithParamInterface<ControlCase> {};

TEST_P(ControlMessages, AreIgnoredAndTheTerminalGoesOn) {
  const ControlCase& row = GetParam();
  auto terminal = open();
  ASSERT_TRUE(terminal);
  std::unique_ptr<SocketClient> other;
  if (std::string_view(row.path) != "/term") {
    other = open(row.path);
    ASSERT_TRUE(other);
  }
  (other ? *other : *terminal).sendFrame(row.type, row.frame);
  terminal->send("stty size\n");
  EXPECT_TRUE(terminal->waitFor("24 80\r\n", 10s)) << terminal->output();
  EXPECT_TRUE(processAlive(backend_->pid()));
  auto fresh = open();
  ASSERT_TRUE(fresh);
  EXPECT_TRUE(echoes(*fresh, "fresh"));
}

std::string resize(const std::string& cols, const std::string& rows = "24") {
  return R"({"type":"resize","cols":)" + cols + R"(,"rows":)" + rows + "}";
}
std::string nestedIn(std::size_t depth) {
  return resize(std::string(depth, '[') + std::string(depth, ']'));
}

INSTANTIATE_TEST_SUITE_P(
    Table, ControlMessages,
    ::testing::Values(
        // wrong types where the library's typed look-up would throw
        ControlCase{"TypeIsNumber", R"({"type":1})"},
        ControlCase{"TypeIsArray", R"({"type":["resize"]})"},
        ControlCase{"ColsIsNull", resize("null")},
        ControlCase{"ColsIsString", resize(R"("80")")},
        ControlCase{"AckBytesIsString", R"({"type":"ack","bytes":"x"})"},
        ControlCase{"RowsMissing", R"({"type":"resize","cols":100})"},
        ControlCase{"NotAnObject", R"(["resize",100,30])"},
        // numbers out of every range
        ControlCase{"ColsFraction", resize("100.5")},
        ControlCase{"ColsZero", resize("0")},
        ControlCase{"ColsPastTheLimit", resize("4001")},
        ControlCase{"ColsNegative", resize("-100")},
        ControlCase{"ColsWrapToSixteenBits", resize("65636", "65560")},
        ControlCase{"ColsLargestUnsigned", resize("18446744073709551615")},
        ControlCase{"ColsBeyondEveryInteger", resize("184467440737095516160")},
        ControlCase{"ColsBeyondDouble", resize("1e400")},
        ControlCase{"AckNegative", R"({"type":"ack","bytes":-1})"},
        ControlCase{"AckHuge", R"({"type":"ack","bytes":18446744073709551615})"},
        // shapes that are no message at all
        ControlCase{"DeepNesting", nestedIn(2000)},
        ControlCase{"DeepNestingMegabyte", std::string(1 << 20, '[')},
        ControlCase{"InvalidUtf8", "{\"type\":\"resize\",\"cols\":100,\"rows\":30,\"x\":\"\xff\"}"},
        ControlCase{"Empty", ""},
        ControlCase{"Truncated", R"({"type":"resize","cols":100,"ro)"},
        ControlCase{"NulInside", std::string(R"({"type":"resize","cols":100,"rows":30})") + '\0'},
        // the telemetry socket takes nothing from the page
        ControlCase{"BinaryOnTelemetry", "\x01\x02\xff", SOUP_WEBSOCKET_DATA_BINARY, "/telemetry"},
        ControlCase{"TextOnTelemetry", resize("100"), SOUP_WEBSOCKET_DATA_TEXT, "/telemetry"}),
    zvui::test::RowName);

TEST_F(RunningBackend, SlowClientsAreDroppedAndOpenSocketsStay) {
  auto terminal = open();
  ASSERT_TRUE(terminal);
  const auto start = Clock::now();
  auto halfHeaders = stalledConnections(port(), 250, head());
  auto silent = stalledConnections(port(), 50, "");
  ASSERT_EQ(halfHeaders.size() + silent.size(), 300u);
  // Complete requests on keep-alive connections, answered (401) and then left idle.
  auto idle = stalledConnections(port(), 20, head() + "\r\n");
  for (const auto& fd : idle) EXPECT_EQ(readStatus(fd.get(), 5s), 401);
  EXPECT_EQ(pageStatus(), 200u);

  EXPECT_EQ(waitAllClosed(halfHeaders, 20s), 0u);
  EXPECT_EQ(waitAllClosed(silent, 5s), 0u);
  EXPECT_GE(Clock::now() - start, 4s) << "a header gets a few seconds";
  EXPECT_EQ(waitAllClosed(idle, 30s), 0u);
  EXPECT_TRUE(echoes(*terminal, "still-here", 5s));
}

TEST_F(RunningBackend, ABodyNobodyAskedForIsNotKept) {
  const auto peakKiB = [&] {
    std::ifstream status("/proc/" + std::to_string(backend_->pid()) + "/status");
    for (std::string line; std::getline(status, line);) {
      if (line.starts_with("VmHWM:")) return std::stol(line.substr(6));
    }
    return 0L;
  };
  const long before = peakKiB();
  UniqueFd fd = loopbackSocket(port());
  const std::string request = head() + "Content-Length: 100000000000\r\n\r\n";
  ASSERT_EQ(write(fd.get(), request.data(), request.size()), std::ssize(request));
  // Sends until the backend hangs up on it (its deadline) or 1 GiB has gone. Freed memory
  // that a sanitizer holds back for a while (up to 256 MiB) is allowed for.
  const std::string chunk(1 << 20, 'b');
  std::size_t sent = 0;
  while (sent < (std::size_t{1} << 30)) {
    const ssize_t put = send(fd.get(), chunk.data(), chunk.size(), MSG_NOSIGNAL);
    if (put <= 0) break;
    sent += static_cast<std::size_t>(put);
  }
  EXPECT_GT(sent, std::size_t{512} << 20);
  EXPECT_LT(peakKiB() - before, 448 * 1024) << "after " << (sent >> 20) << " MiB of body";
}

TEST_F(RunningBackend, RaisesItsDescriptorLimitButNotItsShells) {
  const rlim_t hard = descriptorLimit(backend_->pid(), true);
  ASSERT_GT(hard, 1200u) << "needs a hard limit above the usual soft one";
  restart(rlimit{1024, hard});
  EXPECT_EQ(descriptorLimit(backend_->pid(), false), hard);
  auto terminal = open();
  ASSERT_TRUE(terminal);
  terminal->send("echo \"limit:$(ulimit -n):\"\n");
  EXPECT_TRUE(terminal->waitFor("limit:1024:", 5s));

  auto stalled = stalledConnections(port(), 1100, head());
  EXPECT_EQ(stalled.size(), 1100u);
  EXPECT_EQ(pageStatus(), 200u);
}

// Readings skipped and accepting resumed: neither the telemetry library nor the HTTP one
// may end or wedge the console when descriptors run out.
TEST_F(RunningBackend, OutOfDescriptorsItSkipsReadingsAndRecovers) {
  restart(rlimit{96, 96});
  auto feed = open("/telemetry");
  auto terminal = open();
  ASSERT_TRUE(feed && terminal);
  // More than it may hold. Readings fall due while every descriptor is taken, until these
  // time out.
  auto stalled = stalledConnections(port(), 120, head());
  const auto descriptors = [&] {
    const auto fds = std::filesystem::path("/proc") / std::to_string(backend_->pid()) / "fd";
    std::error_code error;
    return std::distance(std::filesystem::directory_iterator(fds, error), {});
  };
  EXPECT_TRUE(iterateUntil([&] { return descriptors() >= 95; }, 10s)) << descriptors();
  const std::size_t starved = feed->texts().size();
  EXPECT_TRUE(iterateUntil([&] { return descriptors() < 80; }, 15s)) << descriptors();
  EXPECT_TRUE(processAlive(backend_->pid()));
  EXPECT_TRUE(iterateUntil([&] { return feed->texts().size() > starved; }, 5s));
  EXPECT_TRUE(echoes(*terminal, "still-here", 5s));
  // Those that waited in the queue are taken in and timed out in turn.
  EXPECT_EQ(waitAllClosed(stalled, 30s), 0u);
  EXPECT_EQ(pageStatus(), 200u);
}

// Printable lines of varied length, so that anything lost, doubled or reordered shows.
std::string pasteText(std::size_t size) {
  std::mt19937 random(12);
  std::string text;
  text.reserve(size);
  while (text.size() < size) {
    const std::size_t length = random() % 200;
    for (std::size_t i = 0; i < length; ++i) text.push_back(static_cast<char>(' ' + random() % 95));
    text.push_back('\n');
  }
  return text;
}

TEST_F(RunningBackend, PasteOfTensOfMebibytesArrivesWhole) {
  auto terminal = open();
  ASSERT_TRUE(terminal);
  const auto file = std::filesystem::temp_directory_path() /
                    ("mactamrik-paste-" + std::to_string(backend_->pid()));
  const std::string text = pasteText(24 << 20);
  terminal->send("stty -echo; echo \"RE\"\"ADY\"; cat > " + file.string() +
                 "; stty echo; echo \"PAS\"\"TED\"\n");
  ASSERT_TRUE(terminal->waitFor("READY", 5s));
  ASSERT_TRUE(terminal->paste(text + "\x04", 120s));
  EXPECT_TRUE(terminal->waitFor("PASTED", 60s));
  std::ifstream stored(file, std::ios::binary);
  const std::string got((std::istreambuf_iterator<char>(stored)), std::istreambuf_iterator<char>());
  std::filesystem::remove(file);
  ASSERT_EQ(got.size(), text.size());
  EXPECT_TRUE(got == text) << "at " << std::mismatch(got.begin(), got.end(), text.begin()).first - got.begin();
}

TEST_F(RunningBackend, PeerThatIgnoresInputAcknowledgementsIsCutOff) {
  auto terminal = open();
  ASSERT_TRUE(terminal);
  terminal->send("sleep 60; echo \"NOT\"\"READ\"\n");  // the shell reads nothing meanwhile
  const std::string slice(1 << 20, 'x');
  for (int i = 0; i < 12 && !terminal->waitClosed(1ms); ++i) terminal->send(slice);
  EXPECT_TRUE(terminal->waitClosed(10s));
  EXPECT_EQ(terminal->closeCode(), SOUP_WEBSOCKET_CLOSE_POLICY_VIOLATION);
  auto fresh = open();
  ASSERT_TRUE(fresh);
  EXPECT_TRUE(echoes(*fresh, "fresh"));
}

}  // namespace
}  // namespace tamrik::test
