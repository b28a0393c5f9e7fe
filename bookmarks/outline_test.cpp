#include "bookmarks/outline.h"

#include <gtest/gtest.h>

#include "tests/test_support.h"

namespace tidymark {
namespace {

using testing::bookmark;
using testing::folder;
using testing::otherNode;

std::string outlineOf(const PlistValue& root) {
  std::string text;
  StringSink sink(text);
  EXPECT_TRUE(writeOutline(root, sink));
  return text;
}

class RefusingSink final : public ByteSink {
 public:
  bool write(std::string_view) override { return false; }
};

TEST(Outline, ShowsEveryEntryIndentedWithFoldersMarkedAndTitlesPrintable) {
  PlistValue untitled = bookmark("x");
  untitled.asDict()->pop_back();  // no URIDictionary
  std::vector<PlistValue> inner;
  inner.push_back(bookmark("Item 2"));
  inner.push_back(std::move(untitled));
  PlistValue root =
      folder("", {folder("Favorites", {folder("News", std::move(inner)), bookmark("Café")}),
                  otherNode("WebBookmarkTypeProxy", "History"), bookmark("a\n\x1B[2Jb"),
                  PlistValue::integer(3)});
  EXPECT_EQ(outlineOf(root),
            "Favorites/\n"
            "  News/\n"
            "    Item 2\n"
            "    (untitled)\n"
            "  Café\n"
            "History [WebBookmarkTypeProxy]\n"
            "a\\n\\x1B[2Jb\n"
            "(untitled) [no kind]\n");
  RefusingSink refusing;
  EXPECT_FALSE(writeOutline(root, refusing));
}

TEST(Outline, IndentationStopsGrowingAtTheLimit) {
  PlistValue root = folder("");
  const std::size_t depth = kMaxOutlineIndent + 5;
  for (std::size_t i = 0; i < depth; ++i)
    root = folder("f", {std::move(root)});
  std::string expected;
  for (std::size_t level = 0; level < depth; ++level)
    expected += std::string(2 * std::min(level, kMaxOutlineIndent), ' ') + "f/\n";
  expected += std::string(2 * kMaxOutlineIndent, ' ') + "/\n";  // the innermost, titled ""
  EXPECT_EQ(outlineOf(folder("", {std::move(root)})), expected);
}

TEST(SortChanges, ShowsEachFolderByItsTitlesThenASummary) {
  const auto change = [](std::vector<std::string> titles, std::vector<std::uint32_t> order,
                         std::size_t depth = 0) {
    FolderChange folder;
    folder.depth = depth ? depth : titles.size();
    folder.titlePath = std::move(titles);
    folder.order = std::move(order);
    return folder;
  };
  const std::pair<std::vector<FolderChange>, std::string> cases[] = {
      {{}, "nothing would change; nothing was written\n"},
      {{change({}, {1, 0, 2})},
       "(top level): 2 of 3 entries would move\n1 folder would change; nothing was written\n"},
      {{change({"BookmarksBar", "Work"}, {0, 2, 1, 3}), change({"", "a\tb\\"}, {2, 0, 1})},
       "BookmarksBar / Work: 2 of 4 entries would move\n"
       "(untitled) / a\\tb\\\\: 3 of 3 entries would move\n"
       "2 folders would change; nothing was written\n"},
      {{change({"x", "y"}, {1, 0}, 40)},  // only the innermost titles were kept
       "... / x / y: 2 of 2 entries would move\n1 folder would change; nothing was written\n"},
  };
  for (const auto& [changes, expected] : cases) {
    std::string text;
    StringSink sink(text);
    EXPECT_TRUE(writeSortChanges(changes, sink));
    EXPECT_EQ(text, expected);
    RefusingSink refusing;
    EXPECT_FALSE(writeSortChanges(changes, refusing));
  }
}

}  // namespace
}  // namespace tidymark
