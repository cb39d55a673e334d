// The BMP reader of the converter over arbitrary bytes.
#include "tests/fuzz/fuzz_picture_input.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  tv::fuzz::ConvertPicture(tv::idBmp, "picture.bmp", data, size);
  return 0;
}
