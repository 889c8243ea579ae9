#pragma once

#include <filesystem>

namespace zvui {

// Which of GTK's renderers draws the window. GTK draws with OpenGL unless told otherwise; on a
// computer with no GPU that is Mesa's software rasterizer, which takes the UI process about a
// quarter of a second of set-up before the first frame and a steady share of a core for every
// frame after it (the cursor's blink, the telemetry). GTK's cairo renderer draws the same
// window straight into shared memory, as WebKit hands a web view its frames when it has no
// GPU either. So where no GPU can be opened the window is drawn with cairo; where one can,
// GTK chooses as always. A renderer the user named (GSK_RENDERER) is never overridden.

// True when this process may open a DRM render node (renderD*) in `driDirectory`: a GPU
// that OpenGL could draw with.
bool canOpenRenderNode(const std::filesystem::path& driDirectory = "/dev/dri");

// The renderer to ask GTK for, or nullptr for GTK's own choice. `userRenderer` is
// GSK_RENDERER and `softwareGl` Mesa's LIBGL_ALWAYS_SOFTWARE, as the environment has them.
const char* windowRendererFor(const char* userRenderer, const char* softwareGl, bool renderNode);

// Decides for this process and tells GTK, for every window realized from now on. Call once
// GTK is initialized and before the first window is shown.
void chooseWindowRenderer();

}  // namespace zvui
