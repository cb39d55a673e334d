#include "fax/header_tags.h"

#include <cctype>
#include <ctime>

namespace tv {

namespace {

std::string Formatted(const char* format) {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char text[64];
  return std::strftime(text, sizeof text, format, &local) ? text : "";
}

std::string TagValue(char letter, const HeaderValues& v) {
  switch (std::toupper(static_cast<unsigned char>(letter))) {
    case 'D':
      return v.date;
    case 'T':
      return v.time;
    case 'I':
      return v.stationId;
    case 'F':
      return v.sender;
    case 'R':
      return v.recipient;
    case 'S':
      return v.title;
    case 'N':
      return std::to_string(v.filePages + v.coverPages);
    case 'P':
      if (v.coverPages == 0) return std::to_string(v.currentPage);
      return v.sendingCover ? "1" : std::to_string(v.currentPage + 1);
    default:
      return {};
  }
}

}  // namespace

HeaderValues HeaderValuesNow() {
  HeaderValues values;
  values.date = Formatted("%x");
  values.time = Formatted("%H:%M");
  return values;
}

std::string ExpandHeaderTags(std::string_view text, const HeaderValues& values) {
  std::string out;
  std::size_t i = 0;
  while (i < text.size()) {
    if (text[i] != '$') {
      out += text[i++];
      continue;
    }
    std::size_t end = i + 1;
    while (end < text.size() && text[end] != ' ' && text[end] != '$') ++end;
    out += TagValue(end > i + 1 ? text[i + 1] : '\0', values);
    i = end;
  }
  return out;
}

}  // namespace tv
