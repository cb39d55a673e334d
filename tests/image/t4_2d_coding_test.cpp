// MR and MMR coding: against the coding rules applied pixel by pixel, against
// libtiff's G3 2-D and G4 codecs both ways, on damaged data, and the
// re-coding of fax file pages.
#include "image/t4_2d_coding.h"

#include <gtest/gtest.h>
#include <tiffio.h>

#include <cmath>
#include <random>

#include "image/fax_converter.h"
#include "platform/error_codes.h"
#include "tests/image/image_test_util.h"
#include "tests/image/picture_writers.h"
#include "tests/support/temp_dir.h"

namespace tv {
namespace {

using test::BitStream;
using test::Raster;
using Rows = std::vector<Raster>;

struct Page {
  std::string name;
  int width;
  Rows rows;
};

Raster LineOf(int width, const std::function<bool(int)>& black) {
  Raster line(static_cast<std::size_t>((width + 7) / 8));
  for (int x = 0; x < width; ++x) {
    if (black(x)) test::SetBlack(line, x);
  }
  return line;
}

// Lines of every kind a codec meets: blank, solid, single pixels, runs
// across the make-up boundaries (64, 1728, 2560), edges moved by 0 to 4
// pixels from line to line (every vertical mode, and horizontal beyond),
// short marks under and over long runs (pass mode).
Rows EdgeLines(int width) {
  Rows lines;
  auto add = [&](const std::function<bool(int)>& black) { lines.push_back(LineOf(width, black)); };
  add([](int) { return false; });
  add([](int) { return true; });
  add([](int x) { return x % 2 == 0; });
  add([](int x) { return x % 2 == 1; });
  add([](int) { return false; });
  for (int run : {63, 64, 65, 127, 128, 129, 1727, 1728, 1729, 2047, 2559}) {
    add([run](int x) { return x < run; });
    add([run, width](int x) { return x >= width - run; });
    add([run](int x) { return x >= 1 && x <= run; });
  }
  for (int shift = -4; shift <= 4; ++shift) {
    add([shift](int x) { return (x >= 100 && x < 300) || (x >= 600 + shift && x < 900 - shift); });
  }
  for (int i = 0; i < 3; ++i) {
    add([](int x) { return x % 97 == 5; });
    add([](int x) { return x / 40 % 2 == 1; });
  }
  add([width](int x) { return x == 0 || x == width - 1; });
  add([width](int x) { return x == width - 1; });
  return lines;
}

Rows RandomLines(std::mt19937& random, int width, int count) {
  Rows lines;
  for (int y = 0; y < count; ++y) {
    const int density = static_cast<int>(random() % 50);
    bool black = false;
    lines.push_back(LineOf(width, [&](int) {
      if (static_cast<int>(random() % 100) < density) black = !black;
      return black;
    }));
  }
  return lines;
}

// Pictures like the test charts: lines at angles and rings, stripes of
// growing period, solid shapes with holes, and scattered marks.
Page ChartPage(int width, int kind) {
  Page page{"chart " + std::to_string(kind) + " at " + std::to_string(width), width, {}};
  for (int y = 0; y < 300; ++y) {
    page.rows.push_back(LineOf(width, [&](int x) {
      switch (kind) {
        case 0:
          return std::abs(x - 3 * y) < 2 || std::abs(x + y - 900) < 3 ||
                 static_cast<int>(std::hypot(x - width / 2, y - 150)) % 37 < 2;
        case 1:
          return (x / (1 + y / 20)) % 2 == 1;
        case 2:
          return (x > 64 && x < width - 64 && y > 20 && y < 280) && !((x / 16 + y / 16) % 7 == 0);
        default:
          return (x * 31 + y * 17) % 211 == 0 || ((x ^ y) & 0x3F) == 0;
      }
    }));
  }
  return page;
}

// The coding rules on pixels: each changing element found by comparing a
// pixel with its left neighbour (white before the first pixel).
struct PixelLine {
  const Raster* line;  // null: an all-white line
  int width;
  bool Black(int x) const { return line && x >= 0 && x < width && test::PixelBlack(*line, x); }
  bool Changes(int x) const { return Black(x) != Black(x - 1); }
  // The first change right of `after` (to `black` unless any), or the width.
  int Next(int after, int black = -1) const {
    for (int x = after + 1; x < width; ++x) {
      if (Changes(x) && (black < 0 || Black(x) == (black == 1))) return x;
    }
    return width;
  }
};

std::vector<std::uint8_t> ReferenceEncode(T4Coding coding, int width, int k, const Rows& rows) {
  const T4ModeCodes& m = T4Modes();
  BitStream bits;
  auto colour = [](bool black) { return black ? T4Colour::kBlack : T4Colour::kWhite; };
  for (std::size_t y = 0; y < rows.size(); ++y) {
    const PixelLine line{&rows[y], width};
    const PixelLine reference{y == 0 ? nullptr : &rows[y - 1], width};
    const bool oneD = coding == T4Coding::kMh || (coding == T4Coding::kMr && y % static_cast<std::size_t>(k) == 0);
    if (coding != T4Coding::kMmr) bits.Eol();
    if (coding == T4Coding::kMr) bits.Add(oneD ? "1" : "0");
    if (oneD) {
      bool black = false;
      for (int at = 0, from = -1;;) {
        const int end = line.Next(from);
        bits.Run(colour(black), end - at);
        if (end >= width) break;
        at = from = end;
        black = !black;
      }
      continue;
    }
    bool black = false;
    for (int a0 = -1; a0 < width;) {
      const int a1 = line.Next(a0);
      const int b1 = reference.Next(a0, black ? 0 : 1);
      const int b2 = reference.Next(b1);
      if (b2 < a1) {
        bits.Add(m.pass);
        a0 = b2;
      } else if (std::abs(a1 - b1) <= 3) {
        bits.Add(m.vertical[static_cast<std::size_t>(a1 - b1 + 3)]);
        a0 = a1;
        black = !black;
      } else {
        const int a2 = line.Next(a1);
        bits.Add(m.horizontal).Run(colour(black), a1 - std::max(a0, 0)).Run(colour(!black), a2 - a1);
        a0 = a2;
      }
    }
  }
  for (int i = 0; i < (coding == T4Coding::kMmr ? 2 : 6); ++i) {
    bits.Eol();
    if (coding == T4Coding::kMr) bits.Add("1");
  }
  return bits.Bytes();
}

// Decodes with the look-up tables and a bit at a time, which must agree.
struct Decoded {
  Rows rows;
  T4PageDecodeResult result;
};

Decoded DecodeBoth(T4Coding coding, int width, const std::vector<std::uint8_t>& data) {
  Decoded both[2];
  for (int lookup = 0; lookup < 2; ++lookup) {
    T4PageDecoder decoder(coding, width);
    decoder.SetLookup(lookup == 1);
    Rows& rows = both[lookup].rows;
    both[lookup].result = decoder.Decode(data, [&](std::span<const std::uint8_t> row) {
      rows.emplace_back(row.begin(), row.end());
      return true;
    });
  }
  EXPECT_EQ(both[0].rows, both[1].rows);
  EXPECT_EQ(both[0].result.lines, both[1].result.lines);
  EXPECT_EQ(both[0].result.damagedLines, both[1].result.damagedLines);
  EXPECT_EQ(both[0].result.pageEnded, both[1].result.pageEnded);
  EXPECT_EQ(both[0].result.bytesUsed, both[1].result.bytesUsed);
  return both[1];
}

struct Scheme {
  T4Coding coding;
  int k;
  const char* name;
};
constexpr Scheme kSchemes[] = {
    {T4Coding::kMh, 1, "MH"}, {T4Coding::kMr, 2, "MR K=2"}, {T4Coding::kMr, 4, "MR K=4"}, {T4Coding::kMmr, 1, "MMR"}};

TEST(T4Coding2D, EncodingFollowsThePixelRulesAndDecodesBack) {
  std::mt19937 random(26);
  for (int width : {kStandardWidth, kWideWidth, kMaxRunLength, 100}) {
    Rows rows = EdgeLines(width);
    const Rows noise = RandomLines(random, width, 40);
    rows.insert(rows.end(), noise.begin(), noise.end());
    for (const Scheme& s : kSchemes) {
      const auto coded = T4EncodeRows(s.coding, width, s.k, rows);
      ASSERT_EQ(coded, ReferenceEncode(s.coding, width, s.k, rows)) << s.name << " at " << width;
      const Decoded back = DecodeBoth(s.coding, width, coded);
      EXPECT_EQ(back.rows, rows) << s.name << " at " << width;
      EXPECT_TRUE(back.result.pageEnded) << s.name;
      EXPECT_EQ(back.result.damagedLines, 0) << s.name;
      // MMR ends with EOFB; MH and MR end after three of RTC's six EOLs.
      EXPECT_LE(back.result.bytesUsed, coded.size()) << s.name;
      EXPECT_GE(back.result.bytesUsed + (s.coding == T4Coding::kMmr ? 0 : 6), coded.size()) << s.name;
    }
  }
  // A short row is white to the line end.
  Raster full(kStandardLineBytes);
  test::SetBlack(full, 3);
  EXPECT_EQ(T4DecodeRows(T4Coding::kMmr, kStandardWidth, T4EncodeRows(T4Coding::kMmr, kStandardWidth, 1, Rows{{0x10}})),
            Rows{full});
}

TEST(T4Coding2D, CodedModesAreTheStandardBitsAndExtensionsAreDamage) {
  // Black at 10..12. Under the imaginary white line: horizontal mode (white
  // 10, black 3), then V0 to the line end; the same line again: V0 three
  // times. Then EOFB.
  const Raster line = LineOf(kStandardWidth, [](int x) { return x >= 10 && x < 13; });
  const auto mmr = T4EncodeRows(T4Coding::kMmr, kStandardWidth, 1, Rows{line, line});
  BitStream expected;
  expected.Add("001").Run(T4Colour::kWhite, 10).Run(T4Colour::kBlack, 3).Add("1");
  expected.Add("111").Add("000000000001000000000001");
  EXPECT_EQ(mmr, expected.Bytes());

  // An extension code (here uncompressed mode) where a mode is due: MMR
  // stops there; MR drops the line and the 2-D line after it, and goes on
  // from the next 1-D line.
  BitStream extended;
  extended.Add("001").Run(T4Colour::kWhite, 10).Run(T4Colour::kBlack, 3).Add("1");
  extended.Add("0000001111").Add("111");
  const Decoded mmrDecoded = DecodeBoth(T4Coding::kMmr, kStandardWidth, extended.Bytes());
  EXPECT_EQ(mmrDecoded.rows, Rows{line});
  EXPECT_EQ(mmrDecoded.result.damagedLines, 1);
  BitStream mr;
  auto oneD = [&] { mr.Eol().Add("1").Run(T4Colour::kWhite, 10).Run(T4Colour::kBlack, 3).Run(T4Colour::kWhite, kStandardWidth - 13); };
  oneD();
  mr.Eol().Add("0").Add("0000001111").Add("111");
  mr.Eol().Add("0").Add("111");
  oneD();
  for (int i = 0; i < 6; ++i) mr.Eol().Add("1");
  const Decoded mrDecoded = DecodeBoth(T4Coding::kMr, kStandardWidth, mr.Bytes());
  EXPECT_EQ(mrDecoded.rows, (Rows{line, line}));
  EXPECT_EQ(mrDecoded.result.damagedLines, 2);
  EXPECT_TRUE(mrDecoded.result.pageEnded);
}

// The converter's pages: text at both widths and a dithered grey picture.
class ConvertedPages : public ::testing::Test {
 protected:
  static std::vector<Page>& Pages() {
    static std::vector<Page> pages = [] {
      test::TempDir dir;
      std::string text;
      for (int line = 0; line < 60; ++line) {
        for (int c = 0; c < 80; ++c) text += static_cast<char>(33 + (line * 7 + c * 13) % 94);
        text += '\n';
      }
      dir.Write("text.txt", text);
      test::SaveBytes(dir.File("grey.bmp"), test::BmpBytes(test::Picture::Pattern(800, 400), 24, [](int x, int y) {
                        return static_cast<int>(127 + 100 * std::sin(std::hypot(x - 400, y - 200) / 30.0)) % 256;
                      }));
      std::vector<Page> out;
      auto convert = [&](const std::string& name, TFaxInputDocumentType type, const std::string& file, TFaxWidth width) {
        TQaFaxConverter converter;
        converter.SetInputDocumentType(type);
        converter.SetResolution(TFaxResolution::frHigh);
        converter.SetWidth(width);
        converter.SetDocumentFile(dir.File(file));
        EXPECT_GE(converter.ConvertToFile(), 1) << name;
        Page page{name, width == TFaxWidth::fwWide ? kWideWidth : kStandardWidth, {}};
        page.rows = Unpack(converter.OutFileName());
        out.push_back(std::move(page));
      };
      convert("text", idText, "text.txt", TFaxWidth::fwNormal);
      convert("wide text", idText, "text.txt", TFaxWidth::fwWide);
      convert("dithered photo", idBmp, "grey.bmp", TFaxWidth::fwNormal);
      return out;
    }();
    return pages;
  }

