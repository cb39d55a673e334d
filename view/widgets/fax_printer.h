// The fax printer: prints the pages of a fax file on a printer or into a PDF
// file, each page fitted to the paper (or pixel for pixel), framed by an
// optional header and footer line with replacement tags, one or several
// pages to a sheet. Progress goes to a status display and to events, and
// each job can be logged to a text file.
#pragma once

#include <QFont>
#include <QPrinter>
#include <QString>
#include <functional>
#include <memory>
#include <string>

#include "image/fax_unpacker.h"
#include "view/print_layout.h"
#include "view/print_log.h"

class QWidget;

namespace tv {

class TQaFaxPrinter;

enum TFaxPrintProgress { ppIdle = 0, ppComposing = 1, ppRendering = 2, ppSubmitting = 3, ppConverting = 4 };
// "Idle", "Composing", "Rendering", "Submitting", "Converting".
QString FaxPrintProgressText(TFaxPrintProgress progress);

// A header or footer line.
class TQaFaxPrinterMargin {
 public:
  explicit TQaFaxPrinterMargin(QString caption) : caption_(std::move(caption)) {}

  const QString& Caption() const { return caption_; }
  void SetCaption(const QString& caption) { caption_ = caption; }
  bool Enabled() const { return enabled_; }
  void SetEnabled(bool on) { enabled_ = on; }
  const QFont& Font() const { return font_; }
  void SetFont(const QFont& font) { font_ = font; }
  // Printer pixels the text took when last drawn.
  int Height() const { return height_; }
  void SetHeight(int pixels) { height_ = pixels; }

 private:
  QString caption_;
  bool enabled_ = true;
  QFont font_{"Arial", 10};
  int height_ = 0;
};

class TQaFaxPrinterLog {
 public:
  const std::string& LogFileName() const { return logFileName_; }
  void SetLogFileName(const std::string& name) { logFileName_ = name; }

 private:
  std::string logFileName_ = "FAXPRINT.LOG";
};

// Shows the progress of a job: told when the job starts, at every change of
// its progress and when it ends.
class TQaAbstractFaxPrinterStatus {
 public:
  virtual ~TQaAbstractFaxPrinterStatus() = default;
  virtual void FaxPrintStatus(TQaFaxPrinter& printer, bool starting, bool ending) = 0;
};

class TQaFaxPrinter {
 public:
  using TFaxPrnNextPageEvent = std::function<void(TQaFaxPrinter& sender, int currentPage, int totalPages)>;
  using TFaxPLEvent = std::function<void(TQaFaxPrinter& sender, TFaxPLCode code)>;
  using TFaxPrintStatusEvent = std::function<void(TQaFaxPrinter& sender, TFaxPrintProgress status)>;

  TQaFaxPrinter();
  ~TQaFaxPrinter();
  TQaFaxPrinter(const TQaFaxPrinter&) = delete;
  TQaFaxPrinter& operator=(const TQaFaxPrinter&) = delete;

  // The job title the print system shows.
  const QString& Caption() const { return caption_; }
  void SetCaption(const QString& caption) { caption_ = caption; }
  TQaFaxPrinterMargin& FaxHeader() { return header_; }
  TQaFaxPrinterMargin& FaxFooter() { return footer_; }
  TQaFaxPrinterLog* FaxPrinterLog() const { return log_; }
  void SetFaxPrinterLog(TQaFaxPrinterLog* log) { log_ = log; }
  TQaAbstractFaxPrinterStatus* StatusDisplay() const { return status_; }
  void SetStatusDisplay(TQaAbstractFaxPrinterStatus* status) { status_ = status; }
  bool MultiPage() const { return multiPage_; }
  void SetMultiPage(bool on) { multiPage_ = on; }
  TFaxPrintScale PrintScale() const { return printScale_; }
  void SetPrintScale(TFaxPrintScale scale) { printScale_ = scale; }

  const std::string& FileName() const { return fileName_; }
  // Reads the fax's page count and page 1's resolution and width, and sets
  // the pages to print to all of them (an empty name clears them). A file
  // that is not a fax raises the exception of its code.
  void SetFileName(const std::string& name);
  int PageCount() const { return pageCount_; }
  bool FaxResolutionFine() const { return fine_; }
  bool FaxWidthWide() const { return wide_; }
  int FirstPageToPrint() const { return firstPage_; }
  void SetFirstPageToPrint(int page) { firstPage_ = page; }
  int LastPageToPrint() const { return lastPage_; }
  void SetLastPageToPrint(int page) { lastPage_ = page; }
  // The page being printed; 0 while idle.
  int CurrentPage() const { return currentPage_; }
  TFaxPrintProgress Progress() const { return progress_; }
  bool Printing() const { return printing_; }

  // The printer (or PDF file) the job goes to, as the print dialog left it.
  QPrinter& Printer() { return printer_; }

  // Shows the print dialog over `parent`; when confirmed, the pages to print
  // come from its page range. True when confirmed.
  bool PrintSetup(QWidget* parent);
  // Prints the pages first..last. Nothing reaches the printer or the PDF
  // file unless every page was drawn: a page that cannot be unpacked raises
  // its exception, a printer or file failure raises EFaxPrintError, and an
  // aborted job is dropped. A fax without pages prints nothing.
  void PrintFax();
  // Stops the job in progress (the status window's "Abort").
  void PrintAbort();

  TFaxPrnNextPageEvent OnNextPage;
  TFaxPLEvent OnFaxPrintLog;
  TFaxPrintStatusEvent OnFaxPrintStatus;

 private:
  void SetProgress(TFaxPrintProgress progress);
  void Log(TFaxPLCode code);
  void ShowStatus(bool starting, bool ending);
  void EndJob();

  QString caption_ = "QArn Fax Printer";
  TQaFaxPrinterMargin header_{"FILE: $F"};
  TQaFaxPrinterMargin footer_{"PAGE: $P of $N"};
  TQaFaxPrinterLog* log_ = nullptr;
  TQaAbstractFaxPrinterStatus* status_ = nullptr;
  bool multiPage_ = false;
  TFaxPrintScale printScale_ = TFaxPrintScale::psPhysicalSize;
  std::string fileName_;
  int pageCount_ = 0;
  bool fine_ = false;
  bool wide_ = false;
  int firstPage_ = 0;
  int lastPage_ = 0;
  int currentPage_ = 0;
  TFaxPrintProgress progress_ = ppIdle;
  bool printing_ = false;
  bool aborted_ = false;
  QPrinter printer_{QPrinter::HighResolution};
  TQaFaxUnpacker unpacker_;
};

}  // namespace tv
