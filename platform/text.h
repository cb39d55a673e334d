// Small text helpers used across the libraries.
#pragma once

#include <ctime>
#include <optional>
#include <string>
#include <string_view>

namespace tv {

// Removes leading and trailing white space (blanks, tabs, line ends).
std::string TrimWhite(std::string_view text);

// Removes leading and trailing blanks, and only blanks.
std::string TrimText(std::string_view text);

// ASCII letter case only, as the settings and file names need.
std::string UpperAscii(std::string_view text);
bool EqualsNoCase(std::string_view a, std::string_view b);
bool ContainsNoCase(std::string_view text, std::string_view part);

// Numbers as files and tables hold them: '.' is the decimal point whatever
// the locale the process runs in.
// `decimals` digits after the point (none and no point for 0); empty when the
// value is not finite.
std::string FormatFixed(double value, int decimals);
// At most `digits` significant digits, the shortest way (as printf's %g).
std::string FormatGeneral(double value, int digits = 6);
// A moment in local time, as strftime's format writes it (at most 63 characters).
std::string LocalTimeText(std::time_t time, const char* format);
// The whole text as a decimal number (sign, digits, point, exponent).
std::optional<double> ParseDecimal(std::string_view text);
// The number at the start of the text after leading blanks; 0 when none.
double ParseLeadingDecimal(std::string_view text);

}  // namespace tv
