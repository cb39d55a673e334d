#include <gtest/gtest.h>

#include "fax/fax_status.h"
#include "fax/header_tags.h"
#include "fax/receive_names.h"
#include "tests/support/temp_dir.h"

namespace tv {
namespace {

HeaderValues Values() {
  HeaderValues v;
  v.date = "12/07/26";
  v.time = "09:30";
  v.stationId = "+1 555 0100";
  v.sender = "Ann";
  v.recipient = "Bob";
  v.title = "Offer";
  v.filePages = 3;
  v.coverPages = 1;
  v.currentPage = 2;
  return v;
}

TEST(HeaderTags, ReplacesEachTagByItsLetter) {
  const HeaderValues v = Values();
  EXPECT_EQ(ExpandHeaderTags("$D $T From: $I ($f) To: $r Re: $S Page $P of $N", v),
            "12/07/26 09:30 From: +1 555 0100 (Ann To: Bob Re: Offer Page 3 of 4");  // a tag runs to the blank
  EXPECT_EQ(ExpandHeaderTags("page $p", v), "page 3");  // a tag at the very end
  EXPECT_EQ(ExpandHeaderTags("x $Qwerty y", v), "x  y");  // unknown letter: the word goes
  EXPECT_EQ(ExpandHeaderTags("$$D", v), "12/07/26");     // empty tag, then scanning goes on
  EXPECT_EQ(ExpandHeaderTags("cost $", v), "cost ");
}

TEST(HeaderTags, PageNumbersWithAndWithoutCover) {
  HeaderValues v = Values();
  v.sendingCover = true;
  EXPECT_EQ(ExpandHeaderTags("$P of $N", v), "1 of 4");
  v.coverPages = 0;
  v.sendingCover = false;
  EXPECT_EQ(ExpandHeaderTags("$P of $N", v), "2 of 3");
  EXPECT_EQ(ExpandHeaderTags("$P/$N", v), "23");  // the next "$" ends a tag too
}

TEST(HeaderTags, ValuesAreNotScannedAgain) {
  HeaderValues v = Values();
  v.title = "$S$S";  // would never end if replaced values were expanded again
  EXPECT_EQ(ExpandHeaderTags("Re: $S", v), "Re: $S$S");
}

TEST(ReceiveNames, FirstFreeNumberAndNoName) {
  test::TempDir dir;
  EXPECT_EQ(NextReceiveName(dir.Path(), ReceiveNameMode::kByCount, "APF"), dir.Path() + "FAX0001.APF");
  dir.Write("FAX0001.APF", "");
  dir.Write("fax0002.apf", "");
  EXPECT_EQ(NextReceiveName(dir.Path(), ReceiveNameMode::kByCount, "APF"), dir.Path() + "FAX0003.APF");
  const std::string byDate = NextReceiveName(dir.Path(), ReceiveNameMode::kByDate, "APF");
  EXPECT_EQ(byDate.size(), dir.Path().size() + 12);
  EXPECT_EQ(byDate.substr(dir.Path().size() + 4), "0001.APF");
}

TEST(ReceiveNames, AllNumbersTakenGivesNoName) {
  test::TempDir dir;
  for (int n = 1; n <= 9999; ++n) {
    char name[16];
    std::snprintf(name, sizeof name, "FAX%04d.APF", n);
    std::ofstream(dir.File(name));
  }
  EXPECT_EQ(NextReceiveName(dir.Path(), ReceiveNameMode::kByCount, "APF"), dir.Path() + "NONAME.APF");
}

TEST(FaxStatus, TextsByCode) {
  EXPECT_EQ(FaxStatusText(fsDialing), "Dialing");
  EXPECT_EQ(FaxStatusText(fsGotRemoteId), "Got called-station ID");
  EXPECT_EQ(FaxStatusText(fsFinished), "Finished");
  EXPECT_EQ(FaxStatusText(fsGotTransmittingId), "Got transmitting-station ID");
  EXPECT_EQ(FaxStatusText(0), "");
  EXPECT_EQ(FaxStatusText(45), "");
  EXPECT_EQ(FaxStatusText(10), "");
}

}  // namespace
}  // namespace tv
