// Small text helpers used across the libraries.
#pragma once

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

}  // namespace tv
