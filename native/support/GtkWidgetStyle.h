#pragma once

#include <glibmm/ustring.h>

#include <string>
#include <string_view>

#include "support/Colour.h"

namespace zvui {

// Adds `css` to the default display once, at application priority, under `key`: every card
// and strip shares one provider per display however many are built.
void installDisplayStylesheet(const char* key, const char* css);

// `colour` as a CSS rgba() value. Written without the C locale's help, so a comma decimal
// separator in the user's locale cannot corrupt the stylesheet.
std::string cssColour(const Colour& colour);

// `text` as label text: invalid UTF-8 sequences become U+FFFD instead of upsetting Pango.
Glib::ustring labelText(std::string_view text);

}  // namespace zvui
