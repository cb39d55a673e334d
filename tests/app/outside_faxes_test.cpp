// Faxes that come from outside while the window is open: a pair the fax
// printer leaves in SEND shows up without the user coming back to the
// window, and documents dropped from a file manager become outgoing faxes
// whose pages show the documents.
#include <QApplication>
#include <QDropEvent>
#include <QImage>
#include <QMimeData>
#include <QPainter>
#include <QProcess>
#include <QTableView>
#include <QTest>
#include <QUrl>
#include <algorithm>
#include <filesystem>
#include <set>

#include "app/main_screen.h"
#include "image/document_input.h"
#include "image/fax_unpacker.h"
#include "image/mono_bitmap.h"
#include "platform/app_settings.h"
#include "platform/paths.h"
#include "tests/app/qtest_main.h"
#include "tests/app/window_home.h"
#include "tests/support/temp_dir.h"

namespace tv {

namespace {

// The fax files in SEND, by name.
std::set<std::string> FaxFiles() {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(SendFolder())) {
    if (entry.path().extension() == ".APF") names.insert(entry.path().filename().string());
  }
  return names;
}

// The share of black pixels in a rectangle of a page, in per cent.
int BlackPercent(const MonoBitmap& page, int left, int top, int right, int bottom) {
  long black = 0;
  for (int y = top; y < bottom; ++y) {
    for (int x = left; x < right; ++x) black += page.IsBlack(x, y);
  }
  return static_cast<int>(100 * black / (long(right - left) * (bottom - top)));
}

}  // namespace

class OutsideFaxesTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<test::WindowHome> home_;
  std::unique_ptr<TMainScreen> window_;

  QTableView* FaxGrid() { return window_->findChild<QTableView*>("FaxGrid"); }

  // Drops the file on the outgoing list as a file manager does.
  void Drop(const std::string& path) {
    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(QString::fromStdString(path))});
    QWidget* target = FaxGrid()->viewport();
    const QPoint at = target->rect().center();
    QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &enter);
    QVERIFY(enter.isAccepted());
    QDropEvent drop(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &drop);
    QVERIFY(drop.isAccepted());
  }

  // Drops the document and returns page 1 of the fax it became.
  MonoBitmap DropAndRender(const std::string& path, int rowsAfter) {
    const std::set<std::string> before = FaxFiles();
    Drop(path);
    if (!QTest::qWaitFor([&] { return FaxGrid()->model()->rowCount() == rowsAfter; }, 20000)) return {};
    std::vector<std::string> added;
    std::ranges::set_difference(FaxFiles(), before, std::back_inserter(added));
    if (added.size() != 1) return {};
    MonoBitmap page;
    FaxUnpacker unpacker;
    if (unpacker.UnpackPageToBitmap(SendFolder() + added[0], 1, page) != 0) return {};
    return page;
  }

 private slots:
  void init() {
    home_ = std::make_unique<test::WindowHome>();
    window_ = test::OpenMainWindow();
  }
  void cleanup() {
    window_.reset();
    home_.reset();
  }

  // Another window stays active all along: only the folder watch can see it.
  void printedPairAppearsWithoutActivation() {
    QWidget other;
    other.show();
    other.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&other));
    home_->Write("letter.txt", "Dear Ann,\nthe offer stands.\n");
    const auto converter = MakeDocumentConverter(idText, {});
    QCOMPARE(converter->Convert(home_->File("letter.txt"), SendFolder() + "PRN00000.APF"), 0);
    home_->Write("SEND/PRN00000.ZPD", "555 0123\r\nAnn Smith\r\nOffer\r\n");
    QTRY_COMPARE_WITH_TIMEOUT(FaxGrid()->model()->rowCount(), 1, 5000);
    QVERIFY(!std::filesystem::exists(SendFolder() + "PRN00000.ZPD"));
    QVERIFY(other.isActiveWindow());
  }

  void droppedPdfAndPngBecomeFaxesOfThem() {
    // A PDF whose upper half is black, made by Ghostscript.
    home_->Write("half.ps", "%!PS\n0 421 595 421 rectfill showpage\n");
    QProcess gs;
    gs.start("gs", {"-q", "-dSAFER", "-dBATCH", "-dNOPAUSE", "-sDEVICE=pdfwrite", "-sPAPERSIZE=a4",
                    "-sOutputFile=" + QString::fromStdString(home_->File("half.pdf")),
                    QString::fromStdString(home_->File("half.ps"))});
    if (!gs.waitForFinished(20000) || gs.exitCode() != 0) QSKIP("Ghostscript cannot make a PDF here");
    const MonoBitmap pdf = DropAndRender(home_->File("half.pdf"), 1);
    QVERIFY(!pdf.Empty());
    QVERIFY(BlackPercent(pdf, 100, 100, pdf.Width() - 100, pdf.Height() / 2 - 100) > 95);
    QVERIFY(BlackPercent(pdf, 100, pdf.Height() / 2 + 100, pdf.Width() - 100, pdf.Height() - 100) < 1);

    // A PNG whose left half is black.
    QImage png(1600, 1000, QImage::Format_RGB32);
    png.fill(Qt::white);
    QPainter(&png).fillRect(0, 0, 800, 1000, Qt::black);
    QVERIFY(png.save(QString::fromStdString(home_->File("left.png"))));
    const MonoBitmap picture = DropAndRender(home_->File("left.png"), 2);
    QVERIFY(!picture.Empty());
    // The black half is 800 pixels wide, all black, and nothing black follows it.
    int left = 0;
    while (left < picture.Width() && !picture.IsBlack(left, 400)) ++left;
    QVERIFY(left < 200);
    QVERIFY(BlackPercent(picture, left, 100, left + 800, 900) > 99);
    QVERIFY(BlackPercent(picture, left + 800, 100, picture.Width(), 900) < 1);
  }
};

TV_REGISTER_QTEST(OutsideFaxesTest)

}  // namespace tv

#include "outside_faxes_test.moc"
