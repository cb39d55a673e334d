// The "Print Status" window shown while a fax prints: the fax, its pages,
// resolution and width, the pages being printed and what the printer is
// doing, with "Abort". TQaFaxPrinterStatus shows and updates it for a
// printer.
#pragma once

#include <QDialog>
#include <memory>

#include "view/widgets/fax_printer.h"

class QLabel;

namespace tv {

class TStandardFaxPrinterStatusDisplay : public QDialog {
  Q_OBJECT

 public:
  explicit TStandardFaxPrinterStatusDisplay(TQaFaxPrinter& printer, QWidget* parent = nullptr);

  // Shows the printer's values and progress.
  void UpdateValues();

 protected:
  void reject() override;  // Esc and the close box abort like "Abort"

 private:
  TQaFaxPrinter& printer_;
  QLabel* fileName_;
  QLabel* totalPages_;
  QLabel* resolution_;
  QLabel* width_;
  QLabel* pagesToPrint_;
  QLabel* status_;
};

enum class TStatusPosition { poDefault, poScreenCenter };

class TQaFaxPrinterStatus : public TQaAbstractFaxPrinterStatus {
 public:
  // The window opens over `owner` (none: a window of its own).
  explicit TQaFaxPrinterStatus(QWidget* owner = nullptr) : owner_(owner) {}
  ~TQaFaxPrinterStatus() override;

  TStatusPosition Position() const { return position_; }
  void SetPosition(TStatusPosition position) { position_ = position; }
  // The window while a job runs; null before the first job.
  TStandardFaxPrinterStatusDisplay* Display() const { return display_.get(); }

  void FaxPrintStatus(TQaFaxPrinter& printer, bool starting, bool ending) override;

 private:
  QWidget* owner_;
  TStatusPosition position_ = TStatusPosition::poDefault;
  std::unique_ptr<TStandardFaxPrinterStatusDisplay> display_;
};

}  // namespace tv
