#include "image/mono_bitmap.h"

#include <algorithm>

namespace tv {

MonoBitmap::MonoBitmap(int width, int height)
    : width_(std::max(width, 0)), height_(std::max(height, 0)), rowBytes_((width_ + 7) / 8) {
  bits_.assign(static_cast<std::size_t>(rowBytes_) * static_cast<std::size_t>(height_), 0xFF);
}

void MonoBitmap::SetPixel(int x, int y, bool black) {
  if (x < 0 || y < 0 || x >= width_ || y >= height_) return;
  std::uint8_t& byte = Row(y)[x >> 3];
  const auto mask = static_cast<std::uint8_t>(0x80 >> (x & 7));
  byte = black ? static_cast<std::uint8_t>(byte & ~mask) : static_cast<std::uint8_t>(byte | mask);
}

void MonoBitmap::Draw(const MonoBitmap& source, int x, int y) {
  for (int sy = 0; sy < source.height_; ++sy) {
    const int ty = y + sy;
    if (ty < 0 || ty >= height_) continue;
    if (x == 0 && source.width_ <= width_) {
      // Whole bytes, then the bits of the last one.
      auto from = source.Row(sy);
      auto to = Row(ty);
      const int full = source.width_ / 8;
      std::copy(from.begin(), from.begin() + full, to.begin());
      for (int sx = full * 8; sx < source.width_; ++sx) SetPixel(sx, ty, source.IsBlack(sx, sy));
      continue;
    }
    for (int sx = 0; sx < source.width_; ++sx) SetPixel(x + sx, ty, source.IsBlack(sx, sy));
  }
}

MonoBitmap MonoBitmap::Stretched(int newWidth, int newHeight) const {
  MonoBitmap out(newWidth, newHeight);
  if (Empty()) return out;
  for (int y = 0; y < out.height_; ++y) {
    const int sy = static_cast<int>(static_cast<std::int64_t>(y) * height_ / out.height_);
    for (int x = 0; x < out.width_; ++x) {
      const int sx = static_cast<int>(static_cast<std::int64_t>(x) * width_ / out.width_);
      if (IsBlack(sx, sy)) out.SetPixel(x, y, true);
    }
  }
  return out;
}

}  // namespace tv
