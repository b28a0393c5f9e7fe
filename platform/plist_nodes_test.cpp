#include "platform/plist_nodes.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "platform/binary_plist.h"

namespace tidymark {
namespace {

using V = PlistValue;
using Node = PlistNodes::Node;

// Everything a walk can read below `node`, as text: each value's kind, a string's text, and a
// container's elements or keys and values, in order.
std::string shown(const PlistNodes& nodes, Node node) {
  static constexpr const char* kLetters[] = {"D", "A", "S", "I", "R", "B", "T", "X", "U"};
  std::string out = kLetters[static_cast<int>(nodes.kind(node))];
  std::string_view text;
  if (nodes.text(node, &text)) out += "\"" + std::string(text) + "\"";
  if (nodes.kind(node) == PlistKind::Array) {
    out += "[";
    for (std::size_t i = 0; i < nodes.size(node); ++i)
      out += shown(nodes, nodes.element(node, i)) + ",";
    out += "]";
  } else if (nodes.kind(node) == PlistKind::Dictionary) {
    out += "{";
    for (std::size_t i = 0; i < nodes.size(node); ++i) {
      out += std::string(nodes.key(node, i)) + "=";
      out += shown(nodes, nodes.value(node, i)) + ",";
    }
    out += "}";
  } else {
    EXPECT_EQ(nodes.size(node), 0u);
  }
  return out;
}

// A tree and the same values checked in a binary file, read where they lie, show alike: keys in
// file order with repeats, ASCII and UTF-16 text (a code point of two units among them), every
// kind, empty containers. A key stays valid while strings are read, and the reverse.
TEST(PlistNodes, ATreeAndACheckedBinaryFileShowTheSameValues) {
  const V tree = V::dict({
      {"Title", V::string("News")},
      {"Title", V::string("second")},
      {"ключ", V::string("значение \xF0\x9F\x98\x80")},
      {"a", V::array({V::integer(1), V::real(1.5), V::boolean(true), V::date(2), V::data({1}),
                      V::uid(7), V::dict(), V::array()})},
  });
  const std::string expected =
      "D{Title=S\"News\",Title=S\"second\",ключ=S\"значение \xF0\x9F\x98\x80\","
      "a=A[I,R,B,T,X,U,D{},A[],],}";
  std::string file;
  ASSERT_TRUE(writeBinaryPlist(tree, &file).ok());
  std::unique_ptr<const PlistNodes> checked;
  ASSERT_TRUE(checkBinaryPlist(file, &checked).ok());
  const TreeNodes inMemory(tree);
  for (const PlistNodes* nodes : {static_cast<const PlistNodes*>(&inMemory), checked.get()}) {
    EXPECT_EQ(shown(*nodes, nodes->root()), expected);
    const Node root = nodes->root();
    const std::string_view key = nodes->key(root, 2);
    std::string_view text;
    ASSERT_TRUE(nodes->text(nodes->value(root, 2), &text));
    EXPECT_EQ(key, "ключ");
    EXPECT_FALSE(nodes->text(nodes->value(root, 3), &text));
    EXPECT_EQ(text, "значение \xF0\x9F\x98\x80");
    EXPECT_NE(nodes->arrayId(nodes->value(root, 3)),
              nodes->arrayId(nodes->element(nodes->value(root, 3), 7)));
  }
}

// A file that fails the check gives no nodes.
TEST(PlistNodes, AFileThatFailsTheCheckGivesNone) {
  std::string file;
  ASSERT_TRUE(writeBinaryPlist(V::array({V::string("x"), V::string("y")}), &file).ok());
  file[file.size() - 33] = 0x7A;  // the offset table's last entry: past the objects
  std::unique_ptr<const PlistNodes> checked;
  EXPECT_FALSE(checkBinaryPlist(file, &checked).ok());
  EXPECT_EQ(checked, nullptr);
}

}  // namespace
}  // namespace tidymark
