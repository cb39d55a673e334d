// The view and print window and its viewer, driven as a user would: keys,
// buttons, the menu, the mouse, the clipboard and files dropped on it.
#include <QAction>
#include <QClipboard>
#include <QLabel>
#include <QMenuBar>
#include <QMimeData>
#include <QScrollBar>
#include <QTest>
#include <QToolButton>
#include <QUrl>
#include <QWheelEvent>

#include "platform/error_codes.h"
#include "platform/paths.h"
#include "tests/app/modal_driver.h"
#include "tests/app/qtest_main.h"
#include "tests/support/temp_dir.h"
#include "tests/view/view_test_util.h"
#include "view/widgets/view_window.h"

namespace tv {

namespace {

// Page n has a 300-pixel block at x = 100 n, y = 100, and ink at the far
// right so that it keeps its full width.
MonoBitmap Page(int n) { return test::PageWithBlocks(1728, 2200, {{100 * n, 100, 300, 300}, {1720, 2190, 8, 10}}); }

}  // namespace

class ViewWindowTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<test::TempDir> dir_;
  std::unique_ptr<TFaxViewer> window_;

  std::string Fax(const char* name, int pages) {
    std::vector<MonoBitmap> bitmaps;
    for (int n = 1; n <= pages; ++n) bitmaps.push_back(Page(n));
    const std::string file = dir_->File(name);
    if (test::WriteFax(file, bitmaps) != 0) qFatal("cannot write %s", name);
    return file;
  }
  void Open(const std::string& file, const QString& title = {}) {
    window_ = std::make_unique<TFaxViewer>();
    window_->SetFaxFileName(file);
    window_->SetTitle(title);
    window_->show();
    QVERIFY(QTest::qWaitForWindowExposed(window_.get()));
    QTRY_VERIFY(Status() != "Loading...");
  }
  TQaFaxViewer& Viewer() { return window_->FaxViewer(); }
  QString Status() { return window_->findChild<QLabel*>("StatusPanel")->text(); }
  QToolButton* Button(const char* name) { return window_->findChild<QToolButton*>(name); }
  QAction* MenuItem(const QString& text) {
    for (QAction* a : window_->findChildren<QAction*>()) {
      if (a->text() == text) return a;
    }
    qFatal("no menu item %s", qPrintable(text));
  }
  void Key(int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
    QTest::keyClick(&Viewer(), static_cast<Qt::Key>(key), modifiers);
  }

 private slots:
  void init() {
    dir_ = std::make_unique<test::TempDir>();
    InitProgramFolder(dir_->Path());
  }
  void cleanup() {
    window_.reset();
    dir_.reset();
  }

  void pagesTurnByKeysAndButtons() {
    Open(Fax("three.apf", 3), "To: Bob");
    QCOMPARE(Status(), QString("To: Bob: Page 1 of 3"));
    QCOMPARE(window_->windowTitle(), QString("To: Bob - Fax Viewer"));
    for (const char* name : {"FirstButton", "PrevButton", "NextButton", "LastButton"}) QVERIFY(Button(name)->isVisible());

    Key(Qt::Key_PageDown);
    QCOMPARE(Status(), QString("To: Bob: Page 2 of 3"));
    Key(Qt::Key_End, Qt::ControlModifier);
    QCOMPARE(Viewer().ActivePage(), 3);
    Key(Qt::Key_PageDown);  // stops at the last page
    QCOMPARE(Viewer().ActivePage(), 3);
    Key(Qt::Key_Home, Qt::ControlModifier);
    QCOMPARE(Viewer().ActivePage(), 1);

    // Scrolling: End to the right edge, Home back, arrows one step, with Ctrl ten.
    QScrollBar* h = Viewer().horizontalScrollBar();
    QScrollBar* v = Viewer().verticalScrollBar();
    MenuItem("200%")->trigger();
    QVERIFY(h->maximum() > 0);
    Key(Qt::Key_End);
    QCOMPARE(h->value(), h->maximum());
    QCOMPARE(Viewer().ActivePage(), 1);
    Key(Qt::Key_Home);
    QCOMPARE(h->value(), 0);
    Key(Qt::Key_Down);
    Key(Qt::Key_Down, Qt::ControlModifier);
    QCOMPARE(v->value(), 88);
    Key(Qt::Key_PageDown, Qt::ControlModifier);
    QCOMPARE(v->value(), v->maximum());
    // First page on the first page goes back to the top-left corner.
    QTest::mouseClick(Button("FirstButton"), Qt::LeftButton);
    QCOMPARE(Viewer().ScrollPosition(), QPoint(0, 0));

    QTest::mouseClick(Button("NextButton"), Qt::LeftButton);
    QCOMPARE(Viewer().ActivePage(), 2);
    QTest::mouseClick(Button("LastButton"), Qt::LeftButton);
    QCOMPARE(Viewer().ActivePage(), 3);
    QTest::mouseClick(Button("PrevButton"), Qt::LeftButton);
    QCOMPARE(Status(), QString("To: Bob: Page 2 of 3"));
  }

