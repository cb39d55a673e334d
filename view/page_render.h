// Turning a page bitmap by quarter turns, and rendering the part of a zoomed
// page that a window shows as ink coverage, one byte per pixel.
#pragma once

#include <cstdint>
#include <span>

#include "image/mono_bitmap.h"
#include "view/view_geometry.h"

namespace tv {

// The page turned clockwise by `quarterTurns` (taken modulo 4): one turn
// makes row 0 the rightmost column, two reverse the rows and mirror each,
// three make row 0 the leftmost column read from the bottom.
MonoBitmap TurnQuarters(const MonoBitmap& page, int quarterTurns);

// Renders the shown pixels `area` of `turned` zoomed by `scale` into `out`
// (area.Height() rows of `stride` bytes, area.Width() used in each): 0 is
// bare paper and 255 full ink. A shown pixel covers turned pixels
// [s x div / mult, (s + 1) x div / mult) on each axis, so a reduction gives
// each pixel the share of ink in its area: thin strokes fade rather than
// vanish. At 1:1 every pixel is 0 or 255. `area` must lie inside the shown
// page.
void RenderInk(const MonoBitmap& turned, const ViewScale& scale, const PixelRect& area, std::span<std::uint8_t> out,
               int stride);

}  // namespace tv
