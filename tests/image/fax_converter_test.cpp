#include "image/fax_converter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <filesystem>

#include "image/dither_matrix.h"
#include "image/document_input.h"
#include "image/fax_font.h"
#include "image/fax_unpacker.h"
#include "platform/error_codes.h"
#include "platform/paths.h"
#include "platform/qa_exceptions.h"
#include "platform/ui_thread.h"
#include "tests/image/image_test_util.h"
#include "tests/image/picture_writers.h"
#include "tests/support/temp_dir.h"

namespace tv {
namespace {

using test::Picture;
using test::Raster;
using test::TempDir;

// Every page of a file as its coded lines, exactly as stored.
std::vector<std::vector<Raster>> ReadPages(const std::string& file) {
  TApfFileHeader header;
  EXPECT_EQ(ApfReadFileHeader(file, header), ecOK);
  FaxUnpacker unpacker;
  unpacker.SetOptions(0);
  std::vector<std::vector<Raster>> pages;
  for (int p = 1; p <= header.pageCount; ++p) {
    std::vector<Raster> lines;
    EXPECT_EQ(test::UnpackLines(unpacker, file, p, lines), ecOK);
    EXPECT_EQ(unpacker.InvalidCodes(), 0);
    pages.push_back(lines);
  }
  return pages;
}

// The expected raster of one row of text as the converter draws it.
Raster TextRow(const FaxFont& font, const std::string& text, int row, int margin) {
  Raster drawn(kConverterRasterSize);
  font.RenderRow(text, row, drawn.data(), drawn.size());
  Raster line(kStandardLineBytes);
  for (int x = 0; x + margin < kStandardWidth; ++x) {
    if (test::PixelBlack(drawn, x)) test::SetBlack(line, x + margin);
  }
  return line;
}

bool AnyBlack(const Raster& line, int from, int to) {
  for (int x = from; x < to; ++x) {
    if (test::PixelBlack(line, x)) return true;
  }
  return false;
}

class ConverterTest : public ::testing::Test {
 protected:
  int Convert(TFaxInputDocumentType kind, const std::string& input, const std::string& output = "") {
    auto converter = MakeFileConverter(kind);
    converter->SetOptions(options_);
    converter->SetFine(fine_);
    converter->SetFontSelector(font_);
    converter->SetLinesPerPage(linesPerPage_);
    converter->SetTabStop(tabStop_);
    converter->SetStatusCallback(status_);
    converter->SetTopMargin(topMargin_);
    const int rc = converter->Convert(dir_.File(input), output.empty() ? dir_.File("out.apf") : output);
    pages_ = converter->PagesWritten();
    detail_ = converter->ErrorDetail();
    return rc;
  }

