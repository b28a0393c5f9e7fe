#include "platform/xml_plist.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <new>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "platform/utf8.h"
#include "platform/xml_plist_format.h"

namespace tidymark {

namespace {

using namespace xml_format;

// ----- Writer

constexpr std::string_view kHeader =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
    "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
    "<plist version=\"1.0\">\n";

// Bytes that text cannot be copied through as they are: markup, CR, control characters, and
// the start of every multi-byte sequence (checked for valid UTF-8 and XML characters).
constexpr std::array<bool, 256> makeAttentionTable() {
  std::array<bool, 256> table{};
  for (int c = 0; c < 0x20; ++c)
    table[c] = c != '\t' && c != '\n';
  for (int c = 0x80; c < 0x100; ++c)
    table[c] = true;
  table['&'] = table['<'] = table['>'] = true;
  return table;
}
constexpr std::array<bool, 256> kNeedsAttention = makeAttentionTable();

std::string codePointName(char32_t codePoint) {
  char digits[8];
  const auto [end, error] = std::to_chars(digits, digits + sizeof digits, codePoint, 16);
  std::string hex(digits, end);
  for (char& c : hex)
    c = static_cast<char>(c >= 'a' ? c - 'a' + 'A' : c);
  return "U+" + std::string(hex.size() < 4 ? 4 - hex.size() : 0, '0') + hex;
}

void appendPadded(std::string& out, std::int64_t value, int width) {
  char digits[24];
  const auto [end, error] = std::to_chars(digits, digits + sizeof digits, value);
  const auto length = static_cast<int>(end - digits);
  if (length < width) out.append(static_cast<std::size_t>(width - length), '0');
  out.append(digits, end);
}

class XmlWriter {
 public:
  explicit XmlWriter(ByteSink& sink) : sink_(sink) { out_.reserve(kPiece + kPiece / 8); }

  Status write(const PlistValue& root) {
    out_.append(kHeader);
    Status status = value(root, 0);
    while (status.ok() && !open_.empty()) {
      if (out_.size() >= kPiece && !flush()) return Status::failure(sink_.error());
      Frame& frame = open_.back();
      const std::size_t depth = open_.size();
      if (const PlistDict* dict = frame.value->asDict()) {
        if (frame.next == dict->size()) {
          close(depth - 1, "</dict>\n");
          continue;
        }
        const DictEntry& entry = (*dict)[frame.next++];
        indent(depth);
        out_.append("<key>");
        status = text(entry.key, "a key");
        if (!status.ok()) break;
        out_.append("</key>\n");
        status = value(entry.value, depth);
      } else {
        const PlistArray& array = *frame.value->asArray();
        if (frame.next == array.size()) {
          close(depth - 1, "</array>\n");
          continue;
        }
        status = value(array[frame.next++], depth);
      }
    }
    if (!status.ok()) return status;
    out_.append("</plist>\n");
    return flush() ? status : Status::failure(sink_.error());
  }

 private:
  struct Frame {
    const PlistValue* value;
    std::size_t next;
  };

  // The output goes to the sink in pieces of about this size.
  static constexpr std::size_t kPiece = std::size_t{1} << 20;

  bool flush() {
    const bool ok = sink_.write(out_);
    out_.clear();
    return ok;
  }

  // Indentation stops growing past kMaxIndent levels: a tab per level on every line would make
  // the output grow with the square of the depth, and readers skip it anyway.
  static constexpr std::size_t kMaxIndent = 32;
  void indent(std::size_t depth) { out_.append(std::min(depth, kMaxIndent), '\t'); }

  void close(std::size_t depth, std::string_view tag) {
    open_.pop_back();
    indent(depth);
    out_.append(tag);
  }

  // Writes a scalar or an empty container whole; opens a non-empty container for write() to
  // fill in.
  Status value(const PlistValue& value, std::size_t depth) {
    indent(depth);
    switch (value.kind()) {
      case PlistKind::Dictionary:
        if (value.asDict()->empty()) {
          out_.append("<dict/>\n");
        } else {
          out_.append("<dict>\n");
          open_.push_back({&value, 0});
        }
        return Status::success();
      case PlistKind::Array:
        if (value.asArray()->empty()) {
          out_.append("<array/>\n");
        } else {
          out_.append("<array>\n");
          open_.push_back({&value, 0});
        }
        return Status::success();
      case PlistKind::String: {
        out_.append("<string>");
        Status status = text(*value.asString(), "a string");
        out_.append("</string>\n");
        return status;
      }
      case PlistKind::Integer:
        integer(*value.asInteger());
        return Status::success();
      case PlistKind::Real:
        real(*value.asReal());
        return Status::success();
      case PlistKind::Boolean:
        out_.append(*value.asBoolean() ? "<true/>\n" : "<false/>\n");
        return Status::success();
      case PlistKind::Date:
        return date(value.asDate()->secondsSince2001);
      case PlistKind::Data:
        data(*value.asData(), depth);
        return Status::success();
      case PlistKind::Uid:
        out_.append("<dict>\n");
        indent(depth + 1);
        out_.append("<key>CF$UID</key>\n");
        indent(depth + 1);
        integer(PlistInteger::fromUnsigned(value.asUid()->value));
        indent(depth);
        out_.append("</dict>\n");
        return Status::success();
    }
    return Status::failure("cannot write XML: unknown value kind");
  }

