#pragma once

#include <gtkmm.h>
#include <webkit/webkit.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

namespace zvui {

// What the console's web view hands to the desktop: an address to open in the user's own
// handler (their browser, for http and https), and the question where to save a download.
// Data, so tests can put recorders in place of the desktop's dialogs and browser.
struct DesktopHandoff {
  // `parent` may be null. The address has been checked (only http and https get here).
  using OpenAddress = std::function<void(Gtk::Window* parent, const std::string& address)>;
  // Asks where to save `suggestedName`, starting in `folder`; `answer` gets the chosen path,
  // or nothing when the user cancels. It may be called after the asking function returned.
  using Answer = std::function<void(std::optional<std::filesystem::path>)>;
  using ChooseSavePath = std::function<void(Gtk::Window* parent, const std::string& suggestedName,
                                            const std::filesystem::path& folder, Answer answer)>;

  OpenAddress openAddress = openInDefaultHandler;
  ChooseSavePath chooseSavePath = askWithSaveDialog;

  // The desktop's own: GTK's call that shows an address, and its native save dialog. Both go
  // through the desktop portal where GTK uses one.
  static void openInDefaultHandler(Gtk::Window* parent, const std::string& address);
  static void askWithSaveDialog(Gtk::Window* parent, const std::string& suggestedName,
                                const std::filesystem::path& folder, Answer answer);
};

// The window `view` is shown in, to parent what the desktop shows; null when it is in none.
[[nodiscard]] Gtk::Window* windowOf(WebKitWebView* view);

// Where a save dialog starts: the user's download folder, else their home folder.
[[nodiscard]] std::filesystem::path downloadFolder();

}  // namespace zvui