  TempDir dir_;
  unsigned options_ = coDoubleWidth | coCenterImage;
  bool fine_ = false;
  int font_ = kLargeFont;
  int linesPerPage_ = 60;
  std::string detail_;
  int tabStop_ = 4;
  int topMargin_ = 0;
  int pages_ = 0;
  FaxConverter::StatusCallback status_;
};

TEST(FaxFont, GlyphsAndRows) {
  const FaxFont small(kSmallFont, false);
  const FaxFont large(kLargeFont, true);
  EXPECT_EQ(small.Width(), 12);
  EXPECT_EQ(small.Rows(), 8);
  EXPECT_EQ(large.Width(), 20);
  EXPECT_EQ(large.Rows(), 32);
  // Every printable character has ink, the space has none.
  for (int c = 33; c < 256; ++c) {
    if (c == 127 || c == 129 || c == 141 || c == 143 || c == 144 || c == 157 || c == 160) continue;
    bool ink = false;
    for (int row = 1; row <= small.Rows(); ++row) {
      Raster raster(4);
      small.RenderRow(std::string(1, static_cast<char>(c)), row, raster.data(), raster.size());
      ink = ink || AnyBlack(raster, 0, 32);
    }
    EXPECT_TRUE(ink) << c;
  }
  // Fine resolution doubles each row; a row past the cell draws nothing.
  const FaxFont largeStandard(kLargeFont, false);
  for (int row = 1; row <= 16; ++row) {
    Raster a(8), b(8), c(8);
    largeStandard.RenderRow("W", row, a.data(), a.size());
    large.RenderRow("W", 2 * row - 1, b.data(), b.size());
    large.RenderRow("W", 2 * row, c.data(), c.size());
    EXPECT_EQ(a, b);
    EXPECT_EQ(a, c);
  }
  Raster none(8);
  large.RenderRow("W", 33, none.data(), none.size());
  EXPECT_EQ(none, Raster(8));
  // Characters follow each other at the font width, even across bytes.
  Raster two(8), one(8);
  small.RenderRow("II", 4, two.data(), two.size());
  small.RenderRow("I", 4, one.data(), one.size());
  for (int x = 0; x < 12; ++x) EXPECT_EQ(test::PixelBlack(two, x + 12), test::PixelBlack(one, x)) << x;
}

// No glyph is drawn heavier than its font: the typical stroke of each glyph
// (for each black pixel the shorter of its horizontal run and its vertical
// run, rows counted at their height of 204/98 pixels) stays within half as
// much again as the font's median, in the small font within one row of it.
TEST(FaxFont, EveryGlyphHasTheStrokeWeightOfItsFont) {
  for (const int selector : {kSmallFont, kLargeFont}) {
    const FaxFont font(selector, false);
    auto weight = [&](char code) {
      std::vector<std::vector<bool>> ink(static_cast<std::size_t>(font.Rows()), std::vector<bool>(font.Width()));
      for (int row = 0; row < font.Rows(); ++row) {
        std::uint8_t raster[8] = {};
        font.RenderRow(std::string(1, code), row + 1, raster, sizeof raster);
        for (int x = 0; x < font.Width(); ++x) ink[row][x] = raster[x / 8] & (0x80 >> (x % 8));
      }
      std::vector<double> strokes;
      for (int y = 0; y < font.Rows(); ++y) {
        for (int x = 0; x < font.Width(); ++x) {
          if (!ink[y][x]) continue;
          int across = 1;
          for (int l = x - 1; l >= 0 && ink[y][l]; --l) ++across;
          for (int r = x + 1; r < font.Width() && ink[y][r]; ++r) ++across;
          int down = 1;
          for (int t = y - 1; t >= 0 && ink[t][x]; --t) ++down;
          for (int b = y + 1; b < font.Rows() && ink[b][x]; ++b) ++down;
          strokes.push_back(std::min<double>(across, down * 204.0 / 98));
        }
      }
      std::nth_element(strokes.begin(), strokes.begin() + strokes.size() / 2, strokes.end());
      return strokes[strokes.size() / 2];
    };
    std::vector<std::pair<double, char>> weights;
    for (char code = '!'; code <= '~'; ++code) weights.emplace_back(weight(code), code);
    std::vector<std::pair<double, char>> sorted = weights;
    std::nth_element(sorted.begin(), sorted.begin() + sorted.size() / 2, sorted.end());
    const double median = sorted[sorted.size() / 2].first;
    const double most = selector == kLargeFont ? median * 1.5 : median + 204.0 / 98;
    for (const auto& [w, code] : weights) EXPECT_LE(w, most + 1e-9) << "'" << code << "' in font " << selector;
  }
}

TEST(FaxFont, Utf8MapsIntoTheFontCharacterSet) {
  EXPECT_EQ(ToFaxCharset("caf\xC3\xA9 \xE2\x82\xAC 5", true), "caf\xE9 \x80 5");
  EXPECT_EQ(ToFaxCharset("\xE4\xB8\xAD", true), "?");
  EXPECT_EQ(ToFaxCharset("caf\xE9", false), "caf\xE9");
  EXPECT_TRUE(IsUtf8("caf\xC3\xA9"));
  EXPECT_FALSE(IsUtf8("caf\xE9 au lait"));
  std::size_t tail = 0;
  EXPECT_TRUE(IsUtf8("ab\xC3", &tail));
  EXPECT_EQ(tail, 1u);
}

TEST(DitherMatrix, Thresholds) {
  constexpr TDitherMatrix m;
  const std::uint32_t firstRow[16] = {0, 96, 48, 112, 24, 120, 56, 120, 12, 108, 60, 124, 28, 124, 60, 124};
  for (int j = 0; j < 16; ++j) EXPECT_EQ(m(0, j), firstRow[j]) << j;
  std::uint32_t most = 0;
  for (int i = 0; i < 16; ++i) {
    for (int j = 0; j < 16; ++j) most = std::max(most, m(i, j));
  }
  EXPECT_EQ(most, 124u);
  EXPECT_TRUE(m.White(0, 0, 1));
  EXPECT_FALSE(m.White(0, 0, 0));
}

TEST_F(ConverterTest, TextLinesAreCutAndDrawnWithTheFont) {
  dir_.Write("long.txt", std::string(200, 'M') + "\r\nabcde\tX\n");
  ASSERT_EQ(Convert(idText, "long.txt"), ecOK);
  const auto pages = ReadPages(dir_.File("out.apf"));
  ASSERT_EQ(pages.size(), 1u);
  ASSERT_EQ(pages[0].size(), 32u);  // two text lines of 16 rows
  const FaxFont font(kLargeFont, false);
  // 1728 / 20 - 50 / 20 = 84 characters stay.
  for (int row = 1; row <= 16; ++row) {
    EXPECT_EQ(pages[0][static_cast<std::size_t>(row - 1)], TextRow(font, std::string(84, 'M'), row, 50)) << row;
    EXPECT_EQ(pages[0][static_cast<std::size_t>(15 + row)], TextRow(font, "abcde   X", row, 50)) << row;
  }
}

TEST_F(ConverterTest, FormFeedsAndLinesPerPageMakePages) {
  dir_.Write("ff.txt", "A\fB\n");
  ASSERT_EQ(Convert(idText, "ff.txt"), ecOK);
  auto pages = ReadPages(dir_.File("out.apf"));
  const FaxFont font(kLargeFont, false);
  ASSERT_EQ(pages.size(), 2u);
  EXPECT_EQ(pages[0][5], TextRow(font, "A", 6, 50));
  EXPECT_EQ(pages[1][5], TextRow(font, "B", 6, 50));

  linesPerPage_ = 2;
  font_ = kSmallFont;
  fine_ = true;
  dir_.Write("five.txt", "1\n2\n3\n4\n\f5\n");
  ASSERT_EQ(Convert(idText, "five.txt"), ecOK);
  pages = ReadPages(dir_.File("out.apf"));
  ASSERT_EQ(pages.size(), 3u);
  EXPECT_EQ(pages[0].size(), 32u);  // 2 lines of 16 fine rows
  EXPECT_EQ(pages[2].size(), 16u);
  TApfPageHeader header;
  ASSERT_EQ(ApfReadPageHeader(dir_.File("out.apf"), 1, header), ecOK);
  EXPECT_TRUE(header.Fine());

  dir_.Write("empty.txt", "");
  ASSERT_EQ(Convert(idText, "empty.txt"), ecOK);
  pages = ReadPages(dir_.File("out.apf"));
  ASSERT_EQ(pages.size(), 1u);
  ASSERT_EQ(pages[0].size(), 1u);
  EXPECT_EQ(pages[0][0], Raster(kStandardLineBytes));
}

// One page limit for every kind of document, never beyond what a fax file
// can count; a file that is no text is not drawn as one. Neither leaves
// anything at the output's name.
TEST_F(ConverterTest, PageLimitAndNonTextAreRefused) {
  std::string pages;
  for (int i = 0; i <= kDefaultMaxPages; ++i) pages += "x\f\n";
  dir_.Write("long.txt", pages);
  dir_.Write("out.apf", "old");
  EXPECT_EQ(Convert(idText, "long.txt"), ecBadGraphicsFormat);
  EXPECT_NE(detail_.find("more than 500 pages"), std::string::npos) << detail_;
  EXPECT_EQ(dir_.Read("out.apf"), "old");
  dir_.Write("long.txt", pages.substr(3));
  EXPECT_EQ(Convert(idText, "long.txt"), ecOK);
  EXPECT_EQ(pages_, kDefaultMaxPages);

  std::mt19937 random(7);
  std::string binary(1 << 16, '\0');
  for (char& c : binary) c = static_cast<char>(random());
  dir_.Write("binary.txt", binary);
  EXPECT_EQ(Convert(idText, "binary.txt"), ecBadGraphicsFormat);
  EXPECT_NE(detail_.find("not a text file"), std::string::npos) << detail_;

  FaxConverter converter(MakeTextInput(), "");
  converter.SetMaxPages(70000);
  EXPECT_EQ(converter.MaxPages(), kApfMaxPages);
}

// Ghostscript is held to its memory and its time: a program that allocates
// without end fails at the limit, one that never ends is a time-out.
TEST_F(ConverterTest, GhostscriptIsHeldToItsMemoryAndTime) {
  dir_.Write("greedy.ps", "%!PS\n/a [] def { /a [ a 1000000 string ] def } loop\n");
  dir_.Write("endless.ps", "%!PS\n{ 1 pop } loop\n");
  DocumentRendering rendering;
  rendering.idleSeconds = 1;
  rendering.memoryBytes = std::uint64_t{256} << 20;
  auto greedy = MakeFileConverter(idPostScript, rendering);
  EXPECT_EQ(greedy->Convert(dir_.File("greedy.ps"), dir_.File("out.apf")), ecBadGraphicsFormat);
  EXPECT_NE(greedy->ErrorDetail().find("VMerror"), std::string::npos) << greedy->ErrorDetail();
  auto endless = MakeFileConverter(idPostScript, rendering);
  EXPECT_EQ(endless->Convert(dir_.File("endless.ps"), dir_.File("out.apf")), ecTimeout);
  EXPECT_NE(endless->ErrorDetail().find("gave no page for 1 seconds"), std::string::npos) << endless->ErrorDetail();
  EXPECT_FALSE(std::filesystem::exists(dir_.File("out.apf")));
}

TEST_F(ConverterTest, Utf8AndWindows1252TextGiveTheSameDrawing) {
  dir_.Write("utf8.txt", "Gr\xC3\xBC\xC3\x9F \xE2\x82\xAC\n");
  dir_.Write("ansi.txt", "Gr\xFC\xDF \x80\n");
  ASSERT_EQ(Convert(idText, "utf8.txt", dir_.File("a.apf")), ecOK);
  ASSERT_EQ(Convert(idText, "ansi.txt", dir_.File("b.apf")), ecOK);
  const auto a = ReadPages(dir_.File("a.apf"));
  EXPECT_EQ(a, ReadPages(dir_.File("b.apf")));
  const FaxFont font(kLargeFont, false);
  EXPECT_EQ(a[0][8], TextRow(font, "Gr\xFC\xDF \x80", 9, 50));
}

TEST_F(ConverterTest, NamesStatusAbortAndTopMargin) {
  dir_.Write("doc.txt", "hello\n");
  auto converter = MakeFileConverter(idText);
  // The default extension completes the name as it is spelled.
  EXPECT_EQ(converter->Convert(dir_.File("doc"), ""), ecFileNotFound);
  EXPECT_EQ(converter->OutputName(), dir_.File("doc.APF"));
  EXPECT_FALSE(std::filesystem::exists(dir_.File("doc.APF")));
  std::filesystem::rename(dir_.File("doc.txt"), dir_.File("doc.TXT"));
  ASSERT_EQ(converter->Convert(dir_.File("doc"), dir_.File("named")), ecOK);
  EXPECT_EQ(converter->OutputName(), dir_.File("named.APF"));
  EXPECT_TRUE(ApfIsFaxFile(dir_.File("named.APF")));

  int reports = 0;
  bool sawEnd = false;
  status_ = [&](FaxConverter&, int flags, int pages, int lines, std::int64_t done, std::int64_t total) {
    ++reports;
    EXPECT_LE(done, total);
    if (flags & kConvertEnding) sawEnd = true;
    return pages == 1 && lines == 10;
  };
  dir_.Write("abort.txt", "one\ntwo\nthree\n");
  EXPECT_EQ(Convert(idText, "abort.txt"), ecConvertAbort);
  EXPECT_FALSE(std::filesystem::exists(dir_.File("out.apf")));
  EXPECT_FALSE(sawEnd);
  EXPECT_EQ(reports, 11);
  status_ = nullptr;

  topMargin_ = 3;
  ASSERT_EQ(Convert(idText, "abort.txt"), ecOK);
  const auto pages = ReadPages(dir_.File("out.apf"));
  ASSERT_EQ(pages[0].size(), 3u + 48u);
  EXPECT_EQ(pages[0][0], Raster(kStandardLineBytes));
  EXPECT_TRUE(AnyBlack(pages[0][3 + 8], 50, 120));

  // A conversion that fails leaves the output it would have replaced alone.
  const std::string done = dir_.Read("out.apf");
  EXPECT_EQ(Convert(idText, "missing.txt"), ecFileNotFound);
  EXPECT_EQ(dir_.Read("out.apf"), done);

  // A quit message while yielding ends the conversion and drops the new file.
  options_ = coYield | coYieldOften;
  int pumped = 0;
  UiThread::Current().Post([&] {
    ++pumped;
    UiThread::Current().SetTerminating(true);
  });
  const int quit = Convert(idText, "abort.txt");
  UiThread::Current().SetTerminating(false);
  EXPECT_EQ(quit, ecGotQuitMsg);
  EXPECT_EQ(pumped, 1);
  EXPECT_EQ(dir_.Read("out.apf"), done);
  options_ = 0;

  // The document itself as the output would be destroyed by the writing,
  // and a margin beyond what a page holds would write gigabytes.
  const std::string text = dir_.Read("doc.TXT");
  EXPECT_EQ(converter->Convert(dir_.File("doc.TXT"), dir_.File("doc.TXT")), ecBadArgument);
  EXPECT_EQ(dir_.Read("doc.TXT"), text);
  topMargin_ = kApfMaxPageLines + 1;
  EXPECT_EQ(Convert(idText, "abort.txt"), ecBadArgument);
  EXPECT_EQ(dir_.Read("out.apf"), done);
}

TEST_F(ConverterTest, TiffInBothByteOrdersAndPackBits) {
  const Picture picture = Picture::Pattern(203, 57);
  const std::vector<std::pair<std::string, std::vector<std::uint8_t>>> files = {
      {"le.tif", test::TiffBytes(picture, false, false, 0)},
      {"be.tif", test::TiffBytes(picture, true, false, 0)},
      {"pb.tif", test::TiffBytes(picture, false, true, 1)},
      {"pbbe.tif", test::TiffBytes(picture, true, true, 0, 0, 57)},
      {"lsb.tif", test::TiffBytes(picture, false, false, 0, 0, 7, true)},
  };
  options_ = 0;  // no doubling, no centring: the picture starts at the margin
  for (const auto& [name, bytes] : files) {
    test::SaveBytes(dir_.File(name), bytes);
    ASSERT_EQ(Convert(idTiff, name), ecOK) << name;
    const auto pages = ReadPages(dir_.File("out.apf"));
    ASSERT_EQ(pages.size(), 1u);
    ASSERT_EQ(pages[0].size(), 57u) << name;
    for (int y = 0; y < 57; ++y) {
      for (int x = 0; x < kStandardWidth; ++x) {
        const bool expected = x >= 50 && x < 50 + 203 && picture.Black(x - 50, y);
        ASSERT_EQ(test::PixelBlack(pages[0][static_cast<std::size_t>(y)], x), expected) << name << " " << x << "," << y;
      }
    }
  }
  // A compression nothing here knows.
  test::SaveBytes(dir_.File("odd.tif"), test::TiffBytes(picture, false, false, 0, 50000));
  EXPECT_EQ(Convert(idTiff, "odd.tif"), ecBadGraphicsFormat);
  dir_.Write("text.tif", "II*\0garbage");
  EXPECT_EQ(Convert(idTiff, "text.tif"), ecBadGraphicsFormat);
  // Strip data that ends early is a read error, and the output from before
  // stays whole.
  const std::string before = dir_.Read("out.apf");
  auto cut = test::TiffBytes(picture, false, false, 0);
  cut.resize(cut.size() - 100);
  test::SaveBytes(dir_.File("cut.tif"), cut);
  EXPECT_EQ(Convert(idTiff, "cut.tif"), ecDeviceReadError);
  EXPECT_EQ(dir_.Read("out.apf"), before);
}

TEST_F(ConverterTest, PicturePlacementDoublesCentresAndHalves) {
  // 800 pixels at normal resolution: doubled (1728 - 50 >= 1600) and
  // centred by (1728 - 1600) / 32 = 4 bytes.
  const Picture picture = Picture::Pattern(800, 20);
  test::SaveBytes(dir_.File("p.bmp"), test::BmpBytes(picture, 1));
  ASSERT_EQ(Convert(idBmp, "p.bmp"), ecOK);
  auto pages = ReadPages(dir_.File("out.apf"));
  ASSERT_EQ(pages[0].size(), 20u);
  for (int y = 0; y < 20; ++y) {
    for (int x = 0; x < kStandardWidth; ++x) {
      const int px = (x - 50) / 2 - 32;
      const bool expected = x >= 50 + 64 && px < 800 && picture.Black(px, y);
      ASSERT_EQ(test::PixelBlack(pages[0][static_cast<std::size_t>(y)], x), expected) << x << "," << y;
    }
  }
  // Fine resolution: neither doubling nor half height; centred by
  // (1728 - 800) / 16 = 58 bytes.
  options_ = coDoubleWidth | coHalfHeight | coCenterImage;
  fine_ = true;
  ASSERT_EQ(Convert(idBmp, "p.bmp"), ecOK);
  pages = ReadPages(dir_.File("out.apf"));
  ASSERT_EQ(pages[0].size(), 20u);
  EXPECT_EQ(test::PixelBlack(pages[0][0], 50 + 58 * 8), true);
  EXPECT_EQ(test::PixelBlack(pages[0][0], 50 + 58 * 8 - 1), false);
  // Half height at normal resolution when the picture is too wide to double.
  fine_ = false;
  const Picture wide = Picture::Pattern(1000, 20);
  test::SaveBytes(dir_.File("w.bmp"), test::BmpBytes(wide, 1));
  ASSERT_EQ(Convert(idBmp, "w.bmp"), ecOK);
  pages = ReadPages(dir_.File("out.apf"));
  EXPECT_EQ(pages[0].size(), 10u);
}

TEST_F(ConverterTest, PcxDcxAndBmpInputs) {
  options_ = 0;
  const Picture a = Picture::Pattern(333, 40);
  const Picture b = Picture::Pattern(64, 9);
  auto check = [&](const std::vector<Raster>& lines, const Picture& p) {
    ASSERT_EQ(lines.size(), static_cast<std::size_t>(p.Height()));
    for (int y = 0; y < p.Height(); ++y) {
      for (int x = 0; x < kStandardWidth; ++x) {
        const bool expected = x >= 50 && x < 50 + p.width && p.Black(x - 50, y);
        ASSERT_EQ(test::PixelBlack(lines[static_cast<std::size_t>(y)], x), expected) << x << "," << y;
      }
    }
  };
  test::SaveBytes(dir_.File("a.pcx"), test::PcxBytes(a));
  ASSERT_EQ(Convert(idPcx, "a.pcx"), ecOK);
  check(ReadPages(dir_.File("out.apf"))[0], a);

  test::SaveBytes(dir_.File("ab.dcx"), test::DcxBytes({a, b, a}));
  ASSERT_EQ(Convert(idDcx, "ab.dcx"), ecOK);
  const auto pages = ReadPages(dir_.File("out.apf"));
  ASSERT_EQ(pages.size(), 3u);
  check(pages[0], a);
  check(pages[1], b);
  check(pages[2], a);

  test::SaveBytes(dir_.File("a.bmp"), test::BmpBytes(a, 1));
  ASSERT_EQ(Convert(idBmp, "a.bmp"), ecOK);
  check(ReadPages(dir_.File("out.apf"))[0], a);

  auto badPcx = test::PcxBytes(a);
  badPcx[3] = 8;  // 8 bits per pixel
  test::SaveBytes(dir_.File("bad.pcx"), badPcx);
  EXPECT_EQ(Convert(idPcx, "bad.pcx"), ecBadGraphicsFormat);
  EXPECT_EQ(Convert(idPcx, "a.bmp"), ecBadGraphicsFormat);
  test::SaveBytes(dir_.File("huge.pcx"), test::PcxBytes(Picture::Pattern(1800, 2)));
  EXPECT_EQ(Convert(idPcx, "huge.pcx"), ecBadGraphicsFormat);
  auto noEnd = test::DcxBytes({a});
  noEnd.resize(8);  // no closing 0 entry
  test::SaveBytes(dir_.File("bad.dcx"), noEnd);
  EXPECT_EQ(Convert(idDcx, "bad.dcx"), ecBadGraphicsFormat);
}

TEST_F(ConverterTest, ColourBmpIsDitheredThroughATemporaryFile) {
  TempDir tmp;
  const char* oldTmp = std::getenv("TMPDIR");
  const std::string saved = oldTmp ? oldTmp : "";
  setenv("TMPDIR", tmp.Path().c_str(), 1);
  options_ = 0;
  fine_ = true;
  const Picture shape = Picture::Pattern(64, 32);
  test::SaveBytes(dir_.File("grey.bmp"), test::BmpBytes(shape, 24, [](int x, int) { return x * 4; }));
  const int rc = Convert(idBmp, "grey.bmp");
  if (oldTmp) {
    setenv("TMPDIR", saved.c_str(), 1);
  } else {
    unsetenv("TMPDIR");
  }
  ASSERT_EQ(rc, ecOK);
  EXPECT_TRUE(std::filesystem::is_empty(tmp.Path()));
  const auto pages = ReadPages(dir_.File("out.apf"));
  ASSERT_EQ(pages[0].size(), 32u);
  constexpr TDitherMatrix matrix;
  for (int y = 0; y < 32; ++y) {
    for (int x = 0; x < 64; ++x) {
      EXPECT_EQ(test::PixelBlack(pages[0][static_cast<std::size_t>(y)], 50 + x), !matrix.White(x, y, x * 4))
          << x << "," << y;
    }
  }
}

TEST_F(ConverterTest, ComponentConvertsBitmapsAndUserLines) {
  TQaFaxConverter component;
  component.SetDocumentFile(dir_.File("letter.txt"));
  EXPECT_EQ(component.OutFileName(), dir_.File("letter.APF"));
  component.SetOptions(coYieldOften);
  EXPECT_EQ(component.Options(), coYieldOften | coYield);

  MonoBitmap bitmap(100, 30);
  bitmap.SetPixel(0, 0, true);
  bitmap.SetPixel(99, 29, true);
  component.SetOptions(0);
  component.SetResolution(TFaxResolution::frHigh);
  component.SetLeftMargin(0);
  component.SetInputDocumentType(idText);
  EXPECT_EQ(component.ConvertBitmapToFile(bitmap), 1);
  EXPECT_EQ(component.InputDocumentType(), idText);
  auto pages = ReadPages(dir_.File("letter.APF"));
  ASSERT_EQ(pages[0].size(), 30u);
  EXPECT_TRUE(test::PixelBlack(pages[0][0], 0));
  EXPECT_FALSE(test::PixelBlack(pages[0][0], 1));
  EXPECT_TRUE(test::PixelBlack(pages[0][29], 99));
  EXPECT_FALSE(test::PixelBlack(pages[0][29], 100));
  EXPECT_THROW(component.ConvertBitmapToFile(MonoBitmap()), EBadArgument);

  // Lines from the application: two pages of three lines each.
  component.SetInputDocumentType(idUser);
  component.SetDocumentFile(dir_.File("user.doc"));
  std::string opened;
  bool closed = false;
  int calls = 0;
  component.OnOpenUserFile = [&](TQaFaxConverter&, const std::string& name) { opened = name; };
  component.OnCloseUserFile = [&](TQaFaxConverter&) { closed = true; };
  component.OnReadUserLine = [&](TQaFaxConverter&, std::uint8_t* data, int& len, bool& endOfPage, bool& more) {
    ++calls;
    if (calls % 4 == 0) {
      endOfPage = true;
      more = calls < 8;
      return;
    }
    data[0] = 0xF0;
    len = 1;
  };
  EXPECT_EQ(component.ConvertToFile(), 2);
  EXPECT_EQ(opened, dir_.File("user.doc"));
  EXPECT_TRUE(closed);
  pages = ReadPages(dir_.File("user.APF"));
  ASSERT_EQ(pages.size(), 2u);
  EXPECT_EQ(pages[1].size(), 3u);
  EXPECT_TRUE(test::PixelBlack(pages[1][2], 3));

  // Without a read handler the page ends at once.
  component.OnReadUserLine = nullptr;
  EXPECT_EQ(component.ConvertToFile(), 1);

  component.SetInputDocumentType(idTiff);
  component.SetDocumentFile(dir_.File("none.tif"));
  EXPECT_THROW(component.ConvertToFile(), EInOutError);
  bool aborted = false;
  component.SetInputDocumentType(idText);
  dir_.Write("t.txt", "x\n");
  component.SetDocumentFile(dir_.File("t.txt"));
  component.OnStatus = [&](TQaFaxConverter&, bool starting, bool, int, int, std::int64_t, std::int64_t,
                           bool& abort) {
    abort = starting;
    aborted = aborted || starting;
  };
  EXPECT_THROW(component.ConvertToFile(), EConvertAbort);
  EXPECT_TRUE(aborted);
}

TEST_F(ConverterTest, CoverPagesAndRerendering) {
  const std::string home = dir_.Path() + "home/";
  InitProgramFolder(home);
  MonoBitmap cover(1728, 100);
  cover.SetPixel(10, 10, true);
  std::string name;
  ASSERT_EQ(ConvertCoverBitmap(cover, name), ecOK);
  EXPECT_EQ(std::filesystem::path(name).filename(), "COV00000.APF");
  TQaFaxUnpacker unpacker;
  unpacker.SetInFileName(name);
  EXPECT_TRUE(unpacker.FaxResolutionFine());
  MonoBitmap page = unpacker.UnpackPageToBitmap(1);
  EXPECT_EQ(page.Height(), 100);
  EXPECT_EQ(page.Width(), 1728);
  EXPECT_TRUE(page.IsBlack(10, 10));
  EXPECT_TRUE(page.IsBlack(1727, 99));
  std::string second;
  ASSERT_EQ(ConvertCoverBitmap(cover, second), ecOK);
  EXPECT_EQ(std::filesystem::path(second).filename(), "COV00001.APF");

  // A standard-resolution fax of two pages comes back at fine resolution,
  // doubled in height, the page content unchanged.
  T4LineCoder coder;
  std::vector<Raster> lines(40, Raster(kStandardLineBytes));
  test::SetBlack(lines[3], 700);
  const std::string source = dir_.File("src.apf");
  ASSERT_EQ(test::WriteApf(source, {lines, lines}, false, coder), ecOK);
  const std::string dest = dir_.File("dest.apf");
  ASSERT_TRUE(ApfRerenderFile(source, dest));
  const auto pages = ReadPages(dest);
  ASSERT_EQ(pages.size(), 2u);
  ASSERT_EQ(pages[1].size(), 80u);
  EXPECT_TRUE(test::PixelBlack(pages[1][6], 750));
  EXPECT_TRUE(test::PixelBlack(pages[1][7], 750));
  EXPECT_FALSE(test::PixelBlack(pages[1][8], 750));
  EXPECT_TRUE(test::PixelBlack(pages[1][0], 1663));  // the corner marks
  EXPECT_TRUE(test::PixelBlack(pages[1][79], 1663));
  TApfPageHeader header;
  ASSERT_EQ(ApfReadPageHeader(dest, 2, header), ecOK);
  EXPECT_TRUE(header.Fine());
  // Its working files had names of their own and are gone; the file can be
  // re-rendered onto itself.
  for (const auto& entry : std::filesystem::directory_iterator(dir_.Path()))
    EXPECT_FALSE(entry.path().filename().string().starts_with(".tv-")) << entry.path();
  ASSERT_TRUE(ApfRerenderFile(dest, dest));
  EXPECT_EQ(ReadPages(dest).size(), 2u);

  EXPECT_TRUE(ApfRerenderFile(dir_.File("missing.apf"), dest));
  dir_.Write("junk.apf", "APF10\x1A but then nothing useful");
  EXPECT_FALSE(ApfRerenderFile(dir_.File("junk.apf"), dir_.File("never.apf")));
  EXPECT_FALSE(std::filesystem::exists(dir_.File("never.apf")));
}

}  // namespace
}  // namespace tv
