#pragma once

#include <string>
#include <string_view>

namespace zvui {

// The file name offered in the save dialog for a name a server suggested. The server picks
// no folder (only what follows the last slash or backslash is kept), no hidden file (leading
// dots go), and nothing that disguises the name: control and format characters (bidirectional
// overrides among them) and invalid UTF-8 are dropped, surrounding spaces trimmed. At most 255
// bytes, cut between characters with a short extension kept. "download" when nothing is left.
[[nodiscard]] std::string safeDownloadName(std::string_view suggested);

}  // namespace zvui
