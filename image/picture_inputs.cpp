// Picture documents: TIFF, PCX and DCX (BMP has a file of its own). Each
// picture is one fax page (a DCX file one page per image, a TIFF file read
// through libtiff one per page); rows are placed by the converter's picture
// placement and handed over as 1 = black.
#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "image/byte_reader.h"
#include "image/fax_converter.h"
#include "image/picture_decoder.h"
#include "platform/error_codes.h"

namespace tv {

namespace {

// ---------------------------------------------------------------------------
// TIFF

std::uint8_t ReverseBits(std::uint8_t b) {
  b = static_cast<std::uint8_t>((b & 0xF0) >> 4 | (b & 0x0F) << 4);
  b = static_cast<std::uint8_t>((b & 0xCC) >> 2 | (b & 0x33) << 2);
  return static_cast<std::uint8_t>((b & 0xAA) >> 1 | (b & 0x55) << 1);
}

constexpr std::uint16_t kTagNewSubfileType = 255;
constexpr std::uint16_t kTagImageWidth = 256;
constexpr std::uint16_t kTagImageLength = 257;
constexpr std::uint16_t kTagBitsPerSample = 258;
constexpr std::uint16_t kTagCompression = 259;
constexpr std::uint16_t kTagPhotometric = 262;
constexpr std::uint16_t kTagFillOrder = 266;
constexpr std::uint16_t kTagStripOffsets = 273;
constexpr std::uint16_t kTagRowsPerStrip = 278;
constexpr std::uint16_t kTagStripByteCounts = 279;
constexpr std::uint32_t kCompressionNone = 1;
constexpr std::uint32_t kCompressionPackBits = 32773;

class TiffInput : public ConverterInput {
 public:
  int Open(FaxConverter& converter) override {
    if (int rc = reader_.Open(converter.InputName()); rc != ecOK) return rc;
    std::array<std::uint8_t, 8> header{};
    if (reader_.Read(header.data(), header.size()) != ecOK) return ecBadGraphicsFormat;
    if (header[0] == 'I' && header[1] == 'I') {
      bigEndian_ = false;
    } else if (header[0] == 'M' && header[1] == 'M') {
      bigEndian_ = true;
    } else {
      return ecBadGraphicsFormat;
    }
    if (U16(&header[2]) != 42) return ecBadGraphicsFormat;
    if (int rc = ReadDirectory(U32(&header[4])); rc != ecOK) return rc;

    if (width_ == 0 || length_ == 0 || stripOffsets_.empty() || bitsPerSample_ != 1 ||
        (compression_ != kCompressionNone && compression_ != kCompressionPackBits) ||
        length_ > static_cast<std::uint32_t>(kMaxPictureRows)) {
      return ecBadGraphicsFormat;
    }
    if (rowsPerStrip_ == 0 || rowsPerStrip_ > length_) rowsPerStrip_ = length_;
    const std::uint64_t strips = (std::uint64_t{length_} + rowsPerStrip_ - 1) / rowsPerStrip_;
    if (stripOffsets_.size() < strips) return ecBadGraphicsFormat;
    rowBytes_ = (std::uint64_t{width_} + 7) / 8;
    row_ = 0;
    rowBuffer_.assign(std::min<std::uint64_t>(rowBytes_, kConverterRasterSize), 0);
    std::int64_t total = 0;
    for (std::uint32_t n : stripByteCounts_) total += n;
    converter.SetBytesToConvert(total > 0 ? total : reader_.Size());
    converter.PlacePicture(static_cast<int>(std::min<std::uint32_t>(width_, 1u << 20)));
    return ecOK;
  }

  int ReadLine(FaxConverter& converter, ConverterLine& line) override {
    if (row_ >= length_) {
      line.endOfPage = true;
      return ecOK;
    }
    if (row_ % rowsPerStrip_ == 0) {
      if (int rc = reader_.Seek(stripOffsets_[row_ / rowsPerStrip_]); rc != ecOK) return rc;
      literal_ = repeat_ = 0;
    }
    const std::int64_t before = reader_.Position();
    if (int rc = compression_ == kCompressionPackBits ? ReadPackBitsRow() : ReadPlainRow(); rc != ecOK) return rc;
    converter.AddBytesConverted(reader_.Position() - before);
    ++row_;
    if (lsbFirst_) {
      for (std::uint8_t& b : rowBuffer_) b = ReverseBits(b);
    }
    line.length = converter.PlacePictureRow(rowBuffer_.data(), rowBuffer_.size(), width_, photometric_ != 0);
    return ecOK;
  }

