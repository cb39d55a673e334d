// The fax converter: documents (text, TIFF, PCX, DCX, BMP, a bitmap held in
// memory, or lines supplied by the application) into APF files of coded
// lines. A procedural core, FaxConverter, drives one ConverterInput per input
// kind; the component TQaFaxConverter wraps it with properties and events.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "image/apf_file.h"
#include "image/mono_bitmap.h"
#include "image/t4_coding.h"

namespace tv {

// idPdf and idPostScript are rendered by Ghostscript; idPicture is any other
// picture format a reader is installed for (see picture_decoder.h).
enum TFaxInputDocumentType { idNone, idText, idTiff, idPcx, idDcx, idBmp, idBitmap, idUser, idPdf, idPostScript, idPicture };
// The Options set.
enum TFaxCvtOptions : unsigned {
  coDoubleWidth = 1,
  coHalfHeight = 2,
  coCenterImage = 4,
  coYield = 8,
  coYieldOften = 16,
};
enum class TFaxResolution { frNormal, frHigh };
enum class TFaxWidth { fwNormal, fwWide };
enum class TFaxFont { ffStandard, ffSmall };
// The paper PDF and PostScript documents are rendered for.
enum class TFaxPaper { fpA4, fpLetter };

inline constexpr std::size_t kConverterRasterSize = 4096;
// No fax page is taller than this; a picture that claims more is refused.
inline constexpr long kMaxPictureRows = kApfMaxPageLines;
// Settings beyond what a page can hold are refused (ecBadArgument): a left
// margin of the page's width or more, a top margin or a count of text lines
// beyond a page's lines, a tab stop beyond the widest line's characters.
inline constexpr int kMaxTabStop = 256;

// Status flags.
inline constexpr int kConvertStarting = 1;
inline constexpr int kConvertEnding = 2;

// Pages a document may have unless a setting says otherwise.
inline constexpr int kDefaultMaxPages = 500;

class FaxConverter;

// One read: a raster line in the converter's raster, or the end of a page.
struct ConverterLine {
  int length = 0;  // bytes of the raster used
  bool endOfPage = false;
  bool morePages = false;
};

// The open, read-line and close operations of one input kind.
class ConverterInput {
 public:
  virtual ~ConverterInput() = default;
  virtual int Open(FaxConverter& converter) = 0;
  // Fills converter.Raster() (cleared beforehand) or reports a page end.
  virtual int ReadLine(FaxConverter& converter, ConverterLine& line) = 0;
  virtual void Close(FaxConverter&) {}
};

class FaxConverter {
 public:
  // flags: kConvertStarting, kConvertEnding or 0 for progress. A true
  // result asks to abort.
  using StatusCallback = std::function<bool(FaxConverter& converter, int flags, int pages, int lines,
                                            std::int64_t bytesConverted, std::int64_t bytesToConvert)>;

  FaxConverter(std::unique_ptr<ConverterInput> input, std::string defaultExtension);

  // Settings.
  // The extension an input name without one is completed with ("" for none).
  void SetDefaultExtension(std::string extension) { defaultExtension_ = std::move(extension); }
  void SetOptions(unsigned options) { options_ = options; }
  unsigned Options() const { return options_; }
  void SetFine(bool on) { fine_ = on; }
  bool Fine() const { return fine_; }
  void SetPageWidth(int pixels) { pageWidth_ = pixels == kWideWidth ? kWideWidth : kStandardWidth; }
  int PageWidth() const { return pageWidth_; }
  void SetLeftMargin(int pixels) { leftMargin_ = pixels < 0 ? 0 : pixels; }
  int LeftMargin() const { return leftMargin_; }
  void SetTopMargin(int lines) { topMargin_ = lines < 0 ? 0 : lines; }
  void SetStationId(const std::string& id) { stationId_ = id.substr(0, kApfMaxStationId); }
  void SetStatusCallback(StatusCallback callback) { status_ = std::move(callback); }
  // Text settings.
  void SetFontSelector(int selector) { fontSelector_ = selector; }
  int FontSelector() const { return fontSelector_; }
  void SetLinesPerPage(int lines) { linesPerPage_ = lines < 0 ? 0 : lines; }
  int LinesPerPage() const { return linesPerPage_; }
  void SetTabStop(int columns) { tabStop_ = columns < 0 ? 0 : columns; }
  int TabStop() const { return tabStop_; }
  // Pages a document may have, whatever its kind: one more stops the
  // conversion. Never more than a fax file can count.
  void SetMaxPages(int pages) { maxPages_ = std::clamp(pages, 1, kApfMaxPages); }
  int MaxPages() const { return maxPages_; }

