#include "bookmarks/folder_sort.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "bookmarks/bookmark_node.h"
#include "platform/binary_plist_view.h"
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

// A folder to sort: its entries (as its source holds them), where their Ranked records begin
// (for a source that moves entries, whose folders are sorted once all are read), and, for the
// report of changes, the folder it lies in (an index into the walk), where its title lies in the
// walk's title text, and its depth.
template <typename Entries>
struct Folder {
  Entries entries;
  std::size_t firstRanked;
  std::size_t parent;
  std::size_t titleStart, titleLength;
  std::size_t depth;  // how many folders lie between the top one and this, itself included
  bool kept;          // its entries keep their order
};

constexpr std::size_t kNoParent = static_cast<std::size_t>(-1);

// The innermost kMaxTitlePath titles of the path to folder `f`, outermost first.
template <typename Entries>
std::vector<std::string> titlePath(const std::vector<Folder<Entries>>& folders,
                                   std::string_view titles, std::size_t f) {
  std::vector<std::string> path;
  for (; folders[f].parent != kNoParent && path.size() < kMaxTitlePath; f = folders[f].parent)
    path.emplace_back(titles.substr(folders[f].titleStart, folders[f].titleLength));
  return {path.rbegin(), path.rend()};
}

// What one entry of a folder tells the walk: whether it is a folder, its title (empty when it
// has none), and, for a folder with entries, those entries.
template <typename Entries>
struct EntryFacts {
  bool folder = false;
  std::string_view title;
  std::optional<Entries> children;
};

// A loaded tree as the walk reads it; its folders' entries are put in their new order.
class TreeSource {
 public:
  using Entries = PlistArray*;
  static constexpr bool kMovesEntries = true;

  static std::optional<Entries> children(PlistValue& node) {
    PlistArray* children = arrayValue(node.find(kChildrenKey));
    return children && !children->empty() ? std::optional<Entries>(children) : std::nullopt;
  }
  std::optional<Entries> top(PlistValue& root, std::string_view* title, bool* folder) {
    const NodeFacts facts = describeNode(root);
    *title = facts.title ? facts.title->view() : "";
    *folder = facts.folder;
    return facts.folder ? children(root) : std::nullopt;
  }
  static bool exhausted() { return false; }
  static std::size_t size(Entries entries) { return entries->size(); }
  static const void* id(Entries entries) { return entries->data(); }
  static EntryFacts<Entries> entry(Entries entries, std::size_t i) {
    const NodeFacts facts = describeNode((*entries)[i]);
    EntryFacts<Entries> result{facts.folder, facts.title ? facts.title->view() : "", {}};
    if (facts.folder) result.children = children((*entries)[i]);
    return result;
  }
  // Puts `entries` in the order of `ranked`, which holds one record per entry.
  void reorder(Entries entries, const Ranked* ranked) {
    scratch_.clear();
    scratch_.reserve(entries->size());
    for (std::size_t i = 0; i < entries->size(); ++i)
      scratch_.push_back(std::move((*entries)[ranked[i].index]));
    entries->swap(scratch_);
  }

 private:
  PlistArray scratch_;
};

// A binary file's objects as the walk reads them, where they lie; nothing is moved.
class BinarySource {
 public:
  static constexpr bool kMovesEntries = false;
  struct Entries {
    std::uint64_t array;
    BinaryPlistView::Container references;
  };

  // Reading gives up (see exhausted) past `budget` entries and dictionary entries looked at.
  BinarySource(const BinaryPlistView& view, std::uint64_t budget)
      : view_(view), bookmarks_(view), budget_(budget) {}
  bool exhausted() const { return bookmarks_.looked() > budget_; }

  std::optional<Entries> top(std::uint64_t root, std::string_view* title, bool* folder) {
    const BinaryBookmarks::Facts facts = bookmarks_.describe(root, title);
    *folder = facts.folder;
    return facts.folder ? children(facts) : std::nullopt;
  }
  static std::size_t size(const Entries& entries) { return entries.references.count; }
  static const void* id(const Entries& entries) { return arrayObjectId(entries.array); }
  EntryFacts<Entries> entry(const Entries& entries, std::size_t i) {
    std::string_view title;
    const BinaryBookmarks::Facts facts =
        bookmarks_.describe(view_.element(entries.references, i), &title);
    return {facts.folder, title, facts.folder ? children(facts) : std::nullopt};
  }
  static void reorder(const Entries&, const Ranked*) {}

