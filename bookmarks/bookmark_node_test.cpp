#include "bookmarks/bookmark_node.h"

#include <gtest/gtest.h>

#include "tests/test_support.h"

namespace tidymark {
namespace {

PlistValue node(const char* kind, const char* title, const char* uriTitle) {
  PlistDict entries;
  if (kind) entries.push_back({"WebBookmarkType", PlistValue::string(kind)});
  if (title) entries.push_back({"Title", PlistValue::string(title)});
  if (uriTitle) {
    PlistDict uri;
    uri.push_back({"title", PlistValue::string(uriTitle)});
    entries.push_back({"URIDictionary", PlistValue::dict(std::move(uri))});
  }
  return PlistValue::dict(std::move(entries));
}

TEST(BookmarkNode, TitleComesFromWhereTheKindKeepsIt) {
  struct Case {
    const char* kind;
    const char* title;
    const char* uriTitle;
    const char* expected;  // nullptr: absent
  };
  const Case cases[] = {
      {"WebBookmarkTypeLeaf", "Other", "News", "News"},    // a bookmark: its URIDictionary's
      {"WebBookmarkTypeLeaf", "Other", nullptr, nullptr},  // never its own "Title"
      {"WebBookmarkTypeList", "Folder", "Uri", "Folder"},  // a folder: its "Title"
      {"WebBookmarkTypeProxy", "History", "Uri", "History"},
      {"webbookmarktypeleaf", "Title", "Uri", "Title"},  // kinds compare exactly
      {nullptr, "Bare", "Uri", "Bare"},
      {"WebBookmarkTypeList", nullptr, nullptr, nullptr},
  };
  for (const Case& c : cases) {
    const PlistValue subject = node(c.kind, c.title, c.uriTitle);
    const PlistString* title = getTitle(subject);
    if (c.expected) {
      ASSERT_NE(title, nullptr) << (c.kind ? c.kind : "(no kind)");
      EXPECT_EQ(*title, c.expected);
    } else {
      EXPECT_EQ(title, nullptr) << (c.kind ? c.kind : "(no kind)");
    }
  }
}

TEST(BookmarkNode, OnlyTheExactFolderKindIsAFolder) {
  EXPECT_TRUE(isFolder(node("WebBookmarkTypeList", nullptr, nullptr)));
  EXPECT_FALSE(isFolder(node("webbookmarktypelist", nullptr, nullptr)));
  EXPECT_FALSE(isFolder(node("WebBookmarkTypeLeaf", nullptr, nullptr)));
  EXPECT_FALSE(isFolder(node(nullptr, "x", nullptr)));
  // Values of another type than expected are simply absent.
  PlistValue numberKind = PlistValue::dict({{"WebBookmarkType", PlistValue::integer(1)}});
  EXPECT_FALSE(isFolder(numberKind));
  EXPECT_FALSE(isFolder(PlistValue::string("WebBookmarkTypeList")));
  PlistValue uriNotDict = node("WebBookmarkTypeLeaf", nullptr, nullptr);
  uriNotDict.asDict()->push_back({"URIDictionary", PlistValue::string("title")});
  EXPECT_EQ(getTitle(uriNotDict), nullptr);
  EXPECT_EQ(getTitle(PlistValue::array()), nullptr);
}

}  // namespace
}  // namespace tidymark
