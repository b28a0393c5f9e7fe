#include "platform/xml_plist_scanner.h"

#include <algorithm>
#include <array>
#include <cstdint>

#include "platform/utf8.h"
#include "platform/xml_plist_scalars.h"

namespace tidymark {

namespace {

// The XML declarations and document types that property lists are written with, to the byte.
constexpr std::string_view kDeclarations[] = {
    R"(<?xml version="1.0" encoding="UTF-8"?>)",
    R"(<?xml version="1.0" encoding="utf-8"?>)",
    R"(<?xml version="1.0"?>)",
    R"(<?xml version="1.0" encoding="UTF-8" standalone="no"?>)",
    R"(<?xml version="1.0" encoding="UTF-8" standalone="yes"?>)",
};
constexpr std::string_view kDocumentTypes[] = {
    R"(<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" )"
    R"("http://www.apple.com/DTDs/PropertyList-1.0.dtd">)",
    R"(<!DOCTYPE plist PUBLIC "-//Apple Computer//DTD PLIST 1.0//EN" )"
    R"("http://www.apple.com/DTDs/PropertyList-1.0.dtd">)",
};
constexpr std::string_view kVersion = R"( version=")";

// Bytes that text holds as they are, with nothing to check: printable ASCII but '&', '<' and
// ']', tab and line feed.
constexpr std::array<bool, 256> makePlain() {
  std::array<bool, 256> plain{};
  for (int c = 0x20; c < 0x80; ++c)
    plain[c] = c != '&' && c != '<' && c != ']';
  plain['\t'] = plain['\n'] = true;
  return plain;
}
constexpr std::array<bool, 256> kPlain = makePlain();

bool isXmlChar(char32_t c) {
  return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) ||
         (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
}

bool isNameByte(char c) {
  return c >= 'a' && c <= 'z';
}

// The value of 1 to `width` digits in `base`, or nothing (a value past U+10FFFF then).
char32_t number(std::string_view digits, unsigned base, std::size_t width) {
  if (digits.empty() || digits.size() > width) return kInvalidCodePoint;
  char32_t value = 0;
  for (char c : digits) {
    const unsigned digit = xml_format::digitValue(c, base);
    if (digit == base) return kInvalidCodePoint;
    value = value * base + digit;
  }
  return value;
}

}  // namespace

bool PlainXmlScanner::run(XmlHandler& handler) {
  if (!prolog() || !lookingAt("<")) return false;
  do {
    if (!element(handler)) return false;
    if (!open_.empty() && !content(handler)) return false;
  } while (!open_.empty());
  skipSpace();
  return pos_ == bytes_.size();
}

std::uint64_t PlainXmlScanner::line() {
  // A line ends at each line feed: the input holds no carriage return.
  if (index_ < linesTo_) {
    linesTo_ = 0;
    lines_ = 1;
  }
  lines_ += static_cast<std::uint64_t>(
      std::count(bytes_.begin() + static_cast<std::ptrdiff_t>(linesTo_),
                 bytes_.begin() + static_cast<std::ptrdiff_t>(index_), '\n'));
  linesTo_ = index_;
  return lines_;
}

void PlainXmlScanner::skipSpace() {
  while (pos_ < bytes_.size() &&
         (bytes_[pos_] == ' ' || bytes_[pos_] == '\t' || bytes_[pos_] == '\n'))
    ++pos_;
}

// An optional declaration at the very start, then an optional document type, with white space
// around it.
bool PlainXmlScanner::prolog() {
  for (std::string_view declaration : kDeclarations) {
    if (lookingAt(declaration)) {
      pos_ = declaration.size();
      break;
    }
  }
  skipSpace();
  if (lookingAt("<!")) {
    const auto* found = std::find_if(std::begin(kDocumentTypes), std::end(kDocumentTypes),
                                     [this](std::string_view type) { return lookingAt(type); });
    if (found == std::end(kDocumentTypes)) return false;
    pos_ += found->size();
    skipSpace();
  }
  return true;
}

