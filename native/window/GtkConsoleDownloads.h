#pragma once

#include <webkit/webkit.h>

#include <functional>
#include <memory>
#include <vector>

#include "support/GlibHandles.h"

namespace zvui {

struct DesktopHandoff;

// The console's downloads. Nothing is written without the user's choice: a download that no
// user gesture started is refused before it has a destination; one that the user started
// asks where to save it (the server's suggested name made safe, the download folder to start
// in), and cancelling that writes nothing. The transfer goes into a hidden file beside the
// chosen one and takes the chosen name only once complete, so a failed or abandoned transfer
// leaves nothing behind and never clobbers a file the user already had.
class ConsoleDownloads {
 public:
  // `byUser` tells whether the navigation behind a new download was the user's doing.
  ConsoleDownloads(WebKitNetworkSession* session, WebKitWebView* view,
                   const DesktopHandoff& handoff, std::function<bool()> byUser);
  ConsoleDownloads(const ConsoleDownloads&) = delete;
  ConsoleDownloads& operator=(const ConsoleDownloads&) = delete;
  ~ConsoleDownloads();  // cancels what is still under way, and removes its partial file

 private:
  struct Transfer;
  static void onStarted(WebKitNetworkSession* session, WebKitDownload* download, gpointer self);
  void end(Transfer* transfer);

  WebKitWebView* view_;
  const DesktopHandoff& handoff_;
  std::function<bool()> byUser_;
  std::vector<std::shared_ptr<Transfer>> transfers_;
  SignalConnection started_;
};

}  // namespace zvui
