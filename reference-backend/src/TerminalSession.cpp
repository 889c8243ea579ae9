#include "TerminalSession.h"

#include <dirent.h>
#include <fcntl.h>
#include <pty.h>
#include <pwd.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <glib-unix.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string_view>
#include <variant>
#include <vector>

#include "ControlMessage.h"
#include "Guarded.h"

extern char** environ;

namespace tamrik {
namespace {

constexpr guint kHangUpGraceMs = 500;

std::optional<rlimit> shellDescriptorLimit;

std::string shellPath() {
  const char* shell = std::getenv("SHELL");
  if (shell != nullptr && shell[0] == '/' && access(shell, X_OK) == 0) return shell;
  return "/bin/sh";
}

std::string homeDirectory() {
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] == '/') return home;
  if (const passwd* entry = getpwuid(getuid()); entry != nullptr && entry->pw_dir != nullptr) {
    return entry->pw_dir;
  }
  return "/";
}

// The shell gets our environment without our own launch settings and with the terminal
// type the page emulates.
std::vector<std::string> shellEnvironment() {
  std::vector<std::string> env;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    std::string_view item(*entry);
    std::string_view name = item.substr(0, item.find('='));
    if (name == "TAMRIK_PORT" || name == "TAMRIK_APP_MODE" || name == "TERM" ||
        name == "COLORTERM" || name == "COLUMNS" || name == "LINES") {
      continue;
    }
    env.emplace_back(item);
  }
  env.emplace_back("TERM=xterm-256color");
  env.emplace_back("COLORTERM=truecolor");
  return env;
}

void setNonBlockingCloexec(int fd) {
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  fcntl(fd, F_SETFD, fcntl(fd, F_GETFD) | FD_CLOEXEC);
}

// Only async-signal-safe calls between fork and exec: everything is prepared beforehand.
[[noreturn]] void execShell(const char* shell, char* const argv[], char* const envp[],
                            const char* home, const rlimit* descriptors) {
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  for (int sig : {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGPIPE, SIGCHLD}) signal(sig, SIG_DFL);
  // Should this server die without cleaning up, the shell hears it as a hang-up.
  prctl(PR_SET_PDEATHSIG, SIGHUP);
  // Programs that select() or close every possible fd expect the usual limit, not ours.
  if (descriptors != nullptr) setrlimit(RLIMIT_NOFILE, descriptors);
  syscall(SYS_close_range, 3U, ~0U, 0U);
  if (chdir(home) != 0 && chdir("/") != 0) _exit(126);
  execve(shell, argv, envp);
  static constexpr char kMessage[] = "\r\nThe shell could not be started.\r\n";
  ssize_t ignored = write(STDOUT_FILENO, kMessage, sizeof kMessage - 1);
  (void)ignored;
  _exit(127);
}

}  // namespace

void setShellDescriptorLimit(const rlimit& limit) { shellDescriptorLimit = limit; }

void signalSession(pid_t sid, int signal) {
  if (sid <= 1) return;
  kill(-sid, signal);
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return;
  while (dirent* entry = readdir(proc)) {
    char* end = nullptr;
    long pid = std::strtol(entry->d_name, &end, 10);
    if (end == entry->d_name || *end != '\0' || pid <= 1) continue;
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%ld/stat", pid);
    const zvui::UniqueFd fd(open(path, O_RDONLY | O_CLOEXEC));
    if (!fd) continue;
    std::array<char, 512> buffer{};
    ssize_t got = read(fd.get(), buffer.data(), buffer.size() - 1);
    if (got <= 0) continue;
    // After the command name in parentheses: state, ppid, pgrp, session.
    const char* close = std::strrchr(buffer.data(), ')');
    char state = 0;
    long ppid = 0, pgrp = 0, session = 0;
    if (close == nullptr ||
        std::sscanf(close + 1, " %c %ld %ld %ld", &state, &ppid, &pgrp, &session) != 4) {
      continue;
    }
    if (session == sid) kill(static_cast<pid_t>(pid), signal);
  }
  closedir(proc);
}

