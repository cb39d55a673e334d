// TIFF pictures through libtiff: black-and-white pages row by row as they
// are coded (Group 3 and 4 fax, LZW, Deflate, PackBits, ...), every other
// depth and colour model through libtiff's RGBA reading, in bands of rows.
#include <fcntl.h>
#include <tiffio.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <vector>

#include "image/picture_decoder.h"
#include "platform/error_codes.h"
#include "platform/errors.h"
#include "platform/files.h"

namespace tv {

namespace {

// No single allocation of libtiff's for a hostile file grows beyond this.
constexpr tmsize_t kMaxTiffAllocation = 256 << 20;
constexpr int kMaxTiffPages = 1000;
constexpr std::uint32_t kBandRows = 64;

class TiffDecoder : public PictureDecoder {
 public:
  ~TiffDecoder() override {
    EndRgba();
    if (tif_) TIFFClose(tif_);
  }

  int Open(const std::string& path, std::string& detail) override {
    const int fd = OpenRegularFile(path, O_RDONLY);
    if (fd < 0) return IoErrorFromErrno(errno);
    TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
    TIFFOpenOptionsSetMaxSingleMemAlloc(options, kMaxTiffAllocation);
    TIFFOpenOptionsSetErrorHandlerExtR(options, &TiffDecoder::OnError, this);
    TIFFOpenOptionsSetWarningHandlerExtR(options, &TiffDecoder::OnWarning, nullptr);
    // "m": read, never map the file, so a file cut short meanwhile is an
    // error and not a crash.
    tif_ = TIFFFdOpenExt(fd, path.c_str(), "rm", options);
    TIFFOpenOptionsFree(options);
    if (!tif_) {
      close(fd);
      return Fail(detail);
    }
    const tdir_t pages = TIFFNumberOfDirectories(tif_);
    if (pages > kMaxTiffPages) {
      detail = "the TIFF file has " + std::to_string(pages) + " pages; at most " + std::to_string(kMaxTiffPages) +
               " are taken";
      return ecBadGraphicsFormat;
    }
    pages_ = static_cast<int>(pages);
    return ecOK;
  }

  int PageCount() const override { return pages_; }