  static Rows Unpack(const std::string& file) {
    FaxUnpacker unpacker;
    unpacker.SetOptions(0);
    Rows rows;
    EXPECT_EQ(test::UnpackLines(unpacker, file, 1, rows), ecOK);
    return rows;
  }
};

// libtiff writes and reads its fax strips here.
struct LibtiffFile {
  test::TempDir dir;
  std::string path = dir.File("page.tif");

  static void SetFields(TIFF* tiff, const Page& page, T4Coding coding) {
    TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, page.width);
    TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, static_cast<int>(page.rows.size()));
    TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, 1);
    TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE);
    TIFFSetField(tiff, TIFFTAG_FILLORDER, FILLORDER_LSB2MSB);
    TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, static_cast<int>(page.rows.size()));
    TIFFSetField(tiff, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
    TIFFSetField(tiff, TIFFTAG_XRESOLUTION, 204.0);
    TIFFSetField(tiff, TIFFTAG_YRESOLUTION, 196.0);
    if (coding == T4Coding::kMmr) {
      TIFFSetField(tiff, TIFFTAG_COMPRESSION, COMPRESSION_CCITTFAX4);
    } else {
      TIFFSetField(tiff, TIFFTAG_COMPRESSION, COMPRESSION_CCITTFAX3);
      TIFFSetField(tiff, TIFFTAG_GROUP3OPTIONS, GROUP3OPT_2DENCODING);
    }
  }

  // Our coding of the page stored as the strip's raw bytes; libtiff decodes.
  Rows TheyDecode(const Page& page, T4Coding coding, const std::vector<std::uint8_t>& coded) const {
    TIFF* out = TIFFOpen(path.c_str(), "w");
    SetFields(out, page, coding);
    TIFFWriteRawStrip(out, 0, const_cast<std::uint8_t*>(coded.data()), static_cast<tsize_t>(coded.size()));
    TIFFClose(out);
    TIFF* in = TIFFOpen(path.c_str(), "r");
    const std::size_t rowBytes = static_cast<std::size_t>((page.width + 7) / 8);
    std::vector<std::uint8_t> strip(rowBytes * page.rows.size());
    const tsize_t got = TIFFReadEncodedStrip(in, 0, strip.data(), static_cast<tsize_t>(strip.size()));
    TIFFClose(in);
    Rows rows;
    for (std::size_t at = 0; got > 0 && at < static_cast<std::size_t>(got); at += rowBytes)
      rows.emplace_back(strip.begin() + static_cast<std::ptrdiff_t>(at), strip.begin() + static_cast<std::ptrdiff_t>(at + rowBytes));
    return rows;
  }

  // libtiff's coding of the page: the strip's raw bytes.
  std::vector<std::uint8_t> TheyEncode(const Page& page, T4Coding coding) const {
    TIFF* out = TIFFOpen(path.c_str(), "w");
    SetFields(out, page, coding);
    std::vector<std::uint8_t> raster;
    for (const Raster& row : page.rows) raster.insert(raster.end(), row.begin(), row.end());
    TIFFWriteEncodedStrip(out, 0, raster.data(), static_cast<tsize_t>(raster.size()));
    TIFFClose(out);
    TIFF* in = TIFFOpen(path.c_str(), "r");
    std::vector<std::uint8_t> raw(static_cast<std::size_t>(TIFFRawStripSize(in, 0)));
    const tsize_t got = TIFFReadRawStrip(in, 0, raw.data(), static_cast<tsize_t>(raw.size()));
    TIFFClose(in);
    raw.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    return raw;
  }
};