  void Close(FaxConverter&) override { reader_.Close(); }

  // The file has a page after the one read.
  bool MorePages() const { return nextDirectory_ != 0; }

 private:
  std::uint16_t U16(const std::uint8_t* p) const { return bigEndian_ ? Be16(p) : Le16(p); }
  std::uint32_t U32(const std::uint8_t* p) const { return bigEndian_ ? Be32(p) : Le32(p); }

  int ReadDirectory(std::uint32_t offset) {
    if (reader_.Seek(offset) != ecOK) return ecBadGraphicsFormat;
    std::array<std::uint8_t, 2> countBytes{};
    if (reader_.Read(countBytes.data(), 2) != ecOK) return ecBadGraphicsFormat;
    const int count = U16(countBytes.data());
    std::vector<std::array<std::uint8_t, 12>> entries(static_cast<std::size_t>(count));
    for (auto& entry : entries) {
      if (reader_.Read(entry.data(), entry.size()) != ecOK) return ecBadGraphicsFormat;
    }
    std::array<std::uint8_t, 4> next{};
    if (reader_.Read(next.data(), next.size()) == ecOK) nextDirectory_ = U32(next.data());
    for (const auto& entry : entries) {
      std::vector<std::uint32_t> values;
      if (int rc = ReadValues(entry, values); rc != ecOK) return rc;
      if (values.empty()) continue;
      switch (U16(entry.data())) {
        case kTagNewSubfileType:
          break;  // stored only
        case kTagImageWidth:
          width_ = values[0];
          break;
        case kTagImageLength:
          length_ = values[0];
          break;
        case kTagBitsPerSample:
          bitsPerSample_ = values[0];
          break;
        case kTagCompression:
          compression_ = values[0];
          break;
        case kTagPhotometric:
          photometric_ = values[0];
          break;
        case kTagFillOrder:
          // 2: pixel 0 in the least significant bit (as fax tools write).
          lsbFirst_ = values[0] == 2;
          break;
        case kTagStripOffsets:
          stripOffsets_ = std::move(values);
          break;
        case kTagRowsPerStrip:
          rowsPerStrip_ = values[0];
          break;
        case kTagStripByteCounts:
          stripByteCounts_ = std::move(values);
          break;
        default:
          break;
      }
    }
    return ecOK;
  }

  // The values of the directory entry's tags that this reader uses (BYTE,
  // SHORT or LONG); other tags and types are skipped.
  int ReadValues(const std::array<std::uint8_t, 12>& entry, std::vector<std::uint32_t>& values) {
    const std::uint16_t tag = U16(entry.data());
    if (tag != kTagNewSubfileType && (tag < kTagImageWidth || tag > kTagStripByteCounts)) return ecOK;
    const std::uint16_t type = U16(entry.data() + 2);
    const std::uint32_t count = U32(entry.data() + 4);
    const int size = type == 1 ? 1 : type == 3 ? 2 : type == 4 ? 4 : 0;
    if (size == 0 || count == 0) return ecOK;
    const std::uint64_t bytes = std::uint64_t{count} * static_cast<std::uint64_t>(size);
    if (bytes > static_cast<std::uint64_t>(reader_.Size())) return ecBadGraphicsFormat;
    std::vector<std::uint8_t> raw(static_cast<std::size_t>(bytes));
    if (bytes <= 4) {
      std::memcpy(raw.data(), entry.data() + 8, raw.size());
    } else {
      const std::int64_t back = reader_.Position();
      if (reader_.Seek(U32(entry.data() + 8)) != ecOK || reader_.Read(raw.data(), raw.size()) != ecOK) {
        return ecBadGraphicsFormat;
      }
      if (reader_.Seek(back) != ecOK) return ecBadGraphicsFormat;
    }
    values.resize(count);
    for (std::uint32_t i = 0; i < count; ++i) {
      const std::uint8_t* p = raw.data() + static_cast<std::size_t>(i) * static_cast<std::size_t>(size);
      values[i] = size == 1 ? *p : size == 2 ? U16(p) : U32(p);
    }
    return ecOK;
  }

  // Reads the row's bytes, keeping those that fit the raster.
  void StoreByte(std::uint64_t at, std::uint8_t value) {
    if (at < rowBuffer_.size()) rowBuffer_[static_cast<std::size_t>(at)] = value;
  }

  int ReadPlainRow() {
    const std::size_t keep = rowBuffer_.size();
    if (int rc = reader_.Read(rowBuffer_.data(), keep); rc != ecOK) return rc;
    for (std::uint64_t i = keep; i < rowBytes_; ++i) {
      const int c = reader_.Next();
      if (c < 0) return c == -1 ? ecDeviceReadError : c;
    }
    return ecOK;
  }