// A start, end or empty-element tag at pos_ (a '<').
bool PlainXmlScanner::element(XmlHandler& handler) {
  const std::size_t begin = pos_;
  std::size_t at = pos_ + 1;
  const bool closing = at < bytes_.size() && bytes_[at] == '/';
  if (closing) ++at;
  const std::size_t nameBegin = at;
  while (at < bytes_.size() && isNameByte(bytes_[at]))
    ++at;
  const std::string_view name = bytes_.substr(nameBegin, at - nameBegin);
  if (name.empty() || at >= bytes_.size()) return false;
  if (closing) {
    if (bytes_[at] != '>' || open_.empty() || open_.back() != name) return false;
    open_.pop_back();
    pos_ = at + 1;
    event(begin, pos_ - begin);
    handler.end();
    return !stopped_;
  }
  if (open_.empty() && name == "plist" && bytes_.substr(at).starts_with(kVersion)) {
    at += kVersion.size();
    const std::size_t value = at;
    while (at < bytes_.size() && ((bytes_[at] >= '0' && bytes_[at] <= '9') || bytes_[at] == '.'))
      ++at;
    if (at == value || at >= bytes_.size() || bytes_[at] != '"') return false;
    ++at;
  }
  const bool empty = at < bytes_.size() && bytes_[at] == '/';
  if (empty) ++at;
  if (at >= bytes_.size() || bytes_[at] != '>') return false;
  pos_ = at + 1;
  event(begin, pos_ - begin);
  handler.start(name);
  if (stopped_) return false;
  if (!empty) {
    open_.push_back(name);
    return true;
  }
  // Expat ends an empty element just past its tag, with nothing more to the event.
  event(pos_, 0);
  handler.end();
  return !stopped_;
}

// Text from pos_ up to the next tag, handed over in pieces between references.
bool PlainXmlScanner::content(XmlHandler& handler) {
  std::size_t piece = pos_;
  const auto handOver = [&] {
    if (pos_ == piece) return true;
    event(piece, pos_ - piece);
    handler.text(bytes_.substr(piece, pos_ - piece));
    return !stopped_;
  };
  for (;;) {
    while (pos_ < bytes_.size() && kPlain[static_cast<unsigned char>(bytes_[pos_])])
      ++pos_;
    if (pos_ >= bytes_.size()) return false;
    const char c = bytes_[pos_];
    if (c == '<') return handOver();
    if (c == '&') {
      if (!handOver() || !reference(handler)) return false;
      piece = pos_;
    } else if (c == ']') {
      if (lookingAt("]]>")) return false;
      ++pos_;
    } else if (static_cast<unsigned char>(c) < 0x80 || !isXmlChar(decodeUtf8(bytes_, pos_))) {
      return false;  // a control character, or not UTF-8
    }
  }
}

// A predefined entity or a character reference at pos_ (a '&').
bool PlainXmlScanner::reference(XmlHandler& handler) {
  // The longest is "&#x10FFFF;".
  const std::size_t end = bytes_.substr(0, pos_ + 11).find(';', pos_);
  if (end == std::string_view::npos) return false;
  const std::string_view name = bytes_.substr(pos_ + 1, end - pos_ - 1);
  std::string_view replacement;
  if (name == "lt") {
    replacement = "<";
  } else if (name == "gt") {
    replacement = ">";
  } else if (name == "amp") {
    replacement = "&";
  } else if (name == "quot") {
    replacement = "\"";
  } else if (name == "apos") {
    replacement = "'";
  } else if (name.starts_with("#")) {
    const char32_t c =
        name.starts_with("#x") ? number(name.substr(2), 16, 6) : number(name.substr(1), 10, 7);
    if (!isXmlChar(c)) return false;
    replacement = std::string_view(utf8_, static_cast<std::size_t>(encodeUtf8(c, utf8_) - utf8_));
  } else {
    return false;
  }
  event(pos_, end + 1 - pos_);
  pos_ = end + 1;
  handler.text(replacement);
  return !stopped_;
}

}  // namespace tidymark
