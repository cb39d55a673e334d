// The fax code's own bitmap: one bit per pixel, rows top first, pixel 0 in
// bit 0x80 of each row's first byte. As in a monochrome device-independent
// bitmap, a set bit is white paper and a clear bit is black ink; window code
// converts at its edge.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace tv {

class MonoBitmap {
 public:
  MonoBitmap() = default;
  // A white bitmap; rows take (width + 7) / 8 bytes.
  MonoBitmap(int width, int height);

  int Width() const { return width_; }
  int Height() const { return height_; }
  int RowBytes() const { return rowBytes_; }
  bool Empty() const { return width_ == 0 || height_ == 0; }

  std::span<std::uint8_t> Row(int y) { return {bits_.data() + static_cast<std::size_t>(y) * rowBytes_, static_cast<std::size_t>(rowBytes_)}; }
  std::span<const std::uint8_t> Row(int y) const {
    return {bits_.data() + static_cast<std::size_t>(y) * rowBytes_, static_cast<std::size_t>(rowBytes_)};
  }

  bool IsBlack(int x, int y) const { return (Row(y)[x >> 3] & (0x80 >> (x & 7))) == 0; }
  void SetPixel(int x, int y, bool black);

  // Copies `source` with its top-left corner at (x, y), clipped to this bitmap.
  void Draw(const MonoBitmap& source, int x, int y);
  // A copy scaled to newWidth x newHeight by nearest pixel.
  MonoBitmap Stretched(int newWidth, int newHeight) const;

 private:
  int width_ = 0;
  int height_ = 0;
  int rowBytes_ = 0;
  std::vector<std::uint8_t> bits_;
};

}  // namespace tv
