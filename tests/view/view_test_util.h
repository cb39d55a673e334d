// Fax files drawn from bitmaps, for the viewer and printer tests.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "image/mono_bitmap.h"
#include "tests/image/image_test_util.h"

namespace tv::test {

// A white bitmap with the given blocks painted black.
struct Block {
  int x, y, width, height;
};
inline MonoBitmap PageWithBlocks(int width, int height, const std::vector<Block>& blocks) {
  MonoBitmap page(width, height);
  for (const Block& b : blocks) {
    for (int y = b.y; y < b.y + b.height; ++y) {
      for (int x = b.x; x < b.x + b.width; ++x) page.SetPixel(x, y, true);
    }
  }
  return page;
}

// Writes each bitmap as one page (1728 pixels wide, or 2048 when wider).
inline int WriteFax(const std::string& file, const std::vector<MonoBitmap>& pages, bool fine = true) {
  int rc = 0;
  for (std::size_t i = 0; i < pages.size() && rc == 0; ++i) {
    const bool wide = pages[i].Width() > kStandardWidth;
    std::vector<Raster> lines;
    for (int y = 0; y < pages[i].Height(); ++y) {
      Raster line(wide ? kWideLineBytes : kStandardLineBytes);
      for (int x = 0; x < pages[i].Width(); ++x) {
        if (pages[i].IsBlack(x, y)) SetBlack(line, x);
      }
      lines.push_back(std::move(line));
    }
    T4LineCoder coder;
    coder.SetMargin(0);
    coder.SetWidth(wide ? kWideWidth : kStandardWidth);
    const std::string part = i == 0 ? file : file + ".part";
    rc = WriteApf(part, {lines}, fine, coder);
    if (rc == 0 && i > 0) {
      rc = ApfAppendFile(file, part);
      std::remove(part.c_str());
    }
  }
  return rc;
}

}  // namespace tv::test
