#pragma once

// What the XML property-list reader and writer share: dates as seconds since 2001 against the
// calendar, and the base64 alphabet.

#include <cstdint>

namespace tidymark::xml_format {

// ----- Dates: seconds since 2001-01-01T00:00:00Z, proleptic Gregorian calendar, no time zones.

inline constexpr std::int64_t kSecondsPerDay = 86400;

// Days from 1970-01-01 to year-month-day.
constexpr std::int64_t daysFromCivil(std::int64_t year, unsigned month, unsigned day) {
  year -= month <= 2 ? 1 : 0;
  const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
  const auto yearOfEra = static_cast<unsigned>(year - era * 400);
  const unsigned dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + static_cast<std::int64_t>(dayOfEra) - 719468;
}

struct CivilDay {
  std::int64_t year;
  unsigned month;
  unsigned day;
};

constexpr CivilDay civilFromDays(std::int64_t days) {
  days += 719468;
  const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const auto dayOfEra = static_cast<unsigned>(days - era * 146097);
  const unsigned yearOfEra =
      (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const unsigned shiftedMonth = (5 * dayOfYear + 2) / 153;
  const unsigned day = dayOfYear - (153 * shiftedMonth + 2) / 5 + 1;
  const unsigned month = shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9;
  return {static_cast<std::int64_t>(yearOfEra) + era * 400 + (month <= 2 ? 1 : 0), month, day};
}

inline constexpr std::int64_t kEpoch2001 = daysFromCivil(2001, 1, 1);
static_assert(kEpoch2001 == 11323);
// The range the ISO 8601 form can hold: 0001-01-01T00:00:00Z to 9999-12-31T23:59:59Z.
inline constexpr double kFirstDate =
    static_cast<double>((daysFromCivil(1, 1, 1) - kEpoch2001) * kSecondsPerDay);
inline constexpr double kLastDate =
    static_cast<double>((daysFromCivil(10000, 1, 1) - kEpoch2001) * kSecondsPerDay - 1);

constexpr bool isLeapYear(std::int64_t year) {
  return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
}

inline unsigned daysInMonth(std::int64_t year, unsigned month) {
  static constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && isLeapYear(year) ? 29 : kDays[month - 1];
}

inline constexpr char kBase64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

}  // namespace tidymark::xml_format
