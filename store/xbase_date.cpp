#include "store/xbase_date.h"

#include <ctime>

namespace tv {

// Fliegel and Van Flandern's integer conversion, valid for the Gregorian
// calendar from year 1 onwards.
std::int32_t JulianDay(const CivilDate& d) {
  const int a = (14 - d.month) / 12;
  const int y = d.year + 4800 - a;
  const int m = d.month + 12 * a - 3;
  return d.day + (153 * m + 2) / 5 + 365 * y + y / 4 - y / 100 + y / 400 - 32045;
}

CivilDate CivilFromJulian(std::int32_t jd) {
  const int a = jd + 32044;
  const int b = (4 * a + 3) / 146097;
  const int c = a - 146097 * b / 4;
  const int d = (4 * c + 3) / 1461;
  const int e = c - 1461 * d / 4;
  const int m = (5 * e + 2) / 153;
  CivilDate out;
  out.day = e - (153 * m + 2) / 5 + 1;
  out.month = m + 3 - 12 * (m / 10);
  out.year = 100 * b + d - 4800 + m / 10;
  return out;
}

bool IsValidCivil(const CivilDate& date) {
  if (date.year < 1 || date.year > 9999 || date.month < 1 || date.month > 12 || date.day < 1) return false;
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (date.year % 4 == 0 && date.year % 100 != 0) || date.year % 400 == 0;
  const int last = kDays[date.month - 1] + (date.month == 2 && leap ? 1 : 0);
  return date.day <= last;
}

std::int32_t JulianFromDtos(std::string_view text) {
  if (text.size() != 8) return -1;
  if (text.find_first_not_of(' ') == std::string_view::npos) return 0;
  int value[3] = {0, 0, 0};
  const int widths[3] = {4, 2, 2};
  std::size_t pos = 0;
  for (int part = 0; part < 3; ++part) {
    for (int i = 0; i < widths[part]; ++i, ++pos) {
      const char c = text[pos];
      if (c < '0' || c > '9') return -1;
      value[part] = value[part] * 10 + (c - '0');
    }
  }
  const CivilDate date{value[0], value[1], value[2]};
  return IsValidCivil(date) ? JulianDay(date) : -1;
}

std::string DtosFromJulian(std::int32_t julianDay) {
  if (julianDay <= 0) return std::string(8, ' ');
  const CivilDate d = CivilFromJulian(julianDay);
  // Written digit by digit: index keys call this once per record.
  std::string text(8, '0');
  int year = d.year % 10000;
  for (int i = 3; i >= 0; --i, year /= 10) text[static_cast<std::size_t>(i)] = static_cast<char>('0' + year % 10);
  text[4] = static_cast<char>('0' + d.month / 10);
  text[5] = static_cast<char>('0' + d.month % 10);
  text[6] = static_cast<char>('0' + d.day / 10);
  text[7] = static_cast<char>('0' + d.day % 10);
  return text;
}

std::int32_t TodayJulian() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return JulianDay({local.tm_year + 1900, local.tm_mon + 1, local.tm_mday});
}

}  // namespace tv
