#include "view/widgets/view_window.h"

#include <QAction>
#include <QActionGroup>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenuBar>
#include <QMessageBox>
#include <QPrinterInfo>
#include <QPushButton>
#include <QScreen>
#include <QShortcut>
#include <QStyle>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>
#include <cmath>

#include "ui/help.h"
#include "ui/window_helpers.h"
#include "view/widgets/print_job.h"

namespace tv {

namespace {

constexpr int kZoomStep = 25;
constexpr int kZoomMin = 25;
constexpr int kZoomMax = 100;

// Beside the steps: the page's width in the window, or the whole page.
constexpr int kZoomFitWidth = -1;
constexpr int kZoomFitPage = -2;
constexpr int kZoomSteps = kZoomMax / kZoomStep;

int ZoomIndex(int zoom) {
  if (zoom == kZoomFitWidth) return kZoomSteps;
  if (zoom == kZoomFitPage) return kZoomSteps + 1;
  return zoom / kZoomStep - 1;
}

}  // namespace

TFaxViewer::TFaxViewer(QWidget* parent) : QDialog(parent), printerStatus_(this) {
  setObjectName("TFaxViewer");
  setWindowTitle("Fax Viewer");
  QFont font("Arial");
  font.setPixelSize(13);
  setFont(font);

  faxViewer_ = new TQaFaxViewer(this);
  faxViewer_->setObjectName("FaxViewer");
  faxViewer_->SetAutoScaleMode(TAutoScaleMode::asHalfWidth);
  faxViewer_->SetBusyCursor(QCursor(Qt::WaitCursor));
  faxViewer_->OnPageChange = [this](TQaFaxViewer&) { FaxViewerPageChange(); };
  faxViewer_->OnViewerError = [this](TQaFaxViewer&, int code) { FaxViewerViewerError(code); };
  faxViewer_->OnDropFile = [this](TQaFaxViewer&, const std::string& name) {
    faxFileName_ = name;
    pdfSource_.reset();
    ShowOpenedFax();
    UpdatePrintButtons();
  };
  faxViewer_->OnZoomStep = [this](TQaFaxViewer&, int steps) {
    steps > 0 ? ZoomInButtonClick() : ZoomOutButtonClick();
  };

  auto* statusBox = new QWidget(this);
  statusBox->setFixedHeight(40);
  statusPanel_ = new QLabel("Loading...", statusBox);
  statusPanel_->setObjectName("StatusPanel");
  statusPanel_->setAlignment(Qt::AlignCenter);
  statusPanel_->setForegroundRole(QPalette::Link);  // readable in dark palettes too
  auto* statusLayout = new QHBoxLayout(statusBox);
  statusLayout->addWidget(statusPanel_);

  auto* buttonBar = new QWidget(this);
  buttonBar->setFixedHeight(50);
  BuildButtons(buttonBar);

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  BuildMenu(this);
  layout->addWidget(faxViewer_, 1);
  layout->addWidget(statusBox);
  layout->addWidget(buttonBar);
  resize(sizeHint());

  faxPrinter_.SetCaption("QA Fax Printer");
  faxPrinter_.FaxHeader().SetCaption("FILE: $F");
  faxPrinter_.FaxFooter().SetCaption("Page: $P of $N");
  faxPrinter_.SetMultiPage(false);
  faxPrinter_.SetStatusDisplay(&printerStatus_);
  printerStatus_.SetPosition(TStatusPosition::poScreenCenter);

  // The keys Linux viewers answer to, beside the buttons and menu.
  auto shortcut = [this](const QList<QKeySequence>& keys, auto handler) {
    auto* s = new QShortcut(this);
    s->setKeys(keys);
    connect(s, &QShortcut::activated, this, handler);
  };
  shortcut({QKeySequence::Print}, [this] { PrintbuttonClick(); });
  shortcut({QKeySequence::Save}, [this] { SavePdfButtonClick(); });
  shortcut({QKeySequence("Ctrl++"), QKeySequence("Ctrl+=")}, [this] { ZoomInButtonClick(); });
  shortcut({QKeySequence("Ctrl+-")}, [this] { ZoomOutButtonClick(); });
  shortcut({QKeySequence("Ctrl+W"), QKeySequence("Ctrl+F4")}, [this] { reject(); });

  RestoreFormPlacement(this);
  faxViewer_->setFocus();
}

TFaxViewer::~TFaxViewer() = default;

QSize TFaxViewer::sizeHint() const {
  // 1728 pixels at the starting half size, with room for a scroll bar.
  const QSize wanted = QSize(900, 700 + layout()->menuBar()->sizeHint().height()).expandedTo(minimumSizeHint());
  const QScreen* shown = screen();
  return shown ? wanted.boundedTo(shown->availableSize() * 9 / 10) : wanted;
}

void TFaxViewer::SetTitle(const QString& title) {
  title_ = title;
  setWindowTitle(title.isEmpty() ? QString("Fax Viewer") : title + " - Fax Viewer");
}

void TFaxViewer::SetDocumentName(const QString& name) {
  documentName_ = name;
  faxPrinter_.SetCaption(name);
}

void TFaxViewer::BuildMenu(QWidget* menuOwner) {
  auto* menuBar = new QMenuBar(menuOwner);
  QMenu* file = menuBar->addMenu("&File");
  QAction* savePdf = file->addAction("Save as &PDF...", this, [this] { SavePdfButtonClick(); });
  savePdf->setObjectName("mnuSavePdf");
  QMenu* view = menuBar->addMenu("&View");
  auto* zooms = new QActionGroup(this);
  const char* zoomTexts[] = {"50%", "100%", "150%", "200%", "Fit width", "Fit page"};
  for (int i = 0; i < kZoomSteps + 2; ++i) {
    const int zoom = i < kZoomSteps ? (i + 1) * kZoomStep : i == kZoomSteps ? kZoomFitWidth : kZoomFitPage;
    zoomItems_[i] = view->addAction(zoomTexts[i], this, [this, zoom] { SetZoom(zoom); });
    zoomItems_[i]->setCheckable(true);
    zooms->addAction(zoomItems_[i]);
  }
  view->addSeparator();
  auto* rotations = new QActionGroup(this);
  const char* rotationTexts[] = {"No rotation", "Rotate 90 degrees", "Rotate 180 degrees", "Rotate 270 degrees"};
  for (int turns = 0; turns < 4; ++turns) {
    rotationItems_[turns] = view->addAction(rotationTexts[turns], this, [this, turns] { SetRotationItem(turns); });
    rotationItems_[turns]->setCheckable(true);
    rotations->addAction(rotationItems_[turns]);
  }
  static_cast<QVBoxLayout*>(layout())->setMenuBar(menuBar);
}

void TFaxViewer::BuildButtons(QWidget* bar) {
  auto* row = new QHBoxLayout(bar);
  auto tool = [bar, row](const char* name, const QString& hint, const char* icon, auto handler) {
    auto* button = new QToolButton(bar);
    button->setObjectName(name);
    button->setText(hint);
    button->setToolTip(hint);
    button->setAutoRaise(true);
    button->setFocusPolicy(Qt::NoFocus);  // the keys stay with the page
    button->setIcon(QIcon::fromTheme(icon));
    button->setToolButtonStyle(button->icon().isNull() ? Qt::ToolButtonTextOnly : Qt::ToolButtonIconOnly);
    button->setIconSize({24, 24});
    QObject::connect(button, &QToolButton::clicked, handler);
    row->addWidget(button);
    return button;
  };
  firstButton_ = tool("FirstButton", "First page", "go-first", [this] { faxViewer_->FirstPage(); });
  prevButton_ = tool("PrevButton", "Previous page", "go-previous", [this] { faxViewer_->PrevPage(); });
  nextButton_ = tool("NextButton", "Next page", "go-next", [this] { faxViewer_->NextPage(); });
  lastButton_ = tool("LastButton", "Last page", "go-last", [this] { faxViewer_->LastPage(); });
  for (QToolButton* b : {firstButton_, prevButton_, nextButton_, lastButton_}) b->setVisible(false);
  row->addStretch();
  printerSetupButton_ = tool("PrinterSetupButton", "Printer setup", "document-page-setup",
                             [this] { PrinterSetupButtonClick(); });
  printButton_ = tool("Printbutton", "Print", "document-print", [this] { PrintbuttonClick(); });
  printCurrentButton_ = tool("ExplorerButton1", "Print current page", "document-print-preview",
                             [this] { ExplorerButton1Click(); });
  savePdfButton_ = tool("SavePdfButton", "Save as PDF", "document-save-as", [this] { SavePdfButtonClick(); });
  zoomInButton_ = tool("ZoomInButton", "Zoom in", "zoom-in", [this] { ZoomInButtonClick(); });
  zoomOutButton_ = tool("ZoomOutButton", "Zoom out", "zoom-out", [this] { ZoomOutButtonClick(); });
  row->addStretch();
  helpButton_ = new QPushButton("&Help", bar);
  helpButton_->setObjectName("Helpbutton");
  helpButton_->setToolTip("Get Windows help for Fax Viewer");
  helpButton_->setAutoDefault(false);
  connect(helpButton_, &QPushButton::clicked, this, [] { ShowHelp(kHelpViewPrint); });
  closeButton_ = new QPushButton("C&lose", bar);
  closeButton_->setObjectName("CloseButton");
  closeButton_->setToolTip("Close the Fax Viewer");
  closeButton_->setDefault(true);
  connect(closeButton_, &QPushButton::clicked, this, &QDialog::reject);
  row->addWidget(helpButton_);
  row->addWidget(closeButton_);
}

void TFaxViewer::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (!firstActivation_) return;
  firstActivation_ = false;
  // Once the window shows "Loading..." at its final size.
  QTimer::singleShot(0, this, &TFaxViewer::FormActivate);
}

