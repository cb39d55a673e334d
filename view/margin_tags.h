// Replacement tags in the header and footer lines of printed faxes: "$" and
// the letter after it (either case) stand for a value, and the tag runs to
// the next space or the end of the text.
//   $D  the current date      $F  the fax file's name   $N  the page count
//   $P  the page printed      $T  the current time
// A tag with any other letter is removed. These are the printer's own tags:
// the header line stamped on sent pages has another set (fax/header_tags.h,
// where $F is the sender).
#pragma once

#include <string>
#include <string_view>

namespace tv {

struct MarginTagValues {
  std::string date;
  std::string time;
  std::string fileName;
  int pageCount = 0;
  int page = 0;
};

// Tags are replaced from the left in one pass; a "$" that a value brings in
// (a file name with a "$" in it) is printed as it is.
std::string ExpandMarginTags(std::string_view caption, const MarginTagValues& values);

}  // namespace tv
