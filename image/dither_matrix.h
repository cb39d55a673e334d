// The ordered-dither thresholds used to turn colour pictures into black and
// white: a 16 x 16 table of values 0..124.
#pragma once

#include <array>
#include <cstdint>

namespace tv {

class TDitherMatrix {
 public:
  constexpr TDitherMatrix() {
    for (int i = 0; i < 16; ++i) {
      for (int j = 0; j < 16; ++j) {
        // Four steps over the low bits of i and j, least significant first;
        // the three terms are OR-ed, not added.
        std::uint32_t r = 0;
        for (int k = 0; k < 4; ++k) {
          const std::uint32_t ik = (i >> k) & 1;
          const std::uint32_t jk = (j >> k) & 1;
          r = (2 * r) | (2 * (ik ^ jk)) | jk;
        }
        entries_[i][j] = 4 * r;
      }
    }
  }

  constexpr std::uint32_t operator()(int i, int j) const { return entries_[i & 15][j & 15]; }

  // A pixel at (x, y) with grey level (R + G + B) / 3 is white when the
  // threshold at (x mod 16, y mod 16) lies below it.
  constexpr bool White(int x, int y, int grey) const { return static_cast<int>((*this)(x, y)) < grey; }

 private:
  std::array<std::array<std::uint32_t, 16>, 16> entries_{};
};

}  // namespace tv
