#include "image/fax_font.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace tv {

namespace {

constexpr std::uint8_t kFontImage[kFaxFontImageSize] = {
#include "image/fax_font_data.inc"
};

// Unicode of codes 128..159 in Windows-1252; 0 where the code page has none.
constexpr std::array<char32_t, 32> kCp1252High = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

char FaxCharFor(char32_t cp) {
  if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) return static_cast<char>(cp);
  for (std::size_t i = 0; i < kCp1252High.size(); ++i) {
    if (kCp1252High[i] == cp) return static_cast<char>(0x80 + i);
  }
  return '?';
}

// Length of the UTF-8 sequence starting with `lead`, 0 when it cannot start one.
int SequenceLength(unsigned char lead) {
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) return 2;
  if (lead >= 0xE0 && lead <= 0xEF) return 3;
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  return 0;
}

// Decodes one well-formed sequence; 0xFFFFFFFF when it is not one.
char32_t DecodeSequence(std::string_view s, std::size_t at, int length) {
  const auto byte = [&](int k) { return static_cast<unsigned char>(s[at + k]); };
  char32_t cp = length == 1 ? byte(0) : static_cast<char32_t>(byte(0) & (0x7F >> length));
  for (int k = 1; k < length; ++k) {
    if ((byte(k) & 0xC0) != 0x80) return 0xFFFFFFFF;
    cp = (cp << 6) | (byte(k) & 0x3F);
  }
  static constexpr char32_t kMin[5] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < kMin[length] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0xFFFFFFFF;
  return cp;
}

}  // namespace

FaxFont::FaxFont(int selector, bool fine) {
  const bool small = selector == kSmallFont;
  width_ = small ? 12 : 20;
  bytesPerRow_ = small ? 2 : 3;
  const int storedRows = small ? 8 : 16;
  const int offset = small ? 0 : 4096;
  const int repeat = fine ? 2 : 1;
  rows_ = storedRows * repeat;
  glyphs_.resize(static_cast<std::size_t>(256 * rows_ * bytesPerRow_));
  for (int c = 0; c < 256; ++c) {
    const std::uint8_t* from = kFontImage + offset + c * storedRows * bytesPerRow_;
    std::uint8_t* to = glyphs_.data() + static_cast<std::size_t>(c * rows_ * bytesPerRow_);
    for (int r = 0; r < rows_; ++r) {
      std::memcpy(to + r * bytesPerRow_, from + (r / repeat) * bytesPerRow_, static_cast<std::size_t>(bytesPerRow_));
    }
  }
}

void FaxFont::RenderRow(std::string_view text, int row, std::uint8_t* raster, std::size_t rasterBytes) const {
  if (row < 1 || row > rows_) return;
  int x = 0;
  for (const char ch : text) {
    const std::uint8_t* glyphRow = glyphs_.data() + static_cast<std::size_t>(
                                                        (static_cast<unsigned char>(ch) * rows_ + row - 1) * bytesPerRow_);
    for (int b = 0; b < bytesPerRow_; ++b) {
      const unsigned bits = glyphRow[b];
      if (bits == 0) continue;
      // Place the byte at pixel x + 8b, which may straddle two raster bytes.
      const int at = x + 8 * b;
      const std::size_t index = static_cast<std::size_t>(at >> 3);
      const int shift = at & 7;
      if (index < rasterBytes) raster[index] |= static_cast<std::uint8_t>(bits >> shift);
      if (shift != 0 && index + 1 < rasterBytes) raster[index + 1] |= static_cast<std::uint8_t>(bits << (8 - shift));
    }
    x += width_;
  }
}

bool IsUtf8(std::string_view bytes, std::size_t* incompleteTail) {
  if (incompleteTail) *incompleteTail = 0;
  std::size_t at = 0;
  while (at < bytes.size()) {
    const int length = SequenceLength(static_cast<unsigned char>(bytes[at]));
    if (length == 0) return false;
    if (at + static_cast<std::size_t>(length) > bytes.size()) {
      // Check the part that is there; the rest may follow in the next chunk.
      for (std::size_t k = at + 1; k < bytes.size(); ++k) {
        if ((static_cast<unsigned char>(bytes[k]) & 0xC0) != 0x80) return false;
      }
      if (incompleteTail) *incompleteTail = bytes.size() - at;
      return true;
    }
    if (DecodeSequence(bytes, at, length) == 0xFFFFFFFF) return false;
    at += static_cast<std::size_t>(length);
  }
  return true;
}

std::string ToFaxCharset(std::string_view line, bool utf8) {
  if (!utf8) return std::string(line);
  std::string out;
  out.reserve(line.size());
  std::size_t at = 0;
  while (at < line.size()) {
    const int length = SequenceLength(static_cast<unsigned char>(line[at]));
    const char32_t cp = (length == 0 || at + static_cast<std::size_t>(length) > line.size())
                            ? 0xFFFFFFFF
                            : DecodeSequence(line, at, length);
    if (cp == 0xFFFFFFFF) {
      out += '?';
      ++at;
      continue;
    }
    out += FaxCharFor(cp);
    at += static_cast<std::size_t>(length);
  }
  return out;
}

}  // namespace tv
