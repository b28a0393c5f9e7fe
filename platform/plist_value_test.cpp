#include "platform/plist_value.h"

#include <gtest/gtest.h>

#include <cmath>

namespace tidymark {
namespace {

using Value = PlistValue;

// Lookups give nothing rather than fail; equality is deep, ordered and bit for bit.
TEST(PlistValue, LookupsYieldAbsentAndEqualityIsDeepOrderedAndBitExact) {
  const Value node = Value::dict({{"Title", Value::string("News")},
                                  {"Count", Value::integer(3)},
                                  {"Title", Value::string("second")}});
  EXPECT_EQ(*stringValue(node.find("Title")), "News") << "the first of duplicate keys counts";
  EXPECT_EQ(node.find("title"), nullptr);
  EXPECT_EQ(stringValue(node.find("Count")), nullptr);
  EXPECT_EQ(arrayValue(node.find("Title")), nullptr);
  EXPECT_EQ(stringValue(valueForKey(node.find("Missing"), "title")), nullptr);
  EXPECT_EQ(Value::array().find("x"), nullptr);
  const auto tree = [](double real) { return Value::array({Value::array({Value::real(real)})}); };
  EXPECT_EQ(tree(0.1), tree(0.1));
  EXPECT_EQ(tree(std::nan("")), tree(std::nan("")));
  const std::pair<Value, Value> different[] = {
      {tree(0.0), tree(-0.0)},
      {Value::dict({{"a", Value::integer(1)}, {"b", Value::integer(2)}}),
       Value::dict({{"b", Value::integer(2)}, {"a", Value::integer(1)}})},
      {Value::integer(1), Value::boolean(true)},
      {Value::date(1.0), Value::real(1.0)},
      {Value::integer(-1), Value::unsignedInteger(UINT64_MAX)},
  };
  for (const auto& [a, b] : different)
    EXPECT_NE(a, b);
}

// A string holds any bytes, inline or in a shared block; copies outlive the original, and
// assigning over a string releases what it held.
TEST(PlistString, HoldsAnyTextAndCopiesOutliveTheOriginal) {
  for (const std::string& text : {std::string(15, 'x'), std::string("a\0b", 3),
                                  std::string("\xff\xfe long enough to share")}) {
    PlistString kept, other("short");
    {
      const PlistString string(text);
      kept = other = string;
      EXPECT_EQ(kept.sharesBlockWith(string), text.size() > PlistString::kInlineCapacity);
    }
    other = PlistString("x");
    EXPECT_EQ(kept.view(), text);
    EXPECT_EQ(PlistString(std::move(kept)).view(), text);
    EXPECT_TRUE(kept.empty() && other == "x");
  }
}

}  // namespace
}  // namespace tidymark
