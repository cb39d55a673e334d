#include "image/fax_converter.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "image/document_input.h"
#include "image/picture_decoder.h"
#include "platform/error_codes.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/ui_thread.h"

namespace tv {

FaxConverter::FaxConverter(std::unique_ptr<ConverterInput> input, std::string defaultExtension)
    : input_(std::move(input)), defaultExtension_(std::move(defaultExtension)) {}

int FaxConverter::PlacePicture(int width) {
  const int w = std::max(width, 0);
  doubling_ = (options_ & coDoubleWidth) && !fine_ && pageWidth_ - leftMargin_ >= 2 * w;
  halfHeight_ = (options_ & coHalfHeight) && !fine_ && !doubling_;
  return CenterPicture(w);
}

int FaxConverter::CenterPicture(int width) {
  const int w = std::max(width, 0);
  centerOffset_ = 0;
  if ((options_ & coCenterImage) && pageWidth_ - w > 15) {
    centerOffset_ = doubling_ ? (pageWidth_ - 2 * w) / 32 : (pageWidth_ - w) / 16;
  }
  return centerOffset_;
}

int FaxConverter::PlacePictureRow(const std::uint8_t* row, std::size_t rowBytes, std::int64_t widthPixels,
                                  bool invert) {
  const std::size_t room = kConverterRasterSize - static_cast<std::size_t>(centerOffset_);
  const std::size_t n = std::min(rowBytes, room);
  std::uint8_t* out = raster_.data() + centerOffset_;
  for (std::size_t i = 0; i < n; ++i) out[i] = invert ? static_cast<std::uint8_t>(~row[i]) : row[i];
  // Bits and bytes past the picture width are padding, never ink.
  const std::int64_t fullBytes = widthPixels / 8;
  const int spareBits = static_cast<int>(widthPixels % 8);
  for (std::size_t i = 0; i < n; ++i) {
    const auto index = static_cast<std::int64_t>(i);
    if (index > fullBytes || (index == fullBytes && spareBits == 0)) {
      out[i] = 0;
    } else if (index == fullBytes) {
      out[i] &= static_cast<std::uint8_t>(0xFF << (8 - spareBits));
    }
  }
  return centerOffset_ + static_cast<int>(n);
}

int FaxConverter::KeepAlive() {
  if (Report(0)) return ecConvertAbort;
  return (options_ & coYield) ? Pump() : ecOK;
}

bool FaxConverter::Report(int flags) {
  return status_ && status_(*this, flags, pageNumber_, lineNumber_, bytesRead_, bytesTotal_);
}

int FaxConverter::Pump() {
  UiThread& ui = UiThread::Current();
  if (!ui.IsUiThread()) return ecOK;
  ui.ProcessPendingMessages();
  return ui.Terminating() ? ecGotQuitMsg : ecOK;
}

int FaxConverter::StartPage() {
  if (pagesWritten_ == maxPages_) {
    errorDetail_ = "the document has more than " + std::to_string(maxPages_) + " pages, " +
                   (maxPages_ == kApfMaxPages ? "more than a fax file can count" : "more than a fax should carry");
    return ecBadGraphicsFormat;
  }
  if (int rc = writer_.BeginPage(fine_, pageWidth_ == kWideWidth); rc != ecOK) return rc;
  if (topMargin_ > 0) {
    // Each top-margin line is a blank coded line of its own.
    const std::array<std::uint8_t, kWideLineBytes> blank{};
    const auto coded = coder_.CodeLine(blank.data());
    for (int i = 0; i < topMargin_; ++i) {
      if (int rc = writer_.WriteLine(coded.data(), coded.size()); rc != ecOK) return rc;
    }
  }
  return ecOK;
}

int FaxConverter::WriteRasterLine() {
  if (!writer_.PageOpen()) {
    if (int rc = StartPage(); rc != ecOK) return rc;
  }
  const auto coded = coder_.CodeLine(raster_.data());
  return writer_.WriteLine(coded.data(), coded.size());
}

int FaxConverter::Run() {
  if (Report(kConvertStarting)) return ecConvertAbort;
  if (int rc = input_->Open(*this); rc != ecOK) return rc;
  coder_.SetWidth(pageWidth_);
  coder_.SetMargin(leftMargin_);
  coder_.SetDoubling(doubling_);
  bool morePages = true;
  while (morePages) {
    ++pageNumber_;
    lineNumber_ = 0;
    raster_.fill(0);
    for (;;) {
      ConverterLine line;
      if (int rc = input_->ReadLine(*this, line); rc != ecOK) return rc;
      ++lineNumber_;
      if (Report(0)) return ecConvertAbort;
      if (line.endOfPage) {
        morePages = line.morePages;
        break;
      }
      if (!(halfHeight_ && lineNumber_ % 2 == 0)) {
        if (int rc = WriteRasterLine(); rc != ecOK) return rc;
      }
      raster_.fill(0);
      if ((options_ & coYield) && (options_ & coYieldOften) && lineNumber_ % 16 == 0) {
        if (int rc = Pump(); rc != ecOK) return rc;
      }
    }
    if (!writer_.PageOpen()) {
      if (int rc = StartPage(); rc != ecOK) return rc;
    }
    if (int rc = writer_.EndPage(); rc != ecOK) return rc;
    ++pagesWritten_;
    if (options_ & coYield) {
      if (int rc = Pump(); rc != ecOK) return rc;
    }
  }
  return Report(kConvertEnding) ? ecConvertAbort : ecOK;
}

int FaxConverter::Convert(const std::string& inputName, const std::string& outputName) {
  pageNumber_ = 0;
  lineNumber_ = 0;
  pagesWritten_ = 0;
  bytesRead_ = 0;
  bytesTotal_ = 0;
  doubling_ = false;
  halfHeight_ = false;
  centerOffset_ = 0;
  errorDetail_.clear();
  inputName_ = inputName;
  if (!defaultExtension_.empty() && Extension(inputName_).empty()) inputName_ += "." + defaultExtension_;
  if (outputName.empty()) {
    if (inputName_.empty()) return ecFileNotFound;
    outputName_ = ChangeExtension(inputName_, ".APF");
  } else {
    outputName_ = Extension(outputName).empty() ? outputName + ".APF" : outputName;
  }

  // Writing over the document being read would destroy it.
  if (SameFile(inputName_, outputName_)) return ecBadArgument;
  if (leftMargin_ >= pageWidth_ || topMargin_ > kApfMaxPageLines || linesPerPage_ > kApfMaxPageLines ||
      tabStop_ > kMaxTabStop)
    return ecBadArgument;
  int result = writer_.Create(outputName_);
  if (result == ecAccessDenied && FileExists(outputName_) && !IsRegularFile(outputName_, false))
    errorDetail_ = outputName_ + " is not a regular file (a link, a named pipe or a device); it is left as it is";
  if (result == ecOK) {
    result = Run();
    input_->Close(*this);
    if (result == ecOK) result = writer_.Close(stationId_);
  }
  if (result != ecOK) writer_.Abort();
  if (!temporaryFile_.empty()) {
    ::unlink(temporaryFile_.c_str());
    temporaryFile_.clear();
  }
  return result;
}

std::unique_ptr<FaxConverter> MakeFileConverter(TFaxInputDocumentType kind) {
  DocumentRendering rendering;
  rendering.paper = DefaultPaper();
  return MakeFileConverter(kind, rendering);
}

namespace {

std::unique_ptr<FaxConverter> MakeFileConverterOf(TFaxInputDocumentType kind, const DocumentRendering& rendering) {
  switch (kind) {
    case idText:
      return std::make_unique<FaxConverter>(MakeTextInput(), "TXT");
    case idTiff:
      return std::make_unique<FaxConverter>(MakeTiffInput(), "TIF");
    case idPcx:
      return std::make_unique<FaxConverter>(MakePcxInput(), "PCX");
    case idDcx:
      return std::make_unique<FaxConverter>(MakeDcxInput(), "DCX");
    case idBmp:
      return std::make_unique<FaxConverter>(MakeBmpInput(), "BMP");
    case idPdf:
      return std::make_unique<FaxConverter>(MakeGhostscriptInput(rendering), "PDF");
    case idPostScript:
      return std::make_unique<FaxConverter>(MakeGhostscriptInput(rendering), "PS");
    case idPicture:
      return std::make_unique<FaxConverter>(MakeInstalledPictureInput(), "");
    default:
      return nullptr;
  }
}

}  // namespace

std::unique_ptr<FaxConverter> MakeFileConverter(TFaxInputDocumentType kind, const DocumentRendering& rendering) {
  std::unique_ptr<FaxConverter> converter = MakeFileConverterOf(kind, rendering);
  if (converter) converter->SetMaxPages(rendering.maxPages);
  return converter;
}

// ---------------------------------------------------------------------------
// Component

TQaFaxConverter::TQaFaxConverter() : paper_(DefaultPaper()) {}

void TQaFaxConverter::SetOptions(unsigned options) {
  if (options & coYieldOften) options |= coYield;
  options_ = options;
}

void TQaFaxConverter::SetDocumentFile(const std::string& name) {
  documentFile_ = name;
  outFileName_ = ChangeExtension(name, ".APF");
}

void TQaFaxConverter::Status(bool starting, bool ending, int pages, int lines, std::int64_t done,
                             std::int64_t total, bool& abort) {
  if (OnStatus) OnStatus(*this, starting, ending, pages, lines, done, total, abort);
}

void TQaFaxConverter::OpenUserFile(const std::string& name) {
  if (OnOpenUserFile) OnOpenUserFile(*this, name);
}

void TQaFaxConverter::CloseUserFile() {
  if (OnCloseUserFile) OnCloseUserFile(*this);
}

int TQaFaxConverter::Run(FaxConverter& core, const std::string& input) {
  core.SetOptions(options_);
  core.SetFine(resolution_ == TFaxResolution::frHigh);
  core.SetPageWidth(width_ == TFaxWidth::fwWide ? kWideWidth : kStandardWidth);
  core.SetLeftMargin(leftMargin_);
  core.SetTopMargin(topMargin_);
  core.SetLinesPerPage(linesPerPage_);
  core.SetTabStop(tabStop_);
  core.SetMaxPages(maxPages_);
  core.SetFontSelector(fontType_ == TFaxFont::ffSmall ? 16 : 48);
  core.SetStationId(stationId_);
  core.SetStatusCallback([this](FaxConverter&, int flags, int pages, int lines, std::int64_t done,
                                std::int64_t total) {
    bool abort = false;
    Status(flags & kConvertStarting, flags & kConvertEnding, pages, lines, done, total, abort);
    return abort;
  });
  const int rc = core.Convert(input, outFileName_);
  errorDetail_ = core.ErrorDetail();
  CheckErrorCode(rc);
  return core.PagesWritten();
}

int TQaFaxConverter::ConvertToFile() {
  if (inputDocumentType_ == idUser) {
    UserInputCallbacks callbacks;
    callbacks.open = [this](const std::string& name) { OpenUserFile(name); };
    callbacks.close = [this] { CloseUserFile(); };
    callbacks.readLine = [this](std::uint8_t* data, int& length, bool& endOfPage, bool& morePages) {
      if (!OnReadUserLine) return false;
      OnReadUserLine(*this, data, length, endOfPage, morePages);
      return true;
    };
    FaxConverter core(MakeUserInput(std::move(callbacks)), defUserExtension_);
    return Run(core, documentFile_);
  }
  DocumentRendering rendering;
  rendering.paper = paper_;
  std::unique_ptr<FaxConverter> core = MakeFileConverter(inputDocumentType_, rendering);
  if (!core) CheckErrorCode(ecBadArgument);
  return Run(*core, documentFile_);
}

int TQaFaxConverter::ConvertBitmapToFile(const MonoBitmap& bitmap) {
  const TFaxInputDocumentType saved = inputDocumentType_;
  inputDocumentType_ = idBitmap;
  if (bitmap.Empty()) {
    inputDocumentType_ = saved;
    CheckErrorCode(ecBadArgument);
  }
  FaxConverter core(MakeBitmapInput(bitmap), "");
  try {
    const int pages = Run(core, documentFile_);
    inputDocumentType_ = saved;
    return pages;
  } catch (...) {
    inputDocumentType_ = saved;
    throw;
  }
}

}  // namespace tv
