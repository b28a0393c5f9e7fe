#include "bookmarks/folder_sort.h"

#include <gtest/gtest.h>

#include <map>

#include "tests/test_support.h"

namespace tidymark {
namespace {

using testing::bookmark;
using testing::childTitles;
using testing::folder;
using testing::otherNode;
using Titles = std::vector<std::string>;

PlistValue& child(PlistValue& node, std::size_t index) {
  return (*arrayValue(node.find("Children")))[index];
}

PlistValue bookmarksTitled(const Titles& titles) {
  std::vector<PlistValue> entries;
  for (const std::string& title : titles)
    entries.push_back(bookmark(title));
  return folder("", std::move(entries));
}

TEST(FolderSort, PutsFoldersFirstThenOrdersByTitleAtEveryDepth) {
  // The worked example: bookmark b, folder A holding "Item 10" and "Item 2", bookmark a.
  PlistValue root = folder(
      "", {bookmark("b"), folder("A", {bookmark("Item 10"), bookmark("Item 2")}), bookmark("a"),
           folder("beta", {bookmark("y"), folder("z", {bookmark("2"), folder("1")}), folder("x")}),
           folder("Empty")});
  std::vector<FolderChange> changes;
  sortImpl(root, &changes);
  EXPECT_EQ(childTitles(root), (Titles{"A", "beta", "Empty", "a", "b"}));
  // Each folder that changed, outer ones first: where it lies, and where its entries came from.
  std::vector<std::pair<Titles, std::vector<std::uint32_t>>> reported;
  for (const FolderChange& change : changes) reported.emplace_back(change.titlePath, change.order);
  EXPECT_EQ(reported, (decltype(reported){{{}, {1, 3, 4, 2, 0}},
                                          {{"A"}, {1, 0}},
                                          {{"beta"}, {2, 1, 0}},
                                          {{"beta", "z"}, {1, 0}}}));
  EXPECT_EQ(changes[0].moved(), 5u);
  EXPECT_EQ(changes[2].moved(), 2u);
  EXPECT_EQ(childTitles(child(root, 0)), (Titles{"Item 2", "Item 10"}));
  EXPECT_EQ(childTitles(child(root, 1)), (Titles{"x", "z", "y"}));
  EXPECT_EQ(childTitles(child(child(root, 1), 1)), (Titles{"1", "2"}));

  const std::pair<Titles, Titles> orders[] = {
      {{"banana", "Apple", "cherry"}, {"Apple", "banana", "cherry"}},
      {{"Item 10", "Item 2", "Item 1"}, {"Item 1", "Item 2", "Item 10"}},
      {{"v1.10", "v1.9", "V1.2"}, {"V1.2", "v1.9", "v1.10"}},
      {{"Zürich", "zoo", "Zebra"}, {"Zebra", "zoo", "Zürich"}},
  };
  for (const auto& [before, after] : orders) {
    PlistValue titled = bookmarksTitled(before);
    sortImpl(titled);
    EXPECT_EQ(childTitles(titled), after);
  }
}

TEST(FolderSort, StopsAtNodesThatAreNotFolders) {
  // A node of another kind keeps its entries' order, and nothing below it is visited.
  PlistValue root = folder(
      "", {otherNode("WebBookmarkTypeProxy", "History",
                     {bookmark("z"), folder("F", {bookmark("2"), bookmark("1")}), bookmark("a")}),
           folder("Top", {bookmark("b"), bookmark("a")})});
  sortImpl(root);
  EXPECT_EQ(childTitles(root), (Titles{"Top", "History"}));
  EXPECT_EQ(childTitles(child(root, 1)), (Titles{"z", "F", "a"}));
  EXPECT_EQ(childTitles(child(child(root, 1), 1)), (Titles{"2", "1"}));

  // Nor is a root that is not a folder, nor a folder kind written in another case.
  for (const char* kind : {"WebBookmarkTypeProxy", "webbookmarktypelist"}) {
    PlistValue other = otherNode(kind, "", {bookmark("b"), bookmark("a")});
    const PlistValue original = other;
    sortImpl(other);
    EXPECT_EQ(other, original) << kind;
  }
}

TEST(FolderSort, RanksUntitledEntriesAsEmptyTitlesStablyAndChangesNothingElse) {
  // No title at all, a title of another type, an entry that is not a node, an empty title.
  PlistValue untitled = bookmark("x");
  untitled.asDict()->erase(untitled.asDict()->begin() + 3);  // its URIDictionary
  PlistValue numbered = folder("n");
  *numbered.find("Title") = PlistValue::integer(5);
  PlistValue root =
      folder("", {bookmark("b"), std::move(untitled), PlistValue::string("stray"), bookmark("News"),
                  bookmark(""), bookmark("news"), std::move(numbered), folder("F")});
  root.asDict()->push_back({"Extra", PlistValue::data({1, 2, 3})});
  sortImpl(root);
  // Entries that rank the same keep their order, from either side of the comparison.
  EXPECT_EQ(childTitles(root),
            (Titles{"<none>", "F", "<none>", "<none>", "", "b", "News", "news"}));
  EXPECT_EQ(*child(root, 3).asString(), "stray");
  EXPECT_EQ(*root.find("Extra"), PlistValue::data({1, 2, 3}));
  const PlistValue once = root;
  sortImpl(root);
  EXPECT_EQ(root, once);
}

TEST(FolderSort, HandlesAnyNestingDepth) {
  // Deeper than any recursion could go; each folder holds "b" then the next folder.
  const int depth = 200'000;
  PlistValue inner = folder("deepest", {bookmark("2"), bookmark("1")});
  for (int level = 0; level < depth; ++level) {
    std::vector<PlistValue> children;
    children.push_back(bookmark("b"));
    children.push_back(std::move(inner));
    inner = folder("level", std::move(children));
  }
  sortImpl(inner);
  const PlistValue* node = &inner;
  for (int level = 0; level < depth; ++level) {
    ASSERT_EQ(childTitles(*node)[0], level + 1 < depth ? "level" : "deepest") << level;
    node = &(*arrayValue(node->find("Children")))[0];
  }
  EXPECT_EQ(childTitles(*node), (Titles{"1", "2"}));
}

// Keeps documents in memory, and counts what was asked of it.
class FakeStore final : public PlistStore {
 public:
  std::map<std::string, PlistDocument> files;
  std::string failSave;
  int saves = 0;

