// A stand-in console backend: serves a page over HTTP on 127.0.0.1 and announces its address
// as a real backend does. The environment, which the app hands on, picks the rest:
//   ZVUI_TEST_SERVE = page (default) | refuse (nothing listens) | stall (never answers) | blocked
//     (a port the web view will not load) | trickle (the page over about two seconds) | silent
//     (says something, never its address)
//   ZVUI_TEST_ANNOUNCE = stdout (default) | stderr;  ZVUI_TEST_PIDFILE: our pid is added to it
//   ZVUI_TEST_LAUNCH = handoff: a launcher that starts the server and exits at once
#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <thread>

#include "support/HelperIo.h"

static std::string env(const char* name) { return ::getenv(name) != nullptr ? ::getenv(name) : ""; }

static std::string response(const std::string& headers, const std::string& body) {
  return "HTTP/1.1 200 OK\r\n" + headers + "Content-Length: " + std::to_string(body.size()) +
         "\r\nConnection: close\r\n\r\n" + body;
}

// The page served: a text area that has the page's focus and puts what is typed
// into the title; one row each of 60 pixels from y = 100, the links and buttons by which a page
// may try to leave or to write a file; and script-driven versions of those, started by a
// change of the address's fragment. "localhost" is another origin than "127.0.0.1". A trickled
// page is padded to take a while.
static std::string consolePage(const std::string& path, int port, bool trickle) {
  const std::string elsewhere = "http://localhost:" + std::to_string(port) + "/elsewhere";
  if (path == "/file")
    return response(
        "Content-Type: text/plain\r\nContent-Disposition: attachment; filename=\".report.txt\"\r\n",
        "the report\n");
  if (path == "/cut")  // promises more than it sends
    return "HTTP/1.1 200 OK\r\nContent-Length: 1000000\r\nContent-Disposition: attachment; "
           "filename=\"cut.bin\"\r\nConnection: close\r\n\r\nonly the start";
  if (path == "/elsewhere")
    return response("Content-Type: text/html\r\n", "<!doctype html><title>elsewhere</title>");
  std::string page = R"page(<!doctype html><title>console</title>
<style>body{margin:0;background:#0b3d2e} .row{position:fixed;left:0;width:400px;height:50px;display:block;background:#333;color:#fff}</style>
<textarea id="typed" style="position:fixed;left:500px;top:0"></textarea>
<a class="row" style="top:100px" href="ELSEWHERE">other origin</a>
<a class="row" style="top:160px" href="/elsewhere" target="_blank">new window</a>
<button class="row" style="top:220px" onclick="window.open('ELSEWHERE')">open</button>
<a class="row" style="top:280px" href="mailto:someone@example.org">mail</a>
<a class="row" style="top:340px" href="/file">file</a>
<a class="row" style="top:400px" href="/cut">cut short</a>
<button class="row" style="top:460px" id="lock">lock the pointer</button>
<a class="row" style="top:520px" href="/again">same origin</a>
<script>
const typed = document.getElementById('typed'), lock = document.getElementById('lock');
typed.focus();
typed.addEventListener('input', () => document.title = 'typed:' + typed.value);
let pointer = 'asked', notify = 'asked';
const show = () => document.title = 'pointer:' + pointer + ' notify:' + notify;
document.onpointerlockchange = () => { pointer = document.pointerLockElement ? 'locked' : 'off'; show(); };
document.onpointerlockerror = () => { pointer = 'refused'; show(); };
lock.onclick = async () => { lock.requestPointerLock(); notify = await Notification.requestPermission(); show(); };
addEventListener('hashchange', () => {
  if (location.hash === '#leave') location.href = 'ELSEWHERE';
  if (location.hash === '#download') location.href = '/file';
  if (location.hash === '#open') window.open('ELSEWHERE');
});
</script>)page";
  for (std::size_t at; (at = page.find("ELSEWHERE")) != std::string::npos;)
    page.replace(at, 9, elsewhere);
  if (trickle) page += "<!--" + std::string(256 * 1024, '.') + "-->";
  return response("Content-Type: text/html\r\n", page);
}

int main() {
  if (env("ZVUI_TEST_LAUNCH") == "handoff") {
    const pid_t launcher = ::getpid();
    if (::fork() != 0) return 0;
    // The server, still on the launcher's output: wait until the launcher is gone and reaped.
    while (::kill(launcher, 0) == 0 || errno != ESRCH)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  helper::appendLine("ZVUI_TEST_PIDFILE", std::to_string(::getpid()));
  const helper::Listener listener = helper::listenOnLoopback();
  if (listener.socket < 0) return 2;
  const std::string mode = env("ZVUI_TEST_SERVE");
  if (mode == "refuse") ::close(listener.socket);  // the port is free again: connecting is refused
  FILE* stream = env("ZVUI_TEST_ANNOUNCE") == "stderr" ? stderr : stdout;
  std::fprintf(stream, "test backend starting\n");
  if (mode != "silent")
    std::fprintf(stream, "TAMRIK_URL=http://127.0.0.1:%d/\n",
                 mode == "blocked" ? 9 : listener.port);
  std::fflush(stream);
  // A stalled server leaves connections in the listen queue, never read or answered.
  if (mode == "refuse" || mode == "stall" || mode == "blocked" || mode == "silent")
    for (;;) ::pause();

  // Each connection on a thread of its own: a connection the web view opens ahead of need and
  // leaves idle must not hold up the next request.
  const auto serve = [&](int client) {
    std::string request;
    char buffer[4096];
    for (ssize_t n;
         !request.ends_with("\r\n\r\n") && (n = ::read(client, buffer, sizeof buffer)) > 0;)
      request.append(buffer, static_cast<std::size_t>(n));
    if (request.ends_with("\r\n\r\n")) {  // a trickle: in pieces, for about two seconds
      const std::string whole = consolePage(request.substr(4, request.find(' ', 4) - 4),
                                            listener.port, mode == "trickle");
      const std::size_t piece = mode == "trickle" ? whole.size() / 16 + 1 : whole.size();
      for (std::size_t at = 0; at < whole.size(); at += piece) {
        if (at > 0) std::this_thread::sleep_for(std::chrono::milliseconds(125));
        helper::writeAll(client, std::string_view(whole).substr(at, piece));
      }
    }
    ::close(client);
  };
  for (;;) {
    const int client = ::accept4(listener.socket, nullptr, nullptr, SOCK_CLOEXEC);
    if (client >= 0) std::thread(serve, client).detach();
  }
}
