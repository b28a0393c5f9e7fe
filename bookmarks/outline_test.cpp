#include "bookmarks/outline.h"

#include <gtest/gtest.h>

#include "tests/test_support.h"

namespace tidymark {
namespace {

using namespace testing;

struct RefusingSink : ByteSink {
  bool write(std::string_view) override { return false; }
};

// One line an entry, indented two spaces a level up to a limit: a folder's title ends in "/", a
// bookmark shows the title in its URIDictionary, any other node its own "Title" and its kind;
// a value of another type counts as absent, the first of two equal keys counts, and titles are
// shown printably. A sink that refuses ends the writing.
TEST(Outline, ShowsEachEntryByItsTitleAndKindIndentedUpToALimit) {
  const auto s = [](const char* text) { return PlistValue::string(text); };
  PlistValue deep = folder("");
  for (std::size_t level = 0; level <= kMaxOutlineIndent; ++level)
    deep = folder("f", {deep});
  const PlistValue root = folder(
      "",
      {folder("Favorites",
              {folder("News", {bookmark("Item 2"), otherNode("WebBookmarkTypeLeaf", "Own")}),
               bookmark("Café")}),
       otherNode("WebBookmarkTypeProxy", "History"), otherNode("webbookmarktypeleaf", "Own"),
       otherNode("webbookmarktypelist", "Own"), bookmark("a\n\x1B[2Jb"), PlistValue::integer(3),
       PlistValue::dict({{"WebBookmarkType", s("WebBookmarkTypeList")},
                         {"Title", s("first")},
                         {"WebBookmarkType", s("x")},
                         {"Title", s("second")}}),
       PlistValue::dict({{"WebBookmarkType", PlistValue::integer(1)}, {"Title", s("Own")}}),
       PlistValue::dict({{"WebBookmarkType", s("WebBookmarkTypeLeaf")}, {"URIDictionary", s("x")}}),
       deep});
  std::string expected =
      "Favorites/\n  News/\n    Item 2\n    (untitled)\n  Café\nHistory [WebBookmarkTypeProxy]\n"
      "Own [webbookmarktypeleaf]\nOwn [webbookmarktypelist]\na\\n\\x1B[2Jb\n(untitled) [no kind]\n"
      "first/\nOwn [no kind]\n(untitled)\n";
  for (std::size_t level = 0; level <= kMaxOutlineIndent + 1; ++level)
    expected += std::string(2 * std::min(level, kMaxOutlineIndent), ' ') +
                (level <= kMaxOutlineIndent ? "f/\n" : "/\n");
  std::string text;
  StringSink sink(text);
  EXPECT_TRUE(writeOutline(root, sink));
  EXPECT_EQ(text, expected);
  RefusingSink refusing;
  EXPECT_FALSE(writeOutline(root, refusing));
}

// Each folder the sort changed, outer ones first, by its path of titles (only the innermost
// ones of a deep path) and how many of its entries moved, then how many folders changed.
TEST(SortChanges, ShowsEachChangedFolderByItsTitlesThenASummary) {
  PlistValue deep = folder("y", {bookmark("2"), bookmark("1")});
  std::string deepPath = "...";
  for (std::size_t level = 0; level < 40; ++level) {
    deep = folder("x", {deep});
    if (level + 1 < kMaxTitlePath) deepPath += " / x";
  }
  const auto ba = [] { return std::vector{bookmark("b"), bookmark("a")}; };
  const std::pair<PlistValue, std::string> cases[] = {
      {folder("", {bookmark("a")}), "nothing would change"},
      {folder("", {bookmark("b"), bookmark("a"), bookmark("c")}),
       "(top level): 2 of 3 entries would move\n1 folder would change"},
      {folder("", {folder("Bar", {folder("", ba()), folder("a\tb\\", ba())})}),
       "Bar / (untitled): 2 of 2 entries would move\nBar / a\\tb\\\\: 2 of 2 entries would move\n"
       "2 folders would change"},
      {deep, deepPath + " / y: 2 of 2 entries would move\n1 folder would change"},
  };
  for (auto [root, expected] : cases) {
    std::vector<FolderChange> changes;
    sortImpl(root, &changes);
    std::string text;
    StringSink sink(text);
    EXPECT_TRUE(writeSortChanges(changes, sink));
    EXPECT_EQ(text, expected + "; nothing was written\n");
    RefusingSink refusing;
    EXPECT_FALSE(writeSortChanges(changes, refusing));
  }
}

}  // namespace
}  // namespace tidymark
