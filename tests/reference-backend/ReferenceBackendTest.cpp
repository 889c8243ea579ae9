// MacTamrikBackend, driven as the desktop shell and a web page would drive it: the real
// program, real sockets on 127.0.0.1, a real shell behind the terminal.

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "ConsoleClient.h"

namespace tamrik::test {
namespace {

using namespace std::chrono_literals;

std::unique_ptr<BackendProcess> startBackend(const BackendProcess::EnvChanges& env = {
                                                 {"TAMRIK_PORT", "0"}, {"TAMRIK_APP_MODE", "1"}}) {
  auto changes = env;
  changes.emplace("SHELL", "/bin/sh");  // a shell whose prompt and startup files we know
  changes.emplace("ENV", std::nullopt);
  return BackendProcess::start(MACTAMRIK_BACKEND_PATH, changes);
}

class RunningBackend : public ::testing::Test {
 protected:
  void SetUp() override {
    backend_ = startBackend();
    ASSERT_TRUE(backend_);
    auto announcement = parseAnnouncement(backend_->readLine(5s));
    ASSERT_TRUE(announcement);
    client_ = std::make_unique<ConsoleClient>(*announcement);
    cookie_ = client_->logIn();
    ASSERT_FALSE(cookie_.empty());
  }

  std::unique_ptr<TerminalClient> openTerminal(bool acknowledge = true) {
    SoupWebsocketConnection* socket = client_->openSocket("/term", cookie_);
    if (socket == nullptr) return nullptr;
    return std::make_unique<TerminalClient>(socket, acknowledge);
  }

  // Asks the shell for its pid, through the terminal. The quotes keep the echoed command
  // line from matching the answer.
  static pid_t shellPid(TerminalClient& terminal) {
    const auto from = terminal.output().size();
    terminal.send("echo \"P\"\"ID:$$:\"\n");
    auto at = terminal.waitFor("PID:", 5s, from);
    if (!at || !terminal.waitFor(":\r\n", 5s, *at)) return -1;
    return static_cast<pid_t>(std::atoi(terminal.output().c_str() + *at));
  }

  int port() const { return client_->announcement().port; }

