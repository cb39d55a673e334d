// Where a fax page shows in the viewer. Three coordinate systems meet here:
// page pixels (the unpacked bitmap as the fax has it), turned pixels (the
// page after its quarter turns clockwise) and shown pixels (the turned page
// zoomed by the view's ratios). A pixel rectangle counts its edges in, as
// rows and columns are numbered.
#pragma once

namespace tv {

struct PixelPoint {
  int x = 0;
  int y = 0;
  friend bool operator==(const PixelPoint&, const PixelPoint&) = default;
};

struct PixelRect {
  int left = 0;
  int top = 0;
  int right = -1;
  int bottom = -1;

  int Width() const { return right - left + 1; }
  int Height() const { return bottom - top + 1; }
  bool Empty() const { return right < left || bottom < top; }
  bool Contains(PixelPoint p) const { return p.x >= left && p.x <= right && p.y >= top && p.y <= bottom; }
  friend bool operator==(const PixelRect&, const PixelRect&) = default;
};

// The rectangle spanned by two corners given in any order.
PixelRect RectFromCorners(PixelPoint a, PixelPoint b);
// The part of `rect` inside `bounds`; empty when they do not meet.
PixelRect Intersected(const PixelRect& rect, const PixelRect& bounds);

// Shown size = turned size x multiplier div divisor, per axis.
struct ViewScale {
  int horizMult = 1;
  int horizDiv = 1;
  int vertMult = 1;
  int vertDiv = 1;

  // Factors below 1 count as 1; a multiplier equal to its divisor is kept as
  // 1:1, so 2:2 and 1:1 are one scale.
  static ViewScale Make(int horizMult, int horizDiv, int vertMult, int vertDiv);
  bool OneToOne() const { return horizMult == horizDiv && vertMult == vertDiv; }
  friend bool operator==(const ViewScale&, const ViewScale&) = default;
};

class ViewGeometry {
 public:
  ViewGeometry() = default;
  // rotation: quarter turns clockwise, taken modulo 4.
  ViewGeometry(int pageWidth, int pageHeight, int rotation, ViewScale scale);

  int PageWidth() const { return pageWidth_; }
  int PageHeight() const { return pageHeight_; }
  int Rotation() const { return rotation_; }
  const ViewScale& Scale() const { return scale_; }

  int TurnedWidth() const;
  int TurnedHeight() const;
  int ShownWidth() const;
  int ShownHeight() const;
  PixelRect PageBounds() const { return {0, 0, pageWidth_ - 1, pageHeight_ - 1}; }
  PixelRect ShownBounds() const { return {0, 0, ShownWidth() - 1, ShownHeight() - 1}; }

  PixelPoint PageToTurned(PixelPoint page) const;
  PixelPoint TurnedToPage(PixelPoint turned) const;
  PixelRect PageToTurned(const PixelRect& page) const;

  // The page pixel a shown pixel shows; points outside the shown page are
  // first moved to its nearest edge.
  PixelPoint ShownToPage(PixelPoint shown) const;
  // The shown pixels that show any part of a page rectangle (at least one
  // pixel per axis, also where a reduction drops the rectangle's rows).
  PixelRect PageToShown(const PixelRect& page) const;
  PixelRect TurnedToShown(const PixelRect& turned) const;

  // How far the shown page can scroll in a client area of the given size.
  int ScrollMaxX(int clientWidth) const;
  int ScrollMaxY(int clientHeight) const;

 private:
  int pageWidth_ = 0;
  int pageHeight_ = 0;
  int rotation_ = 0;
  ViewScale scale_;
};

}  // namespace tv