zvui::Result<std::unique_ptr<TerminalSession>, std::string> TerminalSession::start(
    SoupWebsocketConnection* socket, FinishedFn onFinished) {
  const std::string shell = shellPath();
  const std::string home = homeDirectory();
  std::vector<std::string> env = shellEnvironment();
  std::vector<char*> envp;
  for (auto& item : env) envp.push_back(item.data());
  envp.push_back(nullptr);
  std::string argv0 = shell;
  std::array<char*, 2> argv{argv0.data(), nullptr};
  const std::optional<rlimit> descriptors = shellDescriptorLimit;

  winsize size{};
  size.ws_col = 80;
  size.ws_row = 24;
  int master = -1;
  pid_t pid = forkpty(&master, nullptr, nullptr, &size);
  if (pid < 0) return zvui::Failure{std::string("cannot open a terminal: ") + std::strerror(errno)};
  if (pid == 0) {
    execShell(shell.c_str(), argv.data(), envp.data(), home.c_str(),
              descriptors ? &*descriptors : nullptr);
  }

  setNonBlockingCloexec(master);
  return std::unique_ptr<TerminalSession>(
      new TerminalSession(socket, zvui::UniqueFd(master), pid, std::move(onFinished)));
}

TerminalSession::TerminalSession(SoupWebsocketConnection* socket, zvui::UniqueFd master,
                                 pid_t pid, FinishedFn onFinished)
    : socket_(zvui::GObjectPtr<SoupWebsocketConnection>::ref(socket)),
      master_(std::move(master)),
      pid_(pid),
      onFinished_(std::move(onFinished)),
      childWatch_(g_child_watch_add(pid, &TerminalSession::onChildExited, this)),
      messageSignal_(socket, g_signal_connect(socket, "message",
                                              G_CALLBACK(&TerminalSession::onMessage), this)),
      closedSignal_(socket, g_signal_connect(socket, "closed",
                                             G_CALLBACK(&TerminalSession::onClosed), this)) {
  watchMaster();
}

TerminalSession::~TerminalSession() { killAndReap(); }

void TerminalSession::watchMaster() {
  if (!master_ || readWatch_) return;
  paused_ = false;
  readWatch_.reset(g_unix_fd_add(master_.get(),
                                 static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR),
                                 &TerminalSession::onMasterReady, this));
}

gboolean TerminalSession::onMasterReady(gint, GIOCondition, gpointer self) {
  auto* session = static_cast<TerminalSession*>(self);
  bool keep = true;
  guarded("terminal output", [&] { keep = session->pumpOutput(); });
  if (keep && session->master_) return G_SOURCE_CONTINUE;
  (void)session->readWatch_.release();
  return G_SOURCE_REMOVE;
}

bool TerminalSession::socketOpen() const {
  return !socketClosed_ &&
         soup_websocket_connection_get_state(socket_.get()) == SOUP_WEBSOCKET_STATE_OPEN;
}

void TerminalSession::closeSocket(SoupWebsocketCloseCode code, const char* reason) {
  if (socketOpen()) soup_websocket_connection_close(socket_.get(), code, reason);
}

// Reads what the terminal has, within the flow-control window, and sends it in frames of
// what was ready together: a flood goes out in few large frames (each costs the page a
// message, a write and an acknowledgement), an echo alone and at once. False when the watch
// should stop: the window is full (paused) or the terminal is gone.
bool TerminalSession::pumpOutput() {
  const bool open = socketOpen();
  while (master_) {
    if (open && unacked_ >= kOutputWindow) {
      paused_ = true;
      return false;
    }
    const std::size_t room = open ? std::min(kFrameLimit, kOutputWindow - unacked_) : kFrameLimit;
    std::size_t filled = 0;
    bool drained = false;
    bool ended = false;
    while (filled < room) {
      const ssize_t got = read(master_.get(), frame_.data() + filled, room - filled);
      if (got > 0) {
        filled += static_cast<std::size_t>(got);
      } else if (got < 0 && errno == EINTR) {
        continue;
      } else {
        drained = got < 0 && errno == EAGAIN;
        // Otherwise EOF or EIO: every holder of the terminal's other end has gone.
        ended = !drained;
        break;
      }
    }
    if (filled > 0 && open) {
      soup_websocket_connection_send_binary(socket_.get(), frame_.data(), filled);
      unacked_ += filled;
    }
    if (ended) {
      closeMaster();
      return false;
    }
    if (drained) return true;
  }
  return false;
}

