#include "platform/plist_value.h"

#include <gtest/gtest.h>

#include <cmath>

namespace tidymark {
namespace {

TEST(PlistValue, LookupsYieldAbsentInsteadOfFailing) {
  PlistValue node = PlistValue::dict({{"Title", PlistValue::string("News")},
                                      {"Count", PlistValue::integer(3)},
                                      {"Title", PlistValue::string("second")}});
  EXPECT_EQ(*stringValue(node.find("Title")), "News") << "the first of duplicate keys counts";
  EXPECT_EQ(node.find("title"), nullptr) << "keys are case-sensitive";
  EXPECT_EQ(stringValue(node.find("Count")), nullptr) << "a value of another kind is absent";
  EXPECT_EQ(arrayValue(node.find("Title")), nullptr);
  EXPECT_EQ(stringValue(valueForKey(node.find("Missing"), "title")), nullptr);
  EXPECT_EQ(PlistValue::array().find("x"), nullptr);
}

TEST(PlistString, HoldsAnyTextInlineOrSharedAndCopiesOutliveTheOriginal) {
  // Around the inline limit, with NUL bytes and bytes that are not UTF-8.
  for (const std::string& text :
       {std::string(), std::string(15, 'x'), std::string(16, 'y'), std::string("a\0b", 3),
        std::string("\xff\xfe long enough to share"), std::string(100000, 'z')}) {
    PlistString kept;
    {
      const PlistString string(text);
      kept = string;
      EXPECT_EQ(kept.sharesBlockWith(string), text.size() > PlistString::kInlineCapacity);
      PlistString other("short");
      other = string;
      other = PlistString("x");  // releasing its share again
      EXPECT_EQ(other, "x");
    }
    EXPECT_EQ(kept.view(), text);
    PlistString moved = std::move(kept);
    EXPECT_EQ(moved.view(), text);
    EXPECT_TRUE(kept.empty());
  }
  EXPECT_EQ(PlistString(std::string(20, 'a')), PlistString(std::string(20, 'a')));
  EXPECT_NE(PlistString(std::string(20, 'a')), PlistString(std::string(20, 'b')));
}

TEST(PlistValue, EqualityIsDeepOrderedAndBitExact) {
  auto tree = [](double real) {
    return PlistValue::dict({{"a", PlistValue::array({PlistValue::real(real)})}});
  };
  EXPECT_EQ(tree(0.1), tree(0.1));
  EXPECT_NE(tree(0.0), tree(-0.0)) << "reals compare bit for bit";
  EXPECT_EQ(tree(std::nan("")), tree(std::nan("")));
  PlistValue ab = PlistValue::dict({{"a", PlistValue::integer(1)}, {"b", PlistValue::integer(2)}});
  PlistValue ba = PlistValue::dict({{"b", PlistValue::integer(2)}, {"a", PlistValue::integer(1)}});
  EXPECT_NE(ab, ba) << "entry order is part of a dictionary";
  EXPECT_NE(PlistValue::integer(1), PlistValue::boolean(true));
  EXPECT_NE(PlistValue::date(1.0), PlistValue::real(1.0));
  EXPECT_NE(PlistValue::integer(-1), PlistValue::unsignedInteger(UINT64_MAX));
}

TEST(PlistValue, DeepTreesCompareAndReleaseWithoutRecursion) {
  // Deep enough to overflow the stack if either recursed; built without initializer lists,
  // which would copy the tree built so far.
  const auto deepTree = [] {
    PlistValue inner = PlistValue::string("leaf");
    for (int level = 0; level < 1'000'000; ++level) {
      PlistDict entries;
      entries.push_back({"Children", std::move(inner)});
      inner = PlistValue::dict(std::move(entries));
    }
    return inner;
  };
  PlistValue a = deepTree();
  EXPECT_EQ(a, deepTree());
  a = PlistValue::integer(1);
  EXPECT_EQ(a, PlistValue::integer(1));
}

}  // namespace
}  // namespace tidymark
