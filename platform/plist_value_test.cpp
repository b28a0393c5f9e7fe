#include "platform/plist_value.h"

#include <gtest/gtest.h>

#include <cmath>

namespace tidymark {
namespace {

using Value = PlistValue;

// Accessors of another kind give nothing rather than fail; equality is deep, ordered and bit for
// bit.
TEST(PlistValue, AccessorsYieldAbsentAndEqualityIsDeepOrderedAndBitExact) {
  const Value node = Value::dict({{"Title", Value::string("News")}});
  EXPECT_EQ(node.asString(), nullptr);
  EXPECT_EQ(node.asArray(), nullptr);
  EXPECT_EQ(Value::integer(3).asDict(), nullptr);
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
