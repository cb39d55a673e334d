// Replacement tags in the header and footer lines of printed faxes: "$" and
// the letter after it (either case) stand for a value, and the tag runs to
// the next space or the end of the text.
//   $D  the current date      $F  the fax file's name   $N  the page count
//   $P  the page printed      $T  the current time
// A tag with any other letter is removed.
#pragma once

#include <string>
#include <string_view>

namespace tv {

struct HeaderTagValues {
  std::string date;
  std::string time;
  std::string fileName;
  int pageCount = 0;
  int page = 0;
};

// Tags are replaced from the left in one pass; a "$" that a value brings in
// (a file name with a "$" in it) is printed as it is.
std::string ExpandHeaderTags(std::string_view caption, const HeaderTagValues& values);

}  // namespace tv
