// Cover pages drawn as bitmaps, and re-rendering a fax page by page at fine
// resolution before it is viewed or sent.
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "image/fax_converter.h"
#include "image/fax_unpacker.h"
#include "platform/error_codes.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/work_files.h"

namespace tv {

namespace {

int ConvertBitmap(const MonoBitmap& bitmap, const std::string& outputName, int leftMargin) {
  FaxConverter converter(MakeBitmapInput(bitmap), "");
  converter.SetOptions(coYield);
  converter.SetFine(true);
  converter.SetLeftMargin(leftMargin);
  converter.SetPageWidth(bitmap.Width() > kStandardWidth ? kWideWidth : kStandardWidth);
  return converter.Convert("", outputName);
}

// The width a re-rendered page is widened to: pages of the heights the
// printer driver makes for the common paper sizes keep their usual width.
int RenderedWidth(int width, int height) {
  const bool narrow = (height >= 2157 && height <= 2159) || (height >= 2161 && height <= 2291);
  return std::max(width, narrow ? 1600 : 1664);
}

}  // namespace

int ConvertCoverBitmap(MonoBitmap bitmap, std::string& outputName) {
  if (bitmap.Empty()) return ecBadArgument;
  if (outputName.empty()) {
    ForceFolder(SendFolder());
    outputName = UniqueFaxFileName(SendFolder(), "COV");
  }
  bitmap.SetPixel(bitmap.Width() - 1, bitmap.Height() - 1, true);
  // The drawn page carries its own margins; a converter margin would push
  // its right edge, and with it the corner mark, off the line.
  return ConvertBitmap(bitmap, outputName, 0);
}

bool ApfRerenderFile(const std::string& source, const std::string& destination) {
  if (!IsRegularFile(source)) return true;
  TApfFileHeader header;
  if (ApfReadFileHeader(source, header) != ecOK || header.pageCount == 0) return false;

  // Each page goes through a file of its own beside the destination, under
  // a name no other user of the folder gets; they are joined into the
  // destination, which changes only when every page is there.
  std::vector<std::string> pageFiles;
  struct Cleanup {
    std::vector<std::string>& files;
    ~Cleanup() {
      for (const std::string& file : files) ::unlink(file.c_str());
    }
  } cleanup{pageFiles};
  FaxUnpacker unpacker;
  for (int n = 1; n <= header.pageCount; ++n) {
    MonoBitmap page;
    if (unpacker.UnpackPageToBitmap(source, n, page) != ecOK) return false;
    // A page without decodable lines still becomes a (blank) page.
    const int height = std::max(page.Height(), 1);
    MonoBitmap work(RenderedWidth(page.Width(), height), height);
    work.Draw(page, 0, 0);
    // Black corners keep the page's full width and height when it is unpacked.
    work.SetPixel(work.Width() - 1, 0, true);
    work.SetPixel(work.Width() - 1, height - 1, true);
    const std::string file = CreateTemporaryFile(destination, ".apf");
    if (file.empty()) return false;
    pageFiles.push_back(file);
    if (ConvertBitmap(work, file, 0) != ecOK) return false;
  }
  return ApfJoinFiles(pageFiles, destination) == ecOK;
}

}  // namespace tv
