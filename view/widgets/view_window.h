// The view and print window: one fax file in the fax viewer, with page
// buttons, zoom, rotation and printing. The caller gives it the file and a
// title for its status line, shows it modally and deletes it afterwards.
#pragma once

#include <QDialog>
#include <array>
#include <optional>
#include <string>

#include "view/widgets/fax_printer.h"
#include "view/widgets/fax_viewer.h"
#include "view/widgets/print_status_window.h"
#include "view/widgets/save_pdf.h"

class QAction;
class QLabel;
class QPushButton;
class QToolButton;

namespace tv {

class TFaxViewer : public QDialog {
  Q_OBJECT

 public:
  explicit TFaxViewer(QWidget* parent = nullptr);
  ~TFaxViewer() override;

  // Set before the window is shown.
  void SetFaxFileName(const std::string& name) { faxFileName_ = name; }
  // The fax's title: in the window's title and before the status line's page.
  void SetTitle(const QString& title);
  // The name print jobs and PDF files get ("Fax to Ann 2026-12-08").
  void SetDocumentName(const QString& name);
  // What "Save as PDF" saves: the fax's own files (the viewer may show a
  // re-rendered copy) and its details. Without it, the file in the viewer
  // with the details it holds itself.
  void SetPdfSource(FaxToSave fax) { pdfSource_ = std::move(fax); }

  TQaFaxViewer& FaxViewer() { return *faxViewer_; }
  TQaFaxPrinter& FaxPrinter() { return faxPrinter_; }
  TQaFaxPrinterStatus& PrinterStatus() { return printerStatus_; }
  // 25, 50, 75 or 100 ("50%" to "200%" in the menu); -1 fit width, -2 fit
  // page.
  int Zoom() const { return zoom_; }

  // Wide enough for a page's width at the starting zoom.
  QSize sizeHint() const override;

 public slots:
  void done(int result) override;

 protected:
  void showEvent(QShowEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  void BuildMenu(QWidget* menuOwner);
  void BuildButtons(QWidget* bar);
  void FormActivate();
  void SetFaxFile();
  // The starting zoom, the status line and the page buttons for the fax now
  // in the viewer.
  void ShowOpenedFax();
  // The print buttons are enabled only while a fax is loaded.
  void UpdatePrintButtons();
  void SetZoom(int zoom);
  struct Fraction {
    int numerator;
    int denominator;
  };
  // The scale that fits the page's width, or the whole page, in the viewer.
  Fraction FitScale(int fit) const;
  // The zoom as a step would give it (100: 1:1), fit modes included.
  int ZoomPercent() const;
  void ZoomInButtonClick();
  void ZoomOutButtonClick();
  void SetRotationItem(int quarterTurns);
  void FaxViewerPageChange();
  void FaxViewerViewerError(int code);
  void PrintPages(int first, int last);
  void PrintbuttonClick();
  void ExplorerButton1Click();
  void PrinterSetupButtonClick();
  void SavePdfButtonClick();
  void ShowError(const QString& text);

  std::string faxFileName_;
  QString title_;
  QString documentName_;
  std::optional<FaxToSave> pdfSource_;
  int zoom_ = 100;
  bool firstActivation_ = true;

  TQaFaxViewer* faxViewer_;
  QLabel* statusPanel_;
  QToolButton* firstButton_;
  QToolButton* prevButton_;
  QToolButton* nextButton_;
  QToolButton* lastButton_;
  QToolButton* printerSetupButton_;
  QToolButton* printButton_;
  QToolButton* printCurrentButton_;
  QToolButton* savePdfButton_;
  QToolButton* zoomInButton_;
  QToolButton* zoomOutButton_;
  QPushButton* helpButton_;
  QPushButton* closeButton_;
  std::array<QAction*, 6> zoomItems_{};  // the four steps, fit width, fit page
  std::array<QAction*, 4> rotationItems_{};

  TQaFaxPrinter faxPrinter_;
  TQaFaxPrinterStatus printerStatus_;
};

}  // namespace tv
