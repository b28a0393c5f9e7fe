#pragma once

#include <vector>

#include "bookmarks/folder_sort.h"
#include "platform/byte_sink.h"
#include "platform/plist_nodes.h"
#include "platform/plist_value.h"

namespace tidymark {

// Texts about a bookmark tree for a person to read. Titles are shown with printable(), so a
// title cannot pass commands to a terminal. Each writes its text to `out` as it goes, in
// pieces of bounded size, and returns false as soon as `out` refuses a piece.

// The entries below `root` as an indented outline, one entry a line, two spaces of indent per
// level up to kMaxOutlineIndent levels (deeper entries are indented like that level, so that a
// hugely nested file cannot make gigabytes of spaces): folders end in "/", bookmarks show
// their titles, and entries of any other kind show their kind in brackets. An entry without a
// title shows "(untitled)".
inline constexpr std::size_t kMaxOutlineIndent = 32;
bool writeOutline(const PlistNodes& nodes, ByteSink& out);
inline bool writeOutline(const PlistValue& root, ByteSink& out) {
  return writeOutline(TreeNodes(root), out);
}

// What a sort reported: for each folder whose order changed, a line with its path of titles
// and how many of its entries moved ("BookmarksBar / Work: 2 of 7 entries would move"; the top
// folder is "(top level)"), for each folder kept in its order a line saying so, then a line
// saying how many folders changed. `done`: the sort was saved, so the lines say what moved, not
// what would.
bool writeSortReport(const SortReport& report, bool done, ByteSink& out);

}  // namespace tidymark