 private:
  std::optional<Entries> children(const BinaryBookmarks::Facts& facts) const {
    if (!facts.hasChildren || view_.kind(facts.children) != BinaryPlistView::Kind::Array) {
      return std::nullopt;
    }
    const Entries entries{facts.children, view_.open(facts.children)};
    return entries.references.count > 0 ? std::optional<Entries>(entries) : std::nullopt;
  }

  const BinaryPlistView& view_;
  BinaryBookmarks bookmarks_;
  std::uint64_t budget_;
};

// Orders every folder from `top` (titled `topTitle`) down through `source`, but for those `keep`
// names; each folder whose order changed, and each kept one, is added to `report` when given,
// outer folders before inner ones in the order of the walk, named by its title path when
// `withPaths` is set (the save has no use for the names). Gives up, adding nothing, once the
// source is exhausted.
template <typename Source>
bool sortFolders(Source& source, typename Source::Entries top, std::string_view topTitle,
                 const KeptTitles& keep, SortReport* report, bool withPaths) {
  using Entries = typename Source::Entries;
  // One walk, breadth first, reads each entry once: its kind, its title's sort key, and, for a
  // folder, its entries, which join the walk. A node that is not a folder ends the walk there.
  const auto kept = [&keep](std::string_view title) {
    return std::find(keep.begin(), keep.end(), title) != keep.end();
  };
  std::vector<Folder<Entries>> folders = {{top, 0, kNoParent, 0, 0, 0, kept(topTitle)}};
  std::vector<Ranked> ranked;
  std::string keyText, titles;
  TitleKeyBuilder keys;
  std::vector<FolderChange>* changes = report ? &report->changed : nullptr;
  const std::size_t reported = changes ? changes->size() : 0;
  const std::size_t reportedKept = report ? report->kept.size() : 0;
  const auto entryOf = [&keyText](const Ranked& record) {
    return SortEntry{record.folder,
                     std::string_view(keyText).substr(record.keyStart, record.keyLength)};
  };
  // Sorts folder `f`, whose records run from `first`, and reports it when its order changed.
  const auto sortFolder = [&](std::size_t f, Ranked* first) {
    Ranked* last = first + source.size(folders[f].entries);
    if (folders[f].kept) {
      if (report) {
        KeptFolder folder{{}, 0, static_cast<std::size_t>(last - first)};
        if (withPaths) {
          folder.titlePath = titlePath(folders, titles, f);
          folder.depth = folders[f].depth;
        }
        report->kept.push_back(std::move(folder));
      }
      return;
    }
    std::stable_sort(first, last, [&](const Ranked& a, const Ranked& b) {
      return comparator(entryOf(a), entryOf(b)) < 0;
    });
    bool moved = false;
    for (const Ranked* r = first; r != last && !moved; ++r)
      moved = r->index != std::size_t(r - first);
    if (!moved) return;
    if (changes) {
      FolderChange change{{source.id(folders[f].entries), {}}, {}};
      if (withPaths) {
        change.titlePath = titlePath(folders, titles, f);
        change.depth = folders[f].depth;
      }
      change.order.reserve(static_cast<std::size_t>(last - first));
      for (const Ranked* r = first; r != last; ++r)
        change.order.push_back(r->index);
      changes->push_back(std::move(change));
    }
    source.reorder(folders[f].entries, first);
  };

  for (std::size_t f = 0; f < folders.size(); ++f) {
    const Entries entries = folders[f].entries;  // a copy: `folders` grows below
    const std::size_t count = source.size(entries);
    if constexpr (Source::kMovesEntries) folders[f].firstRanked = ranked.size();
    for (std::size_t i = 0; i < count; ++i) {
      if (source.exhausted()) {
        if (report) {
          report->changed.resize(reported);
          report->kept.resize(reportedKept);
        }
        return false;
      }
      const EntryFacts<Entries> entry = source.entry(entries, i);
      const std::size_t keyStart = keyText.size();
      keys.append(entry.title, keyText);  // no title ranks as an empty one
      ranked.push_back(
          {keyStart, keyText.size() - keyStart, static_cast<std::uint32_t>(i), entry.folder});
      if (entry.children) {
        const std::size_t titleStart = titles.size();
        if (withPaths) titles.append(entry.title);
        folders.push_back({*entry.children, 0, f, titleStart, titles.size() - titleStart,
                           folders[f].depth + 1, kept(entry.title)});
      }
    }
    // A source that moves nothing has each folder sorted as soon as its entries are read, and
    // their records and keys are then done with: the walk holds one folder's at a time.
    if constexpr (!Source::kMovesEntries) {
      sortFolder(f, ranked.data());
      ranked.clear();
      keyText.clear();
    }
  }
  if constexpr (Source::kMovesEntries) {
    // Deepest first: a folder comes before every folder inside it in the walk, so going
    // backwards sorts each folder's insides before its own entries move, and moving them never
    // disturbs a folder still to be sorted. Found deepest first, reported in the order of the
    // walk.
    for (std::size_t f = folders.size(); f-- > 0;)
      sortFolder(f, ranked.data() + folders[f].firstRanked);
    if (report) {
      std::reverse(changes->begin() + static_cast<std::ptrdiff_t>(reported), changes->end());
      std::reverse(report->kept.begin() + static_cast<std::ptrdiff_t>(reportedKept),
                   report->kept.end());
    }
  }
  return true;
}

