// BMP pictures. Black-and-white ones are read row by row; every other kind
// (4- and 8-bit palettes, run-length coded or not, 16, 24 and 32 bits per
// pixel) is first dithered into a black-and-white copy in a temporary file,
// which is then read instead.
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <filesystem>
#include <vector>

#include "image/byte_reader.h"
#include "image/dither_matrix.h"
#include "image/fax_converter.h"
#include "platform/error_codes.h"

namespace tv {

namespace {

enum BmpCompression : std::uint32_t { kBmpRgb = 0, kBmpRle8 = 1, kBmpRle4 = 2, kBmpBitFields = 3 };

constexpr std::size_t kFileHeaderSize = 14;
constexpr std::size_t kInfoHeaderSize = 40;

struct BmpInfo {
  std::uint32_t dataOffset = 0;
  std::int32_t width = 0;
  std::int32_t height = 0;  // negative: rows stored top first
  int bitCount = 0;
  std::uint32_t compression = kBmpRgb;
  std::vector<std::array<std::uint8_t, 3>> palette;  // R, G, B
  std::array<std::uint32_t, 3> masks{};              // R, G, B of 16- and 32-bit pixels

  int Rows() const { return height < 0 ? -height : height; }
  bool RunLength() const { return compression == kBmpRle8 || compression == kBmpRle4; }
  std::uint64_t Stride() const { return (std::uint64_t{static_cast<std::uint32_t>(width)} * bitCount + 31) / 32 * 4; }
  std::int64_t RowOffset(int y) const {
    const int fileRow = height < 0 ? y : Rows() - 1 - y;
    return dataOffset + static_cast<std::int64_t>(fileRow) * static_cast<std::int64_t>(Stride());
  }
};

bool KnownCoding(const BmpInfo& info) {
  switch (info.compression) {
    case kBmpRgb:
      return info.bitCount == 1 || info.bitCount == 4 || info.bitCount == 8 || info.bitCount == 16 ||
             info.bitCount == 24 || info.bitCount == 32;
    case kBmpRle8:
      return info.bitCount == 8 && info.height > 0;  // run-length rows are stored bottom first only
    case kBmpRle4:
      return info.bitCount == 4 && info.height > 0;
    case kBmpBitFields:
      return info.bitCount == 16 || info.bitCount == 32;
    default:
      return false;
  }
}

int ReadBmpInfo(ByteReader& reader, BmpInfo& info) {
  std::array<std::uint8_t, kFileHeaderSize + kInfoHeaderSize> h{};
  if (reader.Seek(0) != ecOK || reader.Read(h.data(), h.size()) != ecOK) return ecBadGraphicsFormat;
  const std::uint32_t infoSize = Le32(&h[14]);
  info.dataOffset = Le32(&h[10]);
  info.width = static_cast<std::int32_t>(Le32(&h[18]));
  info.height = static_cast<std::int32_t>(Le32(&h[22]));
  info.bitCount = Le16(&h[28]);
  info.compression = Le32(&h[30]);
  if (h[0] != 'B' || h[1] != 'M' || infoSize < kInfoHeaderSize || infoSize > 1024 || info.width <= 0 ||
      info.height == 0 || info.height == INT32_MIN || info.Rows() > kMaxPictureRows || !KnownCoding(info)) {
    return ecBadGraphicsFormat;
  }
  if (info.bitCount <= 8) {
    std::uint32_t colours = Le32(&h[46]);
    const std::uint32_t most = 1u << info.bitCount;
    if (colours == 0 || colours > most) colours = most;
    if (reader.Seek(kFileHeaderSize + infoSize) != ecOK) return ecBadGraphicsFormat;
    info.palette.resize(colours);
    for (auto& entry : info.palette) {
      std::array<std::uint8_t, 4> bgr{};
      if (reader.Read(bgr.data(), 4) != ecOK) return ecBadGraphicsFormat;
      entry = {bgr[2], bgr[1], bgr[0]};
    }
  } else if (info.compression == kBmpBitFields) {
    // The masks follow a 40-byte header, and sit at the same place inside
    // the longer ones.
    std::array<std::uint8_t, 12> m{};
    if (reader.Seek(kFileHeaderSize + kInfoHeaderSize) != ecOK || reader.Read(m.data(), m.size()) != ecOK)
      return ecBadGraphicsFormat;
    info.masks = {Le32(&m[0]), Le32(&m[4]), Le32(&m[8])};
    if (info.masks[0] == 0 || info.masks[1] == 0 || info.masks[2] == 0) return ecBadGraphicsFormat;
  } else if (info.bitCount == 16) {
    info.masks = {0x7C00, 0x03E0, 0x001F};  // 5 bits each
  } else if (info.bitCount == 32) {
    info.masks = {0xFF0000, 0x00FF00, 0x0000FF};
  }
  if (info.RunLength()) {
    if (info.dataOffset >= static_cast<std::uint64_t>(reader.Size())) return ecBadGraphicsFormat;
  } else {
    const std::uint64_t end = info.dataOffset + info.Stride() * static_cast<std::uint64_t>(info.Rows());
    if (end > static_cast<std::uint64_t>(reader.Size())) return ecBadGraphicsFormat;
  }
  return ecOK;
}

int Grey(const std::array<std::uint8_t, 3>& rgb) { return (rgb[0] + rgb[1] + rgb[2]) / 3; }

// One colour of a 16- or 32-bit pixel, scaled to 0..255.
int MaskedLevel(std::uint32_t pixel, std::uint32_t mask) {
  const int shift = std::countr_zero(mask);
  const std::uint32_t most = mask >> shift;
  return static_cast<int>(((pixel & mask) >> shift) * 255 / most);
}

// The rows of a BMP in the order the file stores them, as grey levels
// (R + G + B) / 3.
class BmpGreyRows {
 public:
  BmpGreyRows(ByteReader& reader, const BmpInfo& info)
      : reader_(reader),
        info_(info),
        raw_(static_cast<std::size_t>(info.Stride())),
        indices_(static_cast<std::size_t>(info.width)) {}

