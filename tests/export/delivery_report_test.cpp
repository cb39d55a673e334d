// The delivery report's parts that no send shows: a page the far end asked
// for again, the hash against a known value, and a report that cannot be
// written.
#include "export/delivery_report.h"

#include <gtest/gtest.h>

#include "platform/error_codes.h"
#include "tests/support/temp_dir.h"

namespace tv {
namespace {

TEST(DeliveryReport, PageAnswersHashAndUnwritableTarget) {
  using enum PageAnswer;
  EXPECT_EQ(PageAnswerList({kConfirmed, kRejected, kConfirmed, kConfirmed}), "1 MCF, 2 RTN, 2 MCF, 3 MCF");
  EXPECT_EQ(PageAnswerList({}), "");

  test::TempDir dir;
  dir.Write("abc", "abc");
  EXPECT_EQ(FileSha256(dir.File("abc")), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(FileSha256(dir.File("missing")), "");

  DeliveryRecord record;
  record.recipient = "Ann";
  record.files = {dir.File("abc")};  // no fax: the report has no page image
  EXPECT_EQ(WriteDeliveryReport(record, dir.File("report.pdf"), TFaxPaper::fpA4), ecOK);
  EXPECT_NE(WriteDeliveryReport(record, dir.File("no-folder/report.pdf"), TFaxPaper::fpA4), ecOK);
  EXPECT_NE(dir.Read("report.pdf").find("%PDF-"), std::string::npos);
}

}  // namespace
}  // namespace tv
