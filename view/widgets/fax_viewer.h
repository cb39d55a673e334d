// The fax viewer control: one page of a fax file at a time in a scrolling
// area, zoomed by whole-number ratios and turned in quarter turns, with key,
// scroll-bar and wheel navigation, a rubber-band mark that copies to the
// clipboard as a picture, and fax files dropped from the file manager.
//
// Pages come from the page model (unpacked when first shown, a few kept);
// what a pixel on screen shows is the view geometry's business, so this
// class only ties them to Qt's events.
#pragma once

#include <QAbstractScrollArea>
#include <QBasicTimer>
#include <QColor>
#include <QCursor>
#include <QImage>
#include <functional>
#include <string>

#include "image/fax_unpacker.h"
#include "view/fax_pages.h"
#include "view/view_geometry.h"

namespace tv {

class TQaFaxViewer : public QAbstractScrollArea {
  Q_OBJECT

 public:
  using TViewerFileDropEvent = std::function<void(TQaFaxViewer& sender, const std::string& fileName)>;
  using TViewerErrorEvent = std::function<void(TQaFaxViewer& sender, int errorCode)>;
  using TNotifyEvent = std::function<void(TQaFaxViewer& sender)>;
  // steps > 0 to zoom in, < 0 to zoom out (Ctrl with the mouse wheel).
  using TZoomStepEvent = std::function<void(TQaFaxViewer& sender, int steps)>;

  explicit TQaFaxViewer(QWidget* parent = nullptr);
  ~TQaFaxViewer() override;

  const std::string& FileName() const { return fileName_; }
  // Opens the fax (an empty name closes it) at page 1, unturned, with the
  // four scale factors back at 1. A file that cannot be opened raises the
  // exception of its code, and the fax shown before stays.
  void SetFileName(const std::string& name);

  QColor FGColor() const { return fgColor_; }
  void SetFGColor(const QColor& colour);
  QColor BGColor() const { return bgColor_; }
  void SetBGColor(const QColor& colour);

  // With Scaling off the page shows 1:1, else by the four factors (a factor
  // of 0 is ignored).
  bool Scaling() const { return scaling_; }
  void SetScaling(bool on);
  int HorizMult() const { return factors_.horizMult; }
  void SetHorizMult(int v) { SetFactor(&ViewScale::horizMult, v); }
  int HorizDiv() const { return factors_.horizDiv; }
  void SetHorizDiv(int v) { SetFactor(&ViewScale::horizDiv, v); }
  int VertMult() const { return factors_.vertMult; }
  void SetVertMult(int v) { SetFactor(&ViewScale::vertMult, v); }
  int VertDiv() const { return factors_.vertDiv; }
  void SetVertDiv(int v) { SetFactor(&ViewScale::vertDiv, v); }

  TAutoScaleMode AutoScaleMode() const { return autoScaleMode_; }
  void SetAutoScaleMode(TAutoScaleMode mode);
  // Raise the exception for ecBadArgument when from and to do not go together.
  bool WhitespaceCompression() const { return whitespaceCompression_; }
  void SetWhitespaceCompression(bool on);
  int WhitespaceFrom() const { return whitespaceFrom_; }
  void SetWhitespaceFrom(int v);
  int WhitespaceTo() const { return whitespaceTo_; }
  void SetWhitespaceTo(int v);

  // Scroll steps in pixels; a page of scrolling is ten steps. 0 leaves a step.
  int HorizScroll() const { return horizScroll_; }
  void SetHorizScroll(int pixels);
  int VertScroll() const { return vertScroll_; }
  void SetVertScroll(int pixels);

  // Keeps every page once unpacked (and unpacks them all when switched on
  // with a fax open) instead of the last few.
  bool LoadWholeFax() const { return loadWholeFax_; }
  void SetLoadWholeFax(bool on);
  const QCursor& BusyCursor() const { return busyCursor_; }
  void SetBusyCursor(const QCursor& cursor) { busyCursor_ = cursor; }

