#include "view/widgets/fax_viewer.h"

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QMimeData>
#include <QPainter>
#include <QScrollBar>
#include <QUrl>
#include <algorithm>

#include "platform/error_codes.h"
#include "platform/errors.h"
#include "view/page_render.h"

namespace tv {

namespace {

constexpr int kStepsPerPage = 10;
constexpr int kAutoScrollMs = 50;
constexpr int kFarOutside = 20;  // pixels outside the window that scroll two steps

// The busy cursor while a page is being unpacked.
class BusyCursorShown {
 public:
  BusyCursorShown(bool show, const QCursor& cursor) : shown_(show) {
    if (shown_) QApplication::setOverrideCursor(cursor);
  }
  ~BusyCursorShown() {
    if (shown_) QApplication::restoreOverrideCursor();
  }
  BusyCursorShown(const BusyCursorShown&) = delete;
  BusyCursorShown& operator=(const BusyCursorShown&) = delete;

 private:
  bool shown_;
};

QString LocalFileOf(const QMimeData* data) {
  if (!data || !data->hasUrls()) return {};
  for (const QUrl& url : data->urls()) {
    if (url.isLocalFile()) return url.toLocalFile();
  }
  return {};
}

}  // namespace

TQaFaxViewer::TQaFaxViewer(QWidget* parent) : QAbstractScrollArea(parent) {
  setFocusPolicy(Qt::StrongFocus);
  setAcceptDrops(true);
  viewport()->setAcceptDrops(true);
  viewport()->setAutoFillBackground(false);
  UpdateScrollBars();
}

TQaFaxViewer::~TQaFaxViewer() = default;

// --- File -------------------------------------------------------------------

void TQaFaxViewer::SetFileName(const std::string& name) {
  if (name == fileName_) return;
  CheckErrorCode(OpenFile(name));
}

int TQaFaxViewer::OpenFile(const std::string& name) {
  if (!name.empty()) {
    if (int rc = pages_.Open(name); rc != ecOK) return rc;
  } else {
    pages_.Close();
  }
  fileName_ = name;
  current_ = pages_.IsOpen() ? 1 : 0;
  rotation_ = 0;
  factors_ = ViewScale{};
  hasMark_ = false;
  if (loadWholeFax_) SetLoadWholeFax(true);
  PreparePage(Change::kPage);
  return ecOK;
}

// --- Properties -------------------------------------------------------------

void TQaFaxViewer::SetFGColor(const QColor& colour) {
  fgColor_ = colour;
  viewport()->update();
}

void TQaFaxViewer::SetBGColor(const QColor& colour) {
  bgColor_ = colour;
  viewport()->update();
}

void TQaFaxViewer::SetScaling(bool on) {
  if (on == scaling_) return;
  scaling_ = on;
  ApplyScale();
}

void TQaFaxViewer::SetFactor(int ViewScale::*factor, int v) {
  if (v == 0) return;
  factors_.*factor = v;
  if (scaling_) ApplyScale();
}

void TQaFaxViewer::ApplyScale() {
  const ViewScale scale = scaling_ ? ViewScale::Make(factors_.horizMult, factors_.horizDiv, factors_.vertMult,
                                                     factors_.vertDiv)
                                   : ViewScale{};
  if (scale == geometry_.Scale() && updateLock_ == 0) return;
  if (pages_.IsOpen()) PreparePage(Change::kView);
}

void TQaFaxViewer::SetAutoScaleMode(TAutoScaleMode mode) {
  autoScaleMode_ = mode;
  pages_.SetAutoScale(mode == TAutoScaleMode::asDoubleHeight ? kUnpackDoubleHeight
                      : mode == TAutoScaleMode::asHalfWidth  ? kUnpackHalfWidth
                                                             : 0);
  if (pages_.IsOpen()) PreparePage(Change::kView);
}

void TQaFaxViewer::SetWhitespaceCompression(bool on) {
  CheckErrorCode(pages_.SetWhitespace(on ? whitespaceFrom_ : 0, on ? whitespaceTo_ : 0));
  whitespaceCompression_ = on;
  if (pages_.IsOpen()) PreparePage(Change::kView);
}

void TQaFaxViewer::SetWhitespaceFrom(int v) {
  whitespaceFrom_ = v;
  if (whitespaceCompression_) SetWhitespaceCompression(true);
}

void TQaFaxViewer::SetWhitespaceTo(int v) {
  whitespaceTo_ = v;
  if (whitespaceCompression_) SetWhitespaceCompression(true);
}

void TQaFaxViewer::SetHorizScroll(int pixels) {
  if (pixels > 0) horizScroll_ = pixels;
  UpdateScrollBars();
}

void TQaFaxViewer::SetVertScroll(int pixels) {
  if (pixels > 0) vertScroll_ = pixels;
  UpdateScrollBars();
}

void TQaFaxViewer::SetLoadWholeFax(bool on) {
  loadWholeFax_ = on;
  pages_.SetKeep(on ? std::max(pages_.PageCount(), FaxPages::kDefaultKeep) : FaxPages::kDefaultKeep);
  if (!on || !pages_.IsOpen()) return;
  BusyCursorShown busy(true, busyCursor_);
  for (int n = 1; n <= pages_.PageCount(); ++n) {
    const MonoBitmap* page = nullptr;
    if (int rc = pages_.Page(n, page); rc != ecOK) {
      if (OnViewerError) OnViewerError(*this, rc);
      break;
    }
  }
}

// --- Pages ------------------------------------------------------------------

void TQaFaxViewer::FirstPage() {
  if (!pages_.IsOpen()) return;
  if (current_ == 1) {
    ScrollTo(0, 0);
  } else {
    GoToPage(1);
  }
}

void TQaFaxViewer::LastPage() {
  if (!pages_.IsOpen()) return;
  if (current_ == pages_.PageCount()) {
    ScrollTo(0, 0);
  } else {
    GoToPage(pages_.PageCount());
  }
}

void TQaFaxViewer::NextPage() {
  if (pages_.IsOpen() && current_ < pages_.PageCount()) GoToPage(current_ + 1);
}

void TQaFaxViewer::PrevPage() {
  if (pages_.IsOpen() && current_ > 1) GoToPage(current_ - 1);
}

void TQaFaxViewer::SetActivePage(int page) {
  if (page < 1 || page > pages_.PageCount()) RaiseErrorCode(ecBadArgument);
  GoToPage(page);
}

void TQaFaxViewer::GoToPage(int page) {
  current_ = page;
  PreparePage(Change::kPage);
}

void TQaFaxViewer::BeginUpdate() { ++updateLock_; }

void TQaFaxViewer::EndUpdate() {
  if (updateLock_ == 0 || --updateLock_ > 0) return;
  if (pages_.IsOpen()) PreparePage(pendingPageChange_ ? Change::kPage : Change::kView);
  pendingPageChange_ = false;
}

void TQaFaxViewer::SetRotation(int quarterTurns) {
  quarterTurns = ((quarterTurns % 4) + 4) % 4;
  if (quarterTurns == rotation_ || !pages_.IsOpen()) return;
  rotation_ = quarterTurns;
  PreparePage(Change::kView);
}

int TQaFaxViewer::PageWidth() const { return HasPage() ? turned_.Width() : 0; }

int TQaFaxViewer::PageFlags() const {
  std::uint16_t flags = 0;
  return pages_.PageFlags(current_, flags) == ecOK ? flags : 0;
}

void TQaFaxViewer::PreparePage(Change change) {
  if (updateLock_ > 0) {
    pendingPageChange_ = pendingPageChange_ || change == Change::kPage;
    return;
  }
  const QPoint before = ScrollPosition();
  const int maxXBefore = horizontalScrollBar()->maximum();
  const int maxYBefore = verticalScrollBar()->maximum();
  StopMarking();
  pageError_ = 0;
  turned_ = MonoBitmap();
  geometry_ = ViewGeometry();
  if (pages_.IsOpen()) {
    const MonoBitmap* page = nullptr;
    {
      BusyCursorShown busy(!pages_.IsKept(current_), busyCursor_);
      pageError_ = pages_.Page(current_, page);
    }
    if (pageError_ == ecOK) {
      turned_ = TurnQuarters(*page, rotation_);
      geometry_ = ViewGeometry(page->Width(), page->Height(), rotation_,
                               scaling_ ? factors_ : ViewScale{});
    }
  }
  if (change == Change::kPage || !HasPage()) hasMark_ = false;
  UpdateScrollBars();
  if (change == Change::kPage) {
    ScrollTo(0, 0);
  } else {
    // The same share of the page stays in view.
    auto keep = [](int at, int oldMax, int newMax) {
      return oldMax > 0 ? static_cast<int>(static_cast<std::int64_t>(at) * newMax / oldMax) : 0;
    };
    ScrollTo(keep(before.x(), maxXBefore, horizontalScrollBar()->maximum()),
             keep(before.y(), maxYBefore, verticalScrollBar()->maximum()));
  }
  viewport()->update();
  if (!pages_.IsOpen()) return;
  if (pageError_ != ecOK && OnViewerError) OnViewerError(*this, pageError_);
  if (OnPageChange) OnPageChange(*this);
}

// --- Scrolling --------------------------------------------------------------

QPoint TQaFaxViewer::ScrollPosition() const {
  return {horizontalScrollBar()->value(), verticalScrollBar()->value()};
}

void TQaFaxViewer::UpdateScrollBars() {
  const QSize client = viewport()->size();
  QScrollBar* h = horizontalScrollBar();
  QScrollBar* v = verticalScrollBar();
  h->setRange(0, geometry_.ScrollMaxX(client.width()));
  v->setRange(0, geometry_.ScrollMaxY(client.height()));
  h->setSingleStep(horizScroll_);
  v->setSingleStep(vertScroll_);
  h->setPageStep(horizScroll_ * kStepsPerPage);
  v->setPageStep(vertScroll_ * kStepsPerPage);
}

void TQaFaxViewer::ScrollTo(int x, int y) {
  horizontalScrollBar()->setValue(x);
  verticalScrollBar()->setValue(y);
}

void TQaFaxViewer::ScrollBy(int dx, int dy) {
  const QPoint at = ScrollPosition();
  ScrollTo(at.x() + dx, at.y() + dy);
}

void TQaFaxViewer::resizeEvent(QResizeEvent* event) {
  QAbstractScrollArea::resizeEvent(event);
  UpdateScrollBars();
}

void TQaFaxViewer::keyPressEvent(QKeyEvent* event) {
  if (marking_) return;
  const bool ctrl = event->modifiers() & Qt::ControlModifier;
  const int steps = ctrl ? kStepsPerPage : 1;
  QScrollBar* h = horizontalScrollBar();
  QScrollBar* v = verticalScrollBar();
  switch (event->key()) {
    case Qt::Key_PageUp: ctrl ? v->setValue(0) : PrevPage(); return;
    case Qt::Key_PageDown: ctrl ? v->setValue(v->maximum()) : NextPage(); return;
    case Qt::Key_Home: ctrl ? FirstPage() : h->setValue(0); return;
    case Qt::Key_End: ctrl ? LastPage() : h->setValue(h->maximum()); return;
    case Qt::Key_Left: ScrollBy(-horizScroll_ * steps, 0); return;
    case Qt::Key_Right: ScrollBy(horizScroll_ * steps, 0); return;
    case Qt::Key_Up: ScrollBy(0, -vertScroll_ * steps); return;
    case Qt::Key_Down: ScrollBy(0, vertScroll_ * steps); return;
    default: break;
  }
  if (event->matches(QKeySequence::Copy)) {
    CopyToClipboard();
  } else if (event->matches(QKeySequence::SelectAll)) {
    SelectAll();
  } else {
    event->ignore();  // the window's keys (Esc, Enter, its shortcuts)
  }
}

void TQaFaxViewer::wheelEvent(QWheelEvent* event) {
  if (!(event->modifiers() & Qt::ControlModifier)) {
    QAbstractScrollArea::wheelEvent(event);
    return;
  }
  const int steps = event->angleDelta().y() / QWheelEvent::DefaultDeltasPerStep;
  if (steps != 0 && OnZoomStep) OnZoomStep(*this, steps);
  event->accept();
}

// --- Marking ----------------------------------------------------------------

PixelPoint TQaFaxViewer::ShownAt(const QPoint& viewportPos) const {
  const QPoint scroll = ScrollPosition();
  return geometry_.ShownToPage({viewportPos.x() + scroll.x(), viewportPos.y() + scroll.y()});
}

QRect TQaFaxViewer::ShownToViewport(const PixelRect& shown) const {
  if (shown.Empty()) return {};
  const QPoint scroll = ScrollPosition();
  return QRect(shown.left - scroll.x(), shown.top - scroll.y(), shown.Width(), shown.Height());
}

int TQaFaxViewer::SelectAll() {
  if (!HasPage()) return ecNoImageLoaded;
  mark_ = geometry_.PageBounds();
  hasMark_ = true;
  viewport()->update();
  return ecOK;
}

int TQaFaxViewer::Select(const PixelRect& shown) {
  if (!HasPage()) return ecNoImageLoaded;
  mark_ = RectFromCorners(geometry_.ShownToPage({shown.left, shown.top}),
                          geometry_.ShownToPage({shown.right, shown.bottom}));
  hasMark_ = true;
  viewport()->update();
  return ecOK;
}

void TQaFaxViewer::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton || !HasPage()) {
    QAbstractScrollArea::mousePressEvent(event);
    return;
  }
  if (hasMark_) viewport()->update(ShownToViewport(geometry_.PageToShown(mark_)));
  anchor_ = ShownAt(event->position().toPoint());
  mark_ = {anchor_.x, anchor_.y, anchor_.x, anchor_.y};
  hasMark_ = true;
  marking_ = true;
  lastMouse_ = event->position().toPoint();
  viewport()->update(ShownToViewport(geometry_.PageToShown(mark_)));
}