  int Start() {
    fileRow_ = 0;
    return reader_.Seek(info_.dataOffset);
  }

  int Next(std::vector<std::uint8_t>& grey) {
    const std::size_t width = indices_.size();
    if (info_.RunLength()) {
      if (int rc = NextRunLengthRow(); rc != ecOK) return rc;
      for (std::size_t x = 0; x < width; ++x) grey[x] = PaletteGrey(indices_[x]);
      return ecOK;
    }
    if (int rc = reader_.Seek(info_.dataOffset + static_cast<std::int64_t>(fileRow_++ * info_.Stride())); rc != ecOK)
      return rc;
    if (reader_.Read(raw_.data(), raw_.size()) != ecOK) return ecDeviceReadError;
    for (std::size_t x = 0; x < width; ++x) {
      switch (info_.bitCount) {
        case 16:
          grey[x] = MaskedGrey(Le16(&raw_[2 * x]));
          break;
        case 24:
          grey[x] = static_cast<std::uint8_t>((raw_[3 * x] + raw_[3 * x + 1] + raw_[3 * x + 2]) / 3);
          break;
        case 32:
          grey[x] = MaskedGrey(Le32(&raw_[4 * x]));
          break;
        default: {
          const std::size_t perByte = 8 / static_cast<std::size_t>(info_.bitCount);
          const int shift = 8 - info_.bitCount * (1 + static_cast<int>(x % perByte));
          grey[x] = PaletteGrey((raw_[x / perByte] >> shift) & ((1u << info_.bitCount) - 1));
        }
      }
    }
    return ecOK;
  }

 private:
  std::uint8_t PaletteGrey(unsigned index) const {
    return static_cast<std::uint8_t>(index < info_.palette.size() ? Grey(info_.palette[index]) : 0);
  }

