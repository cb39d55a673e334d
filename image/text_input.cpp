// Text documents: each text line becomes one raster line per font row.
#include <algorithm>
#include <deque>
#include <optional>
#include <vector>

#include "image/byte_reader.h"
#include "image/fax_converter.h"
#include "image/fax_font.h"
#include "platform/error_codes.h"

namespace tv {

namespace {

constexpr std::size_t kMaxTextLine = 144;
constexpr char kFormFeed = '\f';
// A text has fewer than one control or unassigned byte in this many.
constexpr std::int64_t kMostNonText = 16;

class TextInput : public ConverterInput {
 public:
  int Open(FaxConverter& converter) override {
    if (int rc = reader_.Open(converter.InputName()); rc != ecOK) return rc;
    converter.SetBytesToConvert(reader_.Size());
    if (int rc = ScanText(converter); rc != ecOK) return rc;
    font_.emplace(converter.FontSelector(), converter.Fine());
    const int c = font_->Width();
    maxChars_ = static_cast<std::size_t>(std::max(0, converter.PageWidth() / c - converter.LeftMargin() / c));
    segments_.clear();
    rowsLeft_ = 0;
    linesOnPage_ = 0;
    endPageNext_ = false;
    return ecOK;
  }

  int ReadLine(FaxConverter& converter, ConverterLine& line) override {
    for (;;) {
      if (rowsLeft_ > 0) {
        const int row = font_->Rows() - rowsLeft_ + 1;
        --rowsLeft_;
        font_->RenderRow(text_, row, converter.Raster(), kConverterRasterSize);
        line.length = static_cast<int>((text_.size() * static_cast<std::size_t>(font_->Width()) + 7) / 8);
        return ecOK;
      }
      if (endPageNext_) {
        line.endOfPage = true;
        endPageNext_ = false;
        linesOnPage_ = 0;
        int rc = DropPageBreaks(converter);
        line.morePages = !segments_.empty();
        return rc;
      }
      if (int rc = FillSegments(converter); rc != ecOK) return rc;
      if (segments_.empty()) {
        // A page is never empty: one blank line before the end.
        if (linesOnPage_ == 0) {
          ++linesOnPage_;
          line.length = 0;
          return ecOK;
        }
        line.endOfPage = true;
        return ecOK;
      }
      Segment next = std::move(segments_.front());
      segments_.pop_front();
      if (next.breakOnly) {
        endPageNext_ = linesOnPage_ > 0;
        continue;
      }
      text_ = Layout(next.text, converter.TabStop());
      rowsLeft_ = font_->Rows();
      ++linesOnPage_;
      const int perPage = converter.LinesPerPage();
      endPageNext_ = next.formFeed || (perPage > 0 && linesOnPage_ >= perPage);
    }
  }

  void Close(FaxConverter&) override { reader_.Close(); }

 private:
  struct Segment {
    std::string text;
    bool formFeed = false;   // a form feed follows the text
    bool breakOnly = false;  // a form feed with no text before it
  };

