#include "platform/plist_value.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace tidymark {
namespace {

TEST(PlistValue, LookupsYieldAbsentInsteadOfFailing) {
  PlistValue node = PlistValue::dict({
      {"Title", PlistValue::string("News")},
      {"Children", PlistValue::array()},
      {"Count", PlistValue::integer(3)},
  });
  EXPECT_EQ(*stringValue(node.find("Title")), "News");
  EXPECT_EQ(node.find("Missing"), nullptr);
  EXPECT_EQ(node.find("title"), nullptr) << "keys are case-sensitive";
  EXPECT_EQ(stringValue(node.find("Count")), nullptr) << "a value of another kind is absent";
  EXPECT_EQ(arrayValue(node.find("Title")), nullptr);
  EXPECT_NE(arrayValue(node.find("Children")), nullptr);
  // Chains pass an absent value along.
  EXPECT_EQ(stringValue(valueForKey(node.find("Missing"), "title")), nullptr);
  EXPECT_EQ(valueForKey(static_cast<const PlistValue*>(nullptr), "x"), nullptr);
  // Asking a non-dictionary for a key is absent too.
  EXPECT_EQ(PlistValue::string("x").find("x"), nullptr);
  EXPECT_EQ(PlistValue::array().find("x"), nullptr);
}

TEST(PlistString, HoldsAnyTextInlineOrShared) {
  // Around the inline limit, with NUL bytes and bytes that are not UTF-8.
  for (const std::string& text :
       {std::string(), std::string("title"), std::string(15, 'x'), std::string(16, 'y'),
        std::string("a\0b", 3), std::string(15, '\0'), std::string("\xff\xfe long enough to share"),
        std::string(100000, 'z')}) {
    const PlistString string(text);
    EXPECT_EQ(string.size(), text.size());
    EXPECT_EQ(string.view(), text);
    PlistString copy = string;
    EXPECT_EQ(copy, string);
    EXPECT_EQ(copy.sharesBlockWith(string), text.size() > PlistString::kInlineCapacity);
    PlistString moved = std::move(copy);
    EXPECT_EQ(moved.view(), text);
    EXPECT_TRUE(copy.empty());
  }
}

TEST(PlistString, CopiesOutliveTheOriginalAndAssignmentsRelease) {
  PlistString kept;
  {
    const PlistString original(std::string(40, 'k'));
    kept = original;
    PlistString other("short");
    other = original;  // from inline to shared
    other = other;     // self-assignment keeps it
    EXPECT_EQ(other.view(), std::string(40, 'k'));
    other = PlistString("x");  // and back, releasing its share
    EXPECT_EQ(other, "x");
  }
  EXPECT_EQ(kept.view(), std::string(40, 'k'));
  // Equal texts held separately are equal; different texts of one length are not.
  EXPECT_EQ(PlistString(std::string(20, 'a')), PlistString(std::string(20, 'a')));
  EXPECT_NE(PlistString(std::string(20, 'a')), PlistString(std::string(20, 'b')));
  EXPECT_NE(PlistString("abc"), PlistString("abd"));
}

TEST(PlistValue, DuplicateKeysAreKeptAndTheFirstIsFound) {
  PlistValue node =
      PlistValue::dict({{"k", PlistValue::string("first")}, {"k", PlistValue::string("second")}});
  EXPECT_EQ(node.asDict()->size(), 2u);
  EXPECT_EQ(*stringValue(node.find("k")), "first");
}

TEST(PlistValue, IntegersCoverSignedAndLargeUnsigned) {
  const PlistInteger minimum(std::numeric_limits<std::int64_t>::min());
  EXPECT_TRUE(minimum.isNegative());
  EXPECT_TRUE(minimum.fitsSigned());
  const PlistInteger maximum =
      PlistInteger::fromUnsigned(std::numeric_limits<std::uint64_t>::max());
  EXPECT_FALSE(maximum.isNegative());
  EXPECT_FALSE(maximum.fitsSigned());
  EXPECT_EQ(maximum.asUnsigned(), std::numeric_limits<std::uint64_t>::max());
  // The same value made either way is one value; -1 and 2^64-1 share bits but differ.
  EXPECT_EQ(PlistInteger::fromUnsigned(5), PlistInteger(5));
  EXPECT_NE(PlistInteger(-1), maximum);
  EXPECT_TRUE(PlistInteger::fromUnsigned(std::uint64_t{1} << 63).isNegative() == false);
}

TEST(PlistValue, EqualityIsDeepOrderedAndBitExact) {
  auto tree = [](double real) {
    return PlistValue::dict(
        {{"a", PlistValue::array({PlistValue::real(real), PlistValue::date(1.5)})},
         {"b", PlistValue::data({1, 2, 3})}});
  };
  EXPECT_EQ(tree(0.1), tree(0.1));
  EXPECT_NE(tree(0.1), tree(0.2));
  EXPECT_NE(tree(0.0), tree(-0.0)) << "reals compare bit for bit";
  const double nan = std::nan("");
  EXPECT_EQ(tree(nan), tree(nan));

  PlistValue ab = PlistValue::dict({{"a", PlistValue::integer(1)}, {"b", PlistValue::integer(2)}});
  PlistValue ba = PlistValue::dict({{"b", PlistValue::integer(2)}, {"a", PlistValue::integer(1)}});
  EXPECT_NE(ab, ba) << "entry order is part of a dictionary";
  EXPECT_NE(PlistValue::integer(1), PlistValue::real(1.0));
  EXPECT_NE(PlistValue::integer(1), PlistValue::boolean(true));
  EXPECT_NE(PlistValue::date(1.0), PlistValue::real(1.0));
  EXPECT_NE(PlistValue::uid(1), PlistValue::integer(1));
  EXPECT_NE(PlistValue::string("a"), PlistValue::data({'a'}));
}

// Builds `depth` levels of nesting, alternating arrays and dictionaries, without recursion (and
// without initializer lists, which would copy the tree built so far).
PlistValue deepTree(int depth) {
  PlistValue inner = PlistValue::string("leaf");
  for (int level = 0; level < depth; ++level) {
    if (level % 2) {
      PlistArray elements;
      elements.push_back(PlistValue::integer(level));
      elements.push_back(std::move(inner));
      inner = PlistValue::array(std::move(elements));
    } else {
      PlistDict entries;
      entries.push_back({"Children", std::move(inner)});
      inner = PlistValue::dict(std::move(entries));
    }
  }
  return inner;
}

TEST(PlistValue, DeepTreesCompareAndReleaseWithoutRecursion) {
  // Deep enough to overflow the stack if any of these recursed.
  const int depth = 1'000'000;
  PlistValue a = deepTree(depth);
  PlistValue b = deepTree(depth);
  EXPECT_EQ(a, b);
  // Replacing a deep tree releases the old one; a moved-from value is an empty container.
  a = PlistValue::integer(1);
  EXPECT_EQ(a, PlistValue::integer(1));
  PlistValue c = std::move(b);
  EXPECT_TRUE(b.isContainer());
  EXPECT_EQ(b.asDict() ? b.asDict()->size() : b.asArray()->size(), 0u);
}

}  // namespace
}  // namespace tidymark