  std::uint8_t MaskedGrey(std::uint32_t pixel) const {
    return static_cast<std::uint8_t>(
        (MaskedLevel(pixel, info_.masks[0]) + MaskedLevel(pixel, info_.masks[1]) + MaskedLevel(pixel, info_.masks[2])) /
        3);
  }

  int NextByte(int& value) {
    value = reader_.Next();
    if (value >= 0) return ecOK;
    return value == -1 ? ecDeviceReadError : value;
  }

  void Put(std::size_t& x, unsigned index) {
    if (x < indices_.size()) indices_[x] = static_cast<std::uint8_t>(index);
    ++x;
  }

  // Decodes one row of run-length data into indices_. Pairs of a count and
  // a value are runs (two alternating 4-bit indices in RLE4); a count of 0
  // is an escape: 0 ends the row, 1 ends the picture, 2 moves right and
  // down, 3..255 that many literal indices padded to an even byte count.
  // Pixels no code reaches keep index 0.
  int NextRunLengthRow() {
    std::fill(indices_.begin(), indices_.end(), 0);
    if (blankRows_ > 0) {
      --blankRows_;
      return ecOK;
    }
    if (ended_) return ecOK;
    const bool nibbles = info_.compression == kBmpRle4;
    std::size_t x = nextRowStart_;
    nextRowStart_ = 0;
    for (;;) {
      int count = 0;
      int value = 0;
      if (int rc = NextByte(count); rc != ecOK) return rc;
      if (int rc = NextByte(value); rc != ecOK) return rc;
      if (count > 0) {
        for (int i = 0; i < count; ++i) Put(x, nibbles ? (i % 2 == 0 ? value >> 4 : value & 15) : value);
        continue;
      }
      if (value == 0) return ecOK;
      if (value == 1) {
        ended_ = true;
        return ecOK;
      }
      if (value == 2) {
        int dx = 0;
        int dy = 0;
        if (int rc = NextByte(dx); rc != ecOK) return rc;
        if (int rc = NextByte(dy); rc != ecOK) return rc;
        if (dy == 0) {
          x += static_cast<std::size_t>(dx);
          continue;
        }
        blankRows_ = dy - 1;
        nextRowStart_ = x + static_cast<std::size_t>(dx);
        return ecOK;
      }
      const int bytes = nibbles ? (value + 1) / 2 : value;
      for (int b = 0; b < bytes; ++b) {
        int packed = 0;
        if (int rc = NextByte(packed); rc != ecOK) return rc;
        if (nibbles) {
          Put(x, static_cast<unsigned>(packed) >> 4);
          if (2 * b + 1 < value) Put(x, static_cast<unsigned>(packed) & 15);
        } else {
          Put(x, static_cast<unsigned>(packed));
        }
      }
      int pad = 0;
      if (bytes % 2 != 0) {
        if (int rc = NextByte(pad); rc != ecOK) return rc;
      }
    }
  }

