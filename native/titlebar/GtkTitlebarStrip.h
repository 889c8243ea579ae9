#pragma once

#include <gtkmm.h>

#include <memory>
#include <string_view>

namespace zvui {

// The three capsules at the right end of the header bar: status word (88), host (156) and
// shell (96), each 24 high, 6 apart. Labels start as "LOCAL", "HOST" and "ZSH".
class TitlebarStrip {
 public:
  TitlebarStrip();
  TitlebarStrip(const TitlebarStrip&) = delete;
  TitlebarStrip& operator=(const TitlebarStrip&) = delete;
  ~TitlebarStrip();

  // The strip; the caller packs it at the end of the header bar.
  Gtk::Widget& widget();

  void setStatusWord(std::string_view word);
  void setHostText(std::string_view text);
  void setRuntimeText(std::string_view text);

  Gtk::Label& statusLabel();   // `titlebarStatus`
  Gtk::Label& hostLabel();     // `titlebarHost`
  Gtk::Label& runtimeLabel();  // `titlebarRuntime`

 private:
  struct Parts;
  std::unique_ptr<Parts> parts_;
};

}  // namespace zvui
