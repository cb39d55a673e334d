// The fax unpacker: one page of an APF file back into raster lines, with the
// display rules applied on the way (blank-line compression, aspect
// correction of standard-resolution pages, inversion for bitmaps, scaling).
// Output goes to a line callback or into a MonoBitmap of the whole page.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "image/apf_file.h"
#include "image/mono_bitmap.h"
#include "image/t4_coding.h"

namespace tv {

// Option bits of the unpacker core. Double height and half width exclude
// each other.
inline constexpr unsigned kUnpackYield = 1;
inline constexpr unsigned kUnpackDoubleHeight = 2;
inline constexpr unsigned kUnpackHalfWidth = 4;
inline constexpr unsigned kUnpackAbort = 8;

// Line callback flags.
inline constexpr int kUnpackStarting = 1;
inline constexpr int kUnpackEnding = 2;

class FaxUnpacker {
 public:
  // flags: kUnpackStarting before the first line, kUnpackEnding after the
  // last, 0 for a line. A blank line given out by blank-line compression
  // has byteCount 0. A non-zero result stops the unpack with that code.
  using LineCallback =
      std::function<int(FaxUnpacker& unpacker, int flags, const std::uint8_t* line, int byteCount, int page)>;
  using StatusCallback = std::function<void(FaxUnpacker& unpacker, const std::string& fileName, int page,
                                            std::uint32_t bytesUnpacked, std::uint32_t bytesToUnpack)>;

  FaxUnpacker();
  FaxUnpacker(const FaxUnpacker&) = delete;
  FaxUnpacker& operator=(const FaxUnpacker&) = delete;

  // Setting double height clears half width and the other way round.
  void SetOptions(unsigned bits);
  unsigned Options() const { return options_; }
  void SetOption(unsigned bit, bool on);

  // A run of at least `from` blank lines becomes `to` blank lines; (0, 0) is
  // off. from below to, or from 0 with to not 0, is ecBadArgument.
  int SetWhitespaceCompression(int from, int to);
  // Factors of 0 count as 1.
  void SetScaling(int horizMult, int horizDiv, int vertMult, int vertDiv);
  void SetInvertedOutput(bool on) { inverted_ = on; }

  void SetLineCallback(LineCallback callback) { lineCallback_ = std::move(callback); }
  void SetStatusCallback(StatusCallback callback) { statusCallback_ = std::move(callback); }

  // Unpacks page `page` (from 1) through the line callback.
  int UnpackPage(const std::string& fileName, int page);
  // Unpacks page `page` into a bitmap (inverted output: white paper, black
  // marks), trimmed on the right to the widest black content.
  int UnpackPageToBitmap(const std::string& fileName, int page, MonoBitmap& bitmap);

  int InvalidCodes() const { return decoder_.InvalidCodes(); }
  const TApfFileHeader& FileHeader() const { return reader_.FileHeader(); }
  const TApfPageHeader& PageHeader() const { return reader_.PageHeader(); }

 private:
  int DecodedLine(const std::uint8_t* line, int byteCount);
  int FlushBlankLines();
  int GiveOut(const std::uint8_t* line, int byteCount);
  int Deliver(int flags, const std::uint8_t* line, int byteCount);
  bool YieldDue() const;
  int PumpMessages();
  void ReportStatus();

  unsigned options_ = kUnpackYield | kUnpackDoubleHeight;
  int whitespaceFrom_ = 0;
  int whitespaceTo_ = 0;
  int horizMult_ = 1, horizDiv_ = 1, vertMult_ = 1, vertDiv_ = 1;
  bool inverted_ = false;
  LineCallback lineCallback_;
  StatusCallback statusCallback_;

