#include "view/margin_tags.h"

#include <algorithm>
#include <cctype>

namespace tv {

namespace {

std::string TagValue(char letter, const MarginTagValues& v) {
  switch (std::toupper(static_cast<unsigned char>(letter))) {
    case 'D': return v.date;
    case 'F': return v.fileName;
    case 'N': return std::to_string(v.pageCount);
    case 'P': return std::to_string(v.page);
    case 'T': return v.time;
    default: return {};
  }
}

}  // namespace

std::string ExpandMarginTags(std::string_view caption, const MarginTagValues& values) {
  std::string out;
  std::size_t at = 0;
  while (at < caption.size()) {
    const std::size_t dollar = caption.find('$', at);
    if (dollar == std::string_view::npos) {
      out.append(caption.substr(at));
      break;
    }
    out.append(caption.substr(at, dollar - at));
    const std::size_t end = std::min(caption.find(' ', dollar), caption.size());
    if (dollar + 1 < end) out += TagValue(caption[dollar + 1], values);
    at = end;
  }
  return out;
}

}  // namespace tv
