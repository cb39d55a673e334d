#include "export/fax_pdf.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <thread>

#include "export/pdf_parts.h"
#include "image/apf_file.h"
#include "platform/error_codes.h"
#include "platform/files.h"
#include "platform/text.h"

namespace tv {

using namespace PoDoFo;

namespace {

constexpr double kPointsPerInch = 72;
// A fax line of 1728 pixels is 215 mm: 8.04 pixels a millimetre, which fax
// files (and TIFF class F) round to 204 an inch; rows are 3.85 or 7.7 a
// millimetre, 98 or 196 an inch.
constexpr double kPixelsPerInch = 204;
constexpr double kStandardLinesPerInch = 98;
constexpr double kFineLinesPerInch = 196;

struct Paper {
  double width;
  double height;
};

Paper PaperPoints(TFaxPaper paper) {
  constexpr double kPointsPerMm = kPointsPerInch / 25.4;
  if (paper == TFaxPaper::fpLetter) return {8.5 * kPointsPerInch, 11 * kPointsPerInch};
  return {210 * kPointsPerMm, 297 * kPointsPerMm};
}

constexpr std::array<std::uint8_t, 256> kReversedBits = [] {
  std::array<std::uint8_t, 256> table{};
  for (unsigned byte = 0; byte < 256; ++byte) {
    unsigned reversed = 0;
    for (int bit = 0; bit < 8; ++bit) reversed |= ((byte >> bit) & 1u) << (7 - bit);
    table[byte] = static_cast<std::uint8_t>(reversed);
  }
  return table;
}();

}  // namespace

FaxPdfSheet FaxPageSheet(int widthPixels, int lines, bool fine, TFaxPaper paper) {
  const Paper sheet = PaperPoints(paper);
  FaxPdfSheet placed;
  placed.imageWidth = widthPixels * kPointsPerInch / kPixelsPerInch;
  placed.imageHeight = lines * kPointsPerInch / (fine ? kFineLinesPerInch : kStandardLinesPerInch);
  placed.width = std::max(sheet.width, placed.imageWidth);
  placed.height = std::max(sheet.height, placed.imageHeight);
  placed.imageX = (placed.width - placed.imageWidth) / 2;
  placed.imageY = placed.height - placed.imageHeight;
  return placed;
}

int ReadFaxPdfImage(const std::string& fax, int page, T4RecodedPage& out) {
  const int rc = T4RecodeApfPage(fax, page, T4Coding::kMmr, out);
  for (std::uint8_t& byte : out.data) byte = kReversedBits[byte];
  return rc;
}

namespace {

// The words over the page's image, invisible: each at its box's height and
// stretched to its box's width, its baseline a fifth of the box up.
void DrawWords(PdfMemDocument& document, PdfPainter& painter, const FaxPdfSheet& sheet, const T4RecodedPage& page,
               const OcrPage& words) {
  if (words.empty()) return;
  PdfFont* font = document.CreateFont("Helvetica");
  const double across = sheet.imageWidth / page.width;
  const double down = sheet.imageHeight / page.lines;
  painter.SetTextRenderingMode(ePdfTextRenderingMode_Invisible);
  for (const OcrWord& word : words) {
    const PdfString text = pdf::Text(word.text);
    const double height = word.height * down;
    font->SetFontSize(static_cast<float>(height));
    font->SetFontScale(100);
    const double natural = font->GetFontMetrics()->StringWidth(text);
    if (natural > 0) font->SetFontScale(static_cast<float>(100 * word.width * across / natural));
    painter.SetFont(font);
    const double bottom = sheet.imageY + sheet.imageHeight - (word.y + word.height) * down;
    painter.DrawText(sheet.imageX + word.x * across, bottom + height / 5, text);
  }
  painter.SetTextRenderingMode(ePdfTextRenderingMode_Fill);
}

// Re-coding is most of an export's work, and pages re-code apart from each
// other: a batch at a time on every core, the batch bounding what is held.
constexpr int kPagesRecodedAtOnce = 16;

struct PageImage {
  int rc = 0;
  T4RecodedPage page;
};

// Pages `first` to `first + count - 1` of a fax file, re-coded for the PDF.
std::vector<PageImage> RecodePages(const std::string& fax, int first, int count) {
  std::vector<PageImage> images(static_cast<std::size_t>(count));
  std::atomic<int> next{0};
  const auto work = [&] {
    for (int i = next++; i < count; i = next++) {
      PageImage& image = images[static_cast<std::size_t>(i)];
      image.rc = ReadFaxPdfImage(fax, first + i, image.page);
    }
  };
  const int cores = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  {
    std::vector<std::jthread> helpers;
    for (int h = 1; h < std::min(cores, count); ++h) helpers.emplace_back(work);
    work();
  }
  return images;
}

// Adds the pages of one fax file, numbered on from `pagesBefore`.
int AddFaxPages(PdfMemDocument& document, const std::string& fax, int pagesBefore, TFaxPaper paper,
                const std::vector<OcrPage>& text, FaxPdfResult& written) {
  TApfFileHeader header;
  if (const int rc = ApfReadFileHeader(fax, header); rc != 0) return rc;
  std::vector<PageImage> batch;
  for (int number = 1; number <= header.pageCount; ++number) {
    const int inBatch = (number - 1) % kPagesRecodedAtOnce;
    if (inBatch == 0) batch = RecodePages(fax, number, std::min(kPagesRecodedAtOnce, header.pageCount - number + 1));
    const T4RecodedPage& page = batch[static_cast<std::size_t>(inBatch)].page;
    const bool opened = batch[static_cast<std::size_t>(inBatch)].rc == 0;
    if (!opened || page.Damaged()) written.damagedPages.push_back(pagesBefore + number);
    if (!opened || (page.lines == 0 && page.Damaged())) continue;
    const FaxPdfSheet sheet = FaxPageSheet(page.width, page.lines, page.fine, paper);
    PdfPage* pdfPage = document.CreatePage(PdfRect(0, 0, sheet.width, sheet.height));
    ++written.pages;
    if (page.lines == 0) continue;  // a page without ink
    const auto image = pdf::FaxImage(document, page);
    PdfPainter painter;
    painter.SetPage(pdfPage);
    painter.DrawImage(sheet.imageX, sheet.imageY, image.get(), sheet.imageWidth / page.width,
                      sheet.imageHeight / page.lines);
    if (const auto at = static_cast<std::size_t>(pagesBefore + number - 1); at < text.size())
      DrawWords(document, painter, sheet, page, text[at]);
    painter.FinishPage();
  }
  return header.pageCount;
}

}  // namespace

int WriteFaxPdf(const std::vector<std::string>& faxes, const std::string& pdf, const FaxPdfDetails& details,
                TFaxPaper paper, FaxPdfResult* result, const std::vector<OcrPage>& text) {
  FaxPdfResult written;
  PdfMemDocument document;
  int pagesBefore = 0;
  for (const std::string& fax : faxes) {
    const int pages = AddFaxPages(document, fax, pagesBefore, paper, text, written);
    if (pages < 0) {
      if (result) *result = FaxPdfResult();
      return pages;
    }
    pagesBefore += pages;
  }
  if (result) *result = written;
  if (written.pages == 0) return ecFaxBadFormat;
  pdf::SetDetails(document, details);
  return pdf::Save(document, pdf);
}

FaxPdfDetails JoinFaxPdfDetails(const std::vector<FaxPdfDetails>& faxes) {
  FaxPdfDetails joined;
  std::vector<std::string> authors;
  auto append = [](std::string& list, const std::string& item, const char* separator) {
    if (!item.empty()) list += (list.empty() ? "" : separator) + item;
  };
  for (const FaxPdfDetails& fax : faxes) {
    append(joined.title, fax.title, "; ");
    append(joined.subject, fax.subject, "; ");
    if (std::find(authors.begin(), authors.end(), fax.author) == authors.end()) {
      authors.push_back(fax.author);
      append(joined.author, fax.author, ", ");
    }
    joined.date = std::max(joined.date, fax.date);
  }
  return joined;
}

FaxPdfDetails FaxFileDetails(const std::string& fax) {
  FaxPdfDetails details;
  details.title = std::string(BaseName(fax));
  TApfFileHeader header;
  if (ApfReadFileHeader(fax, header) != 0) return details;
  details.author = TrimWhite(ApfStationId(header));
  if (header.creationStamp != 0) {
    std::tm stamp = UnpackApfStamp(header.creationStamp);
    stamp.tm_isdst = -1;
    details.date = std::mktime(&stamp);
  }
  return details;
}

}  // namespace tv
