#include "view/view_geometry.h"

#include <algorithm>
#include <cstdint>

namespace tv {

namespace {

// a x mult / div rounded down, and the same rounded up, for non-negative a.
int ScaledDown(int a, int mult, int div) { return static_cast<int>(std::int64_t{a} * mult / div); }
int ScaledUp(int a, int mult, int div) { return static_cast<int>((std::int64_t{a} * mult + div - 1) / div); }

// Shown pixel s covers turned pixels [s x div / mult, (s + 1) x div / mult):
// the shown pixels that cover any of [first, last] on one axis.
void ShownSpan(int first, int last, int mult, int div, int shownSize, int& from, int& to) {
  from = std::clamp(ScaledDown(first, mult, div), 0, std::max(shownSize - 1, 0));
  to = std::clamp(ScaledUp(last + 1, mult, div) - 1, from, std::max(shownSize - 1, 0));
}

}  // namespace

PixelRect RectFromCorners(PixelPoint a, PixelPoint b) {
  return {std::min(a.x, b.x), std::min(a.y, b.y), std::max(a.x, b.x), std::max(a.y, b.y)};
}

PixelRect Intersected(const PixelRect& rect, const PixelRect& bounds) {
  PixelRect r{std::max(rect.left, bounds.left), std::max(rect.top, bounds.top), std::min(rect.right, bounds.right),
              std::min(rect.bottom, bounds.bottom)};
  return r.Empty() ? PixelRect{} : r;
}

ViewScale ViewScale::Make(int horizMult, int horizDiv, int vertMult, int vertDiv) {
  auto factor = [](int v) { return std::max(v, 1); };
  ViewScale s{factor(horizMult), factor(horizDiv), factor(vertMult), factor(vertDiv)};
  if (s.horizMult == s.horizDiv) s.horizMult = s.horizDiv = 1;
  if (s.vertMult == s.vertDiv) s.vertMult = s.vertDiv = 1;
  return s;
}

ViewGeometry::ViewGeometry(int pageWidth, int pageHeight, int rotation, ViewScale scale)
    : pageWidth_(std::max(pageWidth, 0)),
      pageHeight_(std::max(pageHeight, 0)),
      rotation_(((rotation % 4) + 4) % 4),
      scale_(ViewScale::Make(scale.horizMult, scale.horizDiv, scale.vertMult, scale.vertDiv)) {}

int ViewGeometry::TurnedWidth() const { return rotation_ % 2 == 0 ? pageWidth_ : pageHeight_; }
int ViewGeometry::TurnedHeight() const { return rotation_ % 2 == 0 ? pageHeight_ : pageWidth_; }
int ViewGeometry::ShownWidth() const { return ScaledDown(TurnedWidth(), scale_.horizMult, scale_.horizDiv); }
int ViewGeometry::ShownHeight() const { return ScaledDown(TurnedHeight(), scale_.vertMult, scale_.vertDiv); }

// A quarter turn clockwise makes row 0 the rightmost column.
PixelPoint ViewGeometry::PageToTurned(PixelPoint p) const {
  switch (rotation_) {
    case 1: return {pageHeight_ - 1 - p.y, p.x};
    case 2: return {pageWidth_ - 1 - p.x, pageHeight_ - 1 - p.y};
    case 3: return {p.y, pageWidth_ - 1 - p.x};
    default: return p;
  }
}

PixelPoint ViewGeometry::TurnedToPage(PixelPoint t) const {
  switch (rotation_) {
    case 1: return {t.y, pageHeight_ - 1 - t.x};
    case 2: return {pageWidth_ - 1 - t.x, pageHeight_ - 1 - t.y};
    case 3: return {pageWidth_ - 1 - t.y, t.x};
    default: return t;
  }
}

PixelRect ViewGeometry::PageToTurned(const PixelRect& page) const {
  return RectFromCorners(PageToTurned(PixelPoint{page.left, page.top}),
                         PageToTurned(PixelPoint{page.right, page.bottom}));
}

PixelPoint ViewGeometry::ShownToPage(PixelPoint shown) const {
  if (pageWidth_ == 0 || pageHeight_ == 0) return {};
  const PixelPoint turned{
      std::clamp(ScaledDown(std::max(shown.x, 0), scale_.horizDiv, scale_.horizMult), 0, TurnedWidth() - 1),
      std::clamp(ScaledDown(std::max(shown.y, 0), scale_.vertDiv, scale_.vertMult), 0, TurnedHeight() - 1)};
  return TurnedToPage(turned);
}

PixelRect ViewGeometry::TurnedToShown(const PixelRect& turned) const {
  const PixelRect t = Intersected(turned, {0, 0, TurnedWidth() - 1, TurnedHeight() - 1});
  if (t.Empty() || ShownWidth() == 0 || ShownHeight() == 0) return {};
  PixelRect shown;
  ShownSpan(t.left, t.right, scale_.horizMult, scale_.horizDiv, ShownWidth(), shown.left, shown.right);
  ShownSpan(t.top, t.bottom, scale_.vertMult, scale_.vertDiv, ShownHeight(), shown.top, shown.bottom);
  return shown;
}

PixelRect ViewGeometry::PageToShown(const PixelRect& page) const {
  const PixelRect p = Intersected(page, PageBounds());
  return p.Empty() ? PixelRect{} : TurnedToShown(PageToTurned(p));
}

int ViewGeometry::ScrollMaxX(int clientWidth) const { return std::max(ShownWidth() - clientWidth, 0); }
int ViewGeometry::ScrollMaxY(int clientHeight) const { return std::max(ShownHeight() - clientHeight, 0); }

}  // namespace tv
