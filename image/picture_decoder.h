// Pictures in formats the converter's own readers do not take (PNG, JPEG,
// TIFF beyond plain black and white, ...). An outside library decodes them
// into rows; the converter brings them to fax pages here: fitted to the
// page width, corrected for pixels that are not square, dithered with the
// converter's matrix, and placed like every other picture.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "image/fax_converter.h"

namespace tv {

struct PicturePage {
  int width = 0;
  int height = 0;
  // A pixel's height over its width: 1 for square pixels, about 2 for a
  // fax at standard resolution. Unknown (a file that does not say) leaves
  // the rows as they are, like the fax lines they most likely are.
  std::optional<double> pixelAspect = 1.0;
  // Rows of 1-bit ink (1 = black, pixel 0 in bit 0x80) rather than of 8-bit
  // grey (0 black .. 255 white).
  bool bilevel = false;
};

class PictureDecoder {
 public:
  virtual ~PictureDecoder() = default;
  // ecOK, ecBadGraphicsFormat or an I/O error; `detail` may say more.
  virtual int Open(const std::string& path, std::string& detail) = 0;
  virtual int PageCount() const = 0;
  // Goes to page `index` (from 0) and describes it.
  virtual int StartPage(int index, PicturePage& page, std::string& detail) = 0;
  // The page's next row, top row first: (width + 7) / 8 bytes of a bilevel
  // page, width bytes of a grey one.
  virtual int ReadRow(std::uint8_t* row) = 0;
};

// The converter input over a decoder: every page of the picture becomes one
// fax page.
std::unique_ptr<ConverterInput> MakeDecodedPictureInput(std::unique_ptr<PictureDecoder> decoder);

// TIFF through libtiff: every compression, depth, colour model and page it
// knows.
std::unique_ptr<PictureDecoder> MakeTiffDecoder();

// The reader for idPicture documents. This library has none of its own; the
// window libraries install Qt's image readers (image/qt/).
struct PictureReader {
  std::function<std::unique_ptr<PictureDecoder>()> make;
  // Whether it reads a file, judged by the file's contents.
  std::function<bool(const std::string& path)> reads;
};
void InstallPictureReader(PictureReader reader);
// Whether the installed reader reads the file; false without one.
bool InstalledPictureReaderReads(const std::string& path);
// An input over the installed reader; without one, opening it is
// ecBadGraphicsFormat.
std::unique_ptr<ConverterInput> MakeInstalledPictureInput();

}  // namespace tv
