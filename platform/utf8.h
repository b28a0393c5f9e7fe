#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tidymark {

// Returned by decodeUtf8 for a malformed sequence.
inline constexpr char32_t kInvalidCodePoint = 0xFFFFFFFF;

// Decodes the UTF-8 sequence that starts at text[pos] and advances pos past it. A truncated,
// overlong or otherwise malformed sequence, or an encoded surrogate, yields kInvalidCodePoint
// (pos then advances by one byte).
char32_t decodeUtf8(std::string_view text, std::size_t& pos);

// Writes the UTF-8 form of a code point (at most U+10FFFF, not a surrogate) at `out`, which
// has room for four bytes, and returns the end of what it wrote.
char* encodeUtf8(char32_t codePoint, char* out);

// Appends the UTF-8 form of a code point.
void appendUtf8(char32_t codePoint, std::string& out);

bool isAscii(std::string_view text);

// `text` as it is safe to show on a terminal: valid UTF-8 as it is, except that a control
// character (U+0000-U+001F, U+007F-U+009F) is written as an escape, "\n", "\r" and "\t" by
// name and any other as "\xNN" per byte, a backslash as "\\", and a byte that is not part of
// valid UTF-8 as "\xNN". Every escape stands for bytes of `text`, so nothing is lost.
void appendPrintable(std::string_view text, std::string& out);
std::string printable(std::string_view text);

}  // namespace tidymark
