#pragma once

#include <string>

#include "platform/plist_value.h"

namespace tidymark {

// Appends the entries below `root` as an indented outline, one entry a line, two spaces of indent
// per level: folders end in "/", bookmarks show their titles, and entries of any other kind show
// their kind in brackets. An entry without a title shows "(untitled)".
void appendOutline(const PlistValue& root, std::string& out);

}  // namespace tidymark