  // Converts the document `inputName` (completed with the kind's default
  // extension when it has none) into `outputName` (".APF" added when it has
  // no extension; when empty, the input's name with ".APF"). The output is
  // written beside its name and takes that name only when complete: on
  // failure a file that was there stays as it was. An output that is the
  // input itself is ecBadArgument.
  int Convert(const std::string& inputName, const std::string& outputName);
  const std::string& OutputName() const { return outputName_; }
  int PagesWritten() const { return pagesWritten_; }
  // What the input said about the last failure beyond its code ("the PDF
  // is protected by a password"); empty when it said nothing.
  const std::string& ErrorDetail() const { return errorDetail_; }

  // For the inputs.
  std::uint8_t* Raster() { return raster_.data(); }
  const std::string& InputName() const { return inputName_; }
  // Decides doubling, half height and centring for a picture `width` pixels
  // wide, and returns the centring offset in bytes.
  int PlacePicture(int width);
  // Centres a further page `width` pixels wide with the doubling decided
  // for the first; returns the centring offset in bytes.
  int CenterPicture(int width);
  bool Doubling() const { return doubling_; }
  int CenterOffset() const { return centerOffset_; }
  // Copies a picture row (1 = black unless `invert`) into the raster at the
  // centring offset and clears the bits past the picture width. Returns the
  // raster bytes used.
  int PlacePictureRow(const std::uint8_t* row, std::size_t rowBytes, std::int64_t widthPixels, bool invert);
  void SetBytesToConvert(std::int64_t n) { bytesTotal_ = n; }
  void AddBytesConverted(std::int64_t n) { bytesRead_ = std::min(bytesRead_ + n, bytesTotal_); }
  // A file made for this conversion, deleted when it ends however it ends.
  void SetTemporaryFile(const std::string& name) { temporaryFile_ = name; }
  void SetErrorDetail(std::string text) { errorDetail_ = std::move(text); }
  // For an input that waits long for its lines: reports progress (an abort
  // request gives ecConvertAbort) and, with coYield, keeps the window alive.
  int KeepAlive();

 private:
  int Run();
  int StartPage();
  int WriteRasterLine();
  bool Report(int flags);
  int Pump();

  std::unique_ptr<ConverterInput> input_;
  std::string defaultExtension_;
  bool fine_ = false;
  bool doubling_ = false;
  bool halfHeight_ = false;
  unsigned options_ = coDoubleWidth | coCenterImage | coYield;
  int pageWidth_ = kStandardWidth;
  int leftMargin_ = 50;
  int topMargin_ = 0;
  int centerOffset_ = 0;
  int pageNumber_ = 0;
  int lineNumber_ = 0;
  int pagesWritten_ = 0;
  std::int64_t bytesRead_ = 0;
  std::int64_t bytesTotal_ = 0;
  int fontSelector_ = 48;
  int linesPerPage_ = 60;
  int tabStop_ = 4;
  int maxPages_ = kDefaultMaxPages;
  T4LineCoder coder_;
  std::array<std::uint8_t, kConverterRasterSize> raster_{};
  std::string inputName_;
  std::string outputName_;
  std::string stationId_;
  std::string temporaryFile_;
  std::string errorDetail_;
  ApfWriter writer_;
  StatusCallback status_;
};

// The inputs of each kind.
std::unique_ptr<ConverterInput> MakeTextInput();
std::unique_ptr<ConverterInput> MakeTiffInput();
std::unique_ptr<ConverterInput> MakePcxInput();
std::unique_ptr<ConverterInput> MakeDcxInput();
std::unique_ptr<ConverterInput> MakeBmpInput();
// The bitmap must outlive the conversion.
std::unique_ptr<ConverterInput> MakeBitmapInput(const MonoBitmap& bitmap);

// Lines supplied by the application: open(name), readLine(raster, length,
// endOfPage, morePages) -> whether a handler gave anything, close().
struct UserInputCallbacks {
  std::function<void(const std::string& name)> open;
  std::function<bool(std::uint8_t* data, int& length, bool& endOfPage, bool& morePages)> readLine;
  std::function<void()> close;
};
std::unique_ptr<ConverterInput> MakeUserInput(UserInputCallbacks callbacks);

// A converter for a file input kind (idText .. idBmp, idPdf, idPostScript,
// idPicture); null for the others. PDF and PostScript are rendered for the
// system's paper, or as `rendering` says.
struct DocumentRendering;
std::unique_ptr<FaxConverter> MakeFileConverter(TFaxInputDocumentType kind);
std::unique_ptr<FaxConverter> MakeFileConverter(TFaxInputDocumentType kind, const DocumentRendering& rendering);

// ---------------------------------------------------------------------------
// Component

class TQaFaxConverter {
 public:
  using TFaxStatusEvent =
      std::function<void(TQaFaxConverter& f, bool starting, bool ending, int pagesConverted, int linesConverted,
                         std::int64_t bytesConverted, std::int64_t bytesToConvert, bool& abort)>;
  using TFaxOpenFileEvent = std::function<void(TQaFaxConverter& f, const std::string& fName)>;
  using TFaxCloseFileEvent = std::function<void(TQaFaxConverter& f)>;
  using TFaxReadLineEvent = std::function<void(TQaFaxConverter& f, std::uint8_t* data, int& len, bool& endOfPage,
                                               bool& morePages)>;

