#pragma once

#include <gdkmm/texture.h>

#include <filesystem>
#include <string_view>

namespace zvui {

// The brand image `<named>.png` in `resourceDirectory`, or null when the file is missing or
// cannot be read or decoded. Either way is ordinary: the card shows its text stand-in.
Glib::RefPtr<Gdk::Texture> loadBundleImage(const std::filesystem::path& resourceDirectory,
                                           std::string_view named);

}  // namespace zvui
