// Printed sheets without a printer: where each fax page goes, the size it is
// drawn at, the header and footer lines and the print log.
#include <gtest/gtest.h>

#include "platform/error_codes.h"
#include "tests/support/temp_dir.h"
#include "view/margin_tags.h"
#include "view/print_layout.h"
#include "view/print_log.h"

namespace tv {
namespace {

TEST(PrintLayout, SheetsAndCellsForOneTwoAndFourPagesPerSheet) {
  const PrintSheetLayout single{2400, 3200, false, false};
  EXPECT_FALSE(single.StartsSheet(0));
  EXPECT_TRUE(single.StartsSheet(1));
  EXPECT_EQ(single.Cell(3), (PixelRect{2, 2, 2397, 3197}));

  // Pages 2..5 with four to a portrait sheet: index 0..3 share the first
  // sheet top-left, top-right, bottom-left, bottom-right; page 6 starts the next.
  const PrintSheetLayout portrait{2400, 3200, true, false};
  EXPECT_EQ(portrait.PagesPerSheet(), 4);
  for (int index : {0, 1, 2, 3}) EXPECT_FALSE(portrait.StartsSheet(index));
  EXPECT_TRUE(portrait.StartsSheet(4));
  EXPECT_EQ(portrait.Cell(0), (PixelRect{2, 2, 1197, 1597}));
  EXPECT_EQ(portrait.Cell(1), (PixelRect{1202, 2, 2397, 1597}));
  EXPECT_EQ(portrait.Cell(2), (PixelRect{2, 1602, 1197, 3197}));
  EXPECT_EQ(portrait.Cell(3), (PixelRect{1202, 1602, 2397, 3197}));
  EXPECT_EQ(portrait.Cell(4), portrait.Cell(0));

  // Two to a landscape sheet: pages 1 and 2 share, page 3 starts a new
  // sheet on its left half.
  const PrintSheetLayout landscape{3200, 2400, true, true};
  EXPECT_FALSE(landscape.StartsSheet(1));
  EXPECT_TRUE(landscape.StartsSheet(2));
  EXPECT_EQ(landscape.Cell(1), (PixelRect{1602, 2, 3197, 2397}));
  EXPECT_EQ(landscape.Cell(2), (PixelRect{2, 2, 1597, 2397}));
}

TEST(PrintLayout, FitToPageKeepsProportionsAndPixelForPixelStaysInside) {
  const PixelRect cell{0, 0, 2399, 2999};
  // 1728 x 3000 / 2200 = 2356 is narrower than 2400: full height.
  EXPECT_EQ(PrintedSize(1728, 2200, cell, TFaxPrintScale::psFitToPage, {}), (PrintSize{2356, 3000}));
  // A wide short page fills the width instead.
  EXPECT_EQ(PrintedSize(2048, 1000, cell, TFaxPrintScale::psFitToPage, {}), (PrintSize{2400, 1171}));
  EXPECT_EQ(PrintedSize(1728, 2200, cell, TFaxPrintScale::psNone, {}), (PrintSize{1728, 2200}));
  // Larger than the cell: squeezed into it rather than spilling over a
  // neighbouring page or the paper's edge.
  EXPECT_EQ(PrintedSize(1728, 4400, {0, 0, 1199, 1599}, TFaxPrintScale::psNone, {}), (PrintSize{1200, 1600}));
  EXPECT_EQ(PrintedSize(0, 100, cell, TFaxPrintScale::psFitToPage, {}), (PrintSize{}));

  // Physical size at 408 x 392 dpi: a fax pixel is two printer pixels each
  // way. A one-line note trimmed to 400 pixels keeps its real size, and is
  // reduced only as the whole 1728-pixel page would be.
  const PrintMeasure measure{1728, 408, 392};
  EXPECT_EQ(PrintedSize(400, 98, {0, 0, 3999, 4999}, TFaxPrintScale::psPhysicalSize, measure), (PrintSize{800, 196}));
  EXPECT_EQ(PrintedSize(400, 98, {0, 0, 1727, 2999}, TFaxPrintScale::psPhysicalSize, measure), (PrintSize{400, 98}));
  EXPECT_EQ(PrintedSize(1728, 3000, cell, TFaxPrintScale::psPhysicalSize, measure), (PrintSize{1728, 3000}));
}

TEST(PrintLayout, HeaderAndFooterBandsTakeTheirRowsAndARule) {
  PixelRect cell{10, 20, 1009, 2019};
  int headerRule = 0;
  int footerRule = 0;
  EXPECT_EQ(TakeHeaderBand(cell, 50, headerRule), (PixelRect{10, 20, 1009, 69}));
  EXPECT_EQ(headerRule, 72);
  EXPECT_EQ(TakeFooterBand(cell, 40, footerRule), (PixelRect{10, 1980, 1009, 2019}));
  EXPECT_EQ(footerRule, 1977);
  EXPECT_EQ(cell, (PixelRect{10, 73, 1009, 1976}));
}

TEST(HeaderTags, ReplacedFromTheLeftInOnePass) {
  const MarginTagValues v{"2024-03-05", "14:07", "/faxes/FAX$00001.APF", 3, 2};
  EXPECT_EQ(ExpandMarginTags("FILE: $F", v), "FILE: /faxes/FAX$00001.APF");
  EXPECT_EQ(ExpandMarginTags("Page: $P of $N", v), "Page: 2 of 3");
  EXPECT_EQ(ExpandMarginTags("$p/$n", v), "2");  // a tag runs to the next space
  EXPECT_EQ(ExpandMarginTags("Sent $d $t $X done $", v), "Sent 2024-03-05 14:07  done ");
  EXPECT_EQ(ExpandMarginTags("no tags", v), "no tags");
  EXPECT_EQ(ExpandMarginTags("", v), "");
}

TEST(PrintLog, OneParagraphPerJob) {
  test::TempDir dir;
  const std::string log = dir.File("FAXPRINT.LOG");
  std::tm when{};
  when.tm_year = 124;
  when.tm_mon = 2;
  when.tm_mday = 5;
  when.tm_hour = 14;
  when.tm_min = 7;
  when.tm_sec = 9;
  ASSERT_EQ(AppendPrintLog(log, plStarted, "a.apf", when), ecOK);
  ASSERT_EQ(AppendPrintLog(log, plFinished, "a.apf", when), ecOK);
  ASSERT_EQ(AppendPrintLog(log, plStarted, "b.apf", when), ecOK);
  ASSERT_EQ(AppendPrintLog(log, plAborted, "b.apf", when), ecOK);
  EXPECT_EQ(dir.Read("FAXPRINT.LOG"),
            "Printing a.apf started at 2024-03-05 14:07:09\n"
            "Printing a.apf finished at 2024-03-05 14:07:09\n\n"
            "Printing b.apf started at 2024-03-05 14:07:09\n"
            "Printing b.apf aborted at 2024-03-05 14:07:09\n\n");
  EXPECT_EQ(PrintLogText(plFailed, "c.apf", when), "Printing c.apf failed at 2024-03-05 14:07:09\n\n");
  EXPECT_EQ(AppendPrintLog(dir.File("no/such/folder/log"), plStarted, "a.apf", when), ecPathNotFound);
}

}  // namespace
}  // namespace tv
