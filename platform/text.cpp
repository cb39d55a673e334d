#include "platform/text.h"

#include <algorithm>
#include <charconv>
#include <cmath>

namespace tv {

namespace {

char UpperChar(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

std::string TrimSet(std::string_view text, std::string_view set) {
  const auto first = text.find_first_not_of(set);
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(set);
  return std::string(text.substr(first, last - first + 1));
}

}  // namespace

std::string TrimWhite(std::string_view text) { return TrimSet(text, " \t\r\n\f\v"); }

std::string TrimText(std::string_view text) { return TrimSet(text, " "); }

std::string UpperAscii(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(), UpperChar);
  return out;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return UpperChar(x) == UpperChar(y);
         });
}

bool ContainsNoCase(std::string_view text, std::string_view part) {
  return UpperAscii(text).find(UpperAscii(part)) != std::string::npos;
}

std::string FormatFixed(double value, int decimals) {
  if (!std::isfinite(value)) return {};
  char text[400];  // the largest double written out in full, and its decimals
  const auto [end, ec] = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, decimals);
  return ec == std::errc() ? std::string(text, end) : std::string();
}

std::string LocalTimeText(std::time_t time, const char* format) {
  std::tm local{};
  localtime_r(&time, &local);
  char text[64];
  return std::strftime(text, sizeof text, format, &local) ? text : "";
}

std::string FormatGeneral(double value, int digits) {
  char text[64];
  const auto [end, ec] = std::to_chars(text, text + sizeof text, value, std::chars_format::general, digits);
  return ec == std::errc() ? std::string(text, end) : std::string();
}

namespace {

// The number at the start of `text` and how many characters it takes; an
// explicit plus sign is allowed, as in the C library's reading.
std::pair<double, std::size_t> LeadingDecimal(std::string_view text) {
  const bool plus = !text.empty() && text[0] == '+' && !(text.size() > 1 && (text[1] == '-' || text[1] == '+'));
  const char* begin = text.data() + (plus ? 1 : 0);
  double value = 0;
  const auto [end, ec] = std::from_chars(begin, text.data() + text.size(), value, std::chars_format::general);
  if (ec != std::errc()) return {0, 0};  // not a number, or none a double can hold
  return {value, static_cast<std::size_t>(end - text.data())};
}

}  // namespace

std::optional<double> ParseDecimal(std::string_view text) {
  const auto [value, used] = LeadingDecimal(text);
  if (used == 0 || used != text.size() || !std::isfinite(value)) return std::nullopt;
  return value;
}

double ParseLeadingDecimal(std::string_view text) {
  const auto first = text.find_first_not_of(' ');
  if (first == std::string_view::npos) return 0;
  return LeadingDecimal(text.substr(first)).first;
}

}  // namespace tv
