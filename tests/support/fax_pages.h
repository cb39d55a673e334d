// Fax pages as rows of packed pixels (1 = black, the first pixel in the top
// bit), read from APF files with the unpacker and from TIFF files with
// libtiff, for comparing what went through a fax line with what was sent.
#pragma once

#include <tiffio.h>

#include <cstdint>
#include <string>
#include <vector>

#include "image/fax_converter.h"
#include "image/fax_unpacker.h"
#include "tests/support/temp_dir.h"

namespace tv::test {

using Rows = std::vector<std::vector<std::uint8_t>>;

// The decoded rows of an APF page; empty when the page cannot be unpacked.
inline Rows PageRows(const std::string& file, int page) {
  Rows rows;
  FaxUnpacker unpacker;
  unpacker.SetOptions(0);
  unpacker.SetLineCallback([&](FaxUnpacker&, int flags, const std::uint8_t* line, int bytes, int) {
    if (flags == 0) rows.emplace_back(line, line + bytes);
    return 0;
  });
  if (unpacker.UnpackPage(file, page) != 0) rows.clear();
  return rows;
}

// Every page of a bilevel TIFF file, black as 1 whatever its photometric.
inline std::vector<Rows> TiffPages(const std::string& file) {
  std::vector<Rows> pages;
  TIFF* tif = TIFFOpen(file.c_str(), "r");
  if (!tif) return pages;
  do {
    std::uint32_t height = 0;
    std::uint16_t photometric = PHOTOMETRIC_MINISWHITE;
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &height);
    TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric);
    Rows rows(height, std::vector<std::uint8_t>(static_cast<std::size_t>(TIFFScanlineSize(tif))));
    for (std::uint32_t y = 0; y < height; ++y) {
      TIFFReadScanline(tif, rows[y].data(), y, 0);
      if (photometric == PHOTOMETRIC_MINISBLACK) {
        for (auto& byte : rows[y]) byte = static_cast<std::uint8_t>(~byte);
      }
    }
    pages.push_back(std::move(rows));
  } while (TIFFReadDirectory(tif));
  TIFFClose(tif);
  return pages;
}

// Writes pages of 1728-pixel rows as a fax TIFF of the given resolution.
// Each page at fine resolution where `fine` says so (standard past its end).
inline void WriteTiff(const std::string& file, const std::vector<Rows>& pages, const std::vector<bool>& fine) {
  TIFF* tif = TIFFOpen(file.c_str(), "w");
  for (std::size_t page = 0; page < pages.size(); ++page) {
    const Rows& rows = pages[page];
    const bool pageFine = page < fine.size() && fine[page];
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, 1728);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, static_cast<std::uint32_t>(rows.size()));
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 1);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE);
    TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_CCITTFAX3);
    TIFFSetField(tif, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
    TIFFSetField(tif, TIFFTAG_XRESOLUTION, 204.0);
    TIFFSetField(tif, TIFFTAG_YRESOLUTION, pageFine ? 196.0 : 98.0);
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, static_cast<std::uint32_t>(rows.size()));
    TIFFSetField(tif, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE);
    for (std::size_t y = 0; y < rows.size(); ++y) {
      auto row = rows[y];
      TIFFWriteScanline(tif, row.data(), static_cast<std::uint32_t>(y), 0);
    }
    TIFFWriteDirectory(tif);
  }
  TIFFClose(tif);
}
inline void WriteTiff(const std::string& file, const std::vector<Rows>& pages, bool fine = false) {
  WriteTiff(file, pages, std::vector<bool>(pages.size(), fine));
}

// The bytes of a one-page fax file the converter makes of a text: what a
// fax printer driver leaves. Different texts give different files.
inline std::string FaxFileBytes(const std::string& text) {
  TempDir dir;
  dir.Write("page.txt", text + "\n");
  FaxConverter converter(MakeTextInput(), "TXT");
  if (converter.Convert(dir.File("page.txt"), dir.File("page.apf")) != 0) return {};
  return dir.Read("page.apf");
}

// The rows of a page received with a header line stamped on top: the last
// `count` rows, or empty when the page is shorter.
inline Rows BelowHeader(const Rows& received, std::size_t count) {
  if (received.size() < count) return {};
  return Rows(received.end() - static_cast<std::ptrdiff_t>(count), received.end());
}

}  // namespace tv::test
