#include "line/fax_tiff.h"

#include <tiffio.h>

#include <algorithm>
#include <cstdio>

namespace tv {

namespace {

constexpr int kFaxWidth = 1728;
constexpr int kRowBytes = kFaxWidth / 8;
constexpr float kFineRowsPerInch = 150;  // between the standard 98 and the fine 196

}  // namespace

std::vector<TiffFaxPage> ReadFaxTiff(const std::string& file) {
  std::vector<TiffFaxPage> pages;
  TIFF* tif = TIFFOpen(file.c_str(), "r");
  if (!tif) return pages;
  do {
    std::uint32_t height = 0;
    std::uint16_t photometric = PHOTOMETRIC_MINISWHITE;
    float rowsPerInch = 98;
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &height);
    TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric);
    TIFFGetField(tif, TIFFTAG_YRESOLUTION, &rowsPerInch);
    TiffFaxPage& page = pages.emplace_back();
    page.fine = rowsPerInch > kFineRowsPerInch;
    std::vector<std::uint8_t> scanline(static_cast<std::size_t>(std::max<tmsize_t>(TIFFScanlineSize(tif), kRowBytes)));
    for (std::uint32_t y = 0; y < height; ++y) {
      if (TIFFReadScanline(tif, scanline.data(), y, 0) < 0) break;
      auto& row = page.rows.emplace_back(scanline.begin(), scanline.begin() + kRowBytes);
      if (photometric == PHOTOMETRIC_MINISBLACK) {
        for (auto& byte : row) byte = static_cast<std::uint8_t>(~byte);
      }
    }
  } while (TIFFReadDirectory(tif));
  TIFFClose(tif);
  return pages;
}

bool WriteFaxTiff(const std::string& file, const std::vector<TiffFaxPage>& pages) {
  TIFF* tif = TIFFOpen(file.c_str(), "w");
  if (!tif) return false;
  bool written = true;
  for (const TiffFaxPage& page : pages) {
    const auto height = static_cast<std::uint32_t>(page.rows.size());
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, kFaxWidth);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, height);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 1);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE);
    TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_CCITTFAX3);
    TIFFSetField(tif, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
    TIFFSetField(tif, TIFFTAG_XRESOLUTION, 204.0);
    TIFFSetField(tif, TIFFTAG_YRESOLUTION, page.fine ? 196.0 : 98.0);
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, height);
    TIFFSetField(tif, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE);
    std::vector<std::uint8_t> row(kRowBytes);
    for (std::uint32_t y = 0; y < height && written; ++y) {
      std::fill(row.begin(), row.end(), 0);
      std::copy_n(page.rows[y].begin(), std::min<std::size_t>(page.rows[y].size(), kRowBytes), row.begin());
      written = TIFFWriteScanline(tif, row.data(), y, 0) >= 0;
    }
    if (!written || !TIFFWriteDirectory(tif)) {
      written = false;
      break;
    }
  }
  TIFFClose(tif);
  if (!written) std::remove(file.c_str());
  return written;
}

}  // namespace tv
