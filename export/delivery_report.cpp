#include "export/delivery_report.h"

#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <fstream>
#include <memory>

#include "export/pdf_parts.h"
#include "image/apf_file.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/text.h"

namespace tv {

using namespace PoDoFo;

namespace {

constexpr double kMargin = 56;  // points: about 2 cm
constexpr double kLabelWidth = 150;
constexpr double kLineHeight = 16;
constexpr double kImageScale = 1.0 / 3;

std::string Duration(int seconds) {
  if (seconds < 60) return std::to_string(seconds) + " s";
  return std::to_string(seconds / 60) + " min " + std::to_string(seconds % 60) + " s";
}

// The label and value lines of the report, top down.
std::vector<std::pair<std::string, std::string>> ReportLines(const DeliveryRecord& r) {
  std::vector<std::pair<std::string, std::string>> lines = {
      {"Recipient", r.recipient},
      {"Fax number", r.number},
      {"Remote station ID", r.remoteId.empty() ? "(none given)" : r.remoteId},
      {"Date", LocalTimeText(r.started, "%Y-%m-%d")},
      {"Time", LocalTimeText(r.started, "%H:%M:%S")},
      {"Duration", Duration(r.seconds)},
      {"Pages sent", std::to_string(r.pagesSent) + " of " + std::to_string(r.pages)},
      {"Rate", r.bitRate > 0 ? std::to_string(r.bitRate) + " bit/s" : "(no connection)"},
      {"Coding", r.coding},
      {"Error correction (ECM)", r.errorCorrection ? "on" : "off"},
      {"Page results", r.answers.empty() ? "(none)" : PageAnswerList(r.answers)},
      {"Result", r.result},
  };
  for (const std::string& file : r.files) {
    const std::string hash = FileSha256(file);
    lines.push_back({"SHA-256 of " + std::string(BaseName(file)), hash.empty() ? "(cannot be read)" : hash});
  }
  return lines;
}

// The first page of the first file that has one, as a PDF image; null when
// none can be read.
std::unique_ptr<PdfImage> FirstPage(PdfDocument& document, const std::vector<std::string>& files, T4RecodedPage& page) {
  for (const std::string& file : files) {
    if (ReadFaxPdfImage(file, 1, page) == 0 && page.lines > 0) return pdf::FaxImage(document, page);
  }
  return nullptr;
}

}  // namespace

std::string PageAnswerList(const std::vector<PageAnswer>& answers) {
  std::string text;
  int page = 1;
  for (PageAnswer answer : answers) {
    if (!text.empty()) text += ", ";
    text += std::to_string(page) + (answer == PageAnswer::kConfirmed ? " MCF" : " RTN");
    if (answer == PageAnswer::kConfirmed) ++page;
  }
  return text;
}

std::string FileSha256(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return {};
  const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) return {};
  std::array<char, 65536> buffer{};
  while (in.read(buffer.data(), buffer.size()) || in.gcount() > 0) {
    EVP_DigestUpdate(context.get(), buffer.data(), static_cast<std::size_t>(in.gcount()));
  }
  if (in.bad()) return {};
  std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
  unsigned int size = 0;
  if (EVP_DigestFinal_ex(context.get(), digest.data(), &size) != 1) return {};
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  for (unsigned int i = 0; i < size; ++i) {
    hex += kHex[digest[i] >> 4];
    hex += kHex[digest[i] & 15];
  }
  return hex;
}

int WriteDeliveryReport(const DeliveryRecord& record, const std::string& pdf, TFaxPaper paper) {
  PdfMemDocument document;
  const FaxPdfSheet sheet = FaxPageSheet(0, 0, false, paper);  // the paper itself
  PdfPage* page = document.CreatePage(PdfRect(0, 0, sheet.width, sheet.height));
  PdfFont* regular = document.CreateFont("Helvetica");
  PdfFont* bold = document.CreateFont("Helvetica", true, false);
  PdfFont* fixed = document.CreateFont("Courier");
  PdfPainter painter;
  painter.SetPage(page);

  double y = sheet.height - kMargin;
  bold->SetFontSize(18);
  painter.SetFont(bold);
  painter.DrawText(kMargin, y, pdf::Text("Fax delivery report"));
  y -= 2 * kLineHeight;
  for (const auto& [label, value] : ReportLines(record)) {
    bold->SetFontSize(10);
    painter.SetFont(bold);
    painter.DrawText(kMargin, y, pdf::Text(label));
    // Hashes in a fixed font, small enough for their 64 digits.
    PdfFont* font = label.starts_with("SHA-256") ? fixed : regular;
    font->SetFontSize(label.starts_with("SHA-256") ? 8.5 : 10);
    painter.SetFont(font);
    painter.DrawText(kMargin + kLabelWidth, y, pdf::Text(value));
    y -= kLineHeight;
  }

  T4RecodedPage first;
  if (const auto image = FirstPage(document, record.files, first)) {
    // The page on its sheet, as the fax's PDF shows it, at a third of the
    // size; a sheet longer than the room left is cut at the bottom.
    const FaxPdfSheet full = FaxPageSheet(first.width, first.lines, first.fine, paper);
    y -= kLineHeight;
    regular->SetFontSize(10);
    painter.SetFont(regular);
    painter.DrawText(kMargin, y, pdf::Text("Page 1, at a third of its size:"));
    const double width = full.width * kImageScale;
    const double height = std::min(full.height * kImageScale, y - 6 - kMargin);
    const double top = y - 6;
    painter.Save();
    painter.Rectangle(kMargin, top - height, width, height);
    painter.Clip();
    const double imageHeight = full.imageHeight * kImageScale;
    painter.DrawImage(kMargin + full.imageX * kImageScale, top - imageHeight, image.get(),
                      full.imageWidth * kImageScale / first.width, imageHeight / first.lines);
    painter.Restore();
    painter.SetStrokeWidth(0.5);
    painter.Rectangle(kMargin, top - height, width, height);
    painter.Stroke();
  }
  painter.FinishPage();

  FaxPdfDetails details;
  details.title = "Fax delivery report";
  details.author = record.recipient;
  details.subject = (record.sent ? "Fax sent to " : "Fax not sent to ") + record.number;
  details.date = record.started;
  pdf::SetDetails(document, details);
  return pdf::Save(document, pdf);
}

std::string DeliveryReportPath(const std::string& faxFile) {
  return ProgramFolder() + kDeliveryReportFolder + "/" + ChangeExtension(BaseName(faxFile), ".pdf");
}

}  // namespace tv
