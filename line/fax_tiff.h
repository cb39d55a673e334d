// Fax pages as TIFF files, the format of the line's spandsp far end: rows of
// 1728 packed pixels (1 = black, the first pixel in the top bit), each page
// at standard or fine resolution.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tv {

struct TiffFaxPage {
  std::vector<std::vector<std::uint8_t>> rows;
  bool fine = false;
};

// Every page of a bilevel TIFF file, black as 1 whatever its photometric;
// empty when the file cannot be read.
std::vector<TiffFaxPage> ReadFaxTiff(const std::string& file);

// Writes the pages as a G3-coded fax TIFF; false (and no file) when it
// cannot be written.
bool WriteFaxTiff(const std::string& file, const std::vector<TiffFaxPage>& pages);

}  // namespace tv
