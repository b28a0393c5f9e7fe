#include "platform/utf8.h"

#include <cstdint>
#include <cstring>

namespace tidymark {

char32_t decodeUtf8(std::string_view text, std::size_t& pos) {
  const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(text[i]); };
  const std::uint8_t lead = byte(pos);
  if (lead < 0x80) {
    ++pos;
    return lead;
  }
  std::size_t length;
  char32_t codePoint;
  char32_t minimum;
  if ((lead & 0xE0) == 0xC0) {
    length = 2, codePoint = lead & 0x1F, minimum = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, codePoint = lead & 0x0F, minimum = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, codePoint = lead & 0x07, minimum = 0x10000;
  } else {
    ++pos;
    return kInvalidCodePoint;
  }
  if (text.size() - pos < length) {
    ++pos;
    return kInvalidCodePoint;
  }
  for (std::size_t i = 1; i < length; ++i) {
    const std::uint8_t next = byte(pos + i);
    if ((next & 0xC0) != 0x80) {
      ++pos;
      return kInvalidCodePoint;
    }
    codePoint = (codePoint << 6) | (next & 0x3F);
  }
  if (codePoint < minimum || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF)) {
    ++pos;
    return kInvalidCodePoint;
  }
  pos += length;
  return codePoint;
}

char* encodeUtf8(char32_t codePoint, char* out) {
  if (codePoint < 0x80) {
    *out++ = static_cast<char>(codePoint);
  } else if (codePoint < 0x800) {
    *out++ = static_cast<char>(0xC0 | (codePoint >> 6));
    *out++ = static_cast<char>(0x80 | (codePoint & 0x3F));
  } else if (codePoint < 0x10000) {
    *out++ = static_cast<char>(0xE0 | (codePoint >> 12));
    *out++ = static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
    *out++ = static_cast<char>(0x80 | (codePoint & 0x3F));
  } else {
    *out++ = static_cast<char>(0xF0 | (codePoint >> 18));
    *out++ = static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F));
    *out++ = static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
    *out++ = static_cast<char>(0x80 | (codePoint & 0x3F));
  }
  return out;
}

void appendUtf8(char32_t codePoint, std::string& out) {
  char bytes[4];
  out.append(bytes, encodeUtf8(codePoint, bytes));
}

bool isAscii(std::string_view text) {
  // Eight bytes at a time: titles and keys are mostly ASCII, and this runs over all of them.
  std::size_t i = 0;
  for (; i + 8 <= text.size(); i += 8) {
    std::uint64_t word;
    std::memcpy(&word, text.data() + i, 8);
    if (word & 0x8080808080808080ULL) return false;
  }
  for (; i < text.size(); ++i) {
    if (static_cast<std::uint8_t>(text[i]) >= 0x80) return false;
  }
  return true;
}

void appendPrintable(std::string_view text, std::string& out) {
  const auto escapeBytes = [&out](std::string_view bytes) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    for (const char c : bytes) {
      const auto byte = static_cast<std::uint8_t>(c);
      const char escape[] = {'\\', 'x', kHex[byte >> 4], kHex[byte & 0xF]};
      out.append(escape, sizeof escape);
    }
  };
  std::size_t pos = 0;
  while (pos < text.size()) {
    // Plain ASCII runs are copied whole: titles are mostly that.
    std::size_t plain = pos;
    while (plain < text.size() && text[plain] >= 0x20 && text[plain] < 0x7F && text[plain] != '\\')
      ++plain;
    out.append(text.substr(pos, plain - pos));
    if (plain == text.size()) break;
    pos = plain;
    const std::size_t start = pos;
    const char32_t codePoint = decodeUtf8(text, pos);
    const std::string_view bytes = text.substr(start, pos - start);
    if (codePoint == '\\') {
      out += "\\\\";
    } else if (codePoint == '\n') {
      out += "\\n";
    } else if (codePoint == '\r') {
      out += "\\r";
    } else if (codePoint == '\t') {
      out += "\\t";
    } else if (codePoint < 0x20 || (codePoint >= 0x7F && codePoint <= 0x9F) ||
               codePoint == kInvalidCodePoint) {
      escapeBytes(bytes);
    } else {
      out.append(bytes);
    }
  }
}

std::string printable(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  appendPrintable(text, out);
  return out;
}

}  // namespace tidymark
