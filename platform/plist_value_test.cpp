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
  EXPECT_TRUE(!node.find("title") && !stringValue(node.find("Count")) &&
              !arrayValue(node.find("Title")) && !Value::array().find("x") &&
              !stringValue(valueForKey(node.find("Missing"), "title")));
  const auto tree = [](double real) { return Value::array({Value::array({Value::real(real)})}); };
  EXPECT_EQ(tree(0.1), tree(0.1));
  EXPECT_EQ(tree(std::nan("")), tree(std::nan("")));
  const std::pair<Value, Value> different[] = {
      {tree(0.0), tree(-0.0)},
      {Value::dict({{"a", Value::integer(1)}, {"b", Value::integer(2)}}),
       Value::dict({{"b", Value::integer(2)}, {"a", Value::integer(1)}})},
      {Value::dict({{"a", Value::integer(1)}, {"b", Value::integer(2)}}),
       Value::dict({{"a", Value::integer(0)}, {"b", Value::integer(2)}})},
      {Value::integer(1), Value::boolean(true)},
      {Value::date(1.0), Value::real(1.0)},
      {Value::integer(-1), Value::unsignedInteger(UINT64_MAX)},
  };
  for (const auto& [a, b] : different)
    EXPECT_NE(a, b);
}

}  // namespace
}  // namespace tidymark