void TerminalSession::closeMaster() {
  // The watch ids must go before the fd they watch.
  if (readWatch_) readWatch_.reset();
  writeWatch_.reset();
  master_.reset();
  dropInput();
}

void TerminalSession::dropInput() {
  pendingInput_.clear();
  inputOffset_ = 0;
  queuedInput_ = 0;
}

void TerminalSession::writeInput(const char* data, std::size_t size) {
  if (!master_ || inputBroken_ || size == 0) return;
  // With nothing waiting, the terminal usually takes a keystroke or a slice whole, uncopied.
  const std::size_t written = pendingInput_.empty() ? writeSome(data, size) : 0;
  if (master_ && !inputBroken_ && written < size) {
    if (queuedInput_ + (size - written) > kInputQueueLimit) {
      dropInput();
      closeSocket(SOUP_WEBSOCKET_CLOSE_POLICY_VIOLATION, "input not acknowledged");
      return;
    }
    pendingInput_.emplace_back(data + written, size - written);
    queuedInput_ += size - written;
  }
  acknowledgeInput();
}

// Writes what the terminal takes now and counts it for acknowledgement. Arms the write
// watch when the terminal is full; drops all input once the terminal is gone.
std::size_t TerminalSession::writeSome(const char* data, std::size_t size) {
  std::size_t done = 0;
  while (master_ && done < size) {
    const ssize_t put = write(master_.get(), data + done, size - done);
    if (put > 0) {
      done += static_cast<std::size_t>(put);
      continue;
    }
    if (put < 0 && errno == EINTR) continue;
    if (put == 0 || errno == EAGAIN) {
      if (!writeWatch_) {
        writeWatch_.reset(g_unix_fd_add(master_.get(), G_IO_OUT,
                                        &TerminalSession::onMasterWritable, this));
      }
      break;
    }
    // EIO: nothing holds the terminal's other side any more; what it still has to say
    // is read as usual.
    inputBroken_ = true;
    dropInput();
    break;
  }
  unackedInput_ += done;
  return done;
}

void TerminalSession::flushInput() {
  while (master_ && !pendingInput_.empty()) {
    const std::string& front = pendingInput_.front();
    const std::size_t wanted = front.size() - inputOffset_;
    const std::size_t written = writeSome(front.data() + inputOffset_, wanted);
    if (pendingInput_.empty()) break;  // the terminal went away
    inputOffset_ += written;
    queuedInput_ -= written;
    if (written < wanted) break;  // full: the write watch is armed
    pendingInput_.pop_front();
    inputOffset_ = 0;
  }
  if (pendingInput_.empty()) writeWatch_.reset();
  acknowledgeInput();
}

void TerminalSession::acknowledgeInput() {
  if (unackedInput_ == 0 || (unackedInput_ < kInputAckStep && !pendingInput_.empty())) return;
  if (socketOpen()) {
    soup_websocket_connection_send_text(socket_.get(), inputAckMessage(unackedInput_).c_str());
  }
  unackedInput_ = 0;
}

gboolean TerminalSession::onMasterWritable(gint, GIOCondition, gpointer self) {
  auto* session = static_cast<TerminalSession*>(self);
  (void)session->writeWatch_.release();
  // flushInput installs a fresh watch if the terminal is still full.
  guarded("terminal input", [&] { session->flushInput(); });
  return G_SOURCE_REMOVE;
}

