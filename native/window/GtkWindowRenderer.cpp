#include "window/GtkWindowRenderer.h"

#include <gtk/gtk.h>
#include <strings.h>
#include <unistd.h>

#include <cstdlib>
#include <system_error>

namespace zvui {

bool canOpenRenderNode(const std::filesystem::path& driDirectory) {
  std::error_code error;
  for (std::filesystem::directory_iterator it(driDirectory, error), end; !error && it != end;
       it.increment(error)) {
    if (!it->path().filename().string().starts_with("renderD")) continue;
    if (::access(it->path().c_str(), R_OK | W_OK) == 0) return true;
  }
  return false;
}

const char* windowRendererFor(const char* userRenderer, const char* softwareGl, bool renderNode) {
  if (userRenderer != nullptr && *userRenderer != '\0') return nullptr;  // the user's choice
  // Mesa's reading of the switch: these words turn software GL on, anything else leaves it.
  bool forcedSoftware = false;
  for (const char* on : {"1", "true", "yes", "y"})
    if (softwareGl != nullptr && ::strcasecmp(softwareGl, on) == 0) forcedSoftware = true;
  return renderNode && !forcedSoftware ? nullptr : "cairo";
}

void chooseWindowRenderer() {
  GdkDisplay* display = gdk_display_get_default();
  if (display == nullptr) return;
  const char* renderer = windowRendererFor(
      std::getenv("GSK_RENDERER"), std::getenv("LIBGL_ALWAYS_SOFTWARE"), canOpenRenderNode());
  // The display's own renderer name, the one GTK's inspector sets for its window; GTK reads
  // it before GSK_RENDERER whenever a window is realized. Setting the variable instead would
  // pass it on to the backend and everything started from the console.
  if (renderer != nullptr)
    g_object_set_data(G_OBJECT(display), "gsk-renderer", const_cast<char*>(renderer));
}

}  // namespace zvui