TEST_F(ConvertedPages, LibtiffAgreesBothWays) {
  std::vector<Page> pages = Pages();
  for (int width : {kStandardWidth, kWideWidth}) {
    for (int kind = 0; kind < 4; ++kind) pages.push_back(ChartPage(width, kind));
  }
  LibtiffFile tiff;
  for (const Page& page : pages) {
    ASSERT_GT(page.rows.size(), 100u) << page.name;
    for (T4Coding coding : {T4Coding::kMr, T4Coding::kMmr}) {
      const std::string what = page.name + (coding == T4Coding::kMr ? " MR" : " MMR");
      const auto ours = T4EncodeRows(coding, page.width, T4MrK(true), page.rows);
      EXPECT_EQ(tiff.TheyDecode(page, coding, ours), page.rows) << what;
      const auto theirs = tiff.TheyEncode(page, coding);
      const Decoded decoded = DecodeBoth(coding, page.width, theirs);
      EXPECT_EQ(decoded.rows, page.rows) << what;
      EXPECT_EQ(decoded.result.damagedLines, 0) << what;
    }
  }
}

TEST_F(ConvertedPages, MhPagesRecodeToMrAndMmrAndBack) {
  test::TempDir dir;
  for (const Page& page : Pages()) {
    // The page as a fax file holds it.
    T4LineCoder coder;
    coder.SetWidth(page.width);
    coder.SetMargin(0);
    ASSERT_EQ(test::WriteApf(dir.File("page.apf"), {page.rows}, true, coder), ecOK);
    const auto mh = test::RawLines(dir.File("page.apf"), 1);
    for (T4Coding coding : {T4Coding::kMr, T4Coding::kMmr}) {
      int width = 0;
      const auto coded = T4RecodeFromMh(mh, coding, true, &width);
      EXPECT_EQ(width, page.width);
      EXPECT_EQ(T4DecodeRows(coding, width, coded), page.rows) << page.name;
      T4Decoder decoder;
      T4PageDecodeResult result;
      EXPECT_EQ(test::DecodeAll(decoder, T4RecodeToMh(coded, coding, width, &result)), page.rows) << page.name;
      EXPECT_TRUE(decoder.PageEnded());
      EXPECT_EQ(result.lines, static_cast<int>(page.rows.size()));
      EXPECT_TRUE(result.pageEnded);
      // Straight from the file, with the page's width and resolution.
      T4RecodedPage fromFile;
      ASSERT_EQ(T4RecodeApfPage(dir.File("page.apf"), 1, coding, fromFile), ecOK);
      EXPECT_EQ(fromFile.data, coded) << page.name;
      EXPECT_EQ(fromFile.width, page.width);
      EXPECT_EQ(fromFile.lines, static_cast<int>(page.rows.size()));
      EXPECT_TRUE(fromFile.fine);
      EXPECT_FALSE(fromFile.Damaged());
    }
  }
  T4RecodedPage none;
  none.data = {1};
  EXPECT_NE(T4RecodeApfPage(dir.File("page.apf"), 2, T4Coding::kMmr, none), ecOK);
  EXPECT_TRUE(none.data.empty());
}

