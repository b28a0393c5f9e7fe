#pragma once

#include <string>
#include <string_view>

#include "platform/plist_file.h"
#include "platform/plist_value.h"
#include "platform/status.h"

namespace tidymark {

// Folders rank ahead of every other entry while this is set. It starts set; the command line's
// keyword sets it again, and nothing clears it.
extern bool foldersFirst;

// One folder entry as the sort sees it: whether it is a folder, and its title's sort key (see
// TitleKeyBuilder; an entry without a title has an empty key).
struct SortEntry {
  bool folder = false;
  std::string_view titleKey;
};

// The order of entries in a folder: -1 when `a` goes before `b`, 0 when they rank the same,
// +1 when `a` goes after `b`. Folders first (while foldersFirst is set), then by title,
// case-insensitively, with runs of digits compared by value.
int comparator(const SortEntry& a, const SortEntry& b);

// Orders the entries of every folder at and below `node`, deepest first. The walk stops at a
// node that is not a folder: its entries keep their order and nothing below it is visited.
// The sort is stable, and only the order of "Children" arrays changes.
void sortImpl(PlistValue& node);

// Loads the bookmarks file at `path` into `document`, sorts it with sortImpl and writes it back.
// The tree stays with the caller, who decides when to release it.
Status sort(const std::string& path, PlistStore& store, PlistDocument& document);

}  // namespace tidymark
