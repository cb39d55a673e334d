#include "image/fax_unpacker.h"

#include <gtest/gtest.h>

#include "platform/error_codes.h"
#include "platform/qa_exceptions.h"
#include "platform/ui_thread.h"
#include "tests/image/image_test_util.h"
#include "tests/support/temp_dir.h"

namespace tv {
namespace {

using test::Raster;
using test::TempDir;

Raster Line(std::initializer_list<int> blackPixels, int bytes = kStandardLineBytes) {
  Raster line(static_cast<std::size_t>(bytes));
  for (int x : blackPixels) test::SetBlack(line, x);
  return line;
}

T4LineCoder NoMargin(int width = kStandardWidth) {
  T4LineCoder coder;
  coder.SetMargin(0);
  coder.SetWidth(width);
  return coder;
}

class UnpackerTest : public ::testing::Test {
 protected:
  std::string Write(const std::vector<std::vector<Raster>>& pages, bool fine, int width = kStandardWidth) {
    const std::string file = dir_.File("f" + std::to_string(++files_) + ".apf");
    EXPECT_EQ(test::WriteApf(file, pages, fine, NoMargin(width)), ecOK);
    return file;
  }
  TempDir dir_;
  int files_ = 0;
};

TEST_F(UnpackerTest, AutoScaleModesApplyToStandardResolutionOnly) {
  const std::vector<Raster> page = {Line({0, 1, 2, 3, 100}), Line({1727}), Line({})};
  const std::string standard = Write({page}, false);
  const std::string fine = Write({page}, true);
  FaxUnpacker unpacker;
  std::vector<Raster> lines;

  unpacker.SetOptions(kUnpackDoubleHeight);
  ASSERT_EQ(test::UnpackLines(unpacker, standard, 1, lines), ecOK);
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[0], page[0]);
  EXPECT_EQ(lines[1], page[0]);
  EXPECT_EQ(lines[3], page[1]);
  ASSERT_EQ(test::UnpackLines(unpacker, fine, 1, lines), ecOK);
  EXPECT_EQ(lines, page);

  unpacker.SetOptions(kUnpackHalfWidth);
  ASSERT_EQ(test::UnpackLines(unpacker, standard, 1, lines), ecOK);
  ASSERT_EQ(lines.size(), 3u);
  ASSERT_EQ(lines[0].size(), 108u);
  EXPECT_EQ(lines[0], Line({0, 1, 50}, 108));
  EXPECT_EQ(lines[1], Line({863}, 108));
  ASSERT_EQ(test::UnpackLines(unpacker, fine, 1, lines), ecOK);
  EXPECT_EQ(lines, page);

  // The two modes exclude each other.
  unpacker.SetOptions(kUnpackDoubleHeight);
  unpacker.SetOption(kUnpackHalfWidth, true);
  EXPECT_EQ(unpacker.Options() & kUnpackDoubleHeight, 0u);

  unpacker.SetOptions(0);
  unpacker.SetInvertedOutput(true);
  ASSERT_EQ(test::UnpackLines(unpacker, standard, 1, lines), ecOK);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[2], Raster(kStandardLineBytes, 0xFF));
  EXPECT_EQ(lines[0][0], 0x0F);
}

TEST_F(UnpackerTest, BlankLineCompression) {
  const Raster mark = Line({10});
  const Raster blank = Line({});
  std::vector<Raster> page = {mark};
  for (int i = 0; i < 4; ++i) page.push_back(blank);
  page.push_back(mark);
  for (int i = 0; i < 6; ++i) page.push_back(blank);
  page.push_back(mark);
  for (int i = 0; i < 7; ++i) page.push_back(blank);  // at the page end
  const std::string file = Write({page}, true);

  FaxUnpacker unpacker;
  std::vector<Raster> lines;
  EXPECT_EQ(unpacker.SetWhitespaceCompression(2, 5), ecBadArgument);
  EXPECT_EQ(unpacker.SetWhitespaceCompression(0, 3), ecBadArgument);
  ASSERT_EQ(unpacker.SetWhitespaceCompression(0, 0), ecOK);
  ASSERT_EQ(test::UnpackLines(unpacker, file, 1, lines), ecOK);
  EXPECT_EQ(lines.size(), page.size());

  ASSERT_EQ(unpacker.SetWhitespaceCompression(5, 2), ecOK);
  ASSERT_EQ(test::UnpackLines(unpacker, file, 1, lines), ecOK);
  std::vector<std::size_t> sizes;
  for (const Raster& line : lines) sizes.push_back(line.size());
  // mark, 4 blanks kept, mark, 6 blanks made 2, mark, 7 blanks made 2;
  // blank lines given out by the compression have no bytes.
  EXPECT_EQ(sizes, (std::vector<std::size_t>{216, 0, 0, 0, 0, 216, 0, 0, 216, 0, 0}));
}

