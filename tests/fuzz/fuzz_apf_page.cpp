// APF page decoding: every page of an arbitrary file through the unpacker,
// as lines and as a bitmap. Whatever the bytes, the result is a page or a
// clear error code.
#include <cstdint>
#include <cstdlib>

#include "image/fax_unpacker.h"
#include "platform/error_codes.h"
#include "tests/fuzz/image_fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string file = tv::fuzz::WriteInput("page.apf", data, size);
  tv::FaxUnpacker unpacker;
  unpacker.SetOptions(tv::kUnpackDoubleHeight);
  unpacker.SetWhitespaceCompression(4, 1);
  long lines = 0;
  unpacker.SetLineCallback([&](tv::FaxUnpacker&, int flags, const std::uint8_t* line, int n, int) {
    if (flags == 0 && n > 0 && (n > 256 || line == nullptr)) std::abort();
    ++lines;
    return 0;
  });
  tv::TApfFileHeader header;
  if (tv::ApfReadFileHeader(file, header) != tv::ecOK) return 0;
  const int pages = header.pageCount < 4 ? header.pageCount : 4;
  for (int page = 1; page <= pages; ++page) {
    const int rc = unpacker.UnpackPage(file, page);
    if (rc > 0) std::abort();
    tv::MonoBitmap bitmap;
    unpacker.SetScaling(1, 2, 1, 2);
    if (unpacker.UnpackPageToBitmap(file, page, bitmap) == tv::ecOK && bitmap.Width() > 2048) std::abort();
    unpacker.SetScaling(1, 1, 1, 1);
  }
  // Beyond the last page is always a format error.
  tv::TApfPageHeader pageHeader;
  if (tv::ApfReadPageHeader(file, header.pageCount + 1, pageHeader) != tv::ecFaxBadFormat) std::abort();
  return 0;
}
