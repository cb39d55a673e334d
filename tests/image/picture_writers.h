// Minimal writers of the picture formats the converter reads, for tests that
// need exact control of the bytes. Pictures are given as rows of pixels,
// true = black.
#pragma once

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

namespace tv::test {

struct Picture {
  int width = 0;
  std::vector<std::vector<bool>> rows;

  int Height() const { return static_cast<int>(rows.size()); }
  bool Black(int x, int y) const { return rows[static_cast<std::size_t>(y)][static_cast<std::size_t>(x)]; }

  // A deterministic test pattern: a frame, a diagonal and some dots.
  static Picture Pattern(int width, int height) {
    Picture p;
    p.width = width;
    for (int y = 0; y < height; ++y) {
      std::vector<bool> row(static_cast<std::size_t>(width));
      for (int x = 0; x < width; ++x) {
        row[static_cast<std::size_t>(x)] = x == 0 || y == 0 || x == width - 1 || y == height - 1 ||
                                           x == y * width / height || (x * 7 + y * 13) % 31 == 0;
      }
      p.rows.push_back(row);
    }
    return p;
  }

  // Packed rows, most significant bit first, 1 = black (or white).
  std::vector<std::uint8_t> PackedRow(int y, bool oneIsBlack, std::size_t bytes) const {
    std::vector<std::uint8_t> out(bytes, oneIsBlack ? 0x00 : 0xFF);
    for (int x = 0; x < width; ++x) {
      if (Black(x, y) == oneIsBlack) {
        out[static_cast<std::size_t>(x / 8)] |= static_cast<std::uint8_t>(0x80 >> (x % 8));
      } else {
        out[static_cast<std::size_t>(x / 8)] &= static_cast<std::uint8_t>(~(0x80 >> (x % 8)));
      }
    }
    return out;
  }
};

class ByteWriter {
 public:
  explicit ByteWriter(bool bigEndian = false) : big_(bigEndian) {}
  void U8(unsigned v) { bytes.push_back(static_cast<std::uint8_t>(v)); }
  void U16(unsigned v) {
    if (big_) {
      U8(v >> 8);
      U8(v);
    } else {
      U8(v);
      U8(v >> 8);
    }
  }
  void U32(std::uint32_t v) {
    if (big_) {
      U16(v >> 16);
      U16(v & 0xFFFF);
    } else {
      U16(v & 0xFFFF);
      U16(v >> 16);
    }
  }
  void Bytes(const std::vector<std::uint8_t>& b) { bytes.insert(bytes.end(), b.begin(), b.end()); }
  void Save(const std::string& file) const {
    std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                static_cast<std::streamsize>(bytes.size()));
  }
  std::vector<std::uint8_t> bytes;

 private:
  bool big_;
};

inline std::vector<std::uint8_t> PackBits(const std::vector<std::uint8_t>& row) {
  std::vector<std::uint8_t> out;
  std::size_t i = 0;
  while (i < row.size()) {
    std::size_t run = 1;
    while (i + run < row.size() && run < 128 && row[i + run] == row[i]) ++run;
    if (run >= 2) {
      out.push_back(static_cast<std::uint8_t>(257 - run));
      out.push_back(row[i]);
      i += run;
    } else {
      std::size_t lit = 1;
      while (i + lit < row.size() && lit < 128 && (i + lit + 1 >= row.size() || row[i + lit] != row[i + lit + 1])) ++lit;
      out.push_back(static_cast<std::uint8_t>(lit - 1));
      out.insert(out.end(), row.begin() + static_cast<long>(i), row.begin() + static_cast<long>(i + lit));
      i += lit;
    }
  }
  return out;
}

// A 1-bit TIFF with one strip per `rowsPerStrip` rows.
inline std::uint8_t Reversed(std::uint8_t b) {
  std::uint8_t r = 0;
  for (int i = 0; i < 8; ++i) r = static_cast<std::uint8_t>(r | (((b >> i) & 1) << (7 - i)));
  return r;
}