void TFaxViewer::done(int result) {
  SaveFormPlacement(this);
  QDialog::done(result);
}

void TFaxViewer::FormActivate() {
  for (QAction* item : zoomItems_) item->setChecked(false);
  for (QAction* item : rotationItems_) item->setChecked(false);
  SetFaxFile();
  UpdatePrintButtons();
}

void TFaxViewer::UpdatePrintButtons() {
  // Without a printer, pages can still be printed to a PDF file through the
  // printer setup; the two buttons that print straight away need one.
  const bool loaded = !faxViewer_->FileName().empty();
  const bool printerInstalled = !QPrinterInfo::availablePrinterNames().isEmpty();
  printerSetupButton_->setEnabled(loaded);
  savePdfButton_->setEnabled(loaded);
  printButton_->setEnabled(loaded && printerInstalled);
  printCurrentButton_->setEnabled(loaded && printerInstalled);
}

void TFaxViewer::SetFaxFile() {
  try {
    faxViewer_->BeginUpdate();
    faxViewer_->SetScaling(false);
    faxViewer_->SetHorizMult(1);
    faxViewer_->SetHorizDiv(1);
    faxViewer_->SetVertMult(1);
    faxViewer_->SetVertDiv(1);
    faxViewer_->EndUpdate();
    faxViewer_->SetFileName(faxFileName_);
    ShowOpenedFax();
  } catch (const std::exception& e) {
    faxViewer_->SetFileName("");
    ShowError(QString("Error opening fax file %1: %2")
                  .arg(QString::fromStdString(faxFileName_), QString::fromStdString(e.what())));
    statusPanel_->setText("No file loaded");
  }
}

