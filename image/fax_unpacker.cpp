#include "image/fax_unpacker.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "platform/error_codes.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/text.h"
#include "platform/ui_thread.h"

namespace tv {

namespace {

// Pairs of pixels become one, black when either is: OR where 1 is black,
// AND where 1 is white.
void HalveWidth(const std::uint8_t* in, int byteCount, bool oneIsWhite, std::uint8_t* out) {
  for (int i = 0; i < byteCount; i += 2) {
    unsigned packed = 0;
    for (int half = 0; half < 2 && i + half < byteCount; ++half) {
      const unsigned byte = oneIsWhite ? static_cast<std::uint8_t>(~in[i + half]) : in[i + half];
      for (int k = 0; k < 4; ++k) {
        const unsigned pair = (byte >> (6 - 2 * k)) & 3u;
        packed = (packed << 1) | (pair != 0 ? 1u : 0u);
      }
    }
    const auto result = static_cast<std::uint8_t>(packed);
    out[i / 2] = oneIsWhite ? static_cast<std::uint8_t>(~result) : result;
  }
}

bool IsBlank(const std::uint8_t* line, int byteCount) {
  return std::all_of(line, line + byteCount, [](std::uint8_t b) { return b == 0; });
}

}  // namespace

FaxUnpacker::FaxUnpacker() : work_(T4Decoder::kLineBufferSize + 8), blank_(T4Decoder::kLineBufferSize) {}

void FaxUnpacker::SetOptions(unsigned bits) {
  if ((bits & kUnpackDoubleHeight) && (bits & kUnpackHalfWidth)) bits &= ~kUnpackHalfWidth;
  options_ = bits;
}

void FaxUnpacker::SetOption(unsigned bit, bool on) {
  unsigned bits = on ? (options_ | bit) : (options_ & ~bit);
  if (on && bit == kUnpackDoubleHeight) bits &= ~kUnpackHalfWidth;
  if (on && bit == kUnpackHalfWidth) bits &= ~kUnpackDoubleHeight;
  options_ = bits;
}

int FaxUnpacker::SetWhitespaceCompression(int from, int to) {
  if (from < to || (from == 0 && to != 0) || to < 0) return ecBadArgument;
  whitespaceFrom_ = from;
  whitespaceTo_ = to;
  return ecOK;
}

void FaxUnpacker::SetScaling(int horizMult, int horizDiv, int vertMult, int vertDiv) {
  auto factor = [](int v) { return v <= 0 ? 1 : v; };
  horizMult_ = factor(horizMult);
  horizDiv_ = factor(horizDiv);
  vertMult_ = factor(vertMult);
  vertDiv_ = factor(vertDiv);
}

// Every 16 lines given out, with the yield option, pending window messages
// are processed.
bool FaxUnpacker::YieldDue() const { return (options_ & kUnpackYield) && linesOutput_ - lastYieldAt_ >= 16; }

int FaxUnpacker::PumpMessages() {
  UiThread& ui = UiThread::Current();
  if (!ui.IsUiThread()) return ecOK;
  ui.ProcessPendingMessages();
  return ui.Terminating() ? ecGotQuitMsg : ecOK;
}

void FaxUnpacker::ReportStatus() {
  if (!statusCallback_) return;
  const std::uint32_t total = reader_.PageHeader().dataLength;
  statusCallback_(*this, fileName_, page_, std::min(reader_.BytesRead(), total), total);
}

int FaxUnpacker::Deliver(int flags, const std::uint8_t* line, int byteCount) {
  return lineCallback_ ? lineCallback_(*this, flags, line, byteCount, page_) : ecOK;
}

int FaxUnpacker::GiveOut(const std::uint8_t* line, int byteCount) {
  const std::uint8_t* out = line;
  if (byteCount > 0 && inverted_) {
    for (int i = 0; i < byteCount; ++i) work_[i] = static_cast<std::uint8_t>(~line[i]);
    out = work_.data();
  }
  int copies = 1;
  if (!reader_.PageHeader().Fine()) {
    if (options_ & kUnpackDoubleHeight) {
      copies = 2;
    } else if ((options_ & kUnpackHalfWidth) && byteCount > 0) {
      HalveWidth(out, byteCount, inverted_, work_.data());
      out = work_.data();
      byteCount /= 2;
    }
  }
  for (int i = 0; i < copies; ++i) {
    ++linesOutput_;
    if (int rc = Deliver(0, out, byteCount); rc != ecOK) return rc;
  }
  return ecOK;
}

int FaxUnpacker::FlushBlankLines() {
  const int count = pendingBlank_ >= whitespaceFrom_ ? whitespaceTo_ : pendingBlank_;
  pendingBlank_ = 0;
  for (int i = 0; i < count; ++i) {
    if (int rc = GiveOut(blank_.data(), 0); rc != ecOK) return rc;
  }
  return ecOK;
}

int FaxUnpacker::DecodedLine(const std::uint8_t* line, int byteCount) {
  // Longer than any paper: damaged or hostile data that would take gigabytes.
  if (++codedLines_ > kApfMaxPageLines) return ecFaxBadFormat;
  if (whitespaceFrom_ != 0 && whitespaceTo_ != 0) {
    if (IsBlank(line, byteCount)) {
      ++pendingBlank_;
      return ecOK;
    }
    if (int rc = FlushBlankLines(); rc != ecOK) return rc;
  }
  return GiveOut(line, byteCount);
}

int FaxUnpacker::UnpackPage(const std::string& fileName, int page) {
  fileName_ = fileName;
  page_ = page;
  linesOutput_ = 0;
  codedLines_ = 0;
  lastYieldAt_ = 0;
  pendingBlank_ = 0;
  decoder_.StartPage();
  if (int rc = reader_.Open(fileName, page); rc != ecOK) return rc;

  int result = Deliver(kUnpackStarting, nullptr, 0);
  std::vector<std::uint8_t> block(kApfMaxBlock);
  auto sink = [&](const std::uint8_t* line, int byteCount) {
    result = DecodedLine(line, byteCount);
    return result == ecOK && (options_ & kUnpackAbort) == 0 && !YieldDue();
  };
  while (result == ecOK && !decoder_.PageEnded()) {
    const long got = reader_.NextBlock(std::span<std::uint8_t, kApfMaxBlock>(block.data(), kApfMaxBlock));
    if (got < 0) return static_cast<int>(got);
    if (got == 0) break;
    for (std::size_t at = 0; at < static_cast<std::size_t>(got) && result == ecOK && !decoder_.PageEnded();) {
      at += decoder_.Decode(block.data() + at, static_cast<std::size_t>(got) - at, sink);
      if (result != ecOK) break;
      if (options_ & kUnpackAbort) {
        options_ &= ~kUnpackAbort;
        return ecUnpackAbort;
      }
      if (YieldDue()) {
        lastYieldAt_ = linesOutput_;
        result = PumpMessages();
      }
    }
    ReportStatus();
  }
  if (result != ecOK) return result;
  decoder_.EndOfData(sink);
  if (result != ecOK) return result;
  if (int rc = FlushBlankLines(); rc != ecOK) return rc;
  ReportStatus();
  return Deliver(kUnpackEnding, nullptr, 0);
}

int FaxUnpacker::UnpackPageToBitmap(const std::string& fileName, int page, MonoBitmap& bitmap) {
  constexpr int kGrowLines = 1024;
  std::vector<std::uint8_t> store;
  int storedWidth = 0;
  int widestUsed = 1;
  int lines = 0;

  LineCallback saved = std::move(lineCallback_);
  const bool savedInverted = inverted_;
  inverted_ = true;
  lineCallback_ = [&](FaxUnpacker& self, int flags, const std::uint8_t* line, int byteCount, int) -> int {
    try {
      if (flags & kUnpackStarting) {
        storedWidth = self.PageHeader().Wide() ? kWideLineBytes : kStandardLineBytes;
        store.assign(static_cast<std::size_t>(kGrowLines) * storedWidth, 0xFF);
        return ecOK;
      }
      if (flags & kUnpackEnding) return ecOK;
      if (lines > 0 && lines % kGrowLines == 0) store.resize(store.size() + static_cast<std::size_t>(kGrowLines) * storedWidth, 0xFF);
      std::uint8_t* row = store.data() + static_cast<std::size_t>(lines) * storedWidth;
      const int n = std::min(byteCount, storedWidth);
      if (n > 0) std::memcpy(row, line, static_cast<std::size_t>(n));
      int used = n;
      while (used > 0 && row[used - 1] == 0xFF) --used;
      widestUsed = std::max(widestUsed, used);
      ++lines;
      return ecOK;
    } catch (const std::bad_alloc&) {
      return ecOutOfMemory;
    }
  };
  const int rc = UnpackPage(fileName, page);
  lineCallback_ = std::move(saved);
  inverted_ = savedInverted;
  bitmap = MonoBitmap();
  if (rc != ecOK) return rc;
  if (lines == 0) return ecOK;

  try {
    const int rowBytes = std::min((widestUsed + 1) / 2 * 2, storedWidth);
    MonoBitmap page(rowBytes * 8, lines);
    for (int y = 0; y < lines; ++y) {
      std::memcpy(page.Row(y).data(), store.data() + static_cast<std::size_t>(y) * storedWidth,
                  static_cast<std::size_t>(rowBytes));
    }
    if (horizMult_ != horizDiv_ || vertMult_ != vertDiv_) {
      const auto w = static_cast<int>(static_cast<std::int64_t>(page.Width()) * horizMult_ / horizDiv_);
      const auto h = static_cast<int>(static_cast<std::int64_t>(page.Height()) * vertMult_ / vertDiv_);
      if (w <= 0 || h <= 0 || static_cast<std::int64_t>(w) * h > (std::int64_t{1} << 34)) return ecCantMakeBitmap;
      page = page.Stretched(w, h);
    }
    bitmap = std::move(page);
  } catch (const std::bad_alloc&) {
    return ecCantMakeBitmap;
  }
  return ecOK;
}

// ---------------------------------------------------------------------------
// Component

TQaFaxUnpacker::TQaFaxUnpacker() {
  core_.SetLineCallback([this](FaxUnpacker&, int flags, const std::uint8_t* line, int byteCount, int page) {
    OutputLine(flags & kUnpackStarting, flags & kUnpackEnding, line, byteCount, page);
    return ecOK;
  });
  core_.SetStatusCallback([this](FaxUnpacker&, const std::string& name, int page, std::uint32_t done,
                                 std::uint32_t total) {
    Status(name, page, done, total);
  });
}

void TQaFaxUnpacker::SetOptions(unsigned options) {
  options_ = options;
  core_.SetOption(kUnpackAbort, (options & uoAbort) != 0);
}

void TQaFaxUnpacker::SetInFileName(const std::string& name) {
  if (EqualsNoCase(name, inFileName_)) {
    inFileName_ = name;
    return;
  }
  inFileName_ = name;
  outFileName_ = ChangeExtension(name, "");
}

int TQaFaxUnpacker::Rebuild() {
  unsigned bits = (options_ & uoYield) ? kUnpackYield : 0;
  if (autoScaleMode_ == TAutoScaleMode::asDoubleHeight) bits |= kUnpackDoubleHeight;
  if (autoScaleMode_ == TAutoScaleMode::asHalfWidth) bits |= kUnpackHalfWidth;
  if (options_ & uoAbort) bits |= kUnpackAbort;
  core_.SetOptions(bits);
  if (int rc = core_.SetWhitespaceCompression(whitespaceCompression_ ? whitespaceFrom_ : 0,
                                              whitespaceCompression_ ? whitespaceTo_ : 0);
      rc != ecOK) {
    return rc;
  }
  if (scaling_) {
    core_.SetScaling(horizMult_, horizDiv_, vertMult_, vertDiv_);
  } else {
    core_.SetScaling(1, 1, 1, 1);
  }
  return ecOK;
}

int TQaFaxUnpacker::NumberOfPages() {
  CheckErrorCode(Rebuild());
  TApfFileHeader header;
  CheckErrorCode(ApfReadFileHeader(inFileName_, header));
  return header.pageCount;
}

bool TQaFaxUnpacker::FaxResolutionFine() {
  CheckErrorCode(Rebuild());
  TApfPageHeader header;
  CheckErrorCode(ApfReadPageHeader(inFileName_, 1, header));
  return header.Fine();
}

bool TQaFaxUnpacker::FaxWidthWide() {
  CheckErrorCode(Rebuild());
  TApfPageHeader header;
  CheckErrorCode(ApfReadPageHeader(inFileName_, 1, header));
  return header.Wide();
}

MonoBitmap TQaFaxUnpacker::UnpackPageToBitmap(int page) {
  CheckErrorCode(Rebuild());
  MonoBitmap bitmap;
  const int rc = core_.UnpackPageToBitmap(inFileName_, page, bitmap);
  if (rc == ecUnpackAbort) options_ &= ~uoAbort;
  CheckErrorCode(rc);
  return bitmap;
}

void TQaFaxUnpacker::UnpackPage(int page) {
  CheckErrorCode(Rebuild());
  const int rc = core_.UnpackPage(inFileName_, page);
  if (rc == ecUnpackAbort) options_ &= ~uoAbort;
  CheckErrorCode(rc);
}

void TQaFaxUnpacker::OutputLine(bool starting, bool ending, const std::uint8_t* data, int len, int pageNum) {
  if (OnOutputLine) OnOutputLine(*this, starting, ending, data, len, pageNum);
}

void TQaFaxUnpacker::Status(const std::string& fName, int pageNum, std::uint32_t bytesUnpacked,
                            std::uint32_t bytesToUnpack) {
  if (OnStatus) OnStatus(*this, fName, pageNum, bytesUnpacked, bytesToUnpack);
}

}  // namespace tv
