#include "bookmarks/bookmark_node.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>

#include "platform/binary_plist.h"

namespace tidymark {
namespace {

using V = PlistValue;

// What describeNode says of the top node, as text.
std::string facts(const PlistNodes& nodes) {
  const NodeFacts facts = describeNode(nodes, nodes.root());
  std::string out = facts.folder ? "folder" : facts.bookmark ? "bookmark" : "other";
  std::string_view text;
  if (facts.kind && nodes.text(*facts.kind, &text)) out += " kind=" + std::string(text);
  if (facts.title && nodes.text(*facts.title, &text)) out += " title=" + std::string(text);
  if (facts.children) out += " children=" + std::to_string(nodes.size(*facts.children));
  return out;
}

// The first of keys named twice counts; a value of another kind than the key calls for is
// absent; kinds match exactly; a bookmark is titled inside its "URIDictionary" only. Alike for a
// tree and for the same node checked in a binary file.
TEST(BookmarkNode, DescribesTheFirstOfEachKeyAndOnlyValuesOfTheirKind) {
  const auto s = [](const char* text) { return V::string(text); };
  const std::pair<V, std::string> cases[] = {
      {V::dict({{"WebBookmarkType", s("WebBookmarkTypeList")},
                {"Title", s("a")},
                {"Title", s("b")},
                {"Children", V::array({s("x")})},
                {"Children", V::array()}}),
       "folder kind=WebBookmarkTypeList title=a children=1"},
      {V::dict({{"WebBookmarkType", s("WebBookmarkTypeList")},
                {"WebBookmarkType", s("WebBookmarkTypeLeaf")},
                {"Children", s("x")}}),
       "folder kind=WebBookmarkTypeList"},
      {V::dict({{"Title", s("own")},
                {"URIDictionary", V::dict({{"title", s("uri")}, {"title", s("2nd")}})},
                {"WebBookmarkType", s("WebBookmarkTypeLeaf")}}),
       "bookmark kind=WebBookmarkTypeLeaf title=uri"},
      {V::dict({{"WebBookmarkType", s("WebBookmarkTypeLeaf")},
                {"Title", s("own")},
                {"URIDictionary", V::array({s("title"), s("x")})}}),
       "bookmark kind=WebBookmarkTypeLeaf"},
      {V::dict({{"WebBookmarkType", s("webbookmarktypelist")}, {"Title", V::integer(5)}}),
       "other kind=webbookmarktypelist"},
      {V::dict({{"WebBookmarkType", V::integer(1)},
                {"Title", s("t")},
                {"Children", V::array({s("x"), s("y")})}}),
       "other title=t children=2"},
      {V::array({V::dict({{"Title", s("t")}})}), "other"},
  };
  for (const auto& [node, expected] : cases) {
    std::string file;
    ASSERT_TRUE(writeBinaryPlist(node, &file).ok());
    std::unique_ptr<const PlistNodes> checked;
    ASSERT_TRUE(checkBinaryPlist(file, &checked).ok());
    EXPECT_EQ(facts(TreeNodes(node)), expected);
    EXPECT_EQ(facts(*checked), expected);
  }
}

}  // namespace
}  // namespace tidymark
