#include "platform/text_compare.h"

#include <utf8proc.h>

#include <cstring>

#include "platform/utf8.h"

namespace tidymark {

namespace {

bool isAsciiByte(char c) {
  return static_cast<unsigned char>(c) < 0x80;
}

void appendFoldedAscii(std::string_view text, std::string& key) {
  const std::size_t start = key.size();
  key.append(text);
  for (std::size_t i = start; i < key.size(); ++i) {
    if (key[i] >= 'A' && key[i] <= 'Z') key[i] = static_cast<char>(key[i] + 32);
  }
}

}  // namespace

void TitleKeyBuilder::append(std::string_view title, std::string& key) {
  // Titles are mostly ASCII, where folding is lowering A-Z and nothing decomposes. An ASCII
  // character never combines with its neighbours (it is a starter, and no decomposition
  // involves it), so only the runs of other characters need utf8proc.
  std::size_t pos = 0;
  while (pos < title.size()) {
    const std::size_t ascii = pos;
    while (pos < title.size() && isAsciiByte(title[pos]))
      ++pos;
    appendFoldedAscii(title.substr(ascii, pos - ascii), key);
    const std::size_t other = pos;
    while (pos < title.size() && !isAsciiByte(title[pos]))
      ++pos;
    if (pos > other) appendFolded(title.substr(other, pos - other), key);
  }
}

namespace {

// Decomposes `text` into `codePoints` with utf8proc's `options`; the count, or below 0 when
// `text` is not valid UTF-8.
utf8proc_ssize_t decompose(std::string_view text, utf8proc_option_t options,
                           std::vector<std::int32_t>& codePoints) {
  const auto* bytes = reinterpret_cast<const utf8proc_uint8_t*>(text.data());
  const auto length = static_cast<utf8proc_ssize_t>(text.size());
  if (codePoints.size() < text.size() + 16) codePoints.resize(2 * text.size() + 16);
  utf8proc_ssize_t count = utf8proc_decompose(
      bytes, length, codePoints.data(), static_cast<utf8proc_ssize_t>(codePoints.size()), options);
  if (count > static_cast<utf8proc_ssize_t>(codePoints.size())) {
    codePoints.resize(static_cast<std::size_t>(count));
    count = utf8proc_decompose(bytes, length, codePoints.data(), count, options);
  }
  return count;
}

void appendCodePoints(const std::vector<std::int32_t>& codePoints, utf8proc_ssize_t count,
                      std::string& out) {
  for (utf8proc_ssize_t i = 0; i < count; ++i) {
    appendUtf8(static_cast<char32_t>(codePoints[static_cast<std::size_t>(i)]), out);
  }
}

}  // namespace

void TitleKeyBuilder::appendFolded(std::string_view text, std::string& key) {
  // Folding must see the marks in canonical order: U+0345 folds to a letter (iota), and a mark
  // that folds to a letter no longer moves past the marks around it. So the text is decomposed
  // first, then folded and decomposed again, which puts what folding made in canonical order.
  const utf8proc_ssize_t count = decompose(text, UTF8PROC_DECOMPOSE, codePoints_);
  if (count < 0) {
    // Not valid UTF-8: the bytes themselves still give a consistent order.
    key.append(text);
    return;
  }
  decomposed_.clear();
  appendCodePoints(codePoints_, count, decomposed_);
  const auto options = static_cast<utf8proc_option_t>(UTF8PROC_DECOMPOSE | UTF8PROC_CASEFOLD);
  appendCodePoints(codePoints_, decompose(decomposed_, options, codePoints_), key);
}

namespace {

bool isDigit(char c) {
  return c >= '0' && c <= '9';
}

// Skips the digit run that starts at text[pos] and returns its significant digits (without
// leading zeros), leaving pos just past the run.
std::string_view digitRun(std::string_view text, std::size_t& pos) {
  while (pos < text.size() && text[pos] == '0')
    ++pos;
  const std::size_t start = pos;
  while (pos < text.size() && isDigit(text[pos]))
    ++pos;
  return text.substr(start, pos - start);
}

}  // namespace

int compareTitleKeys(std::string_view a, std::string_view b) {
  // UTF-8 byte order is code point order, so the keys compare byte by byte; only ASCII digits,
  // which are single bytes in UTF-8, need a rule of their own.
  std::size_t i = 0;
  std::size_t j = 0;
  while (i < a.size() && j < b.size()) {
    if (isDigit(a[i]) && isDigit(b[j])) {
      const std::string_view x = digitRun(a, i);
      const std::string_view y = digitRun(b, j);
      if (x.size() != y.size()) return x.size() < y.size() ? -1 : 1;
      const int order = std::memcmp(x.data(), y.data(), x.size());
      if (order != 0) return order < 0 ? -1 : 1;
      continue;
    }
    const auto x = static_cast<unsigned char>(a[i]);
    const auto y = static_cast<unsigned char>(b[j]);
    if (x != y) return x < y ? -1 : 1;
    ++i;
    ++j;
  }
  if (i < a.size()) return 1;
  if (j < b.size()) return -1;
  return 0;
}

int compareTitles(std::string_view a, std::string_view b) {
  thread_local TitleKeyBuilder builder;
  thread_local std::string keyA;
  thread_local std::string keyB;
  keyA.clear();
  keyB.clear();
  builder.append(a, keyA);
  builder.append(b, keyB);
  return compareTitleKeys(keyA, keyB);
}

}  // namespace tidymark
