#pragma once

#include <libsoup/soup.h>
#include <sys/resource.h>
#include <sys/types.h>

#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "support/GlibHandles.h"
#include "support/Result.h"

namespace tamrik {

// One shell on its own pseudo-terminal, bridged to one WebSocket.
//
// Wire format: binary frames carry terminal bytes both ways. Text frames from the page are
// small JSON control messages: {"type":"resize","cols":C,"rows":R} and
// {"type":"ack","bytes":N}, the latter once the page has drawn N bytes. Reading from the
// terminal pauses while a window's worth of bytes is unacknowledged, so a flood (`yes`) can
// never bury the page and Ctrl-C is answered at once. The other way round, the session sends
// {"type":"ack","bytes":N} once N bytes of input have gone into the terminal, so the page can
// feed a paste of any size at the pace the shell reads it. A peer that does not wait for
// those acknowledgements and queues more than kInputQueueLimit is cut off (1008) rather
// than have part of its input dropped.
//
// The session ends when both the shell has been reaped and the socket has closed. When the
// socket closes first, the shell's whole session is hung up and then killed after a grace;
// when the shell exits first, its last output is sent and the socket is closed.
class TerminalSession {
 public:
  // Output goes out in frames of what the terminal has ready, up to kFrameLimit, and never
  // more than kOutputWindow unacknowledged. Reading resumes once a whole frame fits again,
  // so the page always has the next frame on its way while it parses the last one.
  static constexpr std::size_t kFrameLimit = 64 * 1024;
  static constexpr std::size_t kOutputWindow = 512 * 1024;
  // Input written to the terminal is acknowledged in steps of this much, and whenever
  // nothing is left waiting.
  static constexpr std::size_t kInputAckStep = 16 * 1024;
  static constexpr std::size_t kInputQueueLimit = 8 * 1024 * 1024;

  using FinishedFn = std::function<void(TerminalSession&)>;

  // Forks the user's shell; says why when it cannot.
  static zvui::Result<std::unique_ptr<TerminalSession>, std::string> start(
      SoupWebsocketConnection* socket, FinishedFn onFinished);
  ~TerminalSession();
  TerminalSession(const TerminalSession&) = delete;
  TerminalSession& operator=(const TerminalSession&) = delete;

  [[nodiscard]] pid_t pid() const { return pid_; }
  [[nodiscard]] bool reaped() const { return reaped_; }

  // SIGHUP to everything in the shell's session, then SIGKILL after a short grace.
  void hangUp();
  // The backend is stopping: the page hears "going away" (1001), then the shell is hung up.
  void goingAway();
  // Kills what is left at once and reaps the shell before returning (used on exit).
  void killAndReap();

 private:
  TerminalSession(SoupWebsocketConnection* socket, zvui::UniqueFd master, pid_t pid,
                  FinishedFn onFinished);

  static gboolean onMasterReady(gint fd, GIOCondition condition, gpointer self);
  static gboolean onMasterWritable(gint fd, GIOCondition condition, gpointer self);
  static void onChildExited(GPid pid, gint status, gpointer self);
  static void onMessage(SoupWebsocketConnection*, gint type, GBytes* message, gpointer self);
  static void onClosed(SoupWebsocketConnection*, gpointer self);

  void watchMaster();
  bool pumpOutput();
  void writeInput(const char* data, std::size_t size);
  std::size_t writeSome(const char* data, std::size_t size);
  void flushInput();
  void acknowledgeInput();
  void dropInput();
  void handleControl(std::string_view text);
  [[nodiscard]] bool socketOpen() const;
  void closeSocket(SoupWebsocketCloseCode code, const char* reason);
  void closeMaster();
  void maybeFinish();

  zvui::GObjectPtr<SoupWebsocketConnection> socket_;
  zvui::UniqueFd master_;
  pid_t pid_;
  FinishedFn onFinished_;
  zvui::GlibSourceId readWatch_;
  zvui::GlibSourceId writeWatch_;
  zvui::GlibSourceId childWatch_;
  zvui::GlibSourceId killTimer_;
  zvui::SignalConnection messageSignal_;
  zvui::SignalConnection closedSignal_;
  // Input not yet taken by the terminal, in arrival order; the first `inputOffset_` bytes of
  // the front chunk are written already. Each byte is copied once and written once.
  std::deque<std::string> pendingInput_;
  std::size_t inputOffset_ = 0;
  std::size_t queuedInput_ = 0;
  std::size_t unackedInput_ = 0;  // written to the terminal, not yet acknowledged
  std::size_t unacked_ = 0;
  std::vector<char> frame_ = std::vector<char>(kFrameLimit);  // output being gathered
  bool paused_ = false;
  bool inputBroken_ = false;
  bool reaped_ = false;
  bool hungUp_ = false;
  bool socketClosed_ = false;
  bool finished_ = false;
};

// Sends `signal` to every process whose session is `sid` (the shell and all its jobs).
void signalSession(pid_t sid, int signal);

// The descriptor limit shells start with: the one this program was started with, before it
// raised its own soft limit for the sake of many connections.
void setShellDescriptorLimit(const rlimit& limit);

}  // namespace tamrik