  int StartPage(int index, PicturePage& page, std::string& detail) override {
    EndRgba();
    if (!TIFFSetDirectory(tif_, static_cast<tdir_t>(index))) return Fail(detail);
    std::uint32_t width = 0;
    std::uint32_t length = 0;
    std::uint16_t bits = 1;
    std::uint16_t samples = 1;
    std::uint16_t photometric = PHOTOMETRIC_MINISWHITE;
    float xres = 0;
    float yres = 0;
    TIFFGetField(tif_, TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(tif_, TIFFTAG_IMAGELENGTH, &length);
    TIFFGetFieldDefaulted(tif_, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetFieldDefaulted(tif_, TIFFTAG_SAMPLESPERPIXEL, &samples);
    TIFFGetField(tif_, TIFFTAG_PHOTOMETRIC, &photometric);
    if (width == 0 || length == 0 || width > (1u << 16) || length > (1u << 16)) {
      detail = "the TIFF page has no size that can be used";
      return ecBadGraphicsFormat;
    }
    page.width = static_cast<int>(width);
    page.height = static_cast<int>(length);
    // The unit is the same both ways, so only the ratio counts. Without it
    // the rows are kept as they are, as for an uncompressed TIFF.
    page.pixelAspect.reset();
    if (TIFFGetField(tif_, TIFFTAG_XRESOLUTION, &xres) && TIFFGetField(tif_, TIFFTAG_YRESOLUTION, &yres) &&
        xres > 0 && yres > 0) {
      page.pixelAspect = xres / yres;
    }
    page.bilevel = bits == 1 && samples == 1 && !TIFFIsTiled(tif_) &&
                   (photometric == PHOTOMETRIC_MINISWHITE || photometric == PHOTOMETRIC_MINISBLACK);
    width_ = width;
    length_ = length;
    row_ = 0;
    if (page.bilevel) {
      invert_ = photometric == PHOTOMETRIC_MINISBLACK;
      const tmsize_t size = TIFFScanlineSize(tif_);
      if (size < static_cast<tmsize_t>((width + 7) / 8)) return Fail(detail);
      scanline_.assign(static_cast<std::size_t>(size), 0);
      return ecOK;
    }
    char why[1024] = {};
    if (!TIFFRGBAImageOK(tif_, why) || !TIFFRGBAImageBegin(&rgba_, tif_, 0, why)) {
      detail = why;
      return ecBadGraphicsFormat;
    }
    rgbaActive_ = true;
    rgba_.req_orientation = ORIENTATION_TOPLEFT;
    band_.assign(static_cast<std::size_t>(width) * kBandRows, 0);
    bandStart_ = 0;
    bandRows_ = 0;
    return ecOK;
  }

  int ReadRow(std::uint8_t* row) override {
    if (row_ >= length_) return ecBadGraphicsFormat;
    if (!rgbaActive_) {
      if (TIFFReadScanline(tif_, scanline_.data(), row_++, 0) < 0) return ecBadGraphicsFormat;
      const std::size_t n = (width_ + 7) / 8;
      for (std::size_t i = 0; i < n; ++i) row[i] = invert_ ? static_cast<std::uint8_t>(~scanline_[i]) : scanline_[i];
      return ecOK;
    }
    if (row_ >= bandStart_ + bandRows_) {
      bandStart_ = row_;
      bandRows_ = std::min(kBandRows, length_ - row_);
      rgba_.row_offset = static_cast<int>(row_);
      rgba_.col_offset = 0;
      if (!TIFFRGBAImageGet(&rgba_, band_.data(), width_, bandRows_)) return ecBadGraphicsFormat;
    }
    const std::uint32_t* pixels = band_.data() + static_cast<std::size_t>(row_ - bandStart_) * width_;
    for (std::uint32_t x = 0; x < width_; ++x) {
      const std::uint32_t p = pixels[x];
      const int alpha = static_cast<int>(TIFFGetA(p));
      const int level = static_cast<int>(TIFFGetR(p) + TIFFGetG(p) + TIFFGetB(p)) / 3;
      // Seen on white paper.
      row[x] = static_cast<std::uint8_t>((level * alpha + 255 * (255 - alpha)) / 255);
    }
    ++row_;
    return ecOK;
  }

 private:
  static int OnError(TIFF*, void* self, const char*, const char* format, va_list args) {
    char text[512];
    std::vsnprintf(text, sizeof text, format, args);
    auto& messages = static_cast<TiffDecoder*>(self)->messages_;
    if (messages.size() < 1024) messages += (messages.empty() ? "" : "; ") + std::string(text);
    return 1;
  }
  static int OnWarning(TIFF*, void*, const char*, const char*, va_list) { return 1; }

  int Fail(std::string& detail) const {
    detail = messages_.empty() ? "libtiff cannot read it" : messages_;
    return ecBadGraphicsFormat;
  }

  void EndRgba() {
    if (rgbaActive_) TIFFRGBAImageEnd(&rgba_);
    rgbaActive_ = false;
  }

  TIFF* tif_ = nullptr;
  std::string messages_;
  int pages_ = 0;
  std::uint32_t width_ = 0;
  std::uint32_t length_ = 0;
  std::uint32_t row_ = 0;
  bool invert_ = false;
  std::vector<std::uint8_t> scanline_;
  TIFFRGBAImage rgba_{};
  bool rgbaActive_ = false;
  std::vector<std::uint32_t> band_;
  std::uint32_t bandStart_ = 0;
  std::uint32_t bandRows_ = 0;
};

}  // namespace

std::unique_ptr<PictureDecoder> MakeTiffDecoder() { return std::make_unique<TiffDecoder>(); }

}  // namespace tv
