// Pictures decoded by an outside reader, brought to fax pages: each page is
// fitted to the width the page leaves beside the margin, its rows are
// scaled so the picture keeps its shape at the fax's line spacing, grey is
// dithered with the converter's matrix, and black-and-white pictures stay
// black and white.
#include <algorithm>
#include <cmath>
#include <vector>

#include "image/dither_matrix.h"
#include "image/picture_decoder.h"
#include "platform/error_codes.h"

namespace tv {

namespace {

// Fax pixels across are 1/204 inch; lines are 1/196 (fine) or 1/98 inch.
constexpr double kFaxDotsPerInch = 204.0;
constexpr double kFineLinesPerInch = 196.0;
constexpr double kStandardLinesPerInch = 98.0;
// Larger pictures are refused before anything is allocated for them.
constexpr int kMaxPictureSide = 1 << 16;
// When a black-and-white picture is made smaller, an output pixel is black
// once a quarter of what it covers is: thin lines survive the scaling.
constexpr int kBilevelThreshold = 192;

// Scale factors this close to 1/2, 1 or 2 are taken as exact, so that a
// picture at fax resolution (or with square pixels at fine resolution)
// keeps every row as it is.
double SnapScale(double r) {
  for (const double exact : {0.5, 1.0, 2.0}) {
    if (std::abs(r - exact) <= 0.05 * exact) return exact;
  }
  return r;
}

class DecodedPictureInput : public ConverterInput {
 public:
  explicit DecodedPictureInput(std::unique_ptr<PictureDecoder> decoder) : decoder_(std::move(decoder)) {}

  int Open(FaxConverter& converter) override {
    if (!decoder_) {
      converter.SetErrorDetail("no reader for this kind of picture is installed");
      return ecBadGraphicsFormat;
    }
    std::string detail;
    int rc = decoder_->Open(converter.InputName(), detail);
    if (rc == ecOK && decoder_->PageCount() < 1) rc = ecBadGraphicsFormat;
    if (rc == ecOK) rc = StartPage(converter, 0, detail);
    if (rc != ecOK) converter.SetErrorDetail(detail);
    return rc;
  }

  int ReadLine(FaxConverter& converter, ConverterLine& line) override {
    if (outRow_ >= outHeight_) {
      line.endOfPage = true;
      line.morePages = page_ + 1 < decoder_->PageCount();
      if (!line.morePages) return ecOK;
      std::string detail;
      const int rc = StartPage(converter, page_ + 1, detail);
      if (rc != ecOK) converter.SetErrorDetail(detail);
      return rc;
    }
    if (int rc = MakeRow(); rc != ecOK) return rc;
    converter.AddBytesConverted(outWidth_);
    line.length = converter.PlacePictureRow(bits_.data(), bits_.size(), outWidth_, false);
    ++outRow_;
    return ecOK;
  }

 private:
  int StartPage(FaxConverter& converter, int index, std::string& detail) {
    PicturePage page;
    if (int rc = decoder_->StartPage(index, page, detail); rc != ecOK) return rc;
    if (page.width < 1 || page.height < 1 || page.width > kMaxPictureSide || page.height > kMaxPictureSide ||
        (page.pixelAspect && !(*page.pixelAspect > 0.01 && *page.pixelAspect < 100))) {
      detail = "the picture is " + std::to_string(page.width) + " x " + std::to_string(page.height) +
               " pixels; at most " + std::to_string(kMaxPictureSide) + " each way are taken";
      return ecBadGraphicsFormat;
    }
    page_ = index;
    source_ = page;
    const int room = std::max(1, converter.PageWidth() - converter.LeftMargin());
    const double fit = page.width > room ? static_cast<double>(room) / page.width : 1.0;
    outWidth_ = std::max(1, static_cast<int>(std::lround(page.width * fit)));
    // The first page decides doubling for the whole document, as with every
    // picture; later pages are only centred.
    if (index == 0) {
      converter.PlacePicture(outWidth_);
    } else {
      converter.CenterPicture(outWidth_);
    }
    const double lines = converter.Fine() ? kFineLinesPerInch : kStandardLinesPerInch;
    const double across = converter.Doubling() ? 2.0 : 1.0;
    const double rows =
        page.pixelAspect ? SnapScale(fit * *page.pixelAspect * across * lines / kFaxDotsPerInch) : fit;
    outHeight_ = std::max(1, static_cast<int>(std::lround(page.height * rows)));
    if (outHeight_ > kMaxPictureRows) {
      // Taller than any fax page: made smaller all round to fit.
      const double shrink = static_cast<double>(kMaxPictureRows) / outHeight_;
      outHeight_ = kMaxPictureRows;
      outWidth_ = std::max(1, static_cast<int>(std::lround(outWidth_ * shrink)));
      converter.CenterPicture(outWidth_);
    }
    // The source columns each output pixel covers.
    columnEnds_.resize(static_cast<std::size_t>(outWidth_));
    for (int x = 0; x < outWidth_; ++x) {
      columnEnds_[static_cast<std::size_t>(x)] =
          std::max(static_cast<int>(static_cast<std::int64_t>(x + 1) * page.width / outWidth_), 1);
    }
    sourceRow_.assign(static_cast<std::size_t>(page.bilevel ? (page.width + 7) / 8 : page.width), 0);
    grey_.assign(static_cast<std::size_t>(page.width), 0);
    sums_.assign(static_cast<std::size_t>(page.width), 0);
    bits_.assign(static_cast<std::size_t>((outWidth_ + 7) / 8), 0);
    rowsRead_ = 0;
    outRow_ = 0;
    return ecOK;
  }

