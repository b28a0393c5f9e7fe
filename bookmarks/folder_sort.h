#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/plist_file.h"
#include "platform/plist_nodes.h"
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

// A folder whose entries the sort puts in another order. As an ArrayMove: its "Children" array
// as the file's edit names it, and order[i], the place before the sort of the entry now at
// place i.
struct FolderChange : ArrayMove {
  // The "Children" array as the walk's nodes name it.
  PlistNodes::Node entries = 0;
  // The titles of the folders from the top one's entries down to this folder, `depth` of them:
  // none for the top folder itself. Only the innermost kMaxTitlePath are kept, so that a hugely
  // nested file cannot make the report grow with the square of its depth. An untitled folder
  // has an empty title.
  std::vector<std::string> titlePath;
  std::size_t depth = 0;

  // How many entries are not where they were.
  std::size_t moved() const;
};

inline constexpr std::size_t kMaxTitlePath = 32;

// The order of every folder from the top node of `nodes` down, worked out without moving
// anything: each folder whose order changes, outer folders before inner ones, named by its title
// path when `withPaths` is set. The walk stops at a node that is not a folder: its entries keep
// their order and nothing below it is visited. The sort is stable.
std::vector<FolderChange> orderFolders(const PlistNodes& nodes, bool withPaths);

// Orders the entries of every folder at and below `node` in its tree (see orderFolders); only the
// order of "Children" arrays changes. When `changes` is given, the folders that changed are added
// to it.
void sortImpl(PlistValue& node, std::vector<FolderChange>* changes = nullptr);

// Loads the bookmarks file at `path` into `document` through `store` and works out the sorted
// order of its folders; each folder whose order changes is added to `changes`, named by its title
// path when `withPaths` is set. A file that fails to load adds nothing.
Status loadSorted(const std::string& path, PlistStore& store, PlistDocument& document,
                  std::vector<FolderChange>* changes, bool withPaths);

// Loads the bookmarks file at `path` into `document` with loadSorted and saves it as its original
// with the moved entries moved (see PlistDocument); when nothing moved, nothing is written. A
// file whose moves cannot be saved that way is read whole and sorted again, to be written whole.
Status sort(const std::string& path, PlistStore& store, PlistDocument& document);

}  // namespace tidymark