  // Decides once, over the whole file, whether it is UTF-8, and refuses a
  // file that is no text: one whose bytes are more than one in
  // kMostNonText control bytes or bytes that are no character.
  int ScanText(FaxConverter& converter) {
    utf8_ = true;
    std::string carry;
    std::vector<char> chunk(65536);
    std::int64_t control = 0;
    std::int64_t unassigned = 0;  // bytes Windows-1252 leaves without a character
    while (!reader_.AtEnd()) {
      const std::size_t n = static_cast<std::size_t>(std::min<std::int64_t>(
          static_cast<std::int64_t>(chunk.size()), reader_.Size() - reader_.Position()));
      if (int rc = reader_.Read(chunk.data(), n); rc != ecOK) return rc;
      for (std::size_t i = 0; i < n; ++i) {
        const auto c = static_cast<unsigned char>(chunk[i]);
        control += (c < 0x20 && c != '\t' && c != '\n' && c != '\r' && c != kFormFeed) || c == 0x7F;
        unassigned += c == 0x81 || c == 0x8D || c == 0x8F || c == 0x90 || c == 0x9D;
      }
      if (!utf8_) continue;
      carry.append(chunk.data(), n);
      std::size_t tail = 0;
      utf8_ = IsUtf8(carry, &tail);
      carry.erase(0, carry.size() - tail);
    }
    if (utf8_ && !carry.empty()) utf8_ = false;  // cut off at the end
    const std::int64_t nonText = control + (utf8_ ? 0 : unassigned);
    if (nonText * kMostNonText > reader_.Size()) {
      converter.SetErrorDetail("not a text file: " + std::to_string(nonText) + " of its " +
                               std::to_string(reader_.Size()) + " bytes are control codes or no character at all");
      return ecBadGraphicsFormat;
    }
    if (int rc = reader_.Seek(0); rc != ecOK) return rc;
    // A byte-order mark is not text.
    std::uint8_t bom[3] = {};
    if (utf8_ && reader_.Size() >= 3 && reader_.Read(bom, 3) == ecOK && bom[0] == 0xEF && bom[1] == 0xBB &&
        bom[2] == 0xBF) {
      return ecOK;
    }
    return reader_.Seek(0);
  }

  // One line of the file without its line end; false at the end of the file.
  int ReadFileLine(FaxConverter& converter, std::string& raw, bool& got) {
    raw.clear();
    got = false;
    for (;;) {
      const int c = reader_.Next();
      if (c < -1) return c;
      if (c == -1) break;
      got = true;
      if (c == '\n') break;
      // Only the first part of an overlong line is kept; the rest is skipped.
      if (raw.size() < kMaxTextLine * 4) raw += static_cast<char>(c);
    }
    if (!raw.empty() && raw.back() == '\r') raw.pop_back();
    if (got) converter.AddBytesConverted(static_cast<std::int64_t>(raw.size()) + 2);
    return ecOK;
  }

  // Splits the next file line at its form feeds. Text next to a form feed
  // that is empty is no line of its own.
  int FillSegments(FaxConverter& converter) {
    if (!segments_.empty()) return ecOK;
    std::string raw;
    bool got = false;
    if (int rc = ReadFileLine(converter, raw, got); rc != ecOK) return rc;
    if (!got) return ecOK;
    std::string text = ToFaxCharset(raw, utf8_);
    if (text.size() > kMaxTextLine) text.resize(kMaxTextLine);
    std::size_t start = 0;
    for (std::size_t ff; (ff = text.find(kFormFeed, start)) != std::string::npos; start = ff + 1) {
      if (ff > start) {
        segments_.push_back({text.substr(start, ff - start), true, false});
      } else {
        segments_.push_back({"", false, true});
      }
    }
    if (start == 0 || start < text.size()) segments_.push_back({text.substr(start), false, false});
    return ecOK;
  }

  // After a page end, form feeds before any further text do nothing.
  int DropPageBreaks(FaxConverter& converter) {
    for (;;) {
      if (int rc = FillSegments(converter); rc != ecOK) return rc;
      if (segments_.empty() || !segments_.front().breakOnly) return ecOK;
      segments_.pop_front();
    }
  }

  std::string Layout(const std::string& text, int tabStop) const {
    std::string out;
    for (const char ch : text) {
      if (ch == '\t') {
        // Tab stop 0: tabs give no space.
        if (tabStop > 0) out.append(static_cast<std::size_t>(tabStop) - out.size() % static_cast<std::size_t>(tabStop), ' ');
      } else {
        out += ch;
      }
      if (out.size() >= maxChars_) break;
    }
    if (out.size() > maxChars_) out.resize(maxChars_);
    return out;
  }

  ByteReader reader_;
  bool utf8_ = false;
  std::optional<FaxFont> font_;
  std::size_t maxChars_ = 0;
  std::deque<Segment> segments_;
  std::string text_;
  int rowsLeft_ = 0;
  int linesOnPage_ = 0;
  bool endPageNext_ = false;
};

}  // namespace

std::unique_ptr<ConverterInput> MakeTextInput() { return std::make_unique<TextInput>(); }

}  // namespace tv
