// Where the fax pages of a print job go: which page starts a new sheet, the
// part of the sheet each page gets (four to a portrait sheet, two to a
// landscape one when several pages share a sheet), the header and footer
// bands, and the size a page bitmap is drawn at. All in printer pixels.
#pragma once

#include "view/view_geometry.h"

namespace tv {

// psPhysicalSize: the page at its real size on paper, reduced only where it
// does not fit; psFitToPage: scaled to fill the cell; psNone: pixel for pixel.
enum class TFaxPrintScale { psNone, psFitToPage, psPhysicalSize };

struct PrintSheetLayout {
  int pageWidth = 0;   // printer pixels of the printable area
  int pageHeight = 0;
  bool multiPage = false;
  bool landscape = false;

  // Pages per sheet: 1, or 4 in portrait and 2 in landscape with multiPage.
  int PagesPerSheet() const;
  // Whether the job's page `index` (0 for the first page printed) begins a
  // new sheet; the first page goes on the sheet the job starts with.
  bool StartsSheet(int index) const;
  // The part of the sheet for page `index`, 2 pixels inside its share.
  PixelRect Cell(int index) const;
};

// A header band of `textHeight` rows at the top of `cell`: returns the band,
// and moves the cell's top below the band, a 2-pixel gap and a one-pixel rule
// whose row is stored in ruleY.
PixelRect TakeHeaderBand(PixelRect& cell, int textHeight, int& ruleY);
// The same at the bottom of the cell.
PixelRect TakeFooterBand(PixelRect& cell, int textHeight, int& ruleY);

struct PrintSize {
  int width = 0;
  int height = 0;
  friend bool operator==(const PrintSize&, const PrintSize&) = default;
};

// What the real size of a printed page needs besides its bitmap: the fax
// page's full width in its pixels (the bitmap leaves out the white right of
// the widest ink), and the printer's pixels per inch. A bitmap pixel is 1/204
// inch wide and a row 1/196 inch tall (standard pages come with their rows
// doubled).
struct PrintMeasure {
  int faxPageWidth = 1728;
  int printerDpiX = 0;
  int printerDpiY = 0;
};

// The size a bitmap is drawn at, at the top-left of `cell`. Physical size
// draws it at its real size, reduced as a whole page (the full fax width,
// not the trimmed bitmap's) where that does not fit the cell. Fit to page
// keeps the bitmap's proportions and fills the cell's height, or its width
// when the full height would be too wide. Pixel for pixel keeps the bitmap's
// own size, squeezed to the cell where it is larger.
PrintSize PrintedSize(int bitmapWidth, int bitmapHeight, const PixelRect& cell, TFaxPrintScale scale,
                      const PrintMeasure& measure);

}  // namespace tv