void TQaFaxViewer::mouseMoveEvent(QMouseEvent* event) {
  if (!marking_) return;
  lastMouse_ = event->position().toPoint();
  if (viewport()->rect().contains(lastMouse_)) {
    autoScroll_.stop();
    MoveMarkCorner(lastMouse_);
    return;
  }
  if (!autoScroll_.isActive()) autoScroll_.start(kAutoScrollMs, this);
  AutoScrollStep();
}

void TQaFaxViewer::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton || !marking_) return;
  StopMarking();
  if (hasMark_ && mark_.Width() == 1 && mark_.Height() == 1) {
    hasMark_ = false;
    viewport()->update(ShownToViewport(geometry_.PageToShown(mark_)));
  }
}

void TQaFaxViewer::timerEvent(QTimerEvent* event) {
  if (event->timerId() == autoScroll_.timerId()) {
    AutoScrollStep();
    return;
  }
  QAbstractScrollArea::timerEvent(event);
}

// With the pointer outside the window while marking, the page scrolls
// toward it, two steps at a time when it is far out.
void TQaFaxViewer::AutoScrollStep() {
  const QRect client = viewport()->rect();
  auto step = [](int at, int low, int high, int size) {
    const int outside = at < low ? low - at : at > high ? at - high : 0;
    const int steps = outside == 0 ? 0 : outside > kFarOutside ? 2 : 1;
    return (at < low ? -steps : steps) * size;
  };
  ScrollBy(step(lastMouse_.x(), client.left(), client.right(), horizScroll_),
           step(lastMouse_.y(), client.top(), client.bottom(), vertScroll_));
  MoveMarkCorner({std::clamp(lastMouse_.x(), client.left(), client.right()),
                  std::clamp(lastMouse_.y(), client.top(), client.bottom())});
}

