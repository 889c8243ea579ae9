#include "launch/GtkBrandImages.h"

#include <glibmm/error.h>

#include <string>

namespace zvui {

Glib::RefPtr<Gdk::Texture> loadBundleImage(const std::filesystem::path& resourceDirectory,
                                           std::string_view named) {
  const std::filesystem::path file = resourceDirectory / (std::string(named) + ".png");
  try {
    return Gdk::Texture::create_from_filename(file.string());
  } catch (const Glib::Error&) {
    // Missing, unreadable and undecodable files all mean "no image": silent on purpose.
    return {};
  }
}

}  // namespace zvui
