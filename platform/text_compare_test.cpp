#include "platform/text_compare.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tidymark {
namespace {

struct Pair {
  const char* first;
  const char* second;
};

TEST(TextCompare, RanksTheseTheSameFromEitherSide) {
  const Pair same[] = {
      {"News", "news"},
      {"straße", "STRASSE"},
      {"\u1E9E", "ss"},                                                      // capital sharp s
      {"\uFB01le", "file"},                                                  // the fi ligature
      {"\u03A3", "\u03C3"},                                                  // sigma, capital
      {"\u03C3", "\u03C2"},                                                  // and final
      {"\u0130", "i\u0307"},                                                 // I with dot above
      {"\u0421\u041B\u041E\u0412\u041E", "\u0441\u043B\u043E\u0432\u043E"},  // Cyrillic
      {"\u00C9T\u00C9", "e\u0301te\u0301"},  // precomposed and decomposed, folded too
      {"a\u0323\u0307", "a\u0307\u0323"},    // combining marks in either order
      {"\u1E0B\u0323", "d\u0323\u0307"},     // precomposed plus a mark, reordered
      {"\uAC00", "\u1100\u1161"},            // Hangul syllable and its jamo
      {"\uFF21", "\uFF41"},                  // fullwidth A and a
      {"2", "02"},                           // leading zeros do not count
      {"Item 007", "item 7"},
      {"x00000000000000000000000000042y", "X42Y"},
      {"", ""},
  };
  for (const Pair& pair : same) {
    EXPECT_EQ(compareTitles(pair.first, pair.second), 0) << pair.first << " = " << pair.second;
    EXPECT_EQ(compareTitles(pair.second, pair.first), 0) << pair.second << " = " << pair.first;
  }
}

TEST(TextCompare, OrdersTheseTheSameWayFromEitherSide) {
  const Pair ordered[] = {
      {"Apple", "banana"},
      {"ezz", "e\u0301"},        // e + accent after ezz ...
      {"\u00E9", "f"},           // ... and before f
      {"az", "\u00E0"},          // a letter with a mark after every plain continuation
      {"\uFFFD", "\U0001F600"},  // an emoji after every character of the basic plane
      {"\u00C5ngstr\u00F6m", "Zebra"},
      {"a", "\uFF21"},  // compatibility forms are not folded
      {"x2", "x\u00B2"},
      {"Item 2", "Item 10"},  // digit runs by value, of any length
      {"v1.9", "v1.10"},
      {"file1b", "file01c"},
      {"99999999999999999999999", "100000000000000000000000"},
      {"a100000000000000000000000000000000001", "a100000000000000000000000000000000002"},
      {"a 1", "a1"},  // space and punctuation before digits, letters after
      {"a-1", "a1"},
      {"a1", "aa"},
      {"9", ":"},
      {"x10", "x\u0662"},  // other scripts' digits are characters
      {"\uFF11\uFF10", "\uFF12"},
      {"", "0"},  // a prefix comes first
      {"Item 1", "Item 1a"},
  };
  for (const Pair& pair : ordered) {
    EXPECT_EQ(compareTitles(pair.first, pair.second), -1) << pair.first << " < " << pair.second;
    EXPECT_EQ(compareTitles(pair.second, pair.first), 1) << pair.second << " > " << pair.first;
  }
}

TEST(TextCompare, OrderIsConsistentOverAMixedSet) {
  // A sort with an inconsistent comparison misplaces entries: check the order is antisymmetric
  // and transitive over titles that mix every rule, one of them not even UTF-8.
  const std::vector<std::string> titles = {
      "",       " ",   "0",   "00",   "1",      "01",         "2",      "10",      "a",       "A",
      "a1",     "a01", "a10", "a 1",  "a-1",    "ss",         "ß",      "\u00E9",  "e\u0301", "ezz",
      "\uFF21", "x9y", "x10", "x09z", "\u03C2", "\U0001F600", "Item 2", "item 02", "caf\xC3"};
  for (const auto& a : titles) {
    for (const auto& b : titles) {
      ASSERT_EQ(compareTitles(a, b), -compareTitles(b, a)) << a << " / " << b;
      for (const auto& c : titles) {
        if (compareTitles(a, b) <= 0 && compareTitles(b, c) <= 0) {
          ASSERT_LE(compareTitles(a, c), 0) << a << " <= " << b << " <= " << c;
        }
      }
    }
  }
}

TEST(TextCompare, KeyBuilderAppendsAndReusesItsBuffers) {
  TitleKeyBuilder builder;
  std::string key = "prefix|";
  builder.append("Stra\u00DFe", key);
  builder.append("|\u00C9", key);
  EXPECT_EQ(key, "prefix|strasse|e\u0301");
  // A long title after a short one must not be cut short by the reused buffer.
  std::string longTitle, expected;
  for (int i = 0; i < 500; ++i)
    longTitle += "\u00C5", expected += "a\u030A";
  key.clear();
  builder.append(longTitle, key);
  EXPECT_EQ(key, expected);
}

}  // namespace
}  // namespace tidymark