  // PackBits: control 0..127 copies control + 1 bytes, 129..255 repeats the
  // next byte 257 - control times, 128 is skipped. A run that goes on past a
  // row carries into the next one.
  int ReadPackBitsRow() {
    std::uint64_t at = 0;
    while (at < rowBytes_) {
      if (repeat_ > 0) {
        StoreByte(at++, repeatByte_);
        --repeat_;
        continue;
      }
      const int c = reader_.Next();
      if (c < 0) return c == -1 ? ecDeviceReadError : c;
      if (literal_ > 0) {
        StoreByte(at++, static_cast<std::uint8_t>(c));
        --literal_;
        continue;
      }
      if (c < 128) {
        literal_ = c + 1;
      } else if (c > 128) {
        const int value = reader_.Next();
        if (value < 0) return value == -1 ? ecDeviceReadError : value;
        repeatByte_ = static_cast<std::uint8_t>(value);
        repeat_ = 257 - c;
      }
    }
    return ecOK;
  }

  ByteReader reader_;
  bool bigEndian_ = false;
  std::uint32_t nextDirectory_ = 0;
  std::uint32_t width_ = 0;
  std::uint32_t length_ = 0;
  std::uint32_t bitsPerSample_ = 1;
  std::uint32_t compression_ = kCompressionNone;
  std::uint32_t photometric_ = 0;
  bool lsbFirst_ = false;
  std::uint32_t rowsPerStrip_ = 0;
  std::vector<std::uint32_t> stripOffsets_;
  std::vector<std::uint32_t> stripByteCounts_;
  std::uint64_t rowBytes_ = 0;
  std::uint32_t row_ = 0;
  std::vector<std::uint8_t> rowBuffer_;
  int literal_ = 0;
  int repeat_ = 0;
  std::uint8_t repeatByte_ = 0;
};

// TIFF files the reader above refuses (grey and colour, LZW, Deflate, fax
// coding, ...), and those of more than one page, are read through libtiff.
class TiffOrLibtiffInput : public ConverterInput {
 public:
  int Open(FaxConverter& converter) override {
    auto own = std::make_unique<TiffInput>();
    const int rc = own->Open(converter);
    if (rc == ecOK && !own->MorePages()) {
      input_ = std::move(own);
      return ecOK;
    }
    own->Close(converter);
    if (rc != ecOK && rc != ecBadGraphicsFormat) return rc;
    input_ = MakeDecodedPictureInput(MakeTiffDecoder());
    return input_->Open(converter);
  }

  int ReadLine(FaxConverter& converter, ConverterLine& line) override { return input_->ReadLine(converter, line); }

  void Close(FaxConverter& converter) override {
    if (input_) input_->Close(converter);
  }

 private:
  std::unique_ptr<ConverterInput> input_;
};

// ---------------------------------------------------------------------------
// PCX and DCX

// One PCX image at some offset of a file: a 128-byte header and run-length
// coded rows, 1 bits white.
class PcxImage {
 public:
  static constexpr int kHeaderSize = 128;

  int Open(ByteReader& reader, std::int64_t offset, int pageWidth) {
    std::array<std::uint8_t, kHeaderSize> h{};
    if (reader.Seek(offset) != ecOK || reader.Read(h.data(), h.size()) != ecOK) return ecBadGraphicsFormat;
    const int xMin = Le16(&h[4]), yMin = Le16(&h[6]), xMax = Le16(&h[8]), yMax = Le16(&h[10]);
    const int planes = h[65];
    bytesPerLine_ = Le16(&h[66]);
    width_ = xMax - xMin + 1;
    rows_ = yMax - yMin + 1;
    if (h[0] != 10 || h[2] != 1 || h[3] != 1 || planes > 1 || xMax < xMin || yMax < yMin || width_ > pageWidth ||
        bytesPerLine_ < (width_ + 7) / 8) {
      return ecBadGraphicsFormat;
    }
    row_ = 0;
    repeat_ = 0;
    line_.assign(static_cast<std::size_t>(bytesPerLine_), 0);
    return ecOK;
  }

  int Width() const { return width_; }
  bool Done() const { return row_ >= rows_; }

