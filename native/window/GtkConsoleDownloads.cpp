#include "window/GtkConsoleDownloads.h"

#include <fcntl.h>
#include <gtkmm.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>

#include "support/GlibHandles.h"
#include "window/GtkDesktopHandoff.h"
#include "window/DownloadName.h"

namespace zvui {

struct ConsoleDownloads::Transfer : std::enable_shared_from_this<Transfer> {
  Transfer(ConsoleDownloads& downloads, WebKitDownload* started, bool refuse)
      : owner(downloads), download(GObjectPtr<WebKitDownload>::ref(started)), refused(refuse) {}
  Transfer(const Transfer&) = delete;
  Transfer& operator=(const Transfer&) = delete;
  ~Transfer() {
    decide.disconnect();
    failedSignal.disconnect();
    finishedSignal.disconnect();
    if (!ended) webkit_download_cancel(download.get());
    removePartial();
  }

  void removePartial() {
    if (partial.empty()) return;
    std::error_code ignored;
    std::filesystem::remove(partial, ignored);
    partial.clear();
  }

  // WebKit reports a transfer that the server ended early as finished, not failed; one that
  // brought less than the server announced is not the file.
  [[nodiscard]] bool complete() const {
    WebKitURIResponse* response = webkit_download_get_response(download.get());
    if (response == nullptr) return false;
    const guint64 announced = webkit_uri_response_get_content_length(response);
    SoupMessageHeaders* headers = webkit_uri_response_get_http_headers(response);
    // The announced length of an encoded body is not the length of what it decodes to.
    const bool encoded =
        headers != nullptr && soup_message_headers_get_one(headers, "Content-Encoding") != nullptr;
    return encoded || webkit_download_get_received_data_length(download.get()) >= announced;
  }

  static gboolean onDecideDestination(WebKitDownload*, gchar* suggested, gpointer self);
  static void onFailed(WebKitDownload*, GError*, gpointer self) {
    static_cast<Transfer*>(self)->failed = true;
  }
  static void onFinished(WebKitDownload*, gpointer self);
  void answered(const std::optional<std::filesystem::path>& chosen);

  ConsoleDownloads& owner;
  GObjectPtr<WebKitDownload> download;
  SignalConnection decide;
  SignalConnection failedSignal;
  SignalConnection finishedSignal;
  std::filesystem::path chosen;   // where the user wants it
  std::filesystem::path partial;  // where it is written until complete
  bool refused;
  bool failed = false;
  bool ended = false;
};

ConsoleDownloads::ConsoleDownloads(WebKitNetworkSession* session, WebKitWebView* view,
                                   const DesktopHandoff& handoff, std::function<bool()> byUser)
    : view_(view), handoff_(handoff), byUser_(std::move(byUser)) {
  started_ = SignalConnection(
      session, g_signal_connect(session, "download-started", G_CALLBACK(&onStarted), this));
}

ConsoleDownloads::~ConsoleDownloads() = default;

void ConsoleDownloads::onStarted(WebKitNetworkSession*, WebKitDownload* download, gpointer self) {
  auto* downloads = static_cast<ConsoleDownloads*>(self);
  if (webkit_download_get_web_view(download) != downloads->view_) return;
  const bool refused = !downloads->byUser_();
  auto transfer = std::make_shared<Transfer>(*downloads, download, refused);
  // Connected even when refused, so WebKit never picks a destination of its own meanwhile.
  transfer->decide = SignalConnection(
      download, g_signal_connect(download, "decide-destination",
                                 G_CALLBACK(&Transfer::onDecideDestination), transfer.get()));
  transfer->failedSignal = SignalConnection(
      download,
      g_signal_connect(download, "failed", G_CALLBACK(&Transfer::onFailed), transfer.get()));
  transfer->finishedSignal = SignalConnection(
      download,
      g_signal_connect(download, "finished", G_CALLBACK(&Transfer::onFinished), transfer.get()));
  downloads->transfers_.push_back(transfer);
  if (refused) webkit_download_cancel(download);
}

gboolean ConsoleDownloads::Transfer::onDecideDestination(WebKitDownload* download, gchar* suggested,
                                                         gpointer self) {
  auto* transfer = static_cast<Transfer*>(self);
  if (transfer->refused) {
    webkit_download_cancel(download);
    return TRUE;
  }
  // The answer may come after the download is gone (it failed, or the window closed).
  std::weak_ptr<Transfer> weak = transfer->weak_from_this();
  transfer->owner.handoff_.chooseSavePath(
      windowOf(transfer->owner.view_), safeDownloadName(suggested != nullptr ? suggested : ""), downloadFolder(),
      [weak](std::optional<std::filesystem::path> chosen) {
        if (const auto held = weak.lock()) held->answered(chosen);
      });
  return TRUE;  // the destination is set, or the download cancelled, once the user answers
}

void ConsoleDownloads::Transfer::answered(const std::optional<std::filesystem::path>& path) {
  if (ended) return;
  if (!path || path->filename().empty()) {
    webkit_download_cancel(download.get());
    return;
  }
  // Hidden, beside the chosen file, so that taking its name at the end is one rename.
  std::string name = (path->parent_path() / ".download-XXXXXX.part").string();
  if (!UniqueFd(g_mkstemp_full(name.data(), O_RDWR | O_CLOEXEC, 0666))) {
    webkit_download_cancel(download.get());
    return;
  }
  chosen = *path;
  partial = name;
  webkit_download_set_allow_overwrite(download.get(), TRUE);  // the file made just now
  webkit_download_set_destination(download.get(), partial.c_str());
}

void ConsoleDownloads::Transfer::onFinished(WebKitDownload*, gpointer self) {
  auto* transfer = static_cast<Transfer*>(self);
  transfer->ended = true;
  if (!transfer->failed && !transfer->partial.empty() && transfer->complete()) {
    std::error_code error;
    std::filesystem::rename(transfer->partial, transfer->chosen, error);
    if (!error) transfer->partial.clear();
  }
  transfer->removePartial();
  transfer->owner.end(transfer);
}

void ConsoleDownloads::end(Transfer* transfer) {
  // Last: this destroys the transfer, whose signal is being emitted (WebKit holds the
  // download until the emission ends).
  std::erase_if(transfers_, [transfer](const auto& held) { return held.get() == transfer; });
}

}  // namespace zvui