  TQaFaxConverter();
  virtual ~TQaFaxConverter() = default;

  TFaxInputDocumentType InputDocumentType() const { return inputDocumentType_; }
  void SetInputDocumentType(TFaxInputDocumentType type) { inputDocumentType_ = type; }
  unsigned Options() const { return options_; }
  // coYieldOften brings coYield with it.
  void SetOptions(unsigned options);
  TFaxResolution Resolution() const { return resolution_; }
  void SetResolution(TFaxResolution r) { resolution_ = r; }
  TFaxWidth Width() const { return width_; }
  void SetWidth(TFaxWidth w) { width_ = w; }
  int TopMargin() const { return topMargin_; }
  void SetTopMargin(int lines) { topMargin_ = lines; }
  int LeftMargin() const { return leftMargin_; }
  void SetLeftMargin(int pixels) { leftMargin_ = pixels; }
  int LinesPerPage() const { return linesPerPage_; }
  void SetLinesPerPage(int lines) { linesPerPage_ = lines; }
  int TabStop() const { return tabStop_; }
  void SetTabStop(int columns) { tabStop_ = columns; }
  int MaxPages() const { return maxPages_; }
  void SetMaxPages(int pages) { maxPages_ = pages; }
  // Only names the font; the font is always the built-in one.
  const std::string& FontFile() const { return fontFile_; }
  void SetFontFile(const std::string& name) { fontFile_ = name; }
  TFaxFont FontType() const { return fontType_; }
  void SetFontType(TFaxFont font) { fontType_ = font; }
  const std::string& DocumentFile() const { return documentFile_; }
  // Also sets OutFileName to the document name with the extension ".APF".
  void SetDocumentFile(const std::string& name);
  const std::string& OutFileName() const { return outFileName_; }
  void SetOutFileName(const std::string& name) { outFileName_ = name; }
  const std::string& DefUserExtension() const { return defUserExtension_; }
  void SetDefUserExtension(const std::string& ext) { defUserExtension_ = ext; }
  const std::string& StationID() const { return stationId_; }
  void SetStationID(const std::string& id) { stationId_ = id; }
  // For PDF and PostScript documents; the system's paper to begin with.
  TFaxPaper Paper() const { return paper_; }
  void SetPaper(TFaxPaper paper) { paper_ = paper; }
  // What the input said about the last failure beyond its code.
  const std::string& ErrorDetail() const { return errorDetail_; }

  TFaxStatusEvent OnStatus;
  TFaxOpenFileEvent OnOpenUserFile;
  TFaxCloseFileEvent OnCloseUserFile;
  TFaxReadLineEvent OnReadUserLine;

  // Converts DocumentFile into OutFileName; raises the exception of a
  // failing code. Returns the pages written.
  int ConvertToFile();
  // Converts a bitmap (white paper, black marks) into OutFileName.
  int ConvertBitmapToFile(const MonoBitmap& bitmap);

 protected:
  virtual void Status(bool starting, bool ending, int pages, int lines, std::int64_t done, std::int64_t total,
                      bool& abort);
  virtual void OpenUserFile(const std::string& name);
  virtual void CloseUserFile();

 private:
  int Run(FaxConverter& core, const std::string& input);

  TFaxInputDocumentType inputDocumentType_ = idNone;
  unsigned options_ = coDoubleWidth | coCenterImage | coYield;
  TFaxResolution resolution_ = TFaxResolution::frNormal;
  TFaxWidth width_ = TFaxWidth::fwNormal;
  int topMargin_ = 0;
  int leftMargin_ = 50;
  int linesPerPage_ = 60;
  int tabStop_ = 4;
  int maxPages_ = kDefaultMaxPages;
  std::string fontFile_ = "QAFAX.FNT";
  TFaxFont fontType_ = TFaxFont::ffStandard;
  std::string documentFile_;
  std::string outFileName_;
  std::string defUserExtension_;
  std::string stationId_;
  TFaxPaper paper_;
  std::string errorDetail_;
};

// Converts a drawn cover page into an APF file at fine resolution without a
// left margin: the bottom-right pixel is set black so the page keeps its size
// when unpacked.
// With an empty outputName the file is the first free SEND/COV#####.APF in
// the program folder; the name used is returned through outputName.
int ConvertCoverBitmap(MonoBitmap bitmap, std::string& outputName);

// Re-renders every page of `source` through the unpacker and converter into
// `destination` at fine resolution. True when every page was converted and
// joined (or the source does not exist); when a page fails the destination
// is not written.
bool ApfRerenderFile(const std::string& source, const std::string& destination);

}  // namespace tv
