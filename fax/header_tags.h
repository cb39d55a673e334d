// The header line stamped on every page, and the lines of a text cover page,
// with their "$" tags replaced by the session's values.
#pragma once

#include <string>
#include <string_view>

namespace tv {

struct HeaderValues {
  std::string date;        // $D: today's date
  std::string time;        // $T: the current time
  std::string stationId;   // $I
  std::string sender;      // $F: HeaderSender
  std::string recipient;   // $R: HeaderRecipient
  std::string title;       // $S: HeaderTitle
  int filePages = 0;
  int coverPages = 0;      // 1 when a cover page is sent
  int currentPage = 0;     // page of the fax file being sent
  bool sendingCover = false;
};

// Today's date and the current time in the user's short formats.
HeaderValues HeaderValuesNow();

// Each "$" starts a tag that runs to the next blank, the next "$" or the end;
// it is replaced by the value its first letter names (either case): D date,
// T time, I station ID, F sender, R recipient, S title, N total pages, P page
// number; any other tag by nothing. Replaced values are not scanned again.
std::string ExpandHeaderTags(std::string_view text, const HeaderValues& values);

}  // namespace tv
