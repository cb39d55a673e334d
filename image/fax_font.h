// The built-in fax fonts: two fonts of 256 characters each in one 16384-byte
// image (small: 16 bytes a character, 8 rows of 2 bytes, 12 pixels wide;
// large at offset 4096: 48 bytes, 16 rows of 3 bytes, 20 pixels wide). Rows
// are most significant bit first, a set bit is black. Codes are Latin-1 with
// Windows-1252 in 128..159.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tv {

inline constexpr std::size_t kFaxFontImageSize = 16384;
// Font selectors: bytes per character of each font as stored.
inline constexpr int kSmallFont = 16;
inline constexpr int kLargeFont = 48;

// A loaded font; at fine resolution every row is doubled.
class FaxFont {
 public:
  // selector kSmallFont or kLargeFont.
  FaxFont(int selector, bool fine);

  int Width() const { return width_; }  // pixels per character
  int Rows() const { return rows_; }    // rows per character as loaded
  int BytesPerRow() const { return bytesPerRow_; }

  // ORs glyph row `row` (from 1) of every character into `raster`, character
  // after character from pixel 0, within rasterBytes. A row above Rows()
  // draws nothing.
  void RenderRow(std::string_view text, int row, std::uint8_t* raster, std::size_t rasterBytes) const;

 private:
  int width_;
  int rows_;
  int bytesPerRow_;
  std::vector<std::uint8_t> glyphs_;  // 256 characters, rows_ x bytesPerRow_ each
};

// Text from a file, line by line, in the fonts' 8-bit character set. UTF-8
// text maps each character into that set ("?" where it has none); anything
// else is taken as Windows-1252 bytes unchanged.
std::string ToFaxCharset(std::string_view line, bool utf8);

// True when `bytes` holds only whole, well-formed UTF-8 sequences; a
// sequence cut off by the end counts as well-formed (the caller reads in
// chunks and passes the rest on).
bool IsUtf8(std::string_view bytes, std::size_t* incompleteTail = nullptr);

}  // namespace tv
