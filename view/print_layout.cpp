#include "view/print_layout.h"

#include <algorithm>
#include <cstdint>

namespace tv {

namespace {

constexpr int kCellInset = 2;
constexpr int kRuleGap = 2;  // rows between a band and its rule

int MulDiv(int a, int b, int c) { return c == 0 ? 0 : static_cast<int>(std::int64_t{a} * b / c); }

}  // namespace

int PrintSheetLayout::PagesPerSheet() const { return !multiPage ? 1 : landscape ? 2 : 4; }

bool PrintSheetLayout::StartsSheet(int index) const { return index > 0 && index % PagesPerSheet() == 0; }

PixelRect PrintSheetLayout::Cell(int index) const {
  const int columns = multiPage ? 2 : 1;
  const int rows = PagesPerSheet() / columns;
  const int slot = index % PagesPerSheet();
  const int width = pageWidth / columns;
  const int height = pageHeight / rows;
  const int left = (slot % columns) * width;
  const int top = (slot / columns) * height;
  return {left + kCellInset, top + kCellInset, left + width - 1 - kCellInset, top + height - 1 - kCellInset};
}

PixelRect TakeHeaderBand(PixelRect& cell, int textHeight, int& ruleY) {
  const PixelRect band{cell.left, cell.top, cell.right, cell.top + textHeight - 1};
  ruleY = cell.top + textHeight + kRuleGap;
  cell.top = ruleY + 1;
  return band;
}

PixelRect TakeFooterBand(PixelRect& cell, int textHeight, int& ruleY) {
  const PixelRect band{cell.left, cell.bottom - textHeight + 1, cell.right, cell.bottom};
  ruleY = cell.bottom - textHeight - kRuleGap;
  cell.bottom = ruleY - 1;
  return band;
}

PrintSize PrintedSize(int bitmapWidth, int bitmapHeight, const PixelRect& cell, TFaxPrintScale scale) {
  const int cellWidth = std::max(cell.Width(), 0);
  const int cellHeight = std::max(cell.Height(), 0);
  if (bitmapWidth <= 0 || bitmapHeight <= 0) return {};
  if (scale == TFaxPrintScale::psNone) return {std::min(bitmapWidth, cellWidth), std::min(bitmapHeight, cellHeight)};
  const int widthAtFullHeight = MulDiv(bitmapWidth, cellHeight, bitmapHeight);
  if (widthAtFullHeight <= cellWidth) return {widthAtFullHeight, cellHeight};
  return {cellWidth, MulDiv(bitmapHeight, cellWidth, bitmapWidth)};
}

}  // namespace tv
