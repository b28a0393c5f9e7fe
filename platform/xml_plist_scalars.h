#pragma once

// Reading the text of an XML property list's scalars: numbers, dates and base64.

#include <string_view>

#include "platform/plist_value.h"

namespace tidymark::xml_format {

inline bool isXmlSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

inline std::string_view trimmed(std::string_view text) {
  while (!text.empty() && isXmlSpace(text.front()))
    text.remove_prefix(1);
  while (!text.empty() && isXmlSpace(text.back()))
    text.remove_suffix(1);
  return text;
}

// The value of the digit `c` in `base`, 10 or 16 (either case), or `base` when it is none of its
// digits.
inline unsigned digitValue(char c, unsigned base) {
  if (c >= '0' && c <= '9') return static_cast<unsigned>(c - '0');
  if (base == 16 && c >= 'a' && c <= 'f') return static_cast<unsigned>(c - 'a' + 10);
  if (base == 16 && c >= 'A' && c <= 'F') return static_cast<unsigned>(c - 'A' + 10);
  return base;
}

// Decodes base64, skipping whitespace anywhere; anything else outside the alphabet, missing or
// misplaced padding fails.
bool decodeBase64(std::string_view text, PlistData& out);

enum class NumberResult { Ok, Invalid, OutOfRange };

// Decimal or "0x" hexadecimal, signed, white space around.
NumberResult parseInteger(std::string_view text, PlistInteger* value);
NumberResult parseReal(std::string_view text, double* value);

// "YYYY[-MM[-DD[THH[:MM[:SS]]]]]Z", UTC, as seconds since 2001.
bool parseDate(std::string_view text, double* seconds);

}  // namespace tidymark::xml_format