// lsbFirst: fill order 2, pixel 0 in the least significant bit.
inline std::vector<std::uint8_t> TiffBytes(const Picture& p, bool bigEndian, bool packBits, int photometric,
                                           int compression = 0, int rowsPerStrip = 7, bool lsbFirst = false) {
  ByteWriter w(bigEndian);
  const std::size_t rowBytes = static_cast<std::size_t>((p.width + 7) / 8);
  std::vector<std::vector<std::uint8_t>> strips;
  for (int y = 0; y < p.Height(); y += rowsPerStrip) {
    std::vector<std::uint8_t> strip;
    for (int r = y; r < std::min(p.Height(), y + rowsPerStrip); ++r) {
      auto row = p.PackedRow(r, photometric == 0, rowBytes);
      if (lsbFirst) {
        for (auto& b : row) b = Reversed(b);
      }
      if (packBits) row = PackBits(row);
      strip.insert(strip.end(), row.begin(), row.end());
    }
    strips.push_back(strip);
  }
  w.U8(bigEndian ? 'M' : 'I');
  w.U8(bigEndian ? 'M' : 'I');
  w.U16(42);
  w.U32(8);
  const std::uint32_t entries = 10;
  const std::uint32_t dirEnd = 8 + 2 + entries * 12 + 4;
  const std::uint32_t offsetsAt = dirEnd;
  const std::uint32_t countsAt = offsetsAt + 4 * static_cast<std::uint32_t>(strips.size());
  std::uint32_t dataAt = countsAt + 4 * static_cast<std::uint32_t>(strips.size());
  w.U16(entries);
  auto entry = [&](unsigned tag, unsigned type, std::uint32_t count, std::uint32_t value) {
    w.U16(tag);
    w.U16(type);
    w.U32(count);
    if (type == 3 && count == 1) {
      w.U16(value);
      w.U16(0);
    } else {
      w.U32(value);
    }
  };
  entry(254, 4, 1, 0);
  entry(256, 3, 1, static_cast<std::uint32_t>(p.width));
  entry(257, 4, 1, static_cast<std::uint32_t>(p.Height()));
  entry(258, 3, 1, 1);
  entry(259, 3, 1, compression != 0 ? static_cast<std::uint32_t>(compression) : packBits ? 32773u : 1u);
  entry(262, 3, 1, static_cast<std::uint32_t>(photometric));
  entry(266, 3, 1, lsbFirst ? 2u : 1u);
  entry(273, 4, static_cast<std::uint32_t>(strips.size()), strips.size() == 1 ? dataAt : offsetsAt);
  entry(278, 3, 1, static_cast<std::uint32_t>(rowsPerStrip));
  std::uint32_t firstCount = static_cast<std::uint32_t>(strips[0].size());
  entry(279, 4, static_cast<std::uint32_t>(strips.size()), strips.size() == 1 ? firstCount : countsAt);
  w.U32(0);
  for (const auto& s : strips) {
    w.U32(dataAt);
    dataAt += static_cast<std::uint32_t>(s.size());
  }
  for (const auto& s : strips) w.U32(static_cast<std::uint32_t>(s.size()));
  for (const auto& s : strips) w.Bytes(s);
  return w.bytes;
}