void TFaxViewer::ShowOpenedFax() {
  // Half size, or a quarter when even that leaves most of a wide page out
  // of a narrow window.
  const int width = faxViewer_->width();
  const int pageWidth = faxViewer_->PageWidth();
  const bool narrow = width < pageWidth && std::lround(static_cast<double>(width) / pageWidth * 150) <= 36;
  SetZoom(narrow ? 25 : 50);
  FaxViewerPageChange();
  const bool severalPages = faxViewer_->PageCount() > 1;
  for (QToolButton* b : {firstButton_, prevButton_, nextButton_, lastButton_}) b->setVisible(severalPages);
}

void TFaxViewer::SetZoom(int zoom) {
  zoom_ = zoom;
  const Fraction scale = zoom > 0 ? Fraction{zoom, kZoomMax} : FitScale(zoom);
  if (scale.numerator >= scale.denominator) {
    faxViewer_->SetScaling(false);
  } else {
    faxViewer_->BeginUpdate();
    faxViewer_->SetScaling(true);
    faxViewer_->SetHorizMult(scale.numerator);
    faxViewer_->SetHorizDiv(scale.denominator);
    faxViewer_->SetVertMult(scale.numerator);
    faxViewer_->SetVertDiv(scale.denominator);
    faxViewer_->EndUpdate();
  }
  zoomItems_[ZoomIndex(zoom)]->setChecked(true);
}