  Status load(const std::string& path, PlistDocument* document) override {
    auto found = files.find(path);
    if (found == files.end()) return Status::failure("cannot open: No such file or directory");
    *document = found->second;
    return Status::success();
  }
  Status save(const std::string& path, const PlistDocument& document) override {
    ++saves;
    if (!failSave.empty()) return Status::failure(failSave);
    files[path] = document;
    return Status::success();
  }
};

TEST(FolderSort, SortLoadsSortsAndSavesInTheSameFormatOrSaysWhyNot) {
  FakeStore store;
  store.files["x.plist"] = {bookmarksTitled({"b", "a"}), PlistFormat::Xml};
  PlistDocument document;
  ASSERT_TRUE(sort("x.plist", store, document).ok());
  EXPECT_EQ(childTitles(store.files["x.plist"].root), (Titles{"a", "b"}));
  EXPECT_EQ(store.files["x.plist"].format, PlistFormat::Xml);

  EXPECT_EQ(sort("missing.plist", store, document).message(),
            "cannot open: No such file or directory");
  EXPECT_EQ(store.saves, 1) << "nothing it could not load is written";
  EXPECT_EQ(store.files.count("missing.plist"), 0u);

  store.files["y.plist"] = {bookmarksTitled({"b", "a"}), PlistFormat::Binary};
  store.failSave = "cannot write: No space left on device";
  EXPECT_EQ(sort("y.plist", store, document).message(), store.failSave);
  EXPECT_EQ(childTitles(store.files["y.plist"].root), (Titles{"b", "a"}));
}

}  // namespace
}  // namespace tidymark