void TerminalSession::handleControl(std::string_view text) {
  const ControlMessage message = parseControlMessage(text);
  if (const auto* ack = std::get_if<OutputAck>(&message)) {
    unacked_ -= static_cast<std::size_t>(std::min<std::uint64_t>(unacked_, ack->bytes));
    if (paused_ && unacked_ + kFrameLimit <= kOutputWindow) watchMaster();
  } else if (const auto* resize = std::get_if<ResizeRequest>(&message); resize && master_) {
    winsize window{};
    window.ws_col = resize->cols;
    window.ws_row = resize->rows;
    ioctl(master_.get(), TIOCSWINSZ, &window);
  }
}

void TerminalSession::onMessage(SoupWebsocketConnection*, gint type, GBytes* message,
                                gpointer self) {
  auto* session = static_cast<TerminalSession*>(self);
  gsize size = 0;
  const auto* data = static_cast<const char*>(g_bytes_get_data(message, &size));
  if (type == SOUP_WEBSOCKET_DATA_BINARY) {
    // Input that cannot be queued must not vanish from the middle of a paste unnoticed.
    if (!guarded("terminal input", [&] { session->writeInput(data, size); })) {
      session->dropInput();
      session->closeSocket(SOUP_WEBSOCKET_CLOSE_SERVER_ERROR, "input lost");
    }
  } else {
    guarded("control message", [&] { session->handleControl(std::string_view(data, size)); });
  }
}

void TerminalSession::onClosed(SoupWebsocketConnection*, gpointer self) {
  auto* session = static_cast<TerminalSession*>(self);
  session->socketClosed_ = true;
  guarded("terminal closed", [&] {
    if (!session->reaped_) session->hangUp();
    session->maybeFinish();
  });
}

void TerminalSession::onChildExited(GPid, gint, gpointer self) {
  auto* session = static_cast<TerminalSession*>(self);
  (void)session->childWatch_.release();
  session->reaped_ = true;
  guarded("shell exited", [&] {
    // Deliver the shell's last words, however much the page still has to acknowledge.
    session->unacked_ = 0;
    if (session->master_) session->pumpOutput();
    session->closeMaster();
    // Jobs the shell left behind lose their terminal, as on any hang-up.
    signalSession(session->pid_, SIGHUP);
    session->closeSocket(SOUP_WEBSOCKET_CLOSE_NORMAL, "shell exited");
    session->maybeFinish();
  });
}

void TerminalSession::goingAway() {
  closeSocket(SOUP_WEBSOCKET_CLOSE_GOING_AWAY, "backend stopping");
  hangUp();
}

void TerminalSession::hangUp() {
  if (reaped_ || killTimer_ || hungUp_) return;
  hungUp_ = true;
  closeMaster();
  signalSession(pid_, SIGHUP);
  signalSession(pid_, SIGCONT);  // stopped jobs must wake to hear the hang-up
  killTimer_.reset(g_timeout_add(kHangUpGraceMs, [](gpointer self) -> gboolean {
    auto* session = static_cast<TerminalSession*>(self);
    (void)session->killTimer_.release();
    signalSession(session->pid_, SIGKILL);
    guarded("hang-up", [&] { session->maybeFinish(); });
    return G_SOURCE_REMOVE;
  }, this));
}

void TerminalSession::killAndReap() {
  closeMaster();
  const bool hangUpPending = static_cast<bool>(killTimer_);
  killTimer_.reset();
  // Once the shell is reaped and its hang-up is over, its ids may belong to strangers.
  if (reaped_ && !hangUpPending) return;
  signalSession(pid_, SIGKILL);
  if (reaped_) return;
  // The watch must not race us for the exit status.
  childWatch_.reset();
  while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
  }
  reaped_ = true;
}

void TerminalSession::maybeFinish() {
  // A hang-up is over only once the rest of the session has had its KILL.
  if (finished_ || !reaped_ || !socketClosed_ || killTimer_) return;
  finished_ = true;
  if (onFinished_) onFinished_(*this);
}

}  // namespace tamrik
