#include "image/qt/qt_picture_reader.h"

#include <QImage>
#include <QImageReader>
#include <QPainter>
#include <algorithm>

#include "image/picture_decoder.h"
#include "platform/error_codes.h"

namespace tv {

namespace {

class QtPictureDecoder : public PictureDecoder {
 public:
  int Open(const std::string& path, std::string& detail) override {
    QImageReader reader(QString::fromStdString(path));
    reader.setDecideFormatFromContent(true);
    reader.setAutoTransform(true);
    const QImage read = reader.read();
    if (read.isNull()) {
      detail = reader.errorString().toStdString();
      return ecBadGraphicsFormat;
    }
    bilevel_ = read.depth() == 1;
    // Transparent parts are paper.
    image_ = QImage(read.size(), QImage::Format_RGB32);
    image_.fill(Qt::white);
    QPainter painter(&image_);
    painter.drawImage(0, 0, read);
    painter.end();
    if (read.dotsPerMeterX() > 0 && read.dotsPerMeterY() > 0)
      aspect_ = static_cast<double>(read.dotsPerMeterX()) / read.dotsPerMeterY();
    return ecOK;
  }

  int PageCount() const override { return 1; }

  int StartPage(int, PicturePage& page, std::string&) override {
    page.width = image_.width();
    page.height = image_.height();
    page.pixelAspect = aspect_;
    page.bilevel = bilevel_;
    row_ = 0;
    return ecOK;
  }

  int ReadRow(std::uint8_t* row) override {
    if (row_ >= image_.height()) return ecBadGraphicsFormat;
    const auto* pixels = reinterpret_cast<const QRgb*>(image_.constScanLine(row_++));
    const int width = image_.width();
    if (bilevel_) std::fill(row, row + (width + 7) / 8, 0);
    for (int x = 0; x < width; ++x) {
      const int level = (qRed(pixels[x]) + qGreen(pixels[x]) + qBlue(pixels[x])) / 3;
      if (!bilevel_) {
        row[x] = static_cast<std::uint8_t>(level);
      } else if (level < 128) {
        row[x >> 3] |= static_cast<std::uint8_t>(0x80 >> (x & 7));
      }
    }
    return ecOK;
  }

 private:
  QImage image_;
  double aspect_ = 1.0;
  bool bilevel_ = false;
  int row_ = 0;
};

bool QtReads(const std::string& path) {
  QImageReader reader(QString::fromStdString(path));
  reader.setDecideFormatFromContent(true);
  return reader.canRead();
}

}  // namespace

void InstallQtPictureReader() {
  InstallPictureReader({[] { return std::make_unique<QtPictureDecoder>(); }, &QtReads});
}

}  // namespace tv