TEST_F(UnpackerTest, BitmapsAreTrimmedToTheWidestBlackContent) {
  std::vector<Raster> page;
  for (int y = 0; y < 1500; ++y) page.push_back(Line({y % 300}));
  page.push_back(Line({319}));  // black content ends in byte 40
  const std::string file = Write({page}, true);
  FaxUnpacker unpacker;
  MonoBitmap bitmap;
  ASSERT_EQ(unpacker.UnpackPageToBitmap(file, 1, bitmap), ecOK);
  EXPECT_EQ(bitmap.Width(), 320);
  EXPECT_EQ(bitmap.Height(), 1501);
  EXPECT_TRUE(bitmap.IsBlack(299, 299));
  EXPECT_FALSE(bitmap.IsBlack(298, 299));
  EXPECT_TRUE(bitmap.IsBlack(319, 1500));

  // Scaling stretches the trimmed page.
  unpacker.SetScaling(1, 2, 1, 4);
  ASSERT_EQ(unpacker.UnpackPageToBitmap(file, 1, bitmap), ecOK);
  EXPECT_EQ(bitmap.Width(), 160);
  EXPECT_EQ(bitmap.Height(), 375);

  // A page without decodable lines is an empty bitmap, not an error.
  const std::string empty = Write({{}}, false);
  ASSERT_EQ(unpacker.UnpackPageToBitmap(empty, 1, bitmap), ecOK);
  EXPECT_TRUE(bitmap.Empty());
  EXPECT_EQ(unpacker.UnpackPageToBitmap(file, 2, bitmap), ecFaxBadFormat);
}

TEST_F(UnpackerTest, ComponentRaisesAbortsAndReportsStatus) {
  std::vector<Raster> page(300, Line({5, 6, 7}, kWideLineBytes));
  const std::string file = Write({page, page}, false, kWideWidth);
  TQaFaxUnpacker unpacker;
  unpacker.SetInFileName(file);
  EXPECT_EQ(unpacker.OutFileName(), file.substr(0, file.size() - 4));
  EXPECT_EQ(unpacker.NumberOfPages(), 2);
  EXPECT_FALSE(unpacker.FaxResolutionFine());
  EXPECT_TRUE(unpacker.FaxWidthWide());

  std::uint32_t lastDone = 0, lastTotal = 1;
  unpacker.OnStatus = [&](TQaFaxUnpacker&, const std::string& name, int pageNum, std::uint32_t done,
                          std::uint32_t total) {
    EXPECT_EQ(name, file);
    EXPECT_EQ(pageNum, 2);
    lastDone = done;
    lastTotal = total;
  };
  const MonoBitmap bitmap = unpacker.UnpackPageToBitmap(2);
  EXPECT_EQ(bitmap.Height(), 600);  // doubled
  EXPECT_EQ(bitmap.Width(), 16);
  EXPECT_EQ(lastDone, lastTotal);
  unpacker.OnStatus = nullptr;

  int linesSeen = 0;
  unpacker.OnOutputLine = [&](TQaFaxUnpacker& sender, bool starting, bool ending, const std::uint8_t*, int len,
                              int) {
    if (starting || ending) return;
    EXPECT_EQ(len, kWideLineBytes);
    if (++linesSeen == 10) sender.SetOptions(sender.Options() | uoAbort);
  };
  EXPECT_THROW(unpacker.UnpackPage(1), EUnpackAbort);
  EXPECT_EQ(linesSeen, 10);
  EXPECT_EQ(unpacker.Options() & uoAbort, 0u);

  unpacker.OnOutputLine = nullptr;
  unpacker.SetWhitespaceCompression(true);
  unpacker.SetWhitespaceFrom(1);
  unpacker.SetWhitespaceTo(4);
  EXPECT_THROW(unpacker.UnpackPage(1), EBadArgument);
  unpacker.SetWhitespaceCompression(false);
  EXPECT_THROW(unpacker.UnpackPage(3), EFaxBadFormat);
  unpacker.SetInFileName(dir_.File("missing.apf"));
  EXPECT_THROW(unpacker.NumberOfPages(), EInOutError);
}