TFaxViewer::Fraction TFaxViewer::FitScale(int fit) const {
  const ViewGeometry& page = faxViewer_->Geometry();
  const int width = page.TurnedWidth();
  const int height = page.TurnedHeight();
  if (width <= 0 || height <= 0) return {1, 1};
  // The room inside the viewer's frame; fitting the width leaves room for
  // the scroll bar a long page needs.
  const QRect room = faxViewer_->contentsRect();
  const int across = room.width() - (fit == kZoomFitWidth ? style()->pixelMetric(QStyle::PM_ScrollBarExtent) : 0);
  Fraction scale{std::max(across, 1), width};
  if (fit == kZoomFitPage && static_cast<std::int64_t>(room.height()) * width < static_cast<std::int64_t>(across) * height) {
    scale = {std::max(room.height(), 1), height};
  }
  return scale;  // never larger than 1:1: SetZoom shows that unscaled
}

int TFaxViewer::ZoomPercent() const {
  if (zoom_ > 0) return zoom_;
  const Fraction scale = FitScale(zoom_);
  return static_cast<int>(static_cast<std::int64_t>(scale.numerator) * kZoomMax / scale.denominator);
}

void TFaxViewer::ZoomInButtonClick() {
  const int now = ZoomPercent();
  if (now >= kZoomMax) {
    Beep();
    return;
  }
  SetZoom((now / kZoomStep + 1) * kZoomStep);
}

void TFaxViewer::ZoomOutButtonClick() {
  const int now = ZoomPercent();
  if (now <= kZoomMin) {
    Beep();
    return;
  }
  SetZoom(zoom_ > 0 ? now - kZoomStep : std::max(kZoomMin, (now - 1) / kZoomStep * kZoomStep));
}

void TFaxViewer::resizeEvent(QResizeEvent* event) {
  QDialog::resizeEvent(event);
  if (zoom_ < 0 && !faxViewer_->FileName().empty()) SetZoom(zoom_);
}

void TFaxViewer::SetRotationItem(int quarterTurns) {
  faxViewer_->SetRotation(quarterTurns);
  rotationItems_[quarterTurns]->setChecked(true);
}

void TFaxViewer::FaxViewerPageChange() {
  if (faxViewer_->FileName().empty()) {
    statusPanel_->setText("No file loaded");
    return;
  }
  const QString page = QString("Page %1 of %2").arg(faxViewer_->ActivePage()).arg(faxViewer_->PageCount());
  statusPanel_->setText(title_.isEmpty() ? page : title_ + ": " + page);
}

void TFaxViewer::FaxViewerViewerError(int code) { ShowError(QString("Viewer error %1").arg(code)); }

void TFaxViewer::ShowError(const QString& text) {
  QMessageBox box(QMessageBox::Critical, "Error", text, QMessageBox::Ok, this);
  box.exec();
}

void TFaxViewer::PrintPages(int first, int last) {
  try {
    faxPrinter_.SetPrintScale(TFaxPrintScale::psPhysicalSize);
    faxPrinter_.SetFileName(faxViewer_->FileName());
    faxPrinter_.SetFirstPageToPrint(first);
    faxPrinter_.SetLastPageToPrint(last);
    faxPrinter_.PrintFax();
  } catch (const std::exception& e) {
    ShowError(QString::fromStdString(e.what()));
  }
}

void TFaxViewer::PrintbuttonClick() {
  if (faxViewer_->FileName().empty() || !printButton_->isEnabled()) return;
  PrintPages(1, faxViewer_->PageCount());
}

void TFaxViewer::ExplorerButton1Click() {
  if (faxViewer_->FileName().empty()) return;
  PrintPages(faxViewer_->ActivePage(), faxViewer_->ActivePage());
}

// The print dialog's own button says "Print": the pages chosen there are
// printed when it is confirmed.
void TFaxViewer::PrinterSetupButtonClick() {
  if (faxViewer_->FileName().empty()) return;
  try {
    faxPrinter_.SetFileName(faxViewer_->FileName());
    if (!faxPrinter_.PrintSetup(this)) return;
  } catch (const std::exception& e) {
    ShowError(QString::fromStdString(e.what()));
    return;
  }
  PrintPages(faxPrinter_.FirstPageToPrint(), faxPrinter_.LastPageToPrint());
}

void TFaxViewer::SavePdfButtonClick() {
  const std::string file = faxViewer_->FileName();
  if (file.empty()) return;
  FaxToSave fax;
  if (pdfSource_) {
    fax = *pdfSource_;
  } else {
    fax.files = {file};
    fax.details = FaxFileDetails(file);
    fax.name = documentName_.isEmpty() ? QFileInfo(QString::fromStdString(file)).completeBaseName() : documentName_;
    fax.details.title = fax.name.toStdString();
  }
  SaveFaxesAsPdf(this, {fax});
}

}  // namespace tv