void TQaFaxViewer::MoveMarkCorner(const QPoint& viewportPos) {
  const QRect before = ShownToViewport(geometry_.PageToShown(mark_));
  mark_ = Intersected(RectFromCorners(anchor_, ShownAt(viewportPos)), geometry_.PageBounds());
  viewport()->update(before.united(ShownToViewport(geometry_.PageToShown(mark_))));
}

void TQaFaxViewer::StopMarking() {
  marking_ = false;
  autoScroll_.stop();
}

QImage TQaFaxViewer::MarkedImage() const {
  if (!HasPage() || !hasMark_) return {};
  return RenderShown(geometry_.PageToShown(mark_), qRgb(255, 255, 255), qRgb(0, 0, 0));
}

int TQaFaxViewer::CopyToClipboard() {
  if (!HasPage()) return ecNoImageLoaded;
  if (!hasMark_) return ecNoImageBlockMarked;
  QApplication::clipboard()->setImage(MarkedImage());
  return ecOK;
}

void TQaFaxViewer::contextMenuEvent(QContextMenuEvent* event) {
  QMenu menu(this);
  QAction* copy = menu.addAction("&Copy", this, [this] { CopyToClipboard(); });
  copy->setShortcut(QKeySequence::Copy);
  copy->setEnabled(HasPage() && hasMark_);
  QAction* all = menu.addAction("Select &All", this, [this] { SelectAll(); });
  all->setShortcut(QKeySequence::SelectAll);
  all->setEnabled(HasPage());
  menu.exec(event->globalPos());
}

