#include "view/widgets/fax_printer.h"

#include <QCoreApplication>
#include <QDate>
#include <QFontMetrics>
#include <QImage>
#include <QLocale>
#include <QPainter>
#include <QPrintDialog>
#include <QTime>
#include <algorithm>
#include <ctime>

#include "view/margin_tags.h"
#include "view/widgets/print_job.h"

namespace tv {

namespace {

// The bitmap's rows as a 1-bit picture (a set bit is paper), without a copy.
QImage MonoImage(const MonoBitmap& bitmap) {
  QImage image(bitmap.Row(0).data(), bitmap.Width(), bitmap.Height(), bitmap.RowBytes(), QImage::Format_Mono);
  image.setColorTable({qRgb(0, 0, 0), qRgb(255, 255, 255)});
  return image;
}

QRect ToQRect(const PixelRect& r) { return QRect(r.left, r.top, r.Width(), r.Height()); }

void ProcessPendingMessages() { QCoreApplication::processEvents(); }

// Draws a header or footer line at the top or bottom of the cell and takes
// its rows from the cell.
void DrawMargin(QPainter& painter, TQaFaxPrinterMargin& margin, bool multiPage, bool top, PixelRect& cell,
                       const MarginTagValues& values) {
  QFont font = margin.Font();
  if (multiPage) font.setPointSize(std::max(font.pointSize() / 2, 1));
  painter.setFont(font);
  margin.SetHeight(QFontMetrics(font, painter.device()).height());
  int ruleY = 0;
  const PixelRect band = top ? TakeHeaderBand(cell, margin.Height(), ruleY) : TakeFooterBand(cell, margin.Height(), ruleY);
  const QString text = QString::fromStdString(ExpandMarginTags(margin.Caption().toStdString(), values));
  painter.save();
  painter.setClipRect(ToQRect(band));
  painter.drawText(ToQRect(band), Qt::AlignLeft | Qt::AlignVCenter, text);
  painter.restore();
  painter.drawLine(band.left, ruleY, band.right, ruleY);
}

}  // namespace

QString FaxPrintProgressText(TFaxPrintProgress progress) {
  switch (progress) {
    case ppComposing: return "Composing";
    case ppRendering: return "Rendering";
    case ppSubmitting: return "Submitting";
    case ppConverting: return "Converting";
    case ppIdle: break;
  }
  return "Idle";
}

// Pages are unpacked at their proper aspect; one takes milliseconds, so the
// status window's "Abort" is served between pages rather than inside one.
TQaFaxPrinter::TQaFaxPrinter() {
  unpacker_.SetOptions(0);
  unpacker_.SetAutoScaleMode(TAutoScaleMode::asDoubleHeight);
  printer_.setDocName(caption_);
}

TQaFaxPrinter::~TQaFaxPrinter() = default;

void TQaFaxPrinter::SetFileName(const std::string& name) {
  int pages = 0;
  bool fine = false;
  bool wide = false;
  if (!name.empty()) {
    unpacker_.SetInFileName(name);
    pages = unpacker_.NumberOfPages();
    if (pages > 0) {
      fine = unpacker_.FaxResolutionFine();
      wide = unpacker_.FaxWidthWide();
    }
  }
  fileName_ = name;
  pageCount_ = pages;
  fine_ = fine;
  wide_ = wide;
  firstPage_ = pages > 0 ? 1 : 0;
  lastPage_ = pages;
}

bool TQaFaxPrinter::PrintSetup(QWidget* parent) {
  QPrintDialog dialog(&printer_, parent);
  dialog.setMinMax(std::min(1, pageCount_), pageCount_);
  dialog.setOption(QAbstractPrintDialog::PrintPageRange, pageCount_ > 1);
  dialog.setOption(QAbstractPrintDialog::PrintCurrentPage, false);
  printer_.setPrintRange(QPrinter::PageRange);
  printer_.setFromTo(firstPage_, lastPage_);
  if (dialog.exec() != QDialog::Accepted) return false;
  if (printer_.printRange() == QPrinter::PageRange && printer_.fromPage() > 0) {
    firstPage_ = printer_.fromPage();
    lastPage_ = printer_.toPage();
  } else {
    firstPage_ = pageCount_ > 0 ? 1 : 0;
    lastPage_ = pageCount_;
  }
  return true;
}

void TQaFaxPrinter::SetProgress(TFaxPrintProgress progress) {
  if (progress == progress_) return;
  progress_ = progress;
  if (OnFaxPrintStatus) OnFaxPrintStatus(*this, progress_);
  ShowStatus(false, false);
  ProcessPendingMessages();
}

void TQaFaxPrinter::ShowStatus(bool starting, bool ending) {
  if (status_) status_->FaxPrintStatus(*this, starting, ending);
}

void TQaFaxPrinter::Log(TFaxPLCode code) {
  if (OnFaxPrintLog) OnFaxPrintLog(*this, code);
  if (!log_) return;
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  // The log is a diagnostic: a log that cannot be written does not stop printing.
  AppendPrintLog(log_->LogFileName(), code, fileName_, local);
}

void TQaFaxPrinter::PrintAbort() {
  if (!printing_ || aborted_) return;
  aborted_ = true;
  currentPage_ = 0;
  Log(plAborted);
  ShowStatus(false, true);
  ProcessPendingMessages();
}

void TQaFaxPrinter::PrintFax() {
  if (pageCount_ == 0 || printing_) return;
  const int first = std::clamp(firstPage_, 1, pageCount_);
  const int last = std::clamp(lastPage_, first, pageCount_);
  printing_ = true;
  aborted_ = false;
  progress_ = ppIdle;
  ShowStatus(true, false);
  if (OnFaxPrintStatus) OnFaxPrintStatus(*this, progress_);
  Log(plStarted);

  printer_.setDocName(caption_);
  PrintJob job(printer_);
  QPainter painter;
  const QLocale locale;
  MarginTagValues tags{locale.toString(QDate::currentDate(), QLocale::ShortFormat).toStdString(),
                       locale.toString(QTime::currentTime(), QLocale::ShortFormat).toStdString(), fileName_,
                       pageCount_, 0};
  try {
    QPrinter& sheets = job.Begin();
    if (!painter.begin(&sheets)) {
      throw EFaxPrintError(QString("Cannot start printing %1").arg(QString::fromStdString(fileName_)).toStdString());
    }
    const PrintSheetLayout layout{sheets.width(), sheets.height(), multiPage_,
                                  sheets.pageLayout().orientation() == QPageLayout::Landscape};
    for (int page = first; page <= last && !aborted_; ++page) {
      currentPage_ = page;
      ProcessPendingMessages();
      if (layout.StartsSheet(page - first) && !sheets.newPage()) throw EFaxPrintError("Cannot start a new sheet");
      ProcessPendingMessages();
      if (aborted_) break;
      if (OnNextPage) OnNextPage(*this, page, pageCount_);
      SetProgress(ppConverting);
      const MonoBitmap bitmap = unpacker_.UnpackPageToBitmap(page);
      if (aborted_) break;
      SetProgress(ppComposing);
      PixelRect cell = layout.Cell(page - first);
      tags.page = page;
      if (header_.Enabled()) DrawMargin(painter, header_, multiPage_, true, cell, tags);
      if (footer_.Enabled()) DrawMargin(painter, footer_, multiPage_, false, cell, tags);
      const PrintSize size =
          PrintedSize(bitmap.Width(), bitmap.Height(), cell, printScale_,
                      {unpacker_.PageHeader().WidthPixels(), sheets.logicalDpiX(), sheets.logicalDpiY()});
      SetProgress(ppRendering);
      if (size.width > 0 && size.height > 0) {
        painter.drawImage(QRect(cell.left, cell.top, size.width, size.height), MonoImage(bitmap));
      }
      SetProgress(ppSubmitting);
    }
    painter.end();
    if (!aborted_) {
      job.Finish(caption_);
      Log(plFinished);
    }
  } catch (...) {
    if (painter.isActive()) painter.end();
    if (!aborted_) Log(plFailed);
    EndJob();
    throw;
  }
  EndJob();
}

void TQaFaxPrinter::EndJob() {
  progress_ = ppIdle;
  if (OnFaxPrintStatus) OnFaxPrintStatus(*this, progress_);
  ShowStatus(false, true);
  currentPage_ = 0;
  printing_ = false;
}

}  // namespace tv