  ByteReader& reader_;
  const BmpInfo& info_;
  std::vector<std::uint8_t> raw_;
  std::vector<std::uint8_t> indices_;
  int fileRow_ = 0;
  int blankRows_ = 0;
  std::size_t nextRowStart_ = 0;
  bool ended_ = false;
};

// Writes the dithered black-and-white copy of a colour BMP (palette entry 0
// black, 1 white), row by row in the order the source stores them.
int DitherToFile(ByteReader& reader, const BmpInfo& info, const std::string& target) {
  constexpr TDitherMatrix kMatrix;
  FaxFile out;
  if (int rc = out.Create(target); rc != ecOK) return rc;
  const auto width = static_cast<std::uint32_t>(info.width);
  const std::uint32_t stride = (width + 31) / 32 * 4;
  std::array<std::uint8_t, 62> h{};
  h[0] = 'B';
  h[1] = 'M';
  auto put32 = [&](int at, std::uint32_t v) {
    for (int k = 0; k < 4; ++k) h[static_cast<std::size_t>(at + k)] = static_cast<std::uint8_t>(v >> (8 * k));
  };
  put32(2, 62 + stride * static_cast<std::uint32_t>(info.Rows()));
  put32(10, 62);
  put32(14, 40);
  put32(18, width);
  put32(22, static_cast<std::uint32_t>(info.height));
  h[26] = 1;
  h[28] = 1;
  put32(46, 2);
  h[58] = h[59] = h[60] = 0xFF;  // entry 1 white
  if (int rc = out.Write(h.data(), h.size()); rc != ecOK) return rc;

  BmpGreyRows rows(reader, info);
  if (int rc = rows.Start(); rc != ecOK) return rc;
  std::vector<std::uint8_t> grey(width);
  std::vector<std::uint8_t> row(stride);
  for (int fileRow = 0; fileRow < info.Rows(); ++fileRow) {
    const int y = info.height < 0 ? fileRow : info.Rows() - 1 - fileRow;
    if (int rc = rows.Next(grey); rc != ecOK) return rc;
    std::fill(row.begin(), row.end(), 0);
    for (std::uint32_t x = 0; x < width; ++x) {
      if (kMatrix.White(static_cast<int>(x), y, grey[x])) row[x / 8] |= static_cast<std::uint8_t>(0x80 >> (x % 8));
    }
    if (int rc = out.Write(row.data(), row.size()); rc != ecOK) return rc;
  }
  return ecOK;
}

std::string TemporaryDitherName() {
  std::string pattern = (std::filesystem::temp_directory_path() / "~DITXXXXXX").string();
  const int fd = ::mkstemp(pattern.data());
  if (fd < 0) return {};
  ::close(fd);
  return pattern;
}

class BmpInput : public ConverterInput {
 public:
  int Open(FaxConverter& converter) override {
    if (int rc = reader_.Open(converter.InputName()); rc != ecOK) return rc;
    if (int rc = ReadBmpInfo(reader_, info_); rc != ecOK) return rc;
    if (info_.width > converter.PageWidth()) return ecBadGraphicsFormat;
    if (info_.bitCount != 1) {
      // A colour picture is dithered into a black-and-white copy first.
      const std::string dithered = TemporaryDitherName();
      if (dithered.empty()) return ecAccessDenied;
      converter.SetTemporaryFile(dithered);
      if (int rc = DitherToFile(reader_, info_, dithered); rc != ecOK) return rc;
      if (int rc = reader_.Open(dithered); rc != ecOK) return rc;
      if (int rc = ReadBmpInfo(reader_, info_); rc != ecOK) return rc;
    }
    // Normally palette entry 1 is white and the rows are inverted; a
    // palette the other way round needs no inversion.
    invert_ = info_.palette.size() < 2 || Grey(info_.palette[1]) >= Grey(info_.palette[0]);
    row_ = 0;
    line_.resize(static_cast<std::size_t>(info_.Stride()));
    converter.SetBytesToConvert(static_cast<std::int64_t>(info_.Stride()) * info_.Rows());
    converter.PlacePicture(info_.width);
    return ecOK;
  }

  int ReadLine(FaxConverter& converter, ConverterLine& line) override {
    if (row_ >= info_.Rows()) {
      line.endOfPage = true;
      return ecOK;
    }
    if (int rc = reader_.Seek(info_.RowOffset(row_++)); rc != ecOK) return rc;
    if (int rc = reader_.Read(line_.data(), line_.size()); rc != ecOK) return rc;
    converter.AddBytesConverted(static_cast<std::int64_t>(line_.size()));
    line.length = converter.PlacePictureRow(line_.data(), line_.size(), info_.width, invert_);
    return ecOK;
  }

  void Close(FaxConverter&) override { reader_.Close(); }

 private:
  ByteReader reader_;
  BmpInfo info_;
  bool invert_ = true;
  int row_ = 0;
  std::vector<std::uint8_t> line_;
};

}  // namespace

std::unique_ptr<ConverterInput> MakeBmpInput() { return std::make_unique<BmpInput>(); }

}  // namespace tv