  // Escaped character data; fails on what is not UTF-8 or not an XML character.
  Status text(std::string_view text, const char* what) {
    std::size_t copied = 0;
    std::size_t i = 0;
    while (i < text.size()) {
      const auto byte = static_cast<unsigned char>(text[i]);
      if (!kNeedsAttention[byte]) {
        ++i;
        continue;
      }
      if (byte >= 0x80) {
        const std::size_t begin = i;
        const char32_t codePoint = decodeUtf8(text, i);
        if (codePoint == kInvalidCodePoint) {
          return Status::failure(std::string("cannot write XML: ") + what +
                                 " is not valid UTF-8 (byte " + std::to_string(begin) + ")");
        }
        if (codePoint == 0xFFFE || codePoint == 0xFFFF) return badCharacter(codePoint, what);
        continue;
      }
      std::string_view replacement;
      switch (byte) {
        case '&':
          replacement = "&amp;";
          break;
        case '<':
          replacement = "&lt;";
          break;
        case '>':
          replacement = "&gt;";
          break;
        case '\r':
          replacement = "&#13;";
          break;
        default:
          return badCharacter(byte, what);
      }
      out_.append(text.data() + copied, i - copied);
      out_.append(replacement);
      copied = ++i;
    }
    out_.append(text.data() + copied, text.size() - copied);
    return Status::success();
  }

  static Status badCharacter(char32_t codePoint, const char* what) {
    return Status::failure(std::string("cannot write XML: ") + what + " holds the character " +
                           codePointName(codePoint) + ", which XML cannot represent");
  }

  void integer(PlistInteger value) {
    char digits[24];
    const auto [end, error] =
        value.isNegative() ? std::to_chars(digits, digits + sizeof digits, value.asSigned())
                           : std::to_chars(digits, digits + sizeof digits, value.asUnsigned());
    out_.append("<integer>");
    out_.append(digits, end);
    out_.append("</integer>\n");
  }

  void real(double value) {
    out_.append("<real>");
    if (std::isnan(value)) {
      out_.append(std::signbit(value) ? "-nan" : "nan");  // all XML can say of a NaN
    } else if (std::isinf(value)) {
      out_.append(value < 0 ? "-inf" : "inf");
    } else {
      char digits[32];
      const auto [end, error] = std::to_chars(digits, digits + sizeof digits, value);
      out_.append(digits, end);
    }
    out_.append("</real>\n");
  }

  Status date(double secondsSince2001) {
    const double whole = std::floor(secondsSince2001);
    if (!(whole >= kFirstDate && whole <= kLastDate)) {
      char digits[32];
      const auto [end, error] = std::to_chars(digits, digits + sizeof digits, secondsSince2001);
      return Status::failure("cannot write XML: the date " + std::string(digits, end) +
                             " (seconds from 2001) lies outside the years 1 to 9999");
    }
    const auto seconds = static_cast<std::int64_t>(whole);
    std::int64_t days = seconds / kSecondsPerDay;
    std::int64_t ofDay = seconds % kSecondsPerDay;
    if (ofDay < 0) {
      ofDay += kSecondsPerDay;
      --days;
    }
    const CivilDay civil = civilFromDays(days + kEpoch2001);
    out_.append("<date>");
    appendPadded(out_, civil.year, 4);
    out_.push_back('-');
    appendPadded(out_, civil.month, 2);
    out_.push_back('-');
    appendPadded(out_, civil.day, 2);
    out_.push_back('T');
    appendPadded(out_, ofDay / 3600, 2);
    out_.push_back(':');
    appendPadded(out_, ofDay / 60 % 60, 2);
    out_.push_back(':');
    appendPadded(out_, ofDay % 60, 2);
    out_.append("Z</date>\n");
    return Status::success();
  }

  // Base64 in lines of 76 characters, each indented like the tag.
  void data(const PlistData& bytes, std::size_t depth) {
    out_.append("<data>\n");
    constexpr std::size_t kBytesPerLine = 57;
    for (std::size_t line = 0; line < bytes.size(); line += kBytesPerLine) {
      indent(depth);
      const std::size_t end = std::min(bytes.size(), line + kBytesPerLine);
      std::size_t i = line;
      char encoded[76];
      std::size_t length = 0;
      for (; i + 3 <= end; i += 3) {
        const std::uint32_t group =
            (std::uint32_t{bytes[i]} << 16) | (std::uint32_t{bytes[i + 1]} << 8) | bytes[i + 2];
        encoded[length++] = kBase64Alphabet[group >> 18];
        encoded[length++] = kBase64Alphabet[(group >> 12) & 63];
        encoded[length++] = kBase64Alphabet[(group >> 6) & 63];
        encoded[length++] = kBase64Alphabet[group & 63];
      }
      if (i < end) {
        const bool two = i + 1 < end;
        const std::uint32_t group =
            (std::uint32_t{bytes[i]} << 16) | (two ? std::uint32_t{bytes[i + 1]} << 8 : 0);
        encoded[length++] = kBase64Alphabet[group >> 18];
        encoded[length++] = kBase64Alphabet[(group >> 12) & 63];
        encoded[length++] = two ? kBase64Alphabet[(group >> 6) & 63] : '=';
        encoded[length++] = '=';
      }
      out_.append(encoded, length);
      out_.push_back('\n');
    }
    indent(depth);
    out_.append("</data>\n");
  }

  ByteSink& sink_;
  std::string out_;
  std::vector<Frame> open_;
};

}  // namespace

Status writeXmlPlist(const PlistValue& root, ByteSink& sink) {
  try {
    return XmlWriter(sink).write(root);
  } catch (const std::bad_alloc&) {
    return Status::failure("out of memory");
  }
}

Status writeXmlPlist(const PlistValue& root, std::string* out) {
  const std::size_t originalSize = out->size();
  StringSink sink(*out);
  Status status = writeXmlPlist(root, sink);
  if (!status.ok()) out->resize(originalSize);
  return status;
}

}  // namespace tidymark
