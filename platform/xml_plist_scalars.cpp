#include "platform/xml_plist_scalars.h"

#include <array>
#include <charconv>
#include <cstdint>
#include <system_error>

#include "platform/xml_plist_format.h"

namespace tidymark::xml_format {

namespace {

constexpr std::uint8_t kBase64Space = 64;
constexpr std::uint8_t kBase64Pad = 65;
constexpr std::uint8_t kBase64Invalid = 255;

constexpr std::array<std::uint8_t, 256> makeBase64Table() {
  std::array<std::uint8_t, 256> table{};
  for (auto& entry : table)
    entry = kBase64Invalid;
  for (std::uint8_t i = 0; i < 64; ++i)
    table[static_cast<unsigned char>(kBase64Alphabet[i])] = i;
  for (unsigned char c : {' ', '\t', '\n', '\r'})
    table[c] = kBase64Space;
  table['='] = kBase64Pad;
  return table;
}
constexpr std::array<std::uint8_t, 256> kBase64Table = makeBase64Table();

// Reads exactly `width` digits at text[pos].
bool readDigits(std::string_view text, std::size_t& pos, std::size_t width, unsigned* value) {
  if (text.size() - pos < width) return false;
  *value = 0;
  for (std::size_t i = 0; i < width; ++i) {
    const char c = text[pos + i];
    if (c < '0' || c > '9') return false;
    *value = *value * 10 + static_cast<unsigned>(c - '0');
  }
  pos += width;
  return true;
}

}  // namespace

bool decodeBase64(std::string_view text, PlistData& out) {
  out.reserve(text.size() / 4 * 3);
  std::uint32_t group = 0;
  int count = 0;
  int padding = 0;
  for (char c : text) {
    const std::uint8_t code = kBase64Table[static_cast<unsigned char>(c)];
    if (code < 64) {
      if (padding > 0) return false;
      group = (group << 6) | code;
      if (++count == 4) {
        out.push_back(static_cast<std::uint8_t>(group >> 16));
        out.push_back(static_cast<std::uint8_t>(group >> 8));
        out.push_back(static_cast<std::uint8_t>(group));
        group = 0;
        count = 0;
      }
    } else if (code == kBase64Pad) {
      ++padding;
    } else if (code != kBase64Space) {
      return false;
    }
  }
  if (padding == 0) return count == 0;
  if (padding == 1 && count == 3) {
    out.push_back(static_cast<std::uint8_t>(group >> 10));
    out.push_back(static_cast<std::uint8_t>(group >> 2));
    return true;
  }
  if (padding == 2 && count == 2) {
    out.push_back(static_cast<std::uint8_t>(group >> 4));
    return true;
  }
  return false;
}

NumberResult parseInteger(std::string_view text, PlistInteger* value) {
  text = trimmed(text);
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  unsigned base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  if (text.empty()) return NumberResult::Invalid;
  std::uint64_t magnitude = 0;
  bool overflow = false;
  for (char c : text) {
    const unsigned digit = digitValue(c, base);
    if (digit == base) return NumberResult::Invalid;
    if (magnitude > (UINT64_MAX - digit) / base) overflow = true;
    magnitude = magnitude * base + digit;
  }
  constexpr std::uint64_t kMostNegative = std::uint64_t{1} << 63;
  if (overflow || (negative && magnitude > kMostNegative)) return NumberResult::OutOfRange;
  if (!negative) {
    *value = PlistInteger::fromUnsigned(magnitude);
  } else {
    *value = PlistInteger(magnitude == kMostNegative ? INT64_MIN
                                                     : -static_cast<std::int64_t>(magnitude));
  }
  return NumberResult::Ok;
}

NumberResult parseReal(std::string_view text, double* value) {
  text = trimmed(text);
  if (!text.empty() && text.front() == '+') {
    text.remove_prefix(1);
    // from_chars takes a '-' of its own; "+-1" is still not a number.
    if (text.empty() || text.front() == '-') return NumberResult::Invalid;
  }
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, *value);
  if (stop != end) return NumberResult::Invalid;
  if (error == std::errc::result_out_of_range) return NumberResult::OutOfRange;
  return error == std::errc() ? NumberResult::Ok : NumberResult::Invalid;
}

bool parseDate(std::string_view text, double* seconds) {
  text = trimmed(text);
  std::size_t pos = 0;
  unsigned year = 0, month = 1, day = 1, hour = 0, minute = 0, second = 0;
  if (!readDigits(text, pos, 4, &year)) return false;
  struct Part {
    char separator;
    unsigned* value;
  };
  const Part parts[] = {{'-', &month}, {'-', &day}, {'T', &hour}, {':', &minute}, {':', &second}};
  for (const Part& part : parts) {
    if (pos >= text.size() || text[pos] != part.separator) break;
    ++pos;
    if (!readDigits(text, pos, 2, part.value)) return false;
  }
  if (pos + 1 != text.size() || text[pos] != 'Z') return false;
  if (year < 1 || month < 1 || month > 12 || day < 1 || day > daysInMonth(year, month) ||
      hour > 23 || minute > 59 || second > 59) {
    return false;
  }
  const std::int64_t days = daysFromCivil(year, month, day) - kEpoch2001;
  *seconds = static_cast<double>(days * kSecondsPerDay + hour * 3600 + minute * 60 + second);
  return true;
}

}  // namespace tidymark::xml_format
