#include "window/GtkDesktopHandoff.h"

#include <memory>

namespace zvui {

// GTK 4.10 replaces both calls with GtkUriLauncher and GtkFileDialog; Debian 12 has GTK 4.8,
// where these are current.
G_GNUC_BEGIN_IGNORE_DEPRECATIONS

void DesktopHandoff::openInDefaultHandler(Gtk::Window* parent, const std::string& address) {
  gtk_show_uri_full(
      parent != nullptr ? parent->gobj() : nullptr, address.c_str(), GDK_CURRENT_TIME, nullptr,
      [](GObject* source, GAsyncResult* result, gpointer) {
        // Silent on purpose: with no handler for the address there is no one to tell but
        // the user, and the window has no place for such messages.
        GError* error = nullptr;
        if (!gtk_show_uri_full_finish(GTK_WINDOW(source), result, &error)) g_clear_error(&error);
      },
      nullptr);
}

void DesktopHandoff::askWithSaveDialog(Gtk::Window* parent, const std::string& suggestedName,
                                       const std::filesystem::path& folder, Answer answer) {
  auto dialog = Gtk::FileChooserNative::create("Save File", Gtk::FileChooser::Action::SAVE, "_Save",
                                               "_Cancel");
  if (parent != nullptr) dialog->set_transient_for(*parent);
  dialog->set_modal(true);
  dialog->set_current_folder(Gio::File::create_for_path(folder.string()));
  dialog->set_current_name(suggestedName);
  // The dialog keeps itself alive until it answers; the answer lets go of it.
  auto self = std::make_shared<Glib::RefPtr<Gtk::FileChooserNative>>(dialog);
  dialog->signal_response().connect([self, answer = std::move(answer)](int response) {
    std::optional<std::filesystem::path> chosen;
    if (response == Gtk::ResponseType::ACCEPT) {
      if (const auto file = (*self)->get_file()) {
        if (const std::string path = file->get_path(); !path.empty()) chosen = path;
      }
    }
    self->reset();
    answer(std::move(chosen));
  });
  dialog->show();
}

G_GNUC_END_IGNORE_DEPRECATIONS

Gtk::Window* windowOf(WebKitWebView* view) {
  GtkRoot* root = gtk_widget_get_root(GTK_WIDGET(view));
  return GTK_IS_WINDOW(root) ? Glib::wrap(GTK_WINDOW(root)) : nullptr;
}

std::filesystem::path downloadFolder() {
  const char* downloads = g_get_user_special_dir(G_USER_DIRECTORY_DOWNLOAD);
  return downloads != nullptr ? downloads : g_get_home_dir();
}

}  // namespace zvui