  // Reads the next source row into grey_ (0 black .. 255 white).
  int ReadSourceRow() {
    if (int rc = decoder_->ReadRow(sourceRow_.data()); rc != ecOK) return rc;
    ++rowsRead_;
    if (!source_.bilevel) {
      std::copy(sourceRow_.begin(), sourceRow_.end(), grey_.begin());
      return ecOK;
    }
    for (int x = 0; x < source_.width; ++x) {
      const bool ink = sourceRow_[static_cast<std::size_t>(x >> 3)] & (0x80 >> (x & 7));
      grey_[static_cast<std::size_t>(x)] = ink ? 0 : 255;
    }
    return ecOK;
  }

  // The output row outRow_ in bits_: the source rows it covers averaged (or
  // the one it falls on, when rows are repeated), then the columns.
  int MakeRow() {
    const std::int64_t h = source_.height;
    const int first = static_cast<int>(outRow_ * h / outHeight_);
    const int end = std::max(first + 1, static_cast<int>((outRow_ + 1) * h / outHeight_));
    int count = 1;
    if (end - first == 1) {
      // Rows are read once, in order; a repeated row is the one read last.
      while (rowsRead_ <= first) {
        if (int rc = ReadSourceRow(); rc != ecOK) return rc;
      }
    } else {
      std::fill(sums_.begin(), sums_.end(), 0);
      while (rowsRead_ < end) {
        if (int rc = ReadSourceRow(); rc != ecOK) return rc;
        for (std::size_t x = 0; x < grey_.size(); ++x) sums_[x] += grey_[x];
      }
      count = end - first;
      for (std::size_t x = 0; x < grey_.size(); ++x) grey_[x] = static_cast<std::uint8_t>(sums_[x] / count);
    }
    constexpr TDitherMatrix kMatrix;
    std::fill(bits_.begin(), bits_.end(), 0);
    int from = 0;
    for (int x = 0; x < outWidth_; ++x) {
      const int to = std::max(columnEnds_[static_cast<std::size_t>(x)], from + 1);
      int level = grey_[static_cast<std::size_t>(std::min(from, source_.width - 1))];
      if (to - from > 1) {
        int sum = 0;
        for (int c = from; c < to && c < source_.width; ++c) sum += grey_[static_cast<std::size_t>(c)];
        level = sum / (to - from);
      }
      from = columnEnds_[static_cast<std::size_t>(x)];
      const bool black = source_.bilevel ? level < kBilevelThreshold : !kMatrix.White(x, outRow_, level);
      if (black) bits_[static_cast<std::size_t>(x >> 3)] |= static_cast<std::uint8_t>(0x80 >> (x & 7));
    }
    return ecOK;
  }

  std::unique_ptr<PictureDecoder> decoder_;
  PicturePage source_;
  int page_ = 0;
  int outWidth_ = 0;
  int outHeight_ = 0;
  int outRow_ = 0;
  int rowsRead_ = 0;
  std::vector<int> columnEnds_;
  std::vector<std::uint8_t> sourceRow_;
  std::vector<std::uint8_t> grey_;
  std::vector<std::uint32_t> sums_;
  std::vector<std::uint8_t> bits_;
};

PictureReader& Installed() {
  static PictureReader reader;
  return reader;
}

}  // namespace

std::unique_ptr<ConverterInput> MakeDecodedPictureInput(std::unique_ptr<PictureDecoder> decoder) {
  return std::make_unique<DecodedPictureInput>(std::move(decoder));
}

void InstallPictureReader(PictureReader reader) { Installed() = std::move(reader); }

bool InstalledPictureReaderReads(const std::string& path) {
  return Installed().reads && Installed().reads(path);
}

std::unique_ptr<ConverterInput> MakeInstalledPictureInput() {
  return MakeDecodedPictureInput(Installed().make ? Installed().make() : nullptr);
}

}  // namespace tv