  // Reads the next row into Line(): a byte of 192 or more gives a count
  // (byte AND 63) for the byte after it; other bytes are literal.
  int ReadRow(ByteReader& reader) {
    int at = 0;
    while (at < bytesPerLine_) {
      if (repeat_ > 0) {
        line_[static_cast<std::size_t>(at++)] = repeatByte_;
        --repeat_;
        continue;
      }
      const int c = reader.Next();
      if (c < 0) return c == -1 ? ecDeviceReadError : c;
      if (c >= 192) {
        const int value = reader.Next();
        if (value < 0) return value == -1 ? ecDeviceReadError : value;
        repeatByte_ = static_cast<std::uint8_t>(value);
        repeat_ = c & 63;
      } else {
        line_[static_cast<std::size_t>(at++)] = static_cast<std::uint8_t>(c);
      }
    }
    ++row_;
    return ecOK;
  }

  const std::vector<std::uint8_t>& Line() const { return line_; }

 private:
  int bytesPerLine_ = 0;
  int width_ = 0;
  int rows_ = 0;
  int row_ = 0;
  int repeat_ = 0;
  std::uint8_t repeatByte_ = 0;
  std::vector<std::uint8_t> line_;
};

int ReadPcxLine(FaxConverter& converter, ByteReader& reader, PcxImage& image, ConverterLine& line) {
  const std::int64_t before = reader.Position();
  if (int rc = image.ReadRow(reader); rc != ecOK) return rc;
  converter.AddBytesConverted(reader.Position() - before);
  // PCX 1 bits are white.
  line.length = converter.PlacePictureRow(image.Line().data(), image.Line().size(), image.Width(), true);
  return ecOK;
}

class PcxInput : public ConverterInput {
 public:
  int Open(FaxConverter& converter) override {
    if (int rc = reader_.Open(converter.InputName()); rc != ecOK) return rc;
    if (int rc = image_.Open(reader_, 0, converter.PageWidth()); rc != ecOK) return rc;
    converter.SetBytesToConvert(reader_.Size() - PcxImage::kHeaderSize);
    converter.PlacePicture(image_.Width());
    return ecOK;
  }

  int ReadLine(FaxConverter& converter, ConverterLine& line) override {
    if (image_.Done()) {
      line.endOfPage = true;
      return ecOK;
    }
    return ReadPcxLine(converter, reader_, image_, line);
  }

  void Close(FaxConverter&) override { reader_.Close(); }

 private:
  ByteReader reader_;
  PcxImage image_;
};

constexpr std::uint32_t kDcxSignature = 987654321;
constexpr int kDcxMaxPages = 1024;

class DcxInput : public ConverterInput {
 public:
  int Open(FaxConverter& converter) override {
    if (int rc = reader_.Open(converter.InputName()); rc != ecOK) return rc;
    std::array<std::uint8_t, 4> word{};
    if (reader_.Read(word.data(), 4) != ecOK || Le32(word.data()) != kDcxSignature) return ecBadGraphicsFormat;
    pages_.clear();
    for (;;) {
      if (reader_.Read(word.data(), 4) != ecOK) return ecBadGraphicsFormat;
      const std::uint32_t offset = Le32(word.data());
      if (offset == 0) break;
      if (pages_.size() == kDcxMaxPages) return ecBadGraphicsFormat;
      pages_.push_back(offset);
    }
    if (pages_.empty()) return ecBadGraphicsFormat;
    page_ = 0;
    if (int rc = image_.Open(reader_, pages_[0], converter.PageWidth()); rc != ecOK) return rc;
    converter.SetBytesToConvert(reader_.Size());
    converter.PlacePicture(image_.Width());
    return ecOK;
  }

  int ReadLine(FaxConverter& converter, ConverterLine& line) override {
    if (pageDone_) {
      pageDone_ = false;
      if (int rc = image_.Open(reader_, pages_[page_], converter.PageWidth()); rc != ecOK) return rc;
    }
    if (image_.Done()) {
      line.endOfPage = true;
      line.morePages = ++page_ < pages_.size();
      pageDone_ = line.morePages;
      return ecOK;
    }
    return ReadPcxLine(converter, reader_, image_, line);
  }

  void Close(FaxConverter&) override { reader_.Close(); }

 private:
  ByteReader reader_;
  PcxImage image_;
  std::vector<std::uint32_t> pages_;
  std::size_t page_ = 0;
  bool pageDone_ = false;
};

}  // namespace

std::unique_ptr<ConverterInput> MakeTiffInput() { return std::make_unique<TiffOrLibtiffInput>(); }
std::unique_ptr<ConverterInput> MakePcxInput() { return std::make_unique<PcxInput>(); }
std::unique_ptr<ConverterInput> MakeDcxInput() { return std::make_unique<DcxInput>(); }

}  // namespace tv
