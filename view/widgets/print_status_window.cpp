#include "view/widgets/print_status_window.h"

#include <QFileInfo>
#include <QFormLayout>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>

namespace tv {

TStandardFaxPrinterStatusDisplay::TStandardFaxPrinterStatusDisplay(TQaFaxPrinter& printer, QWidget* parent)
    : QDialog(parent), printer_(printer) {
  setObjectName("TStandardFaxPrinterStatusDisplay");
  setWindowTitle("Print Status");
  auto label = [this](const char* name) {
    auto* l = new QLabel(this);
    l->setObjectName(name);
    return l;
  };
  fileName_ = label("FileName");
  totalPages_ = label("TotalPages");
  resolution_ = label("Resolution");
  width_ = label("FaxWidth");
  pagesToPrint_ = label("PagesToPrint");
  status_ = label("StatusLine");
  auto* form = new QFormLayout;
  form->addRow("File:", fileName_);
  form->addRow("Total pages:", totalPages_);
  form->addRow("Resolution:", resolution_);
  form->addRow("Width:", width_);
  form->addRow("Printing pages:", pagesToPrint_);
  auto* abort = new QPushButton("Abort", this);
  abort->setObjectName("AbortButton");
  connect(abort, &QPushButton::clicked, this, [this] { printer_.PrintAbort(); });
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(form);
  layout->addWidget(status_);
  layout->addWidget(abort, 0, Qt::AlignHCenter);
}

void TStandardFaxPrinterStatusDisplay::UpdateValues() {
  fileName_->setText(QFileInfo(QString::fromStdString(printer_.FileName())).fileName().toUpper());
  totalPages_->setText(QString::number(printer_.PageCount()));
  resolution_->setText(printer_.FaxResolutionFine() ? "high" : "standard");
  width_->setText(printer_.FaxWidthWide() ? "2048" : "1728");
  pagesToPrint_->setText(QString("%1 to %2").arg(printer_.FirstPageToPrint()).arg(printer_.LastPageToPrint()));
  status_->setText(QString::asprintf("%s %d of %d", qPrintable(FaxPrintProgressText(printer_.Progress())),
                                     printer_.CurrentPage(), printer_.LastPageToPrint()));
}

void TStandardFaxPrinterStatusDisplay::reject() { printer_.PrintAbort(); }

TQaFaxPrinterStatus::~TQaFaxPrinterStatus() = default;

void TQaFaxPrinterStatus::FaxPrintStatus(TQaFaxPrinter& printer, bool starting, bool ending) {
  if (starting) {
    display_ = std::make_unique<TStandardFaxPrinterStatusDisplay>(printer, owner_);
    display_->UpdateValues();
    // The rest of the program waits for the job; "Abort" stays live.
    display_->setWindowModality(Qt::ApplicationModal);
    display_->adjustSize();
    if (position_ == TStatusPosition::poScreenCenter) {
      const QScreen* screen = owner_ ? owner_->screen() : display_->screen();
      display_->move(screen->availableGeometry().center() - display_->rect().center());
    }
    display_->show();
    return;
  }
  if (!display_) return;
  if (ending) {
    display_->hide();
    return;
  }
  if (display_->isVisible()) display_->UpdateValues();
}

}  // namespace tv