// A page of the received kind (one code stream) written by a coder that
// puts each EOL in front of its line: the last line has none after it.
std::string WriteStream(const std::string& file, const test::BitStream& bits) {
  ApfReceiveWriter writer;
  EXPECT_EQ(writer.Create(file, "X"), ecOK);
  EXPECT_EQ(writer.BeginPage(true, false), ecOK);
  EXPECT_EQ(writer.Write(bits.Bytes().data(), bits.Bytes().size()), ecOK);
  EXPECT_EQ(writer.EndPage(), ecOK);
  writer.Close();
  return file;
}

TEST_F(UnpackerTest, LastLineWithoutEolIsKeptAndOverlongPagesAreRefused) {
  test::BitStream bits;
  for (int i = 0; i < 3; ++i)
    bits.Eol().Run(T4Colour::kWhite, 100).Run(T4Colour::kBlack, 8).Run(T4Colour::kWhite, 1620);
  FaxUnpacker unpacker;
  std::vector<Raster> lines;
  ASSERT_EQ(test::UnpackLines(unpacker, WriteStream(dir_.File("s.apf"), bits), 1, lines), ecOK);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[2], Line({100, 101, 102, 103, 104, 105, 106, 107}));

  // A page longer than any paper would take gigabytes as a bitmap.
  test::BitStream endless;
  for (int i = 0; i <= kApfMaxPageLines; ++i) endless.Eol().Run(T4Colour::kWhite, kStandardWidth);
  WriteStream(dir_.File("long.apf"), endless);
  EXPECT_EQ(test::UnpackLines(unpacker, dir_.File("long.apf"), 1, lines), ecFaxBadFormat);
  EXPECT_EQ(lines.size(), static_cast<std::size_t>(kApfMaxPageLines));
  MonoBitmap bitmap;
  EXPECT_EQ(unpacker.UnpackPageToBitmap(dir_.File("long.apf"), 1, bitmap), ecFaxBadFormat);
}

TEST_F(UnpackerTest, QuitWhileYieldingStopsTheUnpack) {
  const std::string file = Write({std::vector<Raster>(100, Line({1}))}, true);
  FaxUnpacker unpacker;
  unpacker.SetOptions(kUnpackYield);
  int pumped = 0;
  UiThread::Current().Post([&] {
    ++pumped;
    UiThread::Current().SetTerminating(true);
  });
  std::vector<Raster> lines;
  EXPECT_EQ(test::UnpackLines(unpacker, file, 1, lines), ecGotQuitMsg);
  UiThread::Current().SetTerminating(false);
  EXPECT_EQ(pumped, 1);
  EXPECT_LT(lines.size(), 100u);

  // A received page is one code stream read in large chunks; the messages
  // are still processed every 16 lines.
  const std::string stream = dir_.File("stream.apf");
  ApfReceiveWriter writer;
  ASSERT_EQ(writer.Create(stream, "REMOTE"), ecOK);
  ASSERT_EQ(writer.BeginPage(true, false), ecOK);
  T4LineCoder coder;
  const Raster mark = Line({1});
  for (int i = 0; i < 100; ++i) {
    const auto coded = coder.CodeLine(mark.data());
    ASSERT_EQ(writer.Write(coded.data(), coded.size()), ecOK);
  }
  ASSERT_EQ(writer.Write(kEndOfPageCodes.data(), kEndOfPageCodes.size()), ecOK);
  ASSERT_EQ(writer.EndPage(), ecOK);
  writer.Close();
  UiThread::Current().Post([&] { UiThread::Current().SetTerminating(true); });
  EXPECT_EQ(test::UnpackLines(unpacker, stream, 1, lines), ecGotQuitMsg);
  UiThread::Current().SetTerminating(false);
  EXPECT_EQ(lines.size(), 16u);
  unpacker.SetOptions(0);
  ASSERT_EQ(test::UnpackLines(unpacker, stream, 1, lines), ecOK);
  EXPECT_EQ(lines.size(), 100u);
}

}  // namespace
}  // namespace tv