  void zoomAndRotation() {
    Open(Fax("one.apf", 1));
    QCOMPARE(Status(), QString("Page 1 of 1"));
    for (const char* name : {"FirstButton", "PrevButton", "NextButton", "LastButton"}) QVERIFY(!Button(name)->isVisible());
    // The window starts at half size, "100%" in the menu.
    QCOMPARE(window_->Zoom(), 50);
    QVERIFY(MenuItem("100%")->isChecked());
    QCOMPARE(Viewer().Geometry().ShownWidth(), 864);

    QTest::mouseClick(Button("ZoomInButton"), Qt::LeftButton);
    QCOMPARE(Viewer().Geometry().ShownWidth(), 1296);
    QVERIFY(MenuItem("150%")->isChecked());
    QTest::keyClick(window_.get(), Qt::Key_Plus, Qt::ControlModifier);
    QCOMPARE(window_->Zoom(), 100);
    QVERIFY(!Viewer().Scaling());
    QCOMPARE(Viewer().Geometry().ShownWidth(), 1728);
    QTest::mouseClick(Button("ZoomInButton"), Qt::LeftButton);  // beeps at "200%"
    QCOMPARE(window_->Zoom(), 100);
    MenuItem("50%")->trigger();
    QCOMPARE(Viewer().Geometry().ShownHeight(), 550);
    QTest::keyClick(window_.get(), Qt::Key_Minus, Qt::ControlModifier);  // beeps at "50%"
    QCOMPARE(window_->Zoom(), 25);
    // The wheel with Ctrl zooms; without, it scrolls.
    auto wheel = [this](int delta, Qt::KeyboardModifiers modifiers) {
      QWheelEvent event(QPointF(50, 50), QPointF(50, 50), {}, QPoint(0, delta), Qt::NoButton, modifiers,
                        Qt::NoScrollPhase, false);
      QApplication::sendEvent(Viewer().viewport(), &event);
    };
    wheel(120, Qt::ControlModifier);
    QCOMPARE(window_->Zoom(), 50);
    wheel(-120, Qt::NoModifier);
    QCOMPARE(window_->Zoom(), 50);
    QVERIFY(Viewer().ScrollPosition().y() > 0);

    MenuItem("Rotate 90 degrees")->trigger();
    QCOMPARE(Viewer().Rotation(), 1);
    QCOMPARE(Viewer().PageWidth(), 2200);
    QCOMPARE(Viewer().Geometry().ShownWidth(), 1100);
    QVERIFY(MenuItem("Rotate 90 degrees")->isChecked());
    MenuItem("No rotation")->trigger();
    QCOMPARE(Viewer().PageWidth(), 1728);

    // Fit width fills the viewer's width (less a scroll bar), fit page shows
    // the whole page, also after the window grows; the steps go on from there.
    MenuItem("Fit width")->trigger();
    const QRect room = Viewer().contentsRect();
    QVERIFY(Viewer().Geometry().ShownWidth() <= room.width());
    QVERIFY(Viewer().Geometry().ShownWidth() > room.width() - 40);
    MenuItem("Fit page")->trigger();
    window_->resize(window_->width() + 100, window_->height() + 200);
    QTRY_VERIFY(Viewer().contentsRect().height() > room.height());
    QTRY_VERIFY(Viewer().Geometry().ShownHeight() > Viewer().contentsRect().height() - 5);
    QVERIFY(Viewer().Geometry().ShownHeight() <= Viewer().contentsRect().height());
    QVERIFY(Viewer().Geometry().ShownWidth() <= Viewer().contentsRect().width());
    QTest::mouseClick(Button("ZoomInButton"), Qt::LeftButton);
    QVERIFY(window_->Zoom() > 0 && Viewer().Geometry().ShownHeight() > Viewer().contentsRect().height());
  }

