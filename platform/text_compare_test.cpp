#include "platform/text_compare.h"

#include <tuple>
#include <vector>

#include <gtest/gtest.h>

namespace tidymark {
namespace {

// Titles compare without case, by canonical form, and digit runs by value: the same from either
// side (order -1: the first comes first).
TEST(TextCompare, RanksTitlesAlikeFromEitherSide) {
  const std::tuple<const char*, const char*, int> cases[] = {
      {"straße", "STRASSE", 0},
      {"\u03A3", "\u03C2", 0},                  // capital and final sigma
      {"\u0130", "i\u0307", 0},                 // I with dot
      {"\u00C9T\u00C9", "e\u0301te\u0301", 0},  // precomposed and decomposed, folded too
      {"a\u0323\u0307", "a\u0307\u0323", 0},    // combining marks in either order
      // The same text, whose iota subscript (U+0345) folds to a letter: marks are put in
      // canonical order before folding.
      {"\u1FB3\u0342", "\u1FB7", 0},
      {"\u1FF3\u0332", "\u03C9\u0332\u0345", 0},
      {"\u1FB3\u0342", "\u03B1\u0342\u03B9", 0},  // and its folded form
      {"Item 007", "item 7", 0},                  // leading zeros do not count
      {"x00000000000000000000000000042y", "X42Y", 0},
      {"Apple", "banana", -1},
      {"ezz", "e\u0301", -1},        // e + accent after ezz ...
      {"\u00E9", "f", -1},           // ... and before f
      {"\uFFFD", "\U0001F600", -1},  // an emoji after every character of the basic plane
      {"a", "\uFF21", -1},           // compatibility forms are not folded
      {"Item 2", "Item 10", -1},     // digit runs by value, of any length
      {"99999999999999999999999", "100000000000000000000000", -1},
      {"a 1", "a1", -1},  // space and punctuation before digits, letters after
      {"", "0", -1},      // a prefix comes first
  };
  std::vector<std::string> titles = {"caf\xC3", "x9y", "x09z"};
  for (const auto& [first, second, order] : cases) {
    EXPECT_EQ(compareTitles(first, second), order) << first << " / " << second;
    EXPECT_EQ(compareTitles(second, first), -order) << second << " / " << first;
    titles.insert(titles.end(), {first, second});
  }
  // A sort needs the order antisymmetric and transitive over all of them, even one not UTF-8.
  for (const auto& a : titles) {
    for (const auto& b : titles) {
      ASSERT_EQ(compareTitles(a, b), -compareTitles(b, a)) << a << " / " << b;
      for (const auto& c : titles)
        ASSERT_TRUE(compareTitles(a, b) > 0 || compareTitles(b, c) > 0 || compareTitles(a, c) <= 0)
            << a << " <= " << b << " <= " << c;
    }
  }
}

}  // namespace
}  // namespace tidymark
