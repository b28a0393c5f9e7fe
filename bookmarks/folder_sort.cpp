#include "bookmarks/folder_sort.h"

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <vector>

#include "bookmarks/bookmark_node.h"
#include "platform/text_compare.h"

namespace tidymark {

bool foldersFirst = true;

int comparator(const SortEntry& a, const SortEntry& b) {
  if (foldersFirst && a.folder != b.folder) return a.folder ? -1 : 1;
  return compareTitleKeys(a.titleKey, b.titleKey);
}

namespace {

// One entry of a folder on its way through the sort: small, since the sort moves it around.
struct Ranked {
  std::size_t keyStart;  // where its title's key lies in the shared key text
  std::size_t keyLength;
  std::uint32_t index;  // the entry's place in its folder before the sort
  bool folder;
};

// A folder to sort: its entries, where their Ranked records begin, and, for the report of
// changes, the folder it lies in (an index into the walk) and its title.
struct Folder {
  PlistArray* entries;
  std::size_t firstRanked;
  std::size_t parent;
  const PlistString* title;
  std::size_t depth;  // how many folders lie between the top one and this, itself included
};

constexpr std::size_t kNoParent = static_cast<std::size_t>(-1);

// The innermost kMaxTitlePath titles of the path to folder `f`, outermost first.
std::vector<std::string> titlePath(const std::vector<Folder>& folders, std::size_t f) {
  std::vector<std::string> path;
  for (; folders[f].parent != kNoParent && path.size() < kMaxTitlePath; f = folders[f].parent) {
    path.emplace_back(folders[f].title ? std::string_view(*folders[f].title) : std::string_view());
  }
  return {path.rbegin(), path.rend()};
}

PlistArray* nonEmptyChildren(PlistValue& node) {
  PlistArray* children = arrayValue(node.find(kChildrenKey));
  return children && !children->empty() ? children : nullptr;
}

// Puts `entries` in the order of `ranked`, which holds one record per entry.
void reorder(PlistArray& entries, const Ranked* ranked, PlistArray& scratch) {
  scratch.clear();
  scratch.reserve(entries.size());
  for (std::size_t i = 0; i < entries.size(); ++i)
    scratch.push_back(std::move(entries[ranked[i].index]));
  entries.swap(scratch);
}

// sortImpl, which also names each changed folder by its title path when `withPaths` is set
// (the save has no use for the names).
void sortFolders(PlistValue& node, std::vector<FolderChange>* changes, bool withPaths) {
  if (!isFolder(node)) return;
  PlistArray* top = nonEmptyChildren(node);
  if (!top) return;

  // One walk, breadth first, reads each entry once: its kind, its title's sort key, and, for a
  // folder, its entries, which join the walk. A node that is not a folder ends the walk there.
  std::vector<Folder> folders = {{top, 0, kNoParent, nullptr, 0}};
  std::vector<Ranked> ranked;
  std::string keyText;
  TitleKeyBuilder keys;
  for (std::size_t f = 0; f < folders.size(); ++f) {
    PlistArray& entries = *folders[f].entries;
    folders[f].firstRanked = ranked.size();
    for (std::size_t i = 0; i < entries.size(); ++i) {
      const NodeFacts facts = describeNode(entries[i]);
      const std::size_t keyStart = keyText.size();
      if (facts.title) keys.append(*facts.title, keyText);  // no title ranks as an empty one
      ranked.push_back(
          {keyStart, keyText.size() - keyStart, static_cast<std::uint32_t>(i), facts.folder});
      if (facts.folder) {
        if (PlistArray* inner = nonEmptyChildren(entries[i]))
          folders.push_back({inner, 0, f, facts.title, folders[f].depth + 1});
      }
    }
  }
  const auto entryOf = [&keyText](const Ranked& record) {
    return SortEntry{record.folder,
                     std::string_view(keyText).substr(record.keyStart, record.keyLength)};
  };

  // Deepest first: a folder comes before every folder inside it in the walk, so going backwards
  // sorts each folder's insides before its own entries move, and moving them never disturbs a
  // folder still to be sorted.
  PlistArray scratch;
  const std::size_t reported = changes ? changes->size() : 0;
  for (auto folder = folders.rbegin(); folder != folders.rend(); ++folder) {
    Ranked* first = ranked.data() + folder->firstRanked;
    Ranked* last = first + folder->entries->size();
    std::stable_sort(first, last, [&](const Ranked& a, const Ranked& b) {
      return comparator(entryOf(a), entryOf(b)) < 0;
    });
    bool moved = false;
    for (const Ranked* r = first; r != last && !moved; ++r)
      moved = r->index != std::size_t(r - first);
    if (!moved) continue;
    if (changes) {
      const std::size_t f = static_cast<std::size_t>(folders.rend() - folder) - 1;
      FolderChange change{{folder->entries->data(), {}}, {}};
      if (withPaths) {
        change.titlePath = titlePath(folders, f);
        change.depth = folder->depth;
      }
      change.order.reserve(folder->entries->size());
      for (const Ranked* r = first; r != last; ++r)
        change.order.push_back(r->index);
      changes->push_back(std::move(change));
    }
    reorder(*folder->entries, first, scratch);
  }
  // Found deepest first; reported outer folders first, in the order of the walk.
  if (changes)
    std::reverse(changes->begin() + static_cast<std::ptrdiff_t>(reported), changes->end());
}

}  // namespace

std::size_t FolderChange::moved() const {
  std::size_t count = 0;
  for (std::size_t i = 0; i < order.size(); ++i)
    count += order[i] != i;
  return count;
}

void sortImpl(PlistValue& node, std::vector<FolderChange>* changes) {
  sortFolders(node, changes, true);
}

Status sortDocument(PlistDocument& document, bool* moved) {
  std::vector<FolderChange> changes;
  sortFolders(document.root, &changes, false);
  *moved = !changes.empty();
  document.moved.assign(std::make_move_iterator(changes.begin()),
                        std::make_move_iterator(changes.end()));
  document.edit = std::nullopt;
  if (*moved && document.original) document.edit = document.original->edit(document.moved);
  if (*moved && document.partial && !document.edit) {
    // Saved whole after all: the tree must be whole too.
    if (Status status = readWholeTree(&document); !status.ok()) return status;
    sortImpl(document.root);
  }
  return Status::success();
}

Status sort(const std::string& path, PlistStore& store, PlistDocument& document) {
  if (Status status = store.load(path, &document); !status.ok()) return status;
  bool moved = false;
  if (Status status = sortDocument(document, &moved); !status.ok() || !moved) return status;
  return store.save(path, document);
}

}  // namespace tidymark