  void copiesTheMarkedAreaAsAPicture() {
    Open(Fax("one.apf", 1));
    QCOMPARE(Viewer().CopyToClipboard(), int(ecNoImageBlockMarked));
    MenuItem("200%")->trigger();
    // Drag from page pixel (80, 80) to (130, 110): 51 x 31 pixels, the
    // block's top-left corner at (20, 20) inside the mark.
    QWidget* page = Viewer().viewport();
    QTest::mousePress(page, Qt::LeftButton, {}, QPoint(80, 80));
    QTest::mouseMove(page, QPoint(110, 95));
    QTest::mouseMove(page, QPoint(130, 110));
    QTest::mouseRelease(page, Qt::LeftButton, {}, QPoint(130, 110));
    QCOMPARE(Viewer().Mark(), (PixelRect{80, 80, 130, 110}));
    Key(Qt::Key_C, Qt::ControlModifier);
    const QImage copied = QApplication::clipboard()->image();
    QCOMPARE(copied.size(), QSize(51, 31));
    QCOMPARE(qGray(copied.pixel(19, 19)), 255);  // paper
    QCOMPARE(qGray(copied.pixel(20, 20)), 0);    // ink
    QCOMPARE(qGray(copied.pixel(50, 30)), 0);

    // The mark stays on the same part of the page through zoom and rotation.
    MenuItem("Rotate 180 degrees")->trigger();
    MenuItem("100%")->trigger();
    QCOMPARE(Viewer().Mark(), (PixelRect{80, 80, 130, 110}));
    const QImage turned = Viewer().MarkedImage();
    QCOMPARE(turned.size(), QSize(26, 16));
    // The block filled the mark's bottom-right part; turned, its top-left.
    QCOMPARE(qGray(turned.pixel(2, 2)), 0);
    QCOMPARE(qGray(turned.pixel(20, 10)), 255);

    // A click without a drag leaves no mark; the next page starts without one.
    QTest::mouseClick(page, Qt::LeftButton, {}, QPoint(5, 5));
    QVERIFY(!Viewer().HasMark());
    QCOMPARE(Viewer().CopyToClipboard(), int(ecNoImageBlockMarked));
  }

  void badFilesAndDamagedPages() {
    dir_->Write("letter.apf", "This is a letter, not a fax; it is long enough to have a fax header in it.....");
    QString message;
    test::AnswerMessageBox(QMessageBox::Ok, &message);
    Open(dir_->File("letter.apf"));
    QVERIFY2(message.startsWith(QString::fromStdString("Error opening fax file " + dir_->File("letter.apf") + ": ")),
             qPrintable(message));
    QCOMPARE(Status(), QString("No file loaded"));
    QVERIFY(!Button("PrinterSetupButton")->isEnabled());
    QVERIFY(Viewer().FileName().empty());

    // Page 3 cut short: pages 1 and 2 show, page 3 reports its error and the
    // fax stays open.
    const std::string whole = dir_->Read(Fax("three.apf", 3).substr(dir_->Path().size()));
    dir_->Write("cut.apf", whole.substr(0, whole.size() - 100));
    Open(dir_->File("cut.apf"));
    QCOMPARE(Status(), QString("Page 1 of 3"));
    test::AnswerMessageBox(QMessageBox::Ok, &message);
    QTest::mouseClick(Button("LastButton"), Qt::LeftButton);
    QCOMPARE(message, QString("Viewer error %1").arg(ecFaxBadFormat));
    QCOMPARE(Status(), QString("Page 3 of 3"));
    QCOMPARE(Viewer().PageWidth(), 0);
    QTest::mouseClick(Button("PrevButton"), Qt::LeftButton);
    QCOMPARE(Viewer().PageWidth(), 1728);
  }

  void withoutPrintersOnlyThePrintDialogRemains() {
    Open(Fax("one.apf", 1));
    QVERIFY(!Button("Printbutton")->isEnabled());
    QVERIFY(!Button("ExplorerButton1")->isEnabled());
    QVERIFY(Button("PrinterSetupButton")->isEnabled());
  }

  void opensAFaxDroppedFromTheFileManager() {
    Open(Fax("one.apf", 1));
    // What a file manager sends: the file's URL, entering and then dropped.
    auto drop = [this](const std::string& file) {
      QMimeData data;
      data.setUrls({QUrl::fromLocalFile(QString::fromStdString(file))});
      QDragEnterEvent enter(QPoint(50, 50), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
      QApplication::sendEvent(Viewer().viewport(), &enter);
      QVERIFY(enter.isAccepted());
      QDropEvent drop(QPointF(50, 50), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
      QApplication::sendEvent(Viewer().viewport(), &drop);
    };
    const std::string two = Fax("two.apf", 2);
    drop(two);
    QCOMPARE(Viewer().FileName(), two);
    QCOMPARE(Status(), QString("Page 1 of 2"));
    QVERIFY(Button("NextButton")->isVisible());

    // A dropped file that is no fax leaves the fax shown.
    dir_->Write("note.txt", "hello");
    QString message;
    test::AnswerMessageBox(QMessageBox::Ok, &message);
    drop(dir_->File("note.txt"));
    QCOMPARE(message, QString("Viewer error %1").arg(ecFaxBadFormat));
    QCOMPARE(Viewer().FileName(), two);
  }
};

TV_REGISTER_QTEST(ViewWindowTest)

}  // namespace tv

#include "view_window_test.moc"
