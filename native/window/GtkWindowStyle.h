#pragma once

namespace zvui {

// Installs, once per process, the dark preference and the style sheet of the main window:
// black surfaces and a header bar that is transparent over the content, set off from it by
// a quiet one-pixel line.
void installWindowStyle();

inline constexpr const char* kMainWindowClass = "zvui-main";
inline constexpr const char* kTitlebarClass = "zvui-titlebar";

}  // namespace zvui
