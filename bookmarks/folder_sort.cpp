#include "bookmarks/folder_sort.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string>
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

using Node = PlistNodes::Node;

// One entry of a folder on its way through the sort: small, since the sort moves it around.
struct Ranked {
  std::size_t keyStart;  // where its title's key lies in the folder's key text
  std::size_t keyLength;
  std::uint32_t index;  // the entry's place in its folder before the sort
  bool folder;
};

// A folder to sort: its entries, and, for the report of changes, the folder it lies in (an index
// into the walk), where its title lies in the walk's title text, and its depth.
struct Folder {
  Node entries;
  std::size_t parent;
  std::size_t titleStart, titleLength;
  std::size_t depth;  // how many folders lie between the top one and this, itself included
  bool kept;          // its entries keep their order
};

constexpr std::size_t kNoParent = static_cast<std::size_t>(-1);

// The innermost kMaxTitlePath titles of the path to folder `f`, outermost first.
std::vector<std::string> titlePath(const std::vector<Folder>& folders, std::string_view titles,
                                   std::size_t f) {
  std::vector<std::string> path;
  for (; folders[f].parent != kNoParent && path.size() < kMaxTitlePath; f = folders[f].parent)
    path.emplace_back(titles.substr(folders[f].titleStart, folders[f].titleLength));
  return {path.rbegin(), path.rend()};
}

// A folder's entries when it has any.
std::optional<Node> entriesOf(const PlistNodes& nodes, const NodeFacts& facts) {
  if (!facts.folder || !facts.children || nodes.size(*facts.children) == 0) return std::nullopt;
  return facts.children;
}

// Puts the elements of `array` in `order` where they lie, so that the array keeps its storage
// (and the edit's name for it).
void reorder(PlistArray& array, const std::vector<std::uint32_t>& order) {
  PlistArray moved;
  moved.reserve(array.size());
  for (std::uint32_t from : order)
    moved.push_back(std::move(array[from]));
  std::move(moved.begin(), moved.end(), array.begin());
}

// Readies a loaded document to be saved as its original with the `changes` made, or, when they
// cannot be said that way, reads it whole and sorts it but for what `keep` names.
Status planSave(PlistDocument& document, const std::vector<FolderChange>& changes,
                const KeptTitles& keep) {
  document.edit = std::nullopt;
  if (changes.empty()) return Status::success();
  if (document.original) {
    document.edit = document.original->edit(std::vector<ArrayMove>(changes.begin(), changes.end()));
    if (document.edit) return Status::success();
  }
  // Saved whole after all: the tree must be whole, and sorted.
  if (Status status = readWholeTree(&document); !status.ok()) return status;
  sortImpl(document.root, keep);
  return Status::success();
}

}  // namespace

std::size_t FolderChange::moved() const {
  std::size_t count = 0;
  for (std::size_t i = 0; i < order.size(); ++i)
    count += order[i] != i;
  return count;
}

SortReport orderFolders(const PlistNodes& nodes, const KeptTitles& keep, bool withPaths) {
  SortReport report;
  const NodeFacts root = describeNode(nodes, nodes.root());
  report.topIsFolder = root.folder;
  const std::optional<Node> top = entriesOf(nodes, root);
  if (!top) return report;
  const auto kept = [&keep](std::string_view title) {
    return std::find(keep.begin(), keep.end(), title) != keep.end();
  };
  std::string_view rootTitle;
  if (root.title) nodes.text(*root.title, &rootTitle);
  // One walk, breadth first, reads each entry once: its kind, its title's sort key, and, for a
  // folder, its entries, which join the walk. Each folder is sorted as soon as its entries are
  // read, so the walk holds one folder's records and keys at a time.
  std::vector<Folder> folders = {{*top, kNoParent, 0, 0, 0, kept(rootTitle)}};
  std::vector<Ranked> ranked;
  std::string keyText, titles;
  TitleKeyBuilder keys;
  const auto entryOf = [&keyText](const Ranked& record) {
    return SortEntry{record.folder,
                     std::string_view(keyText).substr(record.keyStart, record.keyLength)};
  };
  for (std::size_t f = 0; f < folders.size(); ++f) {
    const Node entries = folders[f].entries;
    const std::size_t count = nodes.size(entries);
    ranked.clear();
    keyText.clear();
    for (std::size_t i = 0; i < count; ++i) {
      const NodeFacts facts = describeNode(nodes, nodes.element(entries, i));
      std::string_view title;  // none ranks as an empty one
      if (facts.title) nodes.text(*facts.title, &title);
      const std::size_t keyStart = keyText.size();
      keys.append(title, keyText);
      ranked.push_back(
          {keyStart, keyText.size() - keyStart, static_cast<std::uint32_t>(i), facts.folder});
      if (const std::optional<Node> inner = entriesOf(nodes, facts)) {
        const std::size_t titleStart = titles.size();
        if (withPaths) titles.append(title);
        folders.push_back(
            {*inner, f, titleStart, titles.size() - titleStart, folders[f].depth + 1, kept(title)});
      }
    }
    if (folders[f].kept) {
      KeptFolder folder{{}, 0, count};
      if (withPaths) {
        folder.titlePath = titlePath(folders, titles, f);
        folder.depth = folders[f].depth;
      }
      report.kept.push_back(std::move(folder));
      continue;
    }
    std::stable_sort(ranked.begin(), ranked.end(), [&](const Ranked& a, const Ranked& b) {
      return comparator(entryOf(a), entryOf(b)) < 0;
    });
    bool moved = false;
    for (std::size_t i = 0; i < count && !moved; ++i)
      moved = ranked[i].index != i;
    if (!moved) continue;
    FolderChange change{{nodes.arrayId(entries), {}}, entries, {}, 0};
    if (withPaths) {
      change.titlePath = titlePath(folders, titles, f);
      change.depth = folders[f].depth;
    }
    change.order.reserve(count);
    for (const Ranked& record : ranked)
      change.order.push_back(record.index);
    report.changed.push_back(std::move(change));
  }
  return report;
}

void sortImpl(PlistValue& node, const KeptTitles& keep, SortReport* report) {
  SortReport found = orderFolders(TreeNodes(node), keep, true);
  // A folder's entries lie in its own dictionary, not in the array that holds the folder, so
  // moving a folder leaves the handle to its entries as it was: the order of moving is free.
  for (const FolderChange& change : found.changed) {
    // The tree is this function's to change; the walk only read it.
    auto& array = const_cast<PlistValue&>(TreeNodes::valueOf(change.entries));
    reorder(*array.asArray(), change.order);
  }
  if (report) *report = std::move(found);
}

Status loadSorted(const std::string& path, PlistStore& store, PlistDocument& document,
                  const KeptTitles& keep, SortReport* report, bool withPaths) {
  *report = {};
  if (Status status = store.load(path, &document); !status.ok()) return status;
  *report = document.nodes ? orderFolders(*document.nodes, keep, withPaths)
                           : orderFolders(TreeNodes(document.root), keep, withPaths);
  return Status::success();
}

Status sort(const std::string& path, PlistStore& store, PlistDocument& document,
            const KeptTitles& keep, SortReport* report, bool withPaths, const std::string& backup) {
  SortReport own;
  SortReport& done = report ? *report : own;
  if (Status status = loadSorted(path, store, document, keep, &done, withPaths); !status.ok()) {
    return status;
  }
  if (Status status = planSave(document, done.changed, keep);
      !status.ok() || done.changed.empty()) {
    return status;
  }
  return store.save(path, document, backup);
}

}  // namespace tidymark
