#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tidymark {

// Builds sort keys for titles: the text canonically decomposed, with full Unicode case folding,
// decomposed again (combining marks in canonical order), as UTF-8, so that canonically
// equivalent titles get the same key. Compatibility forms are kept. Reuses its buffers, so
// building keys for a folder costs no allocation per title.
class TitleKeyBuilder {
 public:
  // Appends the key of `title` to `key`.
  void append(std::string_view title, std::string& key);

 private:
  // Appends the key of a run of characters that are not ASCII.
  void appendFolded(std::string_view text, std::string& key);

  std::vector<std::int32_t> codePoints_;
  std::string decomposed_;
};

// Compares two keys made by TitleKeyBuilder, by code point, except that runs of ASCII digits on
// both sides compare by numeric value (leading zeros do not count). A key that is a prefix of
// the other comes first. Returns -1, 0 or +1. Allocates nothing.
int compareTitleKeys(std::string_view a, std::string_view b);

// Case-insensitive, numeric comparison of two titles: compareTitleKeys over both keys.
int compareTitles(std::string_view a, std::string_view b);

}  // namespace tidymark
