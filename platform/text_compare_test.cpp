#include "platform/text_compare.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace tidymark {
namespace {

struct Ordered {
  const char* before;
  const char* after;
};

// Each pair must compare as "before < after" in that order and "after > before" the other way.
void expectOrdered(const std::vector<Ordered>& pairs) {
  for (const Ordered& pair : pairs) {
    EXPECT_EQ(compareTitles(pair.before, pair.after), -1) << pair.before << " < " << pair.after;
    EXPECT_EQ(compareTitles(pair.after, pair.before), 1) << pair.after << " > " << pair.before;
  }
}

void expectSame(const std::vector<Ordered>& pairs) {
  for (const Ordered& pair : pairs) {
    EXPECT_EQ(compareTitles(pair.before, pair.after), 0) << pair.before << " = " << pair.after;
    EXPECT_EQ(compareTitles(pair.after, pair.before), 0) << pair.after << " = " << pair.before;
  }
}

TEST(TextCompare, IgnoresCaseWithFullUnicodeFolding) {
  expectSame({
      {"apple", "APPLE"},
      {"News", "news"},
      {"straße", "STRASSE"},
      {"ß", "ss"},
      {"\u1E9E", "ss"},              // capital sharp s
      {"\uFB01le", "file"},          // the fi ligature
      {"\u03A3", "\u03C3"},          // capital and small sigma
      {"\u03C3", "\u03C2"},          // small and final sigma
      {"\u00C9cole", "\u00E9COLE"},  // É and é
      {"\u0130", "i\u0307"},         // capital I with dot above folds to i + dot
      {"\u0421\u041B\u041E\u0412\u041E", "\u0441\u043B\u043E\u0432\u043E"},  // Cyrillic
  });
  expectOrdered({{"apple", "Banana"}, {"Apple", "banana"}, {"b", "C"}});
}

TEST(TextCompare, CanonicallyEquivalentTextsRankTheSame) {
  expectSame({
      {"\u00E9", "e\u0301"},                 // precomposed and decomposed e acute
      {"\u00C9T\u00C9", "e\u0301te\u0301"},  // and with case folding on top
      {"a\u0323\u0307", "a\u0307\u0323"},    // combining marks in either order
      {"\u1E0B\u0323", "d\u0323\u0307"},     // precomposed plus a mark, reordered
      {"\uAC00", "\u1100\u1161"},            // Hangul syllable and its jamo
  });
}

TEST(TextCompare, CompatibilityFormsAreNotFolded) {
  EXPECT_NE(compareTitles("\uFF21", "a"), 0);  // fullwidth A
  EXPECT_NE(compareTitles("\uFF21", "A"), 0);
  EXPECT_EQ(compareTitles("\uFF21", "\uFF41"), 0);  // fullwidth A and fullwidth a
  EXPECT_NE(compareTitles("\u2460", "1"), 0);       // circled digit one
  EXPECT_NE(compareTitles("x\u00B2", "x2"), 0);     // superscript two
}

TEST(TextCompare, OtherwiseComparesByCodePoint) {
  expectOrdered({
      {"ezz", "e\u0301"},        // e + accent sorts after ezz ...
      {"\u00E9", "f"},           // ... and before f
      {"ezz", "\u00E9"},         // the same for the precomposed form
      {"a b", "a-b"},            // space before punctuation
      {"\u00E0", "b"},           // a letter with a mark sorts with its base letter ...
      {"az", "\u00E0"},          // ... after every plain continuation
      {"\uFFFD", "\U0001F600"},  // an emoji after every character of the basic plane
      {"\uFFFF", "\U00010000"},
      {"\u0100", "\u4E00"},
      {"\u00C5ngstr\u00F6m", "Zebra"},
  });
}

TEST(TextCompare, DigitRunsCompareByValue) {
  expectOrdered({
      {"Item 2", "Item 10"},
      {"x9", "x10"},
      {"v1.9", "v1.10"},
      {"v1.10", "v2.1"},
      {"2", "10"},
      {"0", "1"},
      {"file1b", "file01c"},
      {"99999999999999999999999", "100000000000000000000000"},  // beyond 64 bits
      {"18446744073709551615", "18446744073709551616"},
      {"a100000000000000000000000000000000001", "a100000000000000000000000000000000002"},
  });
  expectSame({
      {"2", "02"},
      {"Item 007", "item 7"},
      {"0", "000"},
      {"x00000000000000000000000000042y", "X42Y"},
  });
}

TEST(TextCompare, DigitsAgainstOtherCharactersCompareAsCharacters) {
  expectOrdered({
      {"Item ", "Item 1"},  // prefix
      {"a 1", "a1"},        // space before digits
      {"a-1", "a1"},        // most punctuation before digits
      {"a1", "aa"},         // letters after digits
      {"1", "a"},
      {"9", ":"},
  });
  // Digits of other scripts are ordinary characters, not numbers.
  EXPECT_EQ(compareTitles("\u0662", "\u0661\u0660"), 1);  // Arabic-Indic 2 vs 10
  EXPECT_EQ(compareTitles("\uFF12", "\uFF11\uFF10"), 1);  // fullwidth 2 vs 10
  EXPECT_EQ(compareTitles("x\u0662", "x10"), 1);
}

TEST(TextCompare, PrefixComesFirstAndEmptyIsSmallest) {
  expectOrdered({{"", "a"}, {"", " "}, {"", "0"}, {"abc", "abcd"}, {"Item 1", "Item 1a"}});
  expectSame({{"", ""}});
}

TEST(TextCompare, OrderIsConsistentOverAMixedSet) {
  // A sort with an inconsistent comparison misplaces entries; check the order is a strict weak
  // order over a set that mixes every rule: antisymmetric and transitive.
  std::vector<std::string> titles = {
      "",    " ",   "0",      "00",      "1",      "01",     "2",       "10",
      "a",   "A",   "a1",     "a01",     "a2",     "a10",    "a 1",     "a-1",
      "ss",  "ß",   "\u00E9", "e\u0301", "ezz",    "f",      "\uFF21",  "\U0001F600",
      "x9y", "x10", "x09z",   "\u03C3",  "\u03C2", "Item 2", "Item 10", "item 02"};
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

TEST(TextCompare, InvalidUtf8StillOrdersConsistently) {
  const std::string broken = "caf\xC3";
  EXPECT_EQ(compareTitles(broken, broken), 0);
  EXPECT_EQ(compareTitles(broken, "cafe"), -compareTitles("cafe", broken));
}

TEST(TextCompare, KeyBuilderAppendsAndReusesBuffers) {
  TitleKeyBuilder builder;
  std::string key = "prefix|";
  builder.append("Stra\u00DFe", key);
  builder.append("|\u00C9", key);
  EXPECT_EQ(key, "prefix|strasse|e\u0301");
  // A long non-ASCII title after a short one must not be cut short by the reused buffer.
  std::string longTitle;
  for (int i = 0; i < 500; ++i)
    longTitle += "\u00C5";
  key.clear();
  builder.append(longTitle, key);
  std::string expected;
  for (int i = 0; i < 500; ++i)
    expected += "a\u030A";
  EXPECT_EQ(key, expected);
}

}  // namespace
}  // namespace tidymark
