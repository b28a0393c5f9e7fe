#include "platform/utf8.h"

#include <gtest/gtest.h>

namespace tidymark {
namespace {

TEST(Printable, EscapesControlsBackslashesAndBrokenBytesOnly) {
  using namespace std::string_literals;
  const std::pair<std::string, std::string> cases[] = {
      {"Work / News", "Work / News"},
      {"Café ß \xE2\x80\x94 日本 🙂",
       "Café ß \xE2\x80\x94 日本 🙂"},  // valid UTF-8 as it is
      {"a\nb\rc\td", "a\\nb\\rc\\td"},
      {"\x1B[31mred\x1B[0m", "\\x1B[31mred\\x1B[0m"},
      {"nul\0 del\x7F"s, "nul\\x00 del\\x7F"},
      {"back\\slash", "back\\\\slash"},
      {"c1 \xC2\x85 \xC2\x9B", "c1 \\xC2\\x85 \\xC2\\x9B"},
      {"\xC2\xA0 after the controls", "\xC2\xA0 after the controls"},
      {"bad \xFF\xFE \xC3 \xE2\x80", "bad \\xFF\\xFE \\xC3 \\xE2\\x80"},
      {"overlong \xC0\xAF, surrogate \xED\xA0\x80",
       "overlong \\xC0\\xAF, surrogate \\xED\\xA0\\x80"},
      {"", ""},
  };
  for (const auto& [text, shown] : cases)
    EXPECT_EQ(printable(text), shown) << shown;
}

}  // namespace
}  // namespace tidymark
