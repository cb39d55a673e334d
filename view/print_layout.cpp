#include "view/print_layout.h"

#include <algorithm>
#include <cmath>
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

PrintSize PrintedSize(int bitmapWidth, int bitmapHeight, const PixelRect& cell, TFaxPrintScale scale,
                      const PrintMeasure& measure) {
  const int cellWidth = std::max(cell.Width(), 0);
  const int cellHeight = std::max(cell.Height(), 0);
  if (bitmapWidth <= 0 || bitmapHeight <= 0) return {};
  switch (scale) {
    case TFaxPrintScale::psNone:
      return {std::min(bitmapWidth, cellWidth), std::min(bitmapHeight, cellHeight)};
    case TFaxPrintScale::psPhysicalSize: {
      constexpr double kFaxPixelsPerInch = 204;
      constexpr double kFaxRowsPerInch = 196;
      const double across = measure.printerDpiX / kFaxPixelsPerInch;
      const double down = measure.printerDpiY / kFaxRowsPerInch;
      const double pageWidth = std::max(bitmapWidth, measure.faxPageWidth) * across;
      const double pageHeight = bitmapHeight * down;
      if (pageWidth <= 0 || pageHeight <= 0) return {};
      const double reduce = std::min({1.0, cellWidth / pageWidth, cellHeight / pageHeight});
      return {static_cast<int>(std::lround(bitmapWidth * across * reduce)),
              static_cast<int>(std::lround(bitmapHeight * down * reduce))};
    }
    case TFaxPrintScale::psFitToPage:
      break;
  }
  const int widthAtFullHeight = MulDiv(bitmapWidth, cellHeight, bitmapHeight);
  if (widthAtFullHeight <= cellWidth) return {widthAtFullHeight, cellHeight};
  return {cellWidth, MulDiv(bitmapHeight, cellWidth, bitmapWidth)};
}

}  // namespace tv
