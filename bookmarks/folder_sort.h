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

// A folder whose entries kept their order because of its title (see KeptTitles): its path of
// titles as a FolderChange has it, and how many entries it holds.
struct KeptFolder {
  std::vector<std::string> titlePath;
  std::size_t depth = 0;
  std::size_t entries = 0;
};

// The titles of the folders whose own entries keep their order, matched exactly; the folders
// inside such a folder are still sorted unless their titles are kept too.
using KeptTitles = std::vector<std::string>;

// What a sort did or would do: the folders whose order changed and those kept in their order,
// each outer folders before inner ones.
struct SortReport {
  std::vector<FolderChange> changed;
  std::vector<KeptFolder> kept;
  bool topIsFolder = false;  // whether the file looks like a bookmarks file at all
};

// The order of every folder from the top node of `nodes` down, worked out without moving
// anything, but for the folders `keep` names: each folder whose order changes and each kept one,
// outer folders before inner ones, named by its title path when `withPaths` is set. The walk
// stops at a node that is not a folder: its entries keep their order and nothing below it is
// visited. The sort is stable.
SortReport orderFolders(const PlistNodes& nodes, const KeptTitles& keep, bool withPaths);

// Orders the entries of every folder at and below `node` in its tree (see orderFolders); only the
// order of "Children" arrays changes. When `report` is given, what was done is put in it.
void sortImpl(PlistValue& node, const KeptTitles& keep = {}, SortReport* report = nullptr);

// Loads the bookmarks file at `path` into `document` through `store` and works out the sorted
// order of its folders but those `keep` names (see orderFolders), into `report`. A file that fails
// to load reports nothing.
Status loadSorted(const std::string& path, PlistStore& store, PlistDocument& document,
                  const KeptTitles& keep, SortReport* report, bool withPaths);

// Loads the bookmarks file at `path` into `document` with loadSorted and saves it as its original
// with the moved entries moved (see PlistDocument); when nothing moved, nothing is written. A
// file whose moves cannot be saved that way is read whole and sorted again, to be written whole.
// What the sort did is put in `report` when given, named as with loadSorted; the file was written
// exactly when a folder changed. With a `backup` path, the file as it was is kept there (see
// savePlistFile).
Status sort(const std::string& path, PlistStore& store, PlistDocument& document,
            const KeptTitles& keep = {}, SortReport* report = nullptr, bool withPaths = false,
            const std::string& backup = {});

}  // namespace tidymark
