#include "bookmarks/folder_sort.h"

#include <gtest/gtest.h>

#include <map>

#include "bookmarks/bookmark_node.h"
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

TEST(FolderSort, OrdersTheWorkedExample) {
  // Root: bookmark b, folder A holding "Item 10" and "Item 2", bookmark a.
  PlistValue root = folder(
      "", {bookmark("b"), folder("A", {bookmark("Item 10"), bookmark("Item 2")}), bookmark("a")});
  sortImpl(root);
  EXPECT_EQ(childTitles(root), (Titles{"A", "a", "b"}));
  EXPECT_EQ(childTitles(child(root, 0)), (Titles{"Item 2", "Item 10"}));
}

TEST(FolderSort, OrdersTitlesCaseInsensitivelyAndNumerically) {
  struct Case {
    Titles before;
    Titles after;
  };
  const Case cases[] = {
      {{"banana", "Apple", "cherry"}, {"Apple", "banana", "cherry"}},
      {{"Item 10", "Item 2", "Item 1"}, {"Item 1", "Item 2", "Item 10"}},
      {{"v1.10", "v1.9", "V1.2"}, {"V1.2", "v1.9", "v1.10"}},
      {{"Zürich", "zoo", "Zebra"}, {"Zebra", "zoo", "Zürich"}},
  };
  for (const Case& c : cases) {
    std::vector<PlistValue> entries;
    for (const std::string& title : c.before)
      entries.push_back(bookmark(title));
    PlistValue root = folder("", std::move(entries));
    sortImpl(root);
    EXPECT_EQ(childTitles(root), c.after);
  }
}

TEST(FolderSort, PutsFoldersFirstAtEveryDepth) {
  PlistValue root = folder(
      "",
      {bookmark("Aardvark"), folder("Zebra"), folder("beta"), folder("Alpha"),
       folder("Middle", {bookmark("b"), folder("z", {bookmark("2"), folder("1"), bookmark("0")}),
                         bookmark("a"), folder("y")})});
  sortImpl(root);
  EXPECT_EQ(childTitles(root), (Titles{"Alpha", "beta", "Middle", "Zebra", "Aardvark"}));
  PlistValue& middle = child(root, 2);
  EXPECT_EQ(childTitles(middle), (Titles{"y", "z", "a", "b"}));
  EXPECT_EQ(childTitles(child(middle, 1)), (Titles{"1", "0", "2"}));
}

TEST(FolderSort, RanksAnEmptyFolderAsAFolderAndLeavesItAlone) {
  PlistValue root = folder("", {bookmark("a"), folder("Empty"), bookmark("B")});
  PlistDict noChildren;
  noChildren.push_back({"WebBookmarkType", PlistValue::string("WebBookmarkTypeList")});
  noChildren.push_back({"Title", PlistValue::string("Bare")});
  arrayValue(root.find("Children"))->push_back(PlistValue::dict(std::move(noChildren)));
  sortImpl(root);
  EXPECT_EQ(childTitles(root), (Titles{"Bare", "Empty", "a", "B"}));
  EXPECT_TRUE(arrayValue(child(root, 1).find("Children"))->empty());
  EXPECT_EQ(child(root, 0).find("Children"), nullptr);
}

TEST(FolderSort, StopsAtNodesThatAreNotFolders) {
  // A node of another kind keeps its entries' order, and nothing below it is visited.
  PlistValue root = folder(
      "", {otherNode("WebBookmarkTypeProxy", "History",
                     {bookmark("z"), folder("F", {bookmark("2"), bookmark("1")}), bookmark("a")}),
           folder("Top", {bookmark("b"), bookmark("a")})});
  sortImpl(root);
  EXPECT_EQ(childTitles(root), (Titles{"Top", "History"}));
  PlistValue& history = child(root, 1);
  EXPECT_EQ(childTitles(history), (Titles{"z", "F", "a"}));
  EXPECT_EQ(childTitles(child(history, 1)), (Titles{"2", "1"}));

  // Nor is a root that is not a folder, nor a folder kind written in another case.
  for (const char* kind : {"WebBookmarkTypeProxy", "webbookmarktypelist"}) {
    PlistValue other =
        otherNode(kind, "", {bookmark("b"), folder("F", {bookmark("2"), bookmark("1")})});
    const PlistValue original = other;
    sortImpl(other);
    EXPECT_EQ(other, original) << kind;
  }
}

