// gen_fax_font: draws the two built-in fax fonts from a scalable font and
// writes them as the 16384-byte font image the converter embeds.
//
//   gen_fax_font FONT.ttf OUTPUT.inc
//
// The glyphs are rasterised at the fax's own pixel geometry (204 pixels per
// inch across, 98 rows per inch down, the standard resolution), so they keep
// their shape on paper; the converter doubles the rows for fine resolution.
// Codes 32..126 and 160..255 are Latin-1, 128..159 are Windows-1252; the rest
// stay blank. Run by hand; the output is committed as image/fax_font_data.inc,
// beside the converter that embeds it.
//
// Build: g++ -O2 -std=c++20 gen_fax_font.cpp $(pkg-config --cflags --libs freetype2)
#include <ft2build.h>
#include FT_FREETYPE_H

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <vector>

namespace {

constexpr int kHorizDpi = 204;
constexpr int kVertDpi = 98;

// Unicode of codes 128..159 in Windows-1252; 0 where the code page has none.
constexpr std::array<char32_t, 32> kCp1252High = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

char32_t CodePoint(int code) {
  if (code >= 32 && code <= 126) return static_cast<char32_t>(code);
  if (code >= 160) return static_cast<char32_t>(code);
  if (code >= 128 && code <= 159) return kCp1252High[code - 128];
  return 0;
}

struct FontShape {
  int width;        // cell width in pixels
  int rows;         // cell height in rows
  int bytesPerRow;  // row storage
  int offset;       // in the font image
  double points;    // rendered size
  int baseline;     // rows from the cell top to the baseline
};

void DrawFont(FT_Face face, const FontShape& shape, std::vector<std::uint8_t>& image) {
  FT_Set_Char_Size(face, 0, static_cast<FT_F26Dot6>(shape.points * 64), kHorizDpi, kVertDpi);
  const int glyphBytes = shape.rows * shape.bytesPerRow;
  for (int code = 0; code < 256; ++code) {
    const char32_t cp = CodePoint(code);
    if (cp == 0 || cp == U' ') continue;
    const FT_UInt index = FT_Get_Char_Index(face, cp);
    if (index == 0) {
      std::cerr << "no glyph for U+" << std::hex << static_cast<unsigned>(cp) << std::dec << "\n";
      continue;
    }
    if (FT_Load_Glyph(face, index, FT_LOAD_RENDER | FT_LOAD_TARGET_MONO) != 0) continue;
    const FT_GlyphSlot slot = face->glyph;
    const FT_Bitmap& bm = slot->bitmap;
    // Centre the advance in the cell.
    const int advance = static_cast<int>(slot->advance.x >> 6);
    const int left = (shape.width - advance) / 2 + slot->bitmap_left;
    // Accents over capitals may stand above the cell; such a glyph moves down
    // as far as the room under it allows, so the accent stays visible.
    int top = shape.baseline - slot->bitmap_top;
    if (top < 0) {
      const int roomBelow = shape.rows - (top + static_cast<int>(bm.rows));
      if (roomBelow > 0) top += std::min(-top, roomBelow);
    }
    std::uint8_t* glyph = &image[shape.offset + code * glyphBytes];
    for (unsigned y = 0; y < bm.rows; ++y) {
      const int row = top + static_cast<int>(y);
      if (row < 0 || row >= shape.rows) continue;
      for (unsigned x = 0; x < bm.width; ++x) {
        const int col = left + static_cast<int>(x);
        if (col < 0 || col >= shape.width) continue;
        if (bm.buffer[y * bm.pitch + x / 8] & (0x80 >> (x % 8))) {
          glyph[row * shape.bytesPerRow + col / 8] |= static_cast<std::uint8_t>(0x80 >> (col % 8));
        }
      }
    }
  }
}

// Monochrome hinting at 204 x 98 dpi draws the steep diagonals of these
// large glyphs five or six pixels wide, twice every other stroke, so that
// they stand out of every line of text: they are drawn by hand instead,
// with the three-pixel strokes of the rest of the font. Rows from the top
// of the 20 x 16 cell.
struct HandDrawnGlyph {
  char code;
  int top;
  std::array<const char*, 9> rows;
};
constexpr std::array<HandDrawnGlyph, 4> kHandDrawnLarge = {{
    {'x', 5, {"...###........###...", "....###......###....", "......###..###......", "........####........",
              "......###..###......", "....###......###....", "...###........###...", nullptr, nullptr}},
    {'X', 3, {"...###........###...", "....###......###....", ".....###....###.....", "......###..###......",
              "........####........", "......###..###......", ".....###....###.....", "....###......###....",
              "...###........###..."}},
    {'z', 5, {"....############....", "............###.....", "..........###.......", "........###.........",
              "......###...........", "....###.............", "...##############...", nullptr, nullptr}},
    {'Z', 3, {"...##############...", "............###.....", "...........###......", ".........###........",
              "........###.........", "......###...........", ".....###............", "...###..............",
              "..################.."}},
}};

void DrawByHand(const FontShape& shape, const HandDrawnGlyph& hand, std::vector<std::uint8_t>& image) {
  std::uint8_t* glyph = &image[shape.offset + static_cast<unsigned char>(hand.code) * shape.rows * shape.bytesPerRow];
  std::fill_n(glyph, shape.rows * shape.bytesPerRow, 0);
  for (std::size_t y = 0; y < hand.rows.size() && hand.rows[y]; ++y) {
    for (int x = 0; x < shape.width; ++x) {
      if (hand.rows[y][x] == '#') {
        glyph[(hand.top + static_cast<int>(y)) * shape.bytesPerRow + x / 8] |= static_cast<std::uint8_t>(0x80 >> (x % 8));
      }
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: gen_fax_font FONT.ttf OUTPUT.inc\n";
    return 2;
  }
  FT_Library library;
  FT_Face face;
  if (FT_Init_FreeType(&library) != 0 || FT_New_Face(library, argv[1], 0, &face) != 0) {
    std::cerr << "cannot load " << argv[1] << "\n";
    return 1;
  }
  std::vector<std::uint8_t> image(16384, 0);
  DrawFont(face, {12, 8, 2, 0, 5.5, 6}, image);
  const FontShape large = {20, 16, 3, 4096, 10.5, 12};
  DrawFont(face, large, image);
  for (const HandDrawnGlyph& hand : kHandDrawnLarge) DrawByHand(large, hand, image);

  std::ofstream out(argv[2]);
  out << "// Generated by tools/fax_font/gen_fax_font from Liberation Mono; do not edit.\n";
  for (std::size_t i = 0; i < image.size(); ++i) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02x,", image[i]);
    out << text << ((i % 16 == 15) ? "\n" : "");
  }
  return out ? 0 : 1;
}