  // Navigation, each only with a fax open. First page on page 1 and last
  // page on the last page scroll to the top-left corner instead.
  void FirstPage();
  void LastPage();
  void NextPage();
  void PrevPage();
  // Changes between the two leave the page as it is; EndUpdate shows it.
  void BeginUpdate();
  void EndUpdate();
  int PageCount() const { return pages_.PageCount(); }
  // 0 without a fax. Setting a page outside 1..PageCount raises the
  // exception for ecBadArgument.
  int ActivePage() const { return pages_.IsOpen() ? current_ : 0; }
  void SetActivePage(int page);
  // Quarter turns clockwise, 0..3.
  int Rotation() const { return rotation_; }
  void SetRotation(int quarterTurns);
  // Width in pixels of the current page as turned; 0 without one.
  int PageWidth() const;
  // The flags of the current page's header; 0 without one.
  int PageFlags() const;

  // The mark, kept in page pixels so that it stays on the same part of the
  // page through zoom and rotation. Select takes shown pixels and clamps
  // them to the page. Both return ecNoImageLoaded without a page shown.
  int SelectAll();
  int Select(const PixelRect& shown);
  bool HasMark() const { return hasMark_; }
  PixelRect Mark() const { return hasMark_ ? mark_ : PixelRect{}; }
  // Puts the marked area, as shown, on the clipboard as a black-on-white
  // picture: ecNoImageLoaded without a page, ecNoImageBlockMarked without a
  // mark.
  int CopyToClipboard();
  // The marked area as it is copied (null without a mark).
  QImage MarkedImage() const;

  const ViewGeometry& Geometry() const { return geometry_; }
  QPoint ScrollPosition() const;

  TViewerFileDropEvent OnDropFile;
  TNotifyEvent OnPageChange;
  TViewerErrorEvent OnViewerError;
  TZoomStepEvent OnZoomStep;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void wheelEvent(QWheelEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void timerEvent(QTimerEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dragMoveEvent(QDragMoveEvent* event) override;
  void dropEvent(QDropEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;
  void scrollContentsBy(int dx, int dy) override { viewport()->scroll(dx, dy); }
  QSize sizeHint() const override { return {100, 50}; }

 private:
  enum class Change { kPage, kView };

  int OpenFile(const std::string& name);
  void SetFactor(int ViewScale::*factor, int v);
  void GoToPage(int page);
  // Shows the current page after a page change (scrolled to the top-left,
  // mark removed) or a view change (zoom, rotation: the mark and the
  // scrolled share of the page stay).
  void PreparePage(Change change);
  void ApplyScale();
  void UpdateScrollBars();
  void ScrollTo(int x, int y);
  void ScrollBy(int dx, int dy);
  bool HasPage() const { return pages_.IsOpen() && pageError_ == 0 && !turned_.Empty(); }
  PixelPoint ShownAt(const QPoint& viewportPos) const;
  QRect ShownToViewport(const PixelRect& shown) const;
  void MoveMarkCorner(const QPoint& viewportPos);
  void AutoScrollStep();
  void StopMarking();
  // The shown pixels `area` as an 8-bit picture whose colours run from
  // paper to ink.
  QImage RenderShown(const PixelRect& area, QRgb paper, QRgb ink) const;

  FaxPages pages_;
  std::string fileName_;
  int current_ = 0;
  int pageError_ = 0;
  MonoBitmap turned_;  // the current page, turned
  ViewGeometry geometry_;
  int rotation_ = 0;

  QColor fgColor_ = Qt::black;
  QColor bgColor_ = Qt::white;
  bool scaling_ = false;
  ViewScale factors_;  // as set, used while scaling_ is on
  TAutoScaleMode autoScaleMode_ = TAutoScaleMode::asDoubleHeight;
  bool whitespaceCompression_ = false;
  int whitespaceFrom_ = 0;
  int whitespaceTo_ = 0;
  int horizScroll_ = 8;
  int vertScroll_ = 8;
  bool loadWholeFax_ = false;
  QCursor busyCursor_{Qt::WaitCursor};
  int updateLock_ = 0;
  bool pendingPageChange_ = false;  // a page change waits for EndUpdate

  bool hasMark_ = false;
  PixelRect mark_;      // page pixels
  PixelPoint anchor_;   // page pixel where the drag began
  bool marking_ = false;
  QPoint lastMouse_;    // viewport position of the last drag move
  QBasicTimer autoScroll_;
};

}  // namespace tv