TEST(FolderSort, RanksUntitledEntriesAsEmptyTitlesAndKeepsThem) {
  // No title at all, a title of another type, and a bookmark without its URIDictionary.
  PlistValue untitled = bookmark("x");
  untitled.asDict()->erase(untitled.asDict()->begin() + 3);  // URIDictionary
  PlistValue numbered = folder("n");
  *numbered.find("Title") = PlistValue::integer(5);
  PlistValue root = folder("", {bookmark("b"), std::move(untitled), PlistValue::string("stray"),
                                bookmark(""), bookmark("a"), std::move(numbered), folder("F")});
  sortImpl(root);
  // Untitled entries rank with the empty title, from either side, in their original order.
  EXPECT_EQ(childTitles(root), (Titles{"<none>", "F", "<none>", "<none>", "", "a", "b"}));
  EXPECT_EQ(*child(root, 1).find("Title")->asString(), "F");
  EXPECT_EQ(*child(root, 3).asString(), "stray");
}

TEST(FolderSort, IsStableAndIdempotent) {
  std::vector<PlistValue> entries;
  for (const char* title : {"news", "b", "News", "NEWS", "a", "Item 02", "item 2", "Item 2"}) {
    PlistValue entry = bookmark(title);
    entries.push_back(std::move(entry));
  }
  PlistValue root = folder("", std::move(entries));
  sortImpl(root);
  EXPECT_EQ(childTitles(root),
            (Titles{"a", "b", "Item 02", "item 2", "Item 2", "news", "News", "NEWS"}));
  const PlistValue once = root;
  sortImpl(root);
  EXPECT_EQ(root, once);
}

TEST(FolderSort, ChangesNothingButTheOrderOfEntries) {
  PlistValue root = folder("", {bookmark("b", "https://b/"), bookmark("a", "https://a/")});
  root.asDict()->push_back({"Extra", PlistValue::data({1, 2, 3})});
  PlistValue expected = root;
  auto& expectedChildren = *arrayValue(expected.find("Children"));
  std::swap(expectedChildren[0], expectedChildren[1]);
  sortImpl(root);
  EXPECT_EQ(root, expected);
}

TEST(FolderSort, HandlesAnyNestingDepth) {
  // Folders nested deeper than any recursion could go, each holding "b" then the next folder.
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
    const std::string next = level + 1 < depth ? "level" : "deepest";
    ASSERT_EQ(childTitles(*node), (Titles{next, "b"})) << level;
    node = &(*arrayValue(node->find("Children")))[0];
  }
  EXPECT_EQ(childTitles(*node), (Titles{"1", "2"}));
}

TEST(FolderSort, ComparatorFollowsTheFoldersFirstFlag) {
  const SortEntry folderZ{true, "z"};
  const SortEntry bookmarkA{false, "a"};
  EXPECT_EQ(comparator(folderZ, bookmarkA), -1);
  EXPECT_EQ(comparator(bookmarkA, folderZ), 1);
  foldersFirst = false;
  EXPECT_EQ(comparator(folderZ, bookmarkA), 1);
  EXPECT_EQ(comparator(bookmarkA, folderZ), -1);
  foldersFirst = true;
  EXPECT_EQ(comparator(SortEntry{false, "item 2"}, SortEntry{false, "item 02"}), 0);
}

// Keeps documents in memory, and says what was asked of it.
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

TEST(FolderSort, SortLoadsSortsAndSavesInTheSameFormat) {
  FakeStore store;
  store.files["x.plist"] = {folder("", {bookmark("b"), bookmark("a")}), PlistFormat::Xml};
  PlistDocument document;
  ASSERT_TRUE(sort("x.plist", store, document).ok());
  EXPECT_EQ(store.saves, 1);
  EXPECT_EQ(childTitles(store.files["x.plist"].root), (Titles{"a", "b"}));
  EXPECT_EQ(store.files["x.plist"].format, PlistFormat::Xml);
}

TEST(FolderSort, SortReportsFailuresAndWritesNothingItCouldNotLoad) {
  FakeStore store;
  PlistDocument document;
  Status missing = sort("missing.plist", store, document);
  EXPECT_FALSE(missing.ok());
  EXPECT_EQ(missing.message(), "cannot open: No such file or directory");
  EXPECT_EQ(store.saves, 0);
  EXPECT_EQ(store.files.count("missing.plist"), 0u);

  store.files["y.plist"] = {folder("", {bookmark("b"), bookmark("a")}), PlistFormat::Binary};
  store.failSave = "cannot write: No space left on device";
  Status full = sort("y.plist", store, document);
  EXPECT_EQ(full.message(), "cannot write: No space left on device");
  EXPECT_EQ(childTitles(store.files["y.plist"].root), (Titles{"b", "a"}));
}

}  // namespace
}  // namespace tidymark
