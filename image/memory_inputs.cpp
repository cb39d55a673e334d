// Inputs that come from memory rather than a file: a bitmap, and lines that
// the application supplies through callbacks.
#include <algorithm>

#include "image/fax_converter.h"
#include "platform/error_codes.h"

namespace tv {

namespace {

class BitmapInput : public ConverterInput {
 public:
  explicit BitmapInput(const MonoBitmap& bitmap) : bitmap_(bitmap) {}

  int Open(FaxConverter& converter) override {
    if (bitmap_.Empty()) return ecBadArgument;
    row_ = 0;
    converter.PlacePicture(bitmap_.Width());
    converter.SetBytesToConvert(static_cast<std::int64_t>(bitmap_.RowBytes()) * bitmap_.Height());
    return ecOK;
  }

  int ReadLine(FaxConverter& converter, ConverterLine& line) override {
    if (row_ >= bitmap_.Height()) {
      line.endOfPage = true;
      return ecOK;
    }
    const auto row = bitmap_.Row(row_++);
    // The bitmap is white paper (1) with black marks (0); fax rasters are 1 = black.
    line.length = converter.PlacePictureRow(row.data(), row.size(), bitmap_.Width(), true);
    converter.AddBytesConverted(bitmap_.RowBytes());
    return ecOK;
  }

 private:
  const MonoBitmap& bitmap_;
  int row_ = 0;
};

class UserInput : public ConverterInput {
 public:
  explicit UserInput(UserInputCallbacks callbacks) : callbacks_(std::move(callbacks)) {}

  int Open(FaxConverter& converter) override {
    if (callbacks_.open) callbacks_.open(converter.InputName());
    return ecOK;
  }

  int ReadLine(FaxConverter& converter, ConverterLine& line) override {
    int length = 0;
    bool endOfPage = false;
    bool morePages = false;
    if (!callbacks_.readLine || !callbacks_.readLine(converter.Raster(), length, endOfPage, morePages)) {
      line.endOfPage = true;
      line.morePages = false;
      return ecOK;
    }
    line.length = std::clamp(length, 0, static_cast<int>(kConverterRasterSize));
    line.endOfPage = endOfPage;
    line.morePages = morePages;
    return ecOK;
  }

  void Close(FaxConverter&) override {
    if (callbacks_.close) callbacks_.close();
  }

 private:
  UserInputCallbacks callbacks_;
};

}  // namespace

std::unique_ptr<ConverterInput> MakeBitmapInput(const MonoBitmap& bitmap) {
  return std::make_unique<BitmapInput>(bitmap);
}

std::unique_ptr<ConverterInput> MakeUserInput(UserInputCallbacks callbacks) {
  return std::make_unique<UserInput>(std::move(callbacks));
}

}  // namespace tv
