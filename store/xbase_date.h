// Calendar dates as Julian day numbers, the form xBase keys and date
// arithmetic use (2000-01-01 is day 2451545; 0 is the empty date).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tv {

struct CivilDate {
  int year = 0;
  int month = 0;
  int day = 0;
};

std::int32_t JulianDay(const CivilDate& date);
CivilDate CivilFromJulian(std::int32_t julianDay);
bool IsValidCivil(const CivilDate& date);

// "yyyymmdd" to a Julian day; 0 for eight blanks; -1 when the text is not a
// valid date.
std::int32_t JulianFromDtos(std::string_view text);
// A Julian day as "yyyymmdd"; eight blanks for the empty date.
std::string DtosFromJulian(std::int32_t julianDay);

// Today's date in local time.
std::int32_t TodayJulian();

}  // namespace tv
