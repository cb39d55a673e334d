#include "view/page_render.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

namespace tv {

namespace {

constexpr std::uint8_t kWhiteByte = 0xFF;

constexpr std::array<std::uint8_t, 256> kReversedBits = [] {
  std::array<std::uint8_t, 256> table{};
  for (int b = 0; b < 256; ++b) {
    int r = 0;
    for (int bit = 0; bit < 8; ++bit) r |= ((b >> bit) & 1) << (7 - bit);
    table[b] = static_cast<std::uint8_t>(r);
  }
  return table;
}();

// Transposes an 8 x 8 block of bits: row j is byte j of the word counted from
// the most significant end, column k is bit 7 - k of each byte.
std::uint64_t Transpose8(std::uint64_t x) {
  std::uint64_t t = (x ^ (x >> 7)) & 0x00AA00AA00AA00AAull;
  x ^= t ^ (t << 7);
  t = (x ^ (x >> 14)) & 0x0000CCCC0000CCCCull;
  x ^= t ^ (t << 14);
  t = (x ^ (x >> 28)) & 0x00000000F0F0F0F0ull;
  x ^= t ^ (t << 28);
  return x;
}

// out(x, y) = page(y', x') with x' = x or height - 1 - x (flipColumns) and
// y' = y or width - 1 - y (flipRows), eight by eight pixels at a time.
MonoBitmap Transposed(const MonoBitmap& page, bool flipColumns, bool flipRows) {
  const int width = page.Width();
  const int height = page.Height();
  MonoBitmap out(height, width);
  for (int x0 = 0; x0 < height; x0 += 8) {
    std::array<const std::uint8_t*, 8> rows{};
    for (int j = 0; j < 8; ++j) {
      const int x = x0 + j;
      rows[j] = x < height ? page.Row(flipColumns ? height - 1 - x : x).data() : nullptr;
    }
    for (int byte = 0; byte < page.RowBytes(); ++byte) {
      std::uint64_t block = 0;
      for (int j = 0; j < 8; ++j) block = (block << 8) | (rows[j] ? rows[j][byte] : kWhiteByte);
      if (block == ~std::uint64_t{0}) continue;  // white stays white
      block = Transpose8(block);
      for (int k = 0; k < 8; ++k) {
        const int y = byte * 8 + k;
        if (y >= width) break;
        out.Row(flipRows ? width - 1 - y : y)[x0 / 8] = static_cast<std::uint8_t>(block >> (56 - 8 * k));
      }
    }
  }
  return out;
}

// Mirrors every row and reverses their order.
MonoBitmap HalfTurned(const MonoBitmap& page) {
  const int width = page.Width();
  const int rowBytes = page.RowBytes();
  const int pad = rowBytes * 8 - width;  // unused bits at the end of each row
  MonoBitmap out(width, page.Height());
  std::vector<std::uint8_t> reversed(static_cast<std::size_t>(rowBytes) + 1, kWhiteByte);
  for (int y = 0; y < page.Height(); ++y) {
    const auto in = page.Row(y);
    for (int i = 0; i < rowBytes; ++i) reversed[i] = kReversedBits[in[rowBytes - 1 - i]];
    // The padding bits came first; move the row left over them.
    auto to = out.Row(page.Height() - 1 - y);
    for (int i = 0; i < rowBytes; ++i) {
      to[i] = pad == 0 ? reversed[i]
                       : static_cast<std::uint8_t>((reversed[i] << pad) | (reversed[i + 1] >> (8 - pad)));
    }
  }
  return out;
}

// For each shown pixel of one axis, which turned pixels it covers and by how
// much: turned pixel p spans units [p x mult, (p + 1) x mult), shown pixel s
// spans [s x div, (s + 1) x div).
struct AxisSpan {
  int first;  // first turned pixel covered
  int last;   // last turned pixel covered
};

AxisSpan Span(int shown, int mult, int div) {
  const std::int64_t from = std::int64_t{shown} * div;
  const std::int64_t to = from + div;  // exclusive
  return {static_cast<int>(from / mult), static_cast<int>((to - 1) / mult)};
}

int Overlap(int turned, int shown, int mult, int div) {
  const std::int64_t a = std::max(std::int64_t{turned} * mult, std::int64_t{shown} * div);
  const std::int64_t b = std::min(std::int64_t{turned + 1} * mult, std::int64_t{shown + 1} * div);
  return static_cast<int>(std::max<std::int64_t>(b - a, 0));
}

void RenderOneToOne(const MonoBitmap& turned, const PixelRect& area, std::span<std::uint8_t> out, int stride) {
  for (int y = 0; y < area.Height(); ++y) {
    const auto row = turned.Row(area.top + y);
    std::uint8_t* to = out.data() + static_cast<std::size_t>(y) * stride;
    for (int x = 0; x < area.Width(); ++x) {
      const int px = area.left + x;
      to[x] = (row[px >> 3] & (0x80 >> (px & 7))) ? 0 : 255;
    }
  }
}

}  // namespace

MonoBitmap TurnQuarters(const MonoBitmap& page, int quarterTurns) {
  switch (((quarterTurns % 4) + 4) % 4) {
    case 1: return Transposed(page, true, false);
    case 2: return HalfTurned(page);
    case 3: return Transposed(page, false, true);
    default: return page;
  }
}

void RenderInk(const MonoBitmap& turned, const ViewScale& scale, const PixelRect& area, std::span<std::uint8_t> out,
               int stride) {
  if (area.Empty()) return;
  if (scale.OneToOne()) {
    RenderOneToOne(turned, area, out, stride);
    return;
  }
  const int width = area.Width();
  std::vector<std::int64_t> rowInk(static_cast<std::size_t>(width));
  std::vector<std::int64_t> ink(static_cast<std::size_t>(width));
  const std::int64_t full = std::int64_t{scale.horizDiv} * scale.vertDiv;
  const AxisSpan columns{Span(area.left, scale.horizMult, scale.horizDiv).first,
                         std::min(Span(area.right, scale.horizMult, scale.horizDiv).last, turned.Width() - 1)};

  for (int y = 0; y < area.Height(); ++y) {
    const int shownY = area.top + y;
    std::fill(ink.begin(), ink.end(), 0);
    const AxisSpan rows = Span(shownY, scale.vertMult, scale.vertDiv);
    for (int ty = rows.first; ty <= std::min(rows.last, turned.Height() - 1); ++ty) {
      const int rowWeight = Overlap(ty, shownY, scale.vertMult, scale.vertDiv);
      std::fill(rowInk.begin(), rowInk.end(), 0);
      bool any = false;
      const auto row = turned.Row(ty);
      for (int byte = columns.first / 8; byte <= columns.last / 8; ++byte) {
        if (row[byte] == kWhiteByte) continue;
        for (int tx = std::max(byte * 8, columns.first); tx <= std::min(byte * 8 + 7, columns.last); ++tx) {
          if (row[byte] & (0x80 >> (tx & 7))) continue;
          // The shown pixels this black pixel falls in.
          const int from = std::max(static_cast<int>(std::int64_t{tx} * scale.horizMult / scale.horizDiv), area.left);
          const int to = std::min(
              static_cast<int>((std::int64_t{tx + 1} * scale.horizMult - 1) / scale.horizDiv), area.right);
          for (int sx = from; sx <= to; ++sx) rowInk[sx - area.left] += Overlap(tx, sx, scale.horizMult, scale.horizDiv);
          any = true;
        }
      }
      if (!any) continue;
      for (int x = 0; x < width; ++x) ink[x] += rowInk[x] * rowWeight;
    }
    std::uint8_t* to = out.data() + static_cast<std::size_t>(y) * stride;
    for (int x = 0; x < width; ++x) to[x] = static_cast<std::uint8_t>((ink[x] * 255 + full / 2) / full);
  }
}

}  // namespace tv
