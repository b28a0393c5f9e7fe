#include "bookmarks/outline.h"

#include <gtest/gtest.h>

#include "tests/test_support.h"

namespace tidymark {
namespace {

using testing::bookmark;
using testing::folder;
using testing::otherNode;

TEST(Outline, ShowsEveryEntryIndentedWithFoldersMarked) {
  PlistValue untitled = bookmark("x");
  untitled.asDict()->pop_back();  // no URIDictionary
  std::vector<PlistValue> inner;
  inner.push_back(bookmark("Item 2"));
  inner.push_back(std::move(untitled));
  PlistValue root =
      folder("", {folder("Favorites", {folder("News", std::move(inner)), bookmark("Café")}),
                  otherNode("WebBookmarkTypeProxy", "History"), bookmark("a")});
  std::string outline;
  appendOutline(root, outline);
  EXPECT_EQ(outline,
            "Favorites/\n"
            "  News/\n"
            "    Item 2\n"
            "    (untitled)\n"
            "  Café\n"
            "History [WebBookmarkTypeProxy]\n"
            "a\n");
}

TEST(Outline, ToleratesEntriesThatAreNotNodes) {
  PlistValue root = folder("", {PlistValue::integer(3)});
  std::string outline;
  appendOutline(root, outline);
  EXPECT_EQ(outline, "(untitled) [no kind]\n");
}

}  // namespace
}  // namespace tidymark