// --- Painting ---------------------------------------------------------------

QImage TQaFaxViewer::RenderShown(const PixelRect& area, QRgb paper, QRgb ink) const {
  QImage image(area.Width(), area.Height(), QImage::Format_Indexed8);
  QList<QRgb> colours(256);
  for (int i = 0; i < 256; ++i) {
    auto mix = [i](int from, int to) { return from + (to - from) * i / 255; };
    colours[i] = qRgb(mix(qRed(paper), qRed(ink)), mix(qGreen(paper), qGreen(ink)), mix(qBlue(paper), qBlue(ink)));
  }
  image.setColorTable(colours);
  RenderInk(turned_, geometry_.Scale(), area,
            std::span<std::uint8_t>(image.bits(), static_cast<std::size_t>(image.sizeInBytes())),
            static_cast<int>(image.bytesPerLine()));
  return image;
}

void TQaFaxViewer::paintEvent(QPaintEvent* event) {
  QPainter painter(viewport());
  const QRect dirty = event->rect();
  painter.fillRect(dirty, bgColor_);
  if (pages_.IsOpen() && pageError_ != ecOK) {
    painter.setPen(fgColor_);
    painter.drawText(viewport()->rect(), Qt::AlignCenter,
                     QString("Page %1 cannot be shown:\n%2")
                         .arg(current_)
                         .arg(QString::fromStdString(ErrorMessageText(pageError_))));
    return;
  }
  if (!HasPage()) return;
  const QPoint scroll = ScrollPosition();
  const PixelRect area = Intersected(
      {dirty.left() + scroll.x(), dirty.top() + scroll.y(), dirty.right() + scroll.x(), dirty.bottom() + scroll.y()},
      geometry_.ShownBounds());
  if (!area.Empty()) {
    painter.drawImage(area.left - scroll.x(), area.top - scroll.y(), RenderShown(area, bgColor_.rgb(), fgColor_.rgb()));
  }
  if (hasMark_) {
    // The mark shows inverted.
    painter.setCompositionMode(QPainter::RasterOp_SourceXorDestination);
    painter.fillRect(ShownToViewport(geometry_.PageToShown(mark_)) & dirty, Qt::white);
  }
}

// --- Files dropped ----------------------------------------------------------

void TQaFaxViewer::dragEnterEvent(QDragEnterEvent* event) {
  if (!LocalFileOf(event->mimeData()).isEmpty()) event->acceptProposedAction();
}

void TQaFaxViewer::dragMoveEvent(QDragMoveEvent* event) {
  if (!LocalFileOf(event->mimeData()).isEmpty()) event->acceptProposedAction();
}

void TQaFaxViewer::dropEvent(QDropEvent* event) {
  const QString file = LocalFileOf(event->mimeData());
  if (file.isEmpty()) return;
  event->acceptProposedAction();
  if (int rc = OpenFile(file.toStdString()); rc != ecOK) {
    if (OnViewerError) OnViewerError(*this, rc);
    return;
  }
  if (OnDropFile) OnDropFile(*this, fileName_);
}

}  // namespace tv
