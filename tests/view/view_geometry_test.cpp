// Zoom and rotation of pages without a display: where page pixels land on
// screen, what the rendered ink holds, and the mark kept in page pixels.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "tests/view/view_test_util.h"
#include "view/page_render.h"
#include "view/view_geometry.h"

namespace tv {
namespace {

struct Rendered {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> ink;
  int At(int x, int y) const { return ink[static_cast<std::size_t>(y) * width + x]; }
};

Rendered Render(const MonoBitmap& page, int rotation, ViewScale scale, PixelRect area = {}) {
  const ViewGeometry g(page.Width(), page.Height(), rotation, scale);
  if (area.Empty()) area = g.ShownBounds();
  Rendered r{area.Width(), area.Height(), std::vector<std::uint8_t>(static_cast<std::size_t>(area.Width()) * area.Height())};
  RenderInk(TurnQuarters(page, rotation), g.Scale(), area, r.ink, r.width);
  return r;
}

// The smallest rectangle holding every inked pixel.
PixelRect InkBounds(const Rendered& r) {
  PixelRect box{r.width, r.height, -1, -1};
  for (int y = 0; y < r.height; ++y) {
    for (int x = 0; x < r.width; ++x) {
      if (r.At(x, y) == 0) continue;
      box = {std::min(box.left, x), std::min(box.top, y), std::max(box.right, x), std::max(box.bottom, y)};
    }
  }
  return box;
}

long TotalInk(const Rendered& r, PixelRect within = {0, 0, 1 << 30, 1 << 30}) {
  long sum = 0;
  for (int y = 0; y < r.height; ++y) {
    for (int x = 0; x < r.width; ++x) {
      if (within.Contains({x, y})) sum += r.At(x, y);
    }
  }
  return sum;
}

const ViewScale kScales[] = {{1, 1, 1, 1}, {1, 2, 1, 2}, {3, 4, 3, 4}, {1, 4, 1, 4}, {2, 1, 2, 1}, {3, 4, 1, 2}};

TEST(ViewGeometry, TurnedBitmapsMatchThePixelDefinition) {
  std::mt19937 random(7);
  for (auto [width, height] : {std::pair{37, 21}, std::pair{64, 16}, std::pair{9, 70}}) {
    MonoBitmap page(width, height);
    for (int y = 0; y < height; ++y) {
      for (int x = 0; x < width; ++x) page.SetPixel(x, y, random() % 3 == 0);
    }
    for (int turns = 0; turns < 4; ++turns) {
      const MonoBitmap turned = TurnQuarters(page, turns);
      const ViewGeometry g(width, height, turns, {});
      ASSERT_EQ(turned.Width(), g.TurnedWidth());
      ASSERT_EQ(turned.Height(), g.TurnedHeight());
      for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
          const PixelPoint t = g.PageToTurned(PixelPoint{x, y});
          ASSERT_EQ(turned.IsBlack(t.x, t.y), page.IsBlack(x, y)) << width << "x" << height << " turns " << turns;
          ASSERT_EQ(g.TurnedToPage(t), (PixelPoint{x, y}));
        }
      }
      // Padding bits of the last byte of a row stay white.
      for (int y = 0; y < turned.Height(); ++y) {
        const int spare = turned.RowBytes() * 8 - turned.Width();
        EXPECT_EQ(turned.Row(y)[turned.RowBytes() - 1] & ((1 << spare) - 1), (1 << spare) - 1);
      }
    }
  }
  // A quarter turn makes row 0 the rightmost column.
  const MonoBitmap row0 = TurnQuarters(test::PageWithBlocks(20, 10, {{0, 0, 20, 1}}), 1);
  for (int y = 0; y < 20; ++y) EXPECT_TRUE(row0.IsBlack(9, y));
}