TEST_F(ConvertedPages, DamageKeepsTheLinesBeforeIt) {
  const Page& page = Pages()[0];
  std::mt19937 random(2026);
  for (const Scheme& s : {kSchemes[1], kSchemes[2], kSchemes[3]}) {
    const auto good = T4EncodeRows(s.coding, page.width, s.k, page.rows);
    for (std::size_t before : {1u, 200u, 600u}) {
      // Where the code of the first `before` lines ends (less the end codes).
      const auto prefix = T4EncodeRows(s.coding, page.width, s.k, Rows(page.rows.begin(), page.rows.begin() + static_cast<std::ptrdiff_t>(before)));
      const std::size_t at = std::max<std::size_t>(prefix.size(), 8) - 8;
      auto keptBefore = [&](const Rows& rows, const std::string& what) {
        ASSERT_GE(rows.size(), before - 1) << s.name << " " << what;
        for (std::size_t y = 0; y + 1 < before; ++y) ASSERT_EQ(rows[y], page.rows[y]) << s.name << " " << what << " row " << y;
        for (const Raster& row : rows) ASSERT_EQ(row.size(), page.rows[0].size());
      };

      const std::vector<std::uint8_t> cut(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(at));
      const Decoded truncated = DecodeBoth(s.coding, page.width, cut);
      keptBefore(truncated.rows, "truncated");
      for (std::size_t y = 0; y < truncated.rows.size(); ++y) ASSERT_EQ(truncated.rows[y], page.rows[y]) << s.name;
      EXPECT_LT(truncated.rows.size(), page.rows.size());
      EXPECT_FALSE(truncated.result.pageEnded);

      for (int round = 0; round < 6; ++round) {
        auto flipped = good;
        flipped[at + random() % 40] ^= static_cast<std::uint8_t>(1u << (random() % 8));
        const Decoded decoded = DecodeBoth(s.coding, page.width, flipped);
        keptBefore(decoded.rows, "flipped");
        if (s.coding == T4Coding::kMr) {
          // The page goes on from the next 1-D line.
          EXPECT_GE(decoded.rows.size() + 2 * static_cast<std::size_t>(s.k), page.rows.size()) << s.name;
          EXPECT_EQ(decoded.rows.back(), page.rows.back()) << s.name;
        }

        auto garbled = good;
        for (std::size_t i = at; i < at + 300 && i < garbled.size(); ++i) garbled[i] = static_cast<std::uint8_t>(random());
        keptBefore(DecodeBoth(s.coding, page.width, garbled).rows, "random bytes");
      }
    }
    // Damage right after lines that change at every pixel, whose changes
    // run up to the reference line's end marks.
    for (int width : {kStandardWidth, 64, 9}) {
      const Rows edges = EdgeLines(width);
      auto coded = T4EncodeRows(s.coding, width, s.k, Rows(edges.begin(), edges.begin() + 4));
      for (std::size_t i = coded.size() / 2; i < coded.size(); ++i) coded[i] = static_cast<std::uint8_t>(random());
      for (const Raster& row : DecodeBoth(s.coding, width, coded).rows) ASSERT_EQ(row.size(), edges[0].size());
    }
    // Nothing but noise, zeros or ones.
    for (int fill : {-1, 0x00, 0xFF}) {
      std::vector<std::uint8_t> noise(20000);
      for (auto& b : noise) b = static_cast<std::uint8_t>(fill < 0 ? random() : static_cast<unsigned>(fill));
      const Decoded decoded = DecodeBoth(s.coding, page.width, noise);
      for (const Raster& row : decoded.rows) ASSERT_EQ(row.size(), page.rows[0].size());
      EXPECT_LE(decoded.result.bytesUsed, noise.size());
    }
  }
}

}  // namespace
}  // namespace tv