  std::unique_ptr<BackendProcess> backend_;
  std::unique_ptr<ConsoleClient> client_;
  std::string cookie_;
};

// ---- the announcement and the port setting ------------------------------------------------

struct PortCase {
  const char* name;
  std::optional<std::string> value;  // nullopt: unset
  bool accepted;
  bool announcesGivenPort;
};

class PortSetting : public ::testing::TestWithParam<PortCase> {};

TEST_P(PortSetting, AnnouncesOrRefuses) {
  const PortCase& row = GetParam();
  std::string value = row.value.value_or("");
  const int wanted = freePort();
  if (row.announcesGivenPort) value = std::to_string(wanted);
  BackendProcess::EnvChanges env{{"TAMRIK_PORT", row.value ? std::optional(value) : std::nullopt}};
  auto backend = startBackend(env);
  ASSERT_TRUE(backend);
  const std::string line = backend->readLine(5s);
  if (!row.accepted) {
    EXPECT_EQ(line, "");
    auto status = backend->waitExit(5s);
    ASSERT_TRUE(status);
    EXPECT_TRUE(WIFEXITED(*status));
    EXPECT_EQ(WEXITSTATUS(*status), 2);
    EXPECT_NE(backend->readAllStderr().find("TAMRIK_PORT"), std::string::npos);
    return;
  }
  auto announcement = parseAnnouncement(line);
  ASSERT_TRUE(announcement) << line;
  if (row.announcesGivenPort) {
    EXPECT_EQ(announcement->port, wanted);
  } else {
    EXPECT_GT(announcement->port, 0);
  }
  // Exactly one line, and the token shows up nowhere else.
  EXPECT_EQ(backend->readLine(300ms), "");
  backend->signal(SIGTERM);
  ASSERT_TRUE(backend->waitExit(5s));
  EXPECT_EQ(backend->readAllStderr().find(announcement->token), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, PortSetting,
    ::testing::Values(PortCase{"Unset", std::nullopt, true, false},
                      PortCase{"Zero", "0", true, false},
                      PortCase{"GivenPort", "", true, true},
                      PortCase{"Empty", "", false, false},
                      PortCase{"Word", "auto", false, false},
                      PortCase{"Negative", "-1", false, false},
                      PortCase{"TooLarge", "65536", false, false},
                      PortCase{"Huge", "99999999999999999999", false, false},
                      PortCase{"Spaces", " 8080", false, false},
                      PortCase{"Hex", "0x1f90", false, false},
                      PortCase{"TrailingJunk", "8080abc", false, false},
                      PortCase{"Plus", "+8080", false, false}),
    [](const auto& row) { return std::string(row.param.name); });

TEST(PortInUse, FailsWithAClearErrorInsteadOfAnnouncing) {
  auto first = startBackend({{"TAMRIK_PORT", "0"}});
  ASSERT_TRUE(first);
  auto announcement = parseAnnouncement(first->readLine(5s));
  ASSERT_TRUE(announcement);
  auto second = startBackend({{"TAMRIK_PORT", std::to_string(announcement->port)}});
  ASSERT_TRUE(second);
  EXPECT_EQ(second->readLine(5s), "");
  auto status = second->waitExit(5s);
  ASSERT_TRUE(status);
  EXPECT_NE(WEXITSTATUS(*status), 0);
  EXPECT_NE(second->readAllStderr().find("cannot listen"), std::string::npos);
}

// ---- token, cookie and the redirect ----------------------------------------------------------

TEST_F(RunningBackend, TokenBuysAStrictHttpOnlyCookieAndARedirectWithoutIt) {
  ConsoleClient fresh(client_->announcement());
  HttpResult answer = fresh.get(client_->announcement().url + "&theme=dark");
  EXPECT_EQ(answer.status, 303u);
  const std::string cookie = answer.header("Set-Cookie");
  EXPECT_NE(cookie.find("HttpOnly"), std::string::npos);
  EXPECT_NE(cookie.find("SameSite=Strict"), std::string::npos);
  const std::string location = answer.header("Location");
  EXPECT_EQ(location.find(client_->announcement().token), std::string::npos) << location;
  EXPECT_NE(location.find("theme=dark"), std::string::npos) << location;

  HttpResult page = fresh.get(client_->announcement().base + "/",
                              {{"Cookie", cookie.substr(0, cookie.find(';'))}});
  EXPECT_EQ(page.status, 200u);
  EXPECT_EQ(page.body.find(client_->announcement().token), std::string::npos);
}

TEST_F(RunningBackend, ServesThePageAndEverythingItLoadsFromItself) {
  HttpResult page = client_->get(client_->announcement().base + "/", {{"Cookie", cookie_}});
  ASSERT_EQ(page.status, 200u);
  EXPECT_EQ(page.header("Content-Type").rfind("text/html", 0), 0u);
  // Embedded in the desktop shell, the page leaves room for its titlebar.
  EXPECT_NE(page.body.find(R"(data-app-mode="1")"), std::string::npos);
  const std::string policy = page.header("Content-Security-Policy");
  EXPECT_NE(policy.find("connect-src ws://127.0.0.1:" + std::to_string(port()) + ";"),
            std::string::npos) << policy;
  EXPECT_EQ(page.body.find("http://"), std::string::npos) << "nothing may come from elsewhere";
  EXPECT_EQ(page.body.find("https://"), std::string::npos);

  int assets = 0;
  for (std::size_t at = page.body.find("/assets/"); at != std::string::npos;
       at = page.body.find("/assets/", at + 1)) {
    const std::string path = page.body.substr(at, page.body.find('"', at) - at);
    HttpResult asset = client_->get(client_->announcement().base + path, {{"Cookie", cookie_}});
    EXPECT_EQ(asset.status, 200u) << path;
    EXPECT_GT(asset.body.size(), 100u) << path;
    const char* type = path.ends_with(".js") ? "text/javascript" : "text/css";
    EXPECT_EQ(asset.header("Content-Type").rfind(type, 0), 0u) << path;
    ++assets;
  }
  EXPECT_EQ(assets, 5);
}

TEST_F(RunningBackend, RefusesRequestsWithoutTheRightSecret) {
  const std::string base = client_->announcement().base;
  const std::string forged = cookie_.substr(0, cookie_.find('=') + 1) + std::string(32, '0');
  struct Row {
    std::string url;
    std::map<std::string, std::string> headers;
    guint status;
  };
  const std::vector<Row> rows = {
      {base + "/", {}, 401},
      {base + "/assets/xterm.js", {}, 401},
      {base + "/?token=", {}, 403},
      {base + "/?token=" + std::string(32, 'a'), {}, 403},
      {base + "/?token=" + client_->announcement().token + "0", {}, 403},
      {base + "/", {{"Cookie", forged}}, 403},
      {base + "/", {{"Cookie", "other=1"}}, 401},
      {base + "/", {{"Cookie", cookie_}}, 200},
      {base + "/", {{"Cookie", "a=b; " + forged + "; " + cookie_}}, 200},
      {base + "/assets/xterm.js", {{"Cookie", cookie_}}, 200},
      {base + "/assets/..%2Findex.html", {{"Cookie", cookie_}}, 400},  // encoded separator
      {base + "/assets/.hidden", {{"Cookie", cookie_}}, 404},
      {base + "/nothing-here", {{"Cookie", cookie_}}, 404},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(client_->get(row.url, row.headers).status, row.status) << row.url;
  }
  guint status = 0;
  EXPECT_EQ(client_->openSocket("/term", "", &status), nullptr);
  EXPECT_EQ(status, 401u);
  EXPECT_EQ(client_->openSocket("/telemetry", forged, &status), nullptr);
  EXPECT_EQ(status, 403u);
}

TEST_F(RunningBackend, ChangesNothingThroughOtherMethods) {
  for (const char* method : {"POST", "PUT", "DELETE"}) {
    const std::string request = std::string(method) + " / HTTP/1.1\r\nHost: 127.0.0.1:" +
                                std::to_string(port()) + "\r\nCookie: " + cookie_ +
                                "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
    EXPECT_EQ(rawRequestStatus(port(), request, 5s), 405) << method;
  }
}

// ---- Host and Origin ---------------------------------------------------------------------------

struct HostOriginCase {
  const char* name;
  const char* host;    // "{P}" becomes our port, "{Q}" another one; nullptr: no Host header
  const char* origin;  // same substitutions; nullptr: no Origin header
  bool webSocket;
  bool withCookie;
  int status;
};

class HostAndOrigin : public RunningBackend, public ::testing::WithParamInterface<HostOriginCase> {};

std::string substitute(std::string text, int port) {
  for (auto [key, value] : {std::pair{"{P}", port}, std::pair{"{Q}", port + 1}}) {
    for (auto at = text.find(key); at != std::string::npos; at = text.find(key)) {
      text.replace(at, 3, std::to_string(value));
    }
  }
  return text;
}

TEST_P(HostAndOrigin, OnlyOurOwnLoopbackNameAndOrigin) {
  const HostOriginCase& row = GetParam();
  std::string request = std::string("GET ") + (row.webSocket ? "/term" : "/") + " HTTP/1.1\r\n";
  if (row.host != nullptr) request += "Host: " + substitute(row.host, port()) + "\r\n";
  if (row.origin != nullptr) request += "Origin: " + substitute(row.origin, port()) + "\r\n";
  if (row.withCookie) request += "Cookie: " + cookie_ + "\r\n";
  if (row.webSocket) {
    request +=
        "Upgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Version: 13\r\n"
        "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n";
  } else {
    request += "Connection: close\r\n";
  }
  request += "\r\n";
  EXPECT_EQ(rawRequestStatus(port(), request, 5s), row.status);
}

INSTANTIATE_TEST_SUITE_P(
    Table, HostAndOrigin,
    ::testing::Values(
        // plain page requests
        HostOriginCase{"Numeric", "127.0.0.1:{P}", nullptr, false, true, 200},
        HostOriginCase{"Localhost", "localhost:{P}", nullptr, false, true, 200},
        HostOriginCase{"LocalhostUpperCase", "LOCALHOST:{P}", nullptr, false, true, 200},
        HostOriginCase{"NoPort", "127.0.0.1", nullptr, false, true, 403},
        HostOriginCase{"OtherPort", "127.0.0.1:{Q}", nullptr, false, true, 403},
        HostOriginCase{"RebindingName", "attacker.example:{P}", nullptr, false, true, 403},
        HostOriginCase{"LookalikeName", "127.0.0.1.attacker.example:{P}", nullptr, false, true, 403},
        HostOriginCase{"PaddedPort", "127.0.0.1:0{P}", nullptr, false, true, 403},
        HostOriginCase{"OtherLoopback", "127.0.0.2:{P}", nullptr, false, true, 403},
        HostOriginCase{"Missing", nullptr, nullptr, false, true, 400},
        HostOriginCase{"ForeignOriginOnPage", "127.0.0.1:{P}", "http://attacker.example", false, true, 403},
        HostOriginCase{"OwnOriginOnPage", "127.0.0.1:{P}", "http://127.0.0.1:{P}", false, true, 200},
        // WebSocket upgrades
        HostOriginCase{"SocketOwnOrigin", "127.0.0.1:{P}", "http://127.0.0.1:{P}", true, true, 101},
        HostOriginCase{"SocketLocalhostOrigin", "localhost:{P}", "http://localhost:{P}", true, true, 101},
        HostOriginCase{"SocketNoOrigin", "127.0.0.1:{P}", nullptr, true, true, 403},
        HostOriginCase{"SocketForeignOrigin", "127.0.0.1:{P}", "http://attacker.example", true, true, 403},
        HostOriginCase{"SocketOtherPortOrigin", "127.0.0.1:{P}", "http://127.0.0.1:{Q}", true, true, 403},
        HostOriginCase{"SocketHttpsOrigin", "127.0.0.1:{P}", "https://127.0.0.1:{P}", true, true, 403},
        HostOriginCase{"SocketNullOrigin", "127.0.0.1:{P}", "null", true, true, 403},
        HostOriginCase{"SocketCrossedNames", "localhost:{P}", "http://127.0.0.1:{P}", true, true, 403},
        HostOriginCase{"SocketRebinding", "attacker.example:{P}", "http://attacker.example:{P}", true, true, 403},
        HostOriginCase{"SocketWithoutCookie", "127.0.0.1:{P}", "http://127.0.0.1:{P}", true, false, 401}),
    [](const auto& row) { return std::string(row.param.name); });

// ---- the terminal ----------------------------------------------------------------------------

TEST_F(RunningBackend, TerminalRoundTripResizeAndExit) {
  auto terminal = openTerminal();
  ASSERT_TRUE(terminal);
  terminal->send("echo h''i\n");
  EXPECT_TRUE(terminal->waitFor("hi\r\n", 5s));

  terminal->resize(132, 43);
  auto from = terminal->output().size();
  terminal->send("stty size\n");
  EXPECT_TRUE(terminal->waitFor("43 132", 5s, from));

  EXPECT_TRUE(terminal->waitFor("TERM=xterm-256color", 5s,
                                (terminal->send("echo TERM=$TERM\n"), terminal->output().size())));

  const pid_t shell = shellPid(*terminal);
  ASSERT_GT(shell, 1);
  terminal->send("exit\n");
  EXPECT_TRUE(terminal->waitClosed(5s));
  EXPECT_TRUE(pumpUntil([&] { return !processAlive(shell); }, 5s));
}

TEST_F(RunningBackend, LargePasteArrivesWhole) {
  auto terminal = openTerminal();
  ASSERT_TRUE(terminal);
  terminal->send("stty -echo; wc -c; stty echo\n");
  std::string paste;
  while (paste.size() < 300000) paste += std::string(99, 'p') + "\n";
  terminal->send(paste);  // one message, as a page sends a paste
  terminal->send("\x04");
  EXPECT_TRUE(terminal->waitFor(std::to_string(paste.size()), 10s));
  EXPECT_FALSE(terminal->closed());
}

TEST_F(RunningBackend, ClosingThePageHangsUpTheWholeSession) {
  auto terminal = openTerminal();
  ASSERT_TRUE(terminal);
  const pid_t shell = shellPid(*terminal);
  ASSERT_GT(shell, 1);
  // A job that shrugs off the hang-up must still go, and so must a background one.
  terminal->send("sleep 300 & (trap '' HUP; exec sleep 301) & echo started\n");
  ASSERT_TRUE(terminal->waitFor("started\r\n", 5s));
  terminal->close();
  EXPECT_TRUE(pumpUntil([&] { return !processAlive(shell); }, 5s));
  // Everything that was in the shell's session is gone after the grace.
  EXPECT_TRUE(pumpUntil(
      [&] { return system(("pgrep -s " + std::to_string(shell) + " >/dev/null").c_str()) != 0; },
      5s));
}

TEST_F(RunningBackend, FloodStopsWithoutAcknowledgementsAndCtrlCAnswers) {
  {
    // A client that never acknowledges gets a bounded amount, not an endless stream.
    auto silent = openTerminal(false);
    ASSERT_TRUE(silent);
    silent->send("yes\n");
    pumpUntil([&] { return silent->received() > 4 * 1024 * 1024; }, 1500ms);
    EXPECT_LE(silent->received(), 256u * 1024u);
    EXPECT_GT(silent->received(), 16u * 1024u);
  }
  auto terminal = openTerminal();
  ASSERT_TRUE(terminal);
  terminal->send("yes\n");
  ASSERT_TRUE(pumpUntil([&] { return terminal->received() > 1024 * 1024; }, 10s));
  terminal->send("\x03");
  const auto from = terminal->output().size();
  terminal->send("echo done-$((6*7))\n");
  EXPECT_TRUE(terminal->waitFor("done-42", 10s, from));
}

// ---- telemetry -------------------------------------------------------------------------------

TEST_F(RunningBackend, TelemetryArrivesWithSaneValues) {
  SoupWebsocketConnection* socket = client_->openSocket("/telemetry", cookie_);
  ASSERT_NE(socket, nullptr);
  std::vector<nlohmann::json> messages;
  g_signal_connect(socket, "message",
                   G_CALLBACK(+[](SoupWebsocketConnection*, gint, GBytes* bytes, gpointer out) {
                     gsize size = 0;
                     const auto* data = static_cast<const char*>(g_bytes_get_data(bytes, &size));
                     static_cast<std::vector<nlohmann::json>*>(out)->push_back(
                         nlohmann::json::parse(data, data + size, nullptr, false));
                   }),
                   &messages);
  ASSERT_TRUE(pumpUntil([&] { return messages.size() >= 2; }, 5s));
  EXPECT_EQ(messages[0].value("type", ""), "history");
  EXPECT_GE(messages[0]["samples"].size(), 1u);
  const auto& s = messages[1];
  ASSERT_EQ(s.value("type", ""), "sample") << s.dump();
  EXPECT_GE(s["cpu"].get<double>(), 0.0);
  EXPECT_LE(s["cpu"].get<double>(), 1.0);
  EXPECT_GT(s["memTotal"].get<std::uint64_t>(), 64u << 20);
  EXPECT_GT(s["memUsed"].get<std::uint64_t>(), 0u);
  EXPECT_LT(s["memUsed"].get<std::uint64_t>(), s["memTotal"].get<std::uint64_t>());
  ASSERT_EQ(s["load"].size(), 3u);
  for (const auto& load : s["load"]) EXPECT_GE(load.get<double>(), 0.0);
  EXPECT_GT(s["uptime"].get<std::uint64_t>(), 0u);
  EXPECT_GT(s["procs"].get<std::uint64_t>(), 2u);
  EXPECT_GE(s["netIn"].get<double>(), 0.0);
  EXPECT_GE(s["netOut"].get<double>(), 0.0);
  const auto spacing = s["t"].get<std::int64_t>() - messages[0]["samples"].back()["t"].get<std::int64_t>();
  EXPECT_GT(spacing, 500);
  EXPECT_LT(spacing, 2500);
  soup_websocket_connection_close(socket, SOUP_WEBSOCKET_CLOSE_NORMAL, nullptr);
  pumpUntil([&] { return soup_websocket_connection_get_state(socket) == SOUP_WEBSOCKET_STATE_CLOSED; }, 2s);
  g_object_unref(socket);
}

// ---- stopping and load --------------------------------------------------------------------------

TEST_F(RunningBackend, TermLeavesNoShellBehind) {
  auto first = openTerminal();
  auto second = openTerminal();
  ASSERT_TRUE(first && second);
  const pid_t shells[] = {shellPid(*first), shellPid(*second)};
  ASSERT_GT(shells[0], 1);
  ASSERT_GT(shells[1], 1);
  second->send("trap '' HUP TERM; echo armored\n");
  ASSERT_TRUE(second->waitFor("armored\r\n", 5s));

  backend_->signal(SIGTERM);
  auto status = backend_->waitExit(5s);
  ASSERT_TRUE(status);
  EXPECT_TRUE(WIFEXITED(*status));
  EXPECT_EQ(WEXITSTATUS(*status), 0);
  for (pid_t shell : shells) EXPECT_FALSE(processAlive(shell)) << shell;
}

TEST_F(RunningBackend, KeepsAnsweringAfterABurstOfConnections) {
  // 200 connections at once: most ask for the page without a cookie, every fourth sends
  // half a request and stalls, and all hang up without waiting for anything more.
  const std::string request = "GET / HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port()) +
                              "\r\nConnection: close\r\n\r\n";
  std::vector<int> sockets;
  for (int i = 0; i < 200; ++i) {
    const int fd = connectLoopback(port());
    ASSERT_GE(fd, 0);
    sockets.push_back(fd);
    const std::string bytes = i % 4 == 3 ? request.substr(0, 20) : request;
    ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  int unauthorized = 0;
  for (std::size_t i = 0; i < sockets.size(); ++i) {
    if (i % 4 != 3 && readStatus(sockets[i], 5s) == 401) ++unauthorized;
  }
  for (int fd : sockets) close(fd);
  EXPECT_EQ(unauthorized, 150);

  EXPECT_EQ(client_->get(client_->announcement().base + "/", {{"Cookie", cookie_}}).status, 200u);
  auto terminal = openTerminal();
  ASSERT_TRUE(terminal);
  terminal->send("echo still-here\n");
  EXPECT_TRUE(terminal->waitFor("still-here\r\n", 5s));
}

}  // namespace
}  // namespace tamrik::test