TEST(ViewGeometry, MarkedCornerLandsInTheTurnedCornerAtEveryRatio) {
  // 4 x 4 black pixels in the top-left corner of a 37 x 21 page.
  const MonoBitmap page = test::PageWithBlocks(37, 21, {{0, 0, 4, 4}});
  for (int rotation = 0; rotation < 4; ++rotation) {
    for (const ViewScale& scale : kScales) {
      const ViewGeometry g(37, 21, rotation, scale);
      const Rendered r = Render(page, rotation, scale);
      ASSERT_EQ(r.width, g.ShownWidth());
      const PixelRect ink = InkBounds(r);
      const bool right = rotation == 1 || rotation == 2;
      const bool bottom = rotation == 2 || rotation == 3;
      SCOPED_TRACE(testing::Message() << "rotation " << rotation << " scale " << scale.horizMult << "/"
                                      << scale.horizDiv << " " << scale.vertMult << "/" << scale.vertDiv);
      EXPECT_EQ(right ? ink.right : ink.left, right ? r.width - 1 : 0);
      EXPECT_EQ(bottom ? ink.bottom : ink.top, bottom ? r.height - 1 : 0);
      // The block is all the ink there is, and it shows where the geometry says.
      EXPECT_EQ(ink, g.PageToShown({0, 0, 3, 3}));
    }
  }
  // At 1:1 the shown page is the turned bitmap, pixel for pixel.
  const Rendered exact = Render(page, 1, {});
  EXPECT_EQ(exact.At(20, 0), 255);
  EXPECT_EQ(exact.At(16, 3), 0);
  EXPECT_EQ(exact.At(17, 3), 255);
}

TEST(ViewGeometry, ScaleRatiosAndScrollRanges) {
  EXPECT_EQ(ViewScale::Make(2, 2, 3, 1), (ViewScale{1, 1, 3, 1}));
  EXPECT_EQ(ViewScale::Make(0, 0, -5, 2), (ViewScale{1, 1, 1, 2}));
  const ViewGeometry zoomed(1728, 1100, 0, {2, 1, 2, 1});
  EXPECT_EQ(zoomed.ShownWidth(), 3456);
  EXPECT_EQ(zoomed.ShownHeight(), 2200);
  EXPECT_EQ(zoomed.ScrollMaxX(600), 2856);
  EXPECT_EQ(zoomed.ScrollMaxY(2500), 0);
  const ViewGeometry turned(1728, 1100, 3, {3, 4, 3, 4});
  EXPECT_EQ(turned.ShownWidth(), 825);
  EXPECT_EQ(turned.ShownHeight(), 1296);
  // Points outside the shown page stand for its nearest edge.
  EXPECT_EQ(turned.ShownToPage({-40, 5000}), turned.TurnedToPage({0, 1727}));
}

TEST(ViewGeometry, MarkInPagePixelsSurvivesZoomAndRotation) {
  // Ink inside the mark and outside it; the mark is kept in page pixels.
  const MonoBitmap page = test::PageWithBlocks(64, 48, {{12, 8, 10, 6}, {50, 40, 5, 5}});
  const PixelRect mark{10, 6, 25, 17};
  for (int rotation = 0; rotation < 4; ++rotation) {
    for (const ViewScale& scale : kScales) {
      const ViewGeometry g(64, 48, rotation, scale);
      const PixelRect shown = g.PageToShown(mark);
      SCOPED_TRACE(testing::Message() << "rotation " << rotation << " scale " << scale.horizMult << "/"
                                      << scale.horizDiv);
      // Without reduction, both corners of the shown mark lead back into the
      // page mark (a reduced pixel also covers page pixels beside it).
      if (scale.horizMult >= scale.horizDiv && scale.vertMult >= scale.vertDiv) {
        EXPECT_TRUE(mark.Contains(g.ShownToPage({shown.left, shown.top})));
        EXPECT_TRUE(mark.Contains(g.ShownToPage({shown.right, shown.bottom})));
      }
      // What the mark covers on screen is the first block's ink, all of it
      // and nothing of the second block.
      const Rendered whole = Render(page, rotation, scale);
      const Rendered markOnly = Render(test::PageWithBlocks(64, 48, {{12, 8, 10, 6}}), rotation, scale);
      EXPECT_EQ(TotalInk(whole, shown), TotalInk(markOnly));
      // Rendering only the marked area gives the same pixels.
      const Rendered part = Render(page, rotation, scale, shown);
      for (int y = 0; y < part.height; ++y) {
        for (int x = 0; x < part.width; ++x) ASSERT_EQ(part.At(x, y), whole.At(shown.left + x, shown.top + y));
      }
    }
  }
}

}  // namespace
}  // namespace tv
