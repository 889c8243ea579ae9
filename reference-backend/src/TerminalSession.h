#pragma once

#include <libsoup/soup.h>
#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "Handles.h"

namespace tamrik {

// One shell on its own pseudo-terminal, bridged to one WebSocket.
//
// Wire format: binary frames carry terminal bytes both ways. Text frames from the page are
// small JSON control messages: {"type":"resize","cols":C,"rows":R} and
// {"type":"ack","bytes":N}, the latter once the page has drawn N bytes. Reading from the
// terminal pauses while too many bytes are unacknowledged, so a flood (`yes`) can never
// bury the page and Ctrl-C is answered at once.
//
// The session ends when both the shell has been reaped and the socket has closed. When the
// socket closes first, the shell's whole session is hung up and then killed after a grace;
// when the shell exits first, its last output is sent and the socket is closed.
class TerminalSession {
 public:
  static constexpr std::size_t kHighWatermark = 128 * 1024;
  static constexpr std::size_t kLowWatermark = 32 * 1024;

  using FinishedFn = std::function<void(TerminalSession&)>;

  // Forks the user's shell; on failure returns nullptr and fills `error`.
  static std::unique_ptr<TerminalSession> start(SoupWebsocketConnection* socket,
                                                FinishedFn onFinished, std::string& error);
  ~TerminalSession();
  TerminalSession(const TerminalSession&) = delete;
  TerminalSession& operator=(const TerminalSession&) = delete;

  [[nodiscard]] pid_t pid() const { return pid_; }
  [[nodiscard]] bool reaped() const { return reaped_; }

  // SIGHUP to everything in the shell's session, then SIGKILL after a short grace.
  void hangUp();
  // Kills what is left at once and reaps the shell before returning (used on exit).
  void killAndReap();

 private:
  TerminalSession(SoupWebsocketConnection* socket, Fd master, pid_t pid, FinishedFn onFinished);

  static gboolean onMasterReady(gint fd, GIOCondition condition, gpointer self);
  static gboolean onMasterWritable(gint fd, GIOCondition condition, gpointer self);
  static void onChildExited(GPid pid, gint status, gpointer self);
  static void onMessage(SoupWebsocketConnection*, gint type, GBytes* message, gpointer self);
  static void onClosed(SoupWebsocketConnection*, gpointer self);

  void watchMaster();
  bool pumpOutput();
  void writeInput(const char* data, std::size_t size);
  void flushInput();
  void handleControl(const char* data, std::size_t size);
  void closeMaster();
  void maybeFinish();

  ObjectRef<SoupWebsocketConnection> socket_;
  Fd master_;
  pid_t pid_;
  FinishedFn onFinished_;
  SourceId readWatch_;
  SourceId writeWatch_;
  SourceId childWatch_;
  SourceId killTimer_;
  SignalConnection messageSignal_;
  SignalConnection closedSignal_;
  std::string pendingInput_;
  std::size_t unacked_ = 0;
  bool paused_ = false;
  bool reaped_ = false;
  bool hungUp_ = false;
  bool socketClosed_ = false;
  bool finished_ = false;
};

// Sends `signal` to every process whose session is `sid` (the shell and all its jobs).
void signalSession(pid_t sid, int signal);

}  // namespace tamrik