inline std::vector<std::uint8_t> PcxBytes(const Picture& p) {
  ByteWriter w;
  const int bytesPerLine = ((p.width + 15) / 16) * 2;
  w.U8(10);
  w.U8(5);
  w.U8(1);
  w.U8(1);
  w.U16(0);
  w.U16(0);
  w.U16(static_cast<unsigned>(p.width - 1));
  w.U16(static_cast<unsigned>(p.Height() - 1));
  w.U16(200);
  w.U16(200);
  for (int i = 0; i < 48; ++i) w.U8(0);
  w.U8(0);
  w.U8(1);
  w.U16(static_cast<unsigned>(bytesPerLine));
  w.U16(1);
  while (w.bytes.size() < 128) w.U8(0);
  for (int y = 0; y < p.Height(); ++y) {
    // PCX: 1 = white; the padding holds 0 bits, as real encoders write.
    auto row = p.PackedRow(y, false, static_cast<std::size_t>(bytesPerLine));
    for (int x = p.width; x < bytesPerLine * 8; ++x) row[static_cast<std::size_t>(x / 8)] &= static_cast<std::uint8_t>(~(0x80 >> (x % 8)));
    std::size_t i = 0;
    while (i < row.size()) {
      std::size_t run = 1;
      while (i + run < row.size() && run < 63 && row[i + run] == row[i]) ++run;
      if (run > 1 || row[i] >= 192) {
        w.U8(static_cast<unsigned>(192 + run));
        w.U8(row[i]);
      } else {
        w.U8(row[i]);
      }
      i += run;
    }
  }
  return w.bytes;
}

inline std::vector<std::uint8_t> DcxBytes(const std::vector<Picture>& pages) {
  ByteWriter w;
  w.U32(987654321);
  std::vector<std::vector<std::uint8_t>> images;
  for (const Picture& p : pages) images.push_back(PcxBytes(p));
  std::uint32_t at = 4 + 4 * static_cast<std::uint32_t>(pages.size() + 1);
  for (const auto& image : images) {
    w.U32(at);
    at += static_cast<std::uint32_t>(image.size());
  }
  w.U32(0);
  for (const auto& image : images) w.Bytes(image);
  return w.bytes;
}

// A BMP, bottom row first. bits 1: palette black, white; bits 24: grey
// levels given per pixel by `grey` (0..255).
inline std::vector<std::uint8_t> BmpBytes(const Picture& p, int bits, int (*grey)(int x, int y) = nullptr) {
  ByteWriter w;
  const std::uint32_t stride = ((static_cast<std::uint32_t>(p.width) * static_cast<std::uint32_t>(bits) + 31) / 32) * 4;
  const std::uint32_t paletteSize = bits == 1 ? 8 : 0;
  const std::uint32_t dataAt = 54 + paletteSize;
  w.U8('B');
  w.U8('M');
  w.U32(dataAt + stride * static_cast<std::uint32_t>(p.Height()));
  w.U32(0);
  w.U32(dataAt);
  w.U32(40);
  w.U32(static_cast<std::uint32_t>(p.width));
  w.U32(static_cast<std::uint32_t>(p.Height()));
  w.U16(1);
  w.U16(static_cast<unsigned>(bits));
  w.U32(0);
  w.U32(0);
  w.U32(2835);
  w.U32(2835);
  w.U32(bits == 1 ? 2 : 0);
  w.U32(0);
  if (bits == 1) {
    w.U32(0x00000000);
    w.U32(0x00FFFFFF);
  }
  for (int y = p.Height() - 1; y >= 0; --y) {
    std::vector<std::uint8_t> row(stride, 0);
    for (int x = 0; x < p.width; ++x) {
      if (bits == 1) {
        if (!p.Black(x, y)) row[static_cast<std::size_t>(x / 8)] |= static_cast<std::uint8_t>(0x80 >> (x % 8));
      } else {
        const auto g = static_cast<std::uint8_t>(grey ? grey(x, y) : (p.Black(x, y) ? 0 : 255));
        row[static_cast<std::size_t>(x * 3)] = row[static_cast<std::size_t>(x * 3 + 1)] = row[static_cast<std::size_t>(x * 3 + 2)] = g;
      }
    }
    w.Bytes(row);
  }
  return w.bytes;
}

inline void SaveBytes(const std::string& file, const std::vector<std::uint8_t>& bytes) {
  std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                              static_cast<std::streamsize>(bytes.size()));
}

}  // namespace tv::test
