// The fax code against an independent codec and independent picture tools:
// libtiff's fax2tiff and tiffcp, netpbm and ImageMagick (installed by
// scripts/setup.sh).
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>

#include "image/apf_file.h"
#include "image/fax_converter.h"
#include "image/fax_unpacker.h"
#include "platform/error_codes.h"
#include "tests/image/image_test_util.h"
#include "tests/image/picture_writers.h"
#include "tests/support/temp_dir.h"

namespace tv {
namespace {

using test::Raster;
using test::TempDir;

struct Pbm {
  int width = 0;
  std::vector<Raster> rows;  // 1 = black
};

Pbm ReadPbm(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  std::string magic;
  in >> magic;
  EXPECT_EQ(magic, "P4") << file;
  auto next = [&] {
    in >> std::ws;
    while (in.peek() == '#') {
      std::string comment;
      std::getline(in, comment);
      in >> std::ws;
    }
    int v = 0;
    in >> v;
    return v;
  };
  Pbm pbm;
  pbm.width = next();
  const int height = next();
  in.get();
  const std::size_t rowBytes = static_cast<std::size_t>((pbm.width + 7) / 8);
  for (int y = 0; y < height; ++y) {
    Raster row(rowBytes);
    in.read(reinterpret_cast<char*>(row.data()), static_cast<std::streamsize>(rowBytes));
    pbm.rows.push_back(row);
  }
  return pbm;
}

void WritePbm(const std::string& file, int width, const std::vector<Raster>& rows) {
  std::ofstream out(file, std::ios::binary);
  out << "P4\n" << width << " " << rows.size() << "\n";
  for (const Raster& row : rows) out.write(reinterpret_cast<const char*>(row.data()), (width + 7) / 8);
}

void RunTool(const std::string& command) { ASSERT_EQ(std::system((command + " 2>/dev/null").c_str()), 0) << command; }

std::vector<Raster> Unpack(const std::string& file, int page) {
  FaxUnpacker unpacker;
  unpacker.SetOptions(0);
  std::vector<Raster> lines;
  EXPECT_EQ(test::UnpackLines(unpacker, file, page, lines), ecOK);
  EXPECT_EQ(unpacker.InvalidCodes(), 0);
  return lines;
}

// libtiff decodes every page of `file` to the lines our unpacker gives. It
// adds one blank row for the fill bits after the last line; that row is
// allowed, nothing else.
void ExpectLibtiffAgrees(const TempDir& dir, const std::string& file) {
  TApfFileHeader header;
  ASSERT_EQ(ApfReadFileHeader(file, header), ecOK);
  ASSERT_GT(header.pageCount, 0);
  for (int page = 1; page <= header.pageCount; ++page) {
    TApfPageHeader pageHeader;
    ASSERT_EQ(ApfReadPageHeader(file, page, pageHeader), ecOK);
    const auto raw = test::RawLines(file, page);
    test::SaveBytes(dir.File("page.raw"), raw);
    RunTool("fax2tiff -1 -L -X " + std::to_string(pageHeader.WidthPixels()) + " -R " +
        (pageHeader.Fine() ? "196" : "98") + " -u -c -o " + dir.File("page.tif") + " " + dir.File("page.raw"));
    RunTool("tifftopnm " + dir.File("page.tif") + " > " + dir.File("page.pbm"));
    const Pbm theirs = ReadPbm(dir.File("page.pbm"));
    const std::vector<Raster> ours = Unpack(file, page);
    ASSERT_EQ(theirs.width, pageHeader.WidthPixels());
    ASSERT_GE(theirs.rows.size(), ours.size());
    ASSERT_LE(theirs.rows.size(), ours.size() + 1);
    for (std::size_t y = 0; y < ours.size(); ++y) ASSERT_EQ(theirs.rows[y], ours[y]) << file << " page " << page << " row " << y;
    if (theirs.rows.size() > ours.size()) {
      EXPECT_EQ(theirs.rows.back(), Raster(theirs.rows.back().size()));
    }
  }
}

std::string SampleText() {
  std::string text;
  for (int line = 0; line < 70; ++line) {
    for (int c = 32 + line; c < 32 + line + 90; ++c) text += static_cast<char>(c < 127 ? c : 160 + c % 96);
    text += "\n";
  }
  text += "Caf\xC3\xA9 \xE2\x82\xAC\t\t| \fsecond page\n";
  return text;
}

TEST(Interop, LibtiffDecodesOurTextPages) {
  TempDir dir;
  dir.Write("text.txt", SampleText());
  for (bool fine : {false, true}) {
    for (TFaxWidth width : {TFaxWidth::fwNormal, TFaxWidth::fwWide}) {
      for (TFaxFont font : {TFaxFont::ffStandard, TFaxFont::ffSmall}) {
        TQaFaxConverter converter;
        converter.SetInputDocumentType(idText);
        converter.SetResolution(fine ? TFaxResolution::frHigh : TFaxResolution::frNormal);
        converter.SetWidth(width);
        converter.SetFontType(font);
        converter.SetDocumentFile(dir.File("text.txt"));
        ASSERT_GE(converter.ConvertToFile(), 2);
        ExpectLibtiffAgrees(dir, converter.OutFileName());
      }
    }
  }
}

TEST(Interop, LibtiffDecodesOurPictures) {
  TempDir dir;
  // A doubled monochrome picture and a dithered grey one.
  test::SaveBytes(dir.File("mono.bmp"), test::BmpBytes(test::Picture::Pattern(700, 150), 1));
  test::SaveBytes(dir.File("grey.bmp"), test::BmpBytes(test::Picture::Pattern(900, 200), 24, [](int x, int y) {
                    return (x * 255 / 900 + y) % 256;
                  }));
  for (const char* name : {"mono.bmp", "grey.bmp"}) {
    TQaFaxConverter converter;
    converter.SetInputDocumentType(idBmp);
    converter.SetDocumentFile(dir.File(name));
    ASSERT_EQ(converter.ConvertToFile(), 1);
    ExpectLibtiffAgrees(dir, converter.OutFileName());
  }
}

TEST(Interop, WeUnpackLibtiffsCoding) {
  TempDir dir;
  for (int width : {kStandardWidth, kWideWidth}) {
    // The rows: our own text page drawn at this width, then some patterns.
    const test::Picture pattern = test::Picture::Pattern(width, 300);
    std::vector<Raster> rows;
    for (int y = 0; y < pattern.Height(); ++y) rows.push_back(pattern.PackedRow(y, true, static_cast<std::size_t>(width / 8)));
    std::mt19937 random(static_cast<unsigned>(width));
    for (int y = 0; y < 100; ++y) {
      Raster row(static_cast<std::size_t>(width / 8));
      for (auto& b : row) b = static_cast<std::uint8_t>(random() & random());
      rows.push_back(row);
    }
    rows.push_back(Raster(static_cast<std::size_t>(width / 8), 0xFF));
    WritePbm(dir.File("in.pbm"), width, rows);
    RunTool("pnmtotiff -none -miniswhite " + dir.File("in.pbm") + " > " + dir.File("in.tif"));
    RunTool("tiffcp -c g3:1d -f lsb2msb -r 1000000 " + dir.File("in.tif") + " " + dir.File("g3.tif"));

    // The single strip's bytes, by a small reading of the TIFF directory.
    std::ifstream in(dir.File("g3.tif"), std::ios::binary);
    const std::string tiff{std::istreambuf_iterator<char>(in), {}};
    ASSERT_EQ(tiff.substr(0, 2), "II");
    auto u16 = [&](std::size_t at) { return static_cast<std::uint32_t>(static_cast<std::uint8_t>(tiff[at]) | static_cast<std::uint8_t>(tiff[at + 1]) << 8); };
    auto u32 = [&](std::size_t at) { return u16(at) | u16(at + 2) << 16; };
    const std::uint32_t dirAt = u32(4);
    std::uint32_t offset = 0, count = 0;
    for (std::uint32_t i = 0; i < u16(dirAt); ++i) {
      const std::size_t e = dirAt + 2 + 12 * i;
      const std::uint32_t value = u16(e + 2) == 3 ? u16(e + 8) : u32(e + 8);
      if (u16(e) == 273) offset = value;
      if (u16(e) == 279) count = value;
    }
    ASSERT_GT(count, 0u);

    // Stored as a received page: the stream, then the return to control.
    const std::string file = dir.File("libtiff.apf");
    ApfReceiveWriter writer;
    ASSERT_EQ(writer.Create(file, "LIBTIFF"), ecOK);
    ASSERT_EQ(writer.BeginPage(true, width == kWideWidth), ecOK);
    ASSERT_EQ(writer.Write(reinterpret_cast<const std::uint8_t*>(tiff.data()) + offset, count), ecOK);
    ASSERT_EQ(writer.Write(kEndOfPageCodes.data(), kEndOfPageCodes.size()), ecOK);
    ASSERT_EQ(writer.EndPage(), ecOK);
    writer.Close();
    EXPECT_EQ(Unpack(file, 1), rows) << width;
  }
}

// Pictures written by ImageMagick and netpbm convert and show the picture
// at the margin (no doubling or centring here), or doubled and centred.
TEST(Interop, PicturesFromIndependentTools) {
  TempDir dir;
  const test::Picture picture = test::Picture::Pattern(413, 120);
  std::vector<Raster> rows;
  for (int y = 0; y < picture.Height(); ++y) rows.push_back(picture.PackedRow(y, true, 52));
  WritePbm(dir.File("src.pbm"), picture.width, rows);
  const test::Picture second = test::Picture::Pattern(200, 50);
  std::vector<Raster> secondRows;
  for (int y = 0; y < second.Height(); ++y) secondRows.push_back(second.PackedRow(y, true, 25));
  WritePbm(dir.File("second.pbm"), second.width, secondRows);

  const std::string src = dir.File("src.pbm");
  const std::vector<std::pair<std::string, std::string>> makers = {
      {"le.tif", "convert " + src + " -define tiff:endian=lsb -compress none " + dir.File("le.tif")},
      {"be.tif", "convert " + src + " -define tiff:endian=msb -compress none " + dir.File("be.tif")},
      {"pble.tif", "convert " + src + " -define tiff:endian=lsb -compress RLE " + dir.File("pble.tif")},
      {"pbbe.tif", "convert " + src + " -define tiff:endian=msb -compress RLE " + dir.File("pbbe.tif")},
      {"netpbm.tif", "pnmtotiff -packbits " + src + " > " + dir.File("netpbm.tif")},
      {"pbm.pcx", "ppmtopcx " + src + " > " + dir.File("pbm.pcx")},
      {"pages.dcx", "ppmtopcx " + dir.File("second.pbm") + " > " + dir.File("second.pcx")},
      {"mono.bmp", "convert " + src + " -type bilevel BMP3:" + dir.File("mono.bmp")},
      {"netpbm.bmp", "ppmtobmp -bpp 1 " + src + " > " + dir.File("netpbm.bmp")},
      {"colour.bmp", "convert " + src + " -type truecolor BMP3:" + dir.File("colour.bmp")},
  };
  for (const auto& [name, command] : makers) {
    RunTool(command);
    if (name == "pages.dcx") {
      // netpbm has no DCX writer: its PCX pages go into the DCX container.
      // (ImageMagick 6's 1-bit PCX and DCX keep black as 1 although their
      // palette says 1 is white, unlike netpbm and the PCX convention, so
      // they would come out as negatives.)
      std::vector<std::vector<std::uint8_t>> pcx;
      for (const char* page : {"pbm.pcx", "second.pcx"}) {
        std::ifstream in(dir.File(page), std::ios::binary);
        pcx.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
      }
      test::ByteWriter dcx;
      dcx.U32(987654321);
      dcx.U32(16);
      dcx.U32(16 + static_cast<std::uint32_t>(pcx[0].size()));
      dcx.U32(0);
      dcx.Bytes(pcx[0]);
      dcx.Bytes(pcx[1]);
      dcx.Save(dir.File(name));
    }
    TQaFaxConverter converter;
    const std::string ext = name.substr(name.find('.') + 1);
    converter.SetInputDocumentType(ext == "tif" ? idTiff : ext == "pcx" ? idPcx : ext == "dcx" ? idDcx : idBmp);
    converter.SetOptions(0);
    converter.SetResolution(TFaxResolution::frHigh);
    converter.SetDocumentFile(dir.File(name));
    int pages = 0;
    ASSERT_NO_THROW(pages = converter.ConvertToFile()) << name;
    ASSERT_EQ(pages, ext == "dcx" ? 2 : 1) << name;
    const auto lines = Unpack(converter.OutFileName(), 1);
    ASSERT_EQ(lines.size(), rows.size()) << name;
    for (int y = 0; y < picture.Height(); ++y) {
      for (int x = 0; x < kStandardWidth; ++x) {
        const bool expected = x >= 50 && x < 50 + picture.width && picture.Black(x - 50, y);
        ASSERT_EQ(test::PixelBlack(lines[static_cast<std::size_t>(y)], x), expected) << name << " " << x << "," << y;
      }
    }
    if (ext == "dcx") {
      const auto page2 = Unpack(converter.OutFileName(), 2);
      ASSERT_EQ(page2.size(), secondRows.size());
      EXPECT_TRUE(test::PixelBlack(page2[0], 50));
      EXPECT_FALSE(test::PixelBlack(page2[1], 51));
    }
  }

  // Default options at normal resolution: doubled and centred.
  TQaFaxConverter converter;
  converter.SetInputDocumentType(idTiff);
  converter.SetDocumentFile(dir.File("le.tif"));
  ASSERT_EQ(converter.ConvertToFile(), 1);
  const auto lines = Unpack(converter.OutFileName(), 1);
  const int offset = (kStandardWidth - 2 * picture.width) / 32 * 8;
  for (int y = 0; y < picture.Height(); ++y) {
    for (int x = 0; x < picture.width; ++x) {
      const bool black = picture.Black(x, y);
      ASSERT_EQ(test::PixelBlack(lines[static_cast<std::size_t>(y)], 50 + 2 * (offset + x)), black) << x << "," << y;
      ASSERT_EQ(test::PixelBlack(lines[static_cast<std::size_t>(y)], 51 + 2 * (offset + x)), black) << x << "," << y;
    }
  }
}

}  // namespace
}  // namespace tv
