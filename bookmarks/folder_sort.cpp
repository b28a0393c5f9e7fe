#include "bookmarks/folder_sort.h"

#include <algorithm>
#include <cstdint>
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

// Orders the entries of one folder. Each entry's sort key is built once, into one buffer that is
// reused from folder to folder, so comparisons cost no allocation.
class FolderSorter {
 public:
  void sortEntries(PlistArray& entries) {
    keyText_.clear();
    ranked_.clear();
    for (const PlistValue& entry : entries) {
      const std::size_t start = keyText_.size();
      if (const std::string* title = getTitle(entry)) keys_.append(*title, keyText_);
      ranked_.push_back({{isFolder(entry), {}}, ranked_.size(), start, keyText_.size() - start});
    }
    // The buffer has stopped growing: the keys can now point into it.
    for (Ranked& ranked : ranked_) {
      ranked.entry.titleKey = std::string_view(keyText_).substr(ranked.keyStart, ranked.keyLength);
    }
    std::stable_sort(ranked_.begin(), ranked_.end(), [](const Ranked& a, const Ranked& b) {
      return comparator(a.entry, b.entry) < 0;
    });
    bool moved = false;
    for (std::size_t i = 0; i < ranked_.size() && !moved; ++i)
      moved = ranked_[i].index != i;
    if (!moved) return;
    reordered_.clear();
    reordered_.reserve(entries.size());
    for (const Ranked& ranked : ranked_)
      reordered_.push_back(std::move(entries[ranked.index]));
    entries.swap(reordered_);
    reordered_.clear();
  }

 private:
  struct Ranked {
    SortEntry entry;
    std::size_t index;  // the entry's place before the sort
    std::size_t keyStart;
    std::size_t keyLength;
  };

  TitleKeyBuilder keys_;
  std::string keyText_;
  std::vector<Ranked> ranked_;
  PlistArray reordered_;
};

}  // namespace

void sortImpl(PlistValue& node) {
  // Gather the folders to sort, each before everything below it, then sort them in reverse:
  // every folder's subfolders are in order before its own entries move, and moving a folder's
  // entries never disturbs a folder still waiting. No recursion, so any depth is fine.
  std::vector<PlistArray*> folders;
  std::vector<PlistValue*> pending = {&node};
  while (!pending.empty()) {
    PlistValue* current = pending.back();
    pending.pop_back();
    PlistArray* children = arrayValue(current->find(kChildrenKey));
    if (!children || children->empty() || !isFolder(*current)) continue;
    folders.push_back(children);
    for (PlistValue& child : *children)
      pending.push_back(&child);
  }
  FolderSorter sorter;
  for (auto folder = folders.rbegin(); folder != folders.rend(); ++folder) {
    sorter.sortEntries(**folder);
  }
}

Status sort(const std::string& path, PlistStore& store, PlistDocument& document) {
  if (Status status = store.load(path, &document); !status.ok()) return status;
  sortImpl(document.root);
  return store.save(path, document);
}

}  // namespace tidymark