  T4Decoder decoder_;
  ApfPageReader reader_;
  std::string fileName_;
  int page_ = 0;
  int linesOutput_ = 0;
  int codedLines_ = 0;
  int lastYieldAt_ = 0;
  int pendingBlank_ = 0;
  std::vector<std::uint8_t> work_;
  std::vector<std::uint8_t> blank_;
};

// ---------------------------------------------------------------------------
// Component

// The component's Options set.
enum TUnpackerOptions : unsigned { uoYield = 1, uoAbort = 2 };
enum class TAutoScaleMode { asNone, asDoubleHeight, asHalfWidth };

class TQaFaxUnpacker {
 public:
  using TUnpackOutputLineEvent = std::function<void(TQaFaxUnpacker& sender, bool starting, bool ending,
                                                    const std::uint8_t* data, int len, int pageNum)>;
  using TUnpackStatusEvent = std::function<void(TQaFaxUnpacker& sender, const std::string& fName, int pageNum,
                                                std::uint32_t bytesUnpacked, std::uint32_t bytesToUnpack)>;

  TQaFaxUnpacker();
  virtual ~TQaFaxUnpacker() = default;
  TQaFaxUnpacker(const TQaFaxUnpacker&) = delete;
  TQaFaxUnpacker& operator=(const TQaFaxUnpacker&) = delete;

  unsigned Options() const { return options_; }
  // Setting uoAbort while an unpack runs (from an event) stops that unpack.
  void SetOptions(unsigned options);

  bool WhitespaceCompression() const { return whitespaceCompression_; }
  void SetWhitespaceCompression(bool on) { whitespaceCompression_ = on; }
  int WhitespaceFrom() const { return whitespaceFrom_; }
  void SetWhitespaceFrom(int v) { whitespaceFrom_ = v; }
  int WhitespaceTo() const { return whitespaceTo_; }
  void SetWhitespaceTo(int v) { whitespaceTo_ = v; }
  bool Scaling() const { return scaling_; }
  void SetScaling(bool on) { scaling_ = on; }
  int HorizMult() const { return horizMult_; }
  void SetHorizMult(int v) { if (v != 0) horizMult_ = v; }
  int HorizDiv() const { return horizDiv_; }
  void SetHorizDiv(int v) { if (v != 0) horizDiv_ = v; }
  int VertMult() const { return vertMult_; }
  void SetVertMult(int v) { if (v != 0) vertMult_ = v; }
  int VertDiv() const { return vertDiv_; }
  void SetVertDiv(int v) { if (v != 0) vertDiv_ = v; }
  TAutoScaleMode AutoScaleMode() const { return autoScaleMode_; }
  void SetAutoScaleMode(TAutoScaleMode mode) { autoScaleMode_ = mode; }
  const std::string& InFileName() const { return inFileName_; }
  // Also sets OutFileName to the name without its extension.
  void SetInFileName(const std::string& name);
  const std::string& OutFileName() const { return outFileName_; }
  void SetOutFileName(const std::string& name) { outFileName_ = name; }

  TUnpackOutputLineEvent OnOutputLine;
  TUnpackStatusEvent OnStatus;

  // These raise the exception of a failing code.
  int NumberOfPages();
  bool FaxResolutionFine();  // page 1
  bool FaxWidthWide();       // page 1
  MonoBitmap UnpackPageToBitmap(int page);
  // The header of the page unpacked last.
  const TApfPageHeader& PageHeader() const { return core_.PageHeader(); }
  // Through OnOutputLine.
  void UnpackPage(int page);

 protected:
  virtual void OutputLine(bool starting, bool ending, const std::uint8_t* data, int len, int pageNum);
  virtual void Status(const std::string& fName, int pageNum, std::uint32_t bytesUnpacked,
                      std::uint32_t bytesToUnpack);

 private:
  int Rebuild();

  unsigned options_ = uoYield;
  bool whitespaceCompression_ = false;
  int whitespaceFrom_ = 0;
  int whitespaceTo_ = 0;
  bool scaling_ = false;
  int horizMult_ = 1, horizDiv_ = 1, vertMult_ = 1, vertDiv_ = 1;
  TAutoScaleMode autoScaleMode_ = TAutoScaleMode::asDoubleHeight;
  std::string inFileName_;
  std::string outFileName_;
  FaxUnpacker core_;
};

}  // namespace tv