// The document's folders in their sorted order: its tree sorted, or, for a binary file read only
// to be checked, the order of each folder as it lies in the file worked out. A file not yet
// checked may hold reference cycles or shared dictionaries without end, so its walk gives up,
// adding nothing, past twice as many entries looked at as the file has objects (a checked file
// needs more only when it shares folders): false then.
bool sortLoaded(PlistDocument& document, const KeptTitles& keep, SortReport* report, bool withPaths,
                bool checked = true) {
  std::string_view title;
  bool folder = false;
  if (document.partial && document.original) {
    const BinaryPlistView view(document.original->bytes());
    BinarySource source(view, checked ? UINT64_MAX : 2 * view.objects() + 64);
    const auto top = source.top(view.top(), &title, &folder);
    if (report) report->topIsFolder = folder;
    return !top || sortFolders(source, *top, title, keep, report, withPaths);
  }
  TreeSource source;
  const auto top = source.top(document.root, &title, &folder);
  if (report) report->topIsFolder = folder;
  if (top) sortFolders(source, *top, title, keep, report, withPaths);
  return true;
}

// Readies a sorted document to be saved as its original with the `changes` made, or, when they
// cannot be said that way, sorts it again whole, keeping what `keep` names.
Status planSave(PlistDocument& document, const std::vector<FolderChange>& changes,
                const KeptTitles& keep) {
  document.edit = std::nullopt;
  if (!changes.empty() && document.original) {
    document.edit = document.original->edit(std::vector<ArrayMove>(changes.begin(), changes.end()));
  }
  if (!changes.empty() && document.original && !document.edit) {
    // Saved whole after all: the tree must be whole too, and no longer the original's.
    if (!document.partial) {
      document.original = nullptr;
    } else if (Status status = readWholeTree(&document); !status.ok()) {
      return status;
    } else {
      sortImpl(document.root, keep);
    }
  }
  return Status::success();
}

}  // namespace

std::size_t FolderChange::moved() const {
  std::size_t count = 0;
  for (std::size_t i = 0; i < order.size(); ++i)
    count += order[i] != i;
  return count;
}

void sortImpl(PlistValue& node, const KeptTitles& keep, SortReport* report) {
  TreeSource source;
  std::string_view title;
  bool folder = false;
  const auto top = source.top(node, &title, &folder);
  if (report) report->topIsFolder = folder;
  if (top) sortFolders(source, *top, title, keep, report, true);
}

Status loadSorted(const std::string& path, PlistStore& store, PlistDocument& document,
                  const KeptTitles& keep, SortReport* report, bool withPaths) {
  *report = {};
  bool complete = false;
  const auto sortWhileChecking = [&](PlistDocument& loaded) {
    complete = sortLoaded(loaded, keep, report, withPaths, !loaded.partial);
  };
  if (Status status = store.load(path, &document, sortWhileChecking); !status.ok()) {
    *report = {};
    return status;
  }
  // A walk that gave up added nothing; the file is checked now, and its walk goes to the end.
  if (!complete) sortLoaded(document, keep, report, withPaths);
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
