// The fax printer printing real faxes into PDF files and through a CUPS
// scheduler, checked by rasterising what came out.
#include <cups/cups.h>

#include <QLabel>
#include <QPushButton>
#include <QToolButton>
#include <QTest>
#include <cmath>

#include "platform/qa_exceptions.h"
#include "tests/app/qtest_main.h"
#include "tests/support/temp_dir.h"
#include "tests/view/print_test_support.h"
#include "tests/view/view_test_util.h"
#include "view/widgets/fax_printer.h"
#include "view/widgets/print_job.h"
#include "view/widgets/print_status_window.h"
#include "view/widgets/view_window.h"

namespace tv {

namespace {

// The tests choose their printers: none, unless a test starts a scheduler.
const bool kNoMachinePrinters = qputenv("CUPS_SERVER", "/nonexistent/tessivane-test/cups.sock");

constexpr int kDpi = 100;

// Page n: a 6-pixel frame on the page's edge and a 400-pixel block whose
// place tells the page.
MonoBitmap TestPage(int n) {
  const int x = 100 + ((n - 1) % 3) * 500;
  const int y = 200 + ((n - 1) / 3) * 600;
  return test::PageWithBlocks(1728, 2200, {{0, 0, 1728, 6}, {0, 2194, 1728, 6}, {0, 0, 6, 2200}, {1722, 0, 6, 2200},
                                           {x, y, 400, 400}, {200, 1800, 1300, 3}});
}

std::vector<MonoBitmap> TestPages(int count) {
  std::vector<MonoBitmap> pages;
  for (int n = 1; n <= count; ++n) pages.push_back(TestPage(n));
  return pages;
}

// Where the layout puts the job's page `index` on its sheet, in raster pixels.
QRect ExpectedPlace(TQaFaxPrinter& printer, int index, const MonoBitmap& page) {
  QPrinter& p = printer.Printer();
  const QRect paint = p.pageLayout().paintRectPixels(p.resolution());
  const PrintSheetLayout layout{p.width(), p.height(), printer.MultiPage(),
                                p.pageLayout().orientation() == QPageLayout::Landscape};
  PixelRect cell = layout.Cell(index);
  int rule = 0;
  TakeHeaderBand(cell, printer.FaxHeader().Height(), rule);
  TakeFooterBand(cell, printer.FaxFooter().Height(), rule);
  const PrintSize size =
      PrintedSize(page.Width(), page.Height(), cell, printer.PrintScale(), {1728, p.resolution(), p.resolution()});
  const double scale = static_cast<double>(kDpi) / p.resolution();
  return QRect(std::lround((paint.left() + cell.left) * scale), std::lround((paint.top() + cell.top) * scale),
               std::lround(size.width * scale), std::lround(size.height * scale));
}

// The share of raster pixels inside `place` that agree with the page bitmap
// scaled onto it.
double Agreement(const QImage& raster, const QRect& place, const MonoBitmap& page) {
  long same = 0;
  long all = 0;
  for (int y = place.top() + 1; y < place.bottom(); ++y) {
    for (int x = place.left() + 1; x < place.right(); ++x) {
      const int px = static_cast<int>((x - place.left() + 0.5) * page.Width() / place.width());
      const int py = static_cast<int>((y - place.top() + 0.5) * page.Height() / place.height());
      const bool black = qGray(raster.pixel(x, y)) < 128;
      same += black == page.IsBlack(px, py) ? 1 : 0;
      ++all;
    }
  }
  return all == 0 ? 0.0 : static_cast<double>(same) / all;
}

QString Read(const QString& file) {
  QFile f(file);
  return f.open(QFile::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

}  // namespace

class FaxPrinterTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<test::TempDir> dir_;
  TQaFaxPrinterLog log_;
  QString Path(const char* name) const { return QString::fromStdString(dir_->File(name)); }
  // A printer for the fax into the PDF file, logging to FAXPRINT.LOG.
  void Prepare(TQaFaxPrinter& printer, const std::string& fax, const char* pdf) {
    log_.SetLogFileName(dir_->File("FAXPRINT.LOG"));
    printer.SetFaxPrinterLog(&log_);
    printer.Printer().setOutputFileName(Path(pdf));
    printer.SetFileName(fax);
  }
  std::string Fax(const char* name, int pages) {
    const std::string file = dir_->File(name);
    if (test::WriteFax(file, TestPages(pages)) != 0) qFatal("cannot write %s", name);
    return file;
  }

 private slots:
  void init() { dir_ = std::make_unique<test::TempDir>(); }
  void cleanup() { dir_.reset(); }

  void printsEachPageWhereTheLayoutSays() {
    const std::string fax = Fax("three.apf", 3);
    TQaFaxPrinter printer;
    Prepare(printer, fax, "three.pdf");
    QCOMPARE(printer.PageCount(), 3);
    QVERIFY(printer.FaxResolutionFine());
    printer.PrintFax();

    QCOMPARE(test::PdfPageCount(Path("three.pdf")), 3);
    for (int page = 1; page <= 3; ++page) {
      const QImage raster = test::RasterPage(Path("three.pdf"), page, kDpi);
      const QRect place = ExpectedPlace(printer, 0, TestPage(page));
      // Nothing is cut off: the whole page lies on the sheet, frame included.
      QVERIFY(raster.rect().contains(place));
      QVERIFY2(Agreement(raster, place, TestPage(page)) > 0.98, qPrintable(QString::number(page)));
      const QString text = test::PdfText(Path("three.pdf"), page);
      QVERIFY(text.contains("FILE: " + QString::fromStdString(fax)));
      QVERIFY(text.contains(QString("PAGE: %1 of 3").arg(page)));
    }
    // Page 1 is not page 2: the comparison tells pages apart.
    QVERIFY(Agreement(test::RasterPage(Path("three.pdf"), 1, kDpi), ExpectedPlace(printer, 0, TestPage(2)),
                      TestPage(2)) < 0.95);
    const QStringList lines = Read(Path("FAXPRINT.LOG")).split('\n');
    QCOMPARE(lines.size(), 4);
    QVERIFY(lines[0].startsWith("Printing " + QString::fromStdString(fax) + " started at "));
    QVERIFY(lines[1].startsWith("Printing " + QString::fromStdString(fax) + " finished at "));
    QCOMPARE(lines[2], QString());
  }

  // A note whose ink is narrow prints at the fax's real size (204 pixels and
  // 196 rows to the inch, reduced only as far as the whole page width needs
  // on A4), not stretched to the paper's width.
  void narrowInkPrintsAtItsRealSize() {
    const std::string fax = dir_->File("note.apf");
    QCOMPARE(test::WriteFax(fax, {test::PageWithBlocks(1728, 200, {{100, 50, 300, 40}})}), 0);
    TQaFaxPrinter printer;
    Prepare(printer, fax, "note.pdf");
    printer.Printer().setPageSize(QPageSize(QPageSize::A4));
    printer.PrintFax();
    const QStringList rows = test::RunTool("pdfimages", {"-list", Path("note.pdf")}).value_or("").split('\n');
    QVERIFY(rows.size() > 2);
    // page num type width height color comp bpc enc interp object ID x-ppi y-ppi size ratio
    const QStringList image = rows[2].simplified().split(' ');
    const double xPpi = image[12].toDouble();
    const double yPpi = image[13].toDouble();
    const double printable = printer.Printer().pageLayout().paintRect(QPageLayout::Inch).width();
    QVERIFY2(std::abs(xPpi - 1728 / printable) < 3, qPrintable(rows[2]));
    QVERIFY2(std::abs(yPpi / xPpi - 196.0 / 204) < 0.02, qPrintable(rows[2]));
  }

  void fourUpPutsPageThreeBottomLeft() {
    const std::string fax = Fax("five.apf", 5);
    TQaFaxPrinter printer;
    Prepare(printer, fax, "five.pdf");
    printer.SetMultiPage(true);
    printer.PrintFax();

    QCOMPARE(test::PdfPageCount(Path("five.pdf")), 2);
    const QImage sheet = test::RasterPage(Path("five.pdf"), 1, kDpi);
    for (int index = 0; index < 4; ++index) {
      const QRect place = ExpectedPlace(printer, index, TestPage(index + 1));
      QVERIFY2(Agreement(sheet, place, TestPage(index + 1)) > 0.97, qPrintable(QString::number(index)));
    }
    const QRect third = ExpectedPlace(printer, 2, TestPage(3));
    QVERIFY(third.right() < sheet.width() / 2 && third.top() > sheet.height() / 2);
    QVERIFY(Agreement(sheet, third, TestPage(2)) < 0.95);
    QVERIFY(Agreement(test::RasterPage(Path("five.pdf"), 2, kDpi), ExpectedPlace(printer, 4, TestPage(5)),
                      TestPage(5)) > 0.97);
    QVERIFY(test::PdfText(Path("five.pdf"), 1).contains("PAGE: 3 of 5"));
  }

  void abortedOrFailedJobsLeaveNothingBehind() {
    const std::string fax = Fax("three.apf", 3);
    dir_->Write("out.pdf", "OLD");
    TQaFaxPrinter printer;
    Prepare(printer, fax, "out.pdf");
    printer.OnNextPage = [](TQaFaxPrinter& sender, int page, int) {
      if (page == 2) sender.PrintAbort();
    };
    printer.PrintFax();
    QCOMPARE(dir_->Read("out.pdf"), std::string("OLD"));
    QCOMPARE(printer.CurrentPage(), 0);
    QVERIFY(!printer.Printing());

    // Page 3 cut short: the job fails when it gets there.
    const std::string whole = dir_->Read("three.apf");
    dir_->Write("cut.apf", whole.substr(0, whole.size() - 100));
    printer.OnNextPage = nullptr;
    printer.SetFileName(dir_->File("cut.apf"));
    QVERIFY_THROWS_EXCEPTION(EQaException, printer.PrintFax());
    QCOMPARE(dir_->Read("out.pdf"), std::string("OLD"));

    // A folder that does not exist: a clear message naming the file.
    printer.Printer().setOutputFileName(Path("no/such/folder/out.pdf"));
    printer.SetFileName(fax);
    try {
      printer.PrintFax();
      QFAIL("printed into a missing folder");
    } catch (const EFaxPrintError& e) {
      QVERIFY(QString(e.what()).contains("no/such/folder/out.pdf"));
    }

    QCOMPARE(QDir(Path("")).entryList(QDir::Files | QDir::Hidden).size(), 4);  // the faxes, out.pdf and the log
    const QString text = Read(Path("FAXPRINT.LOG"));
    QCOMPARE(text.count(" started at "), 3);
    QCOMPARE(text.count(" aborted at "), 1);
    QCOMPARE(text.count(" failed at "), 2);
  }

  void statusWindowShowsTheJobAndAborts() {
    const std::string fax = Fax("status.apf", 3);
    TQaFaxPrinter printer;
    TQaFaxPrinterStatus status;
    printer.SetStatusDisplay(&status);
    Prepare(printer, fax, "status.pdf");
    QStringList seen;
    printer.OnNextPage = [&](TQaFaxPrinter&, int page, int) {
      if (page != 2) return;
      TStandardFaxPrinterStatusDisplay* window = status.Display();
      QVERIFY(window && window->isVisible());
      QCOMPARE(window->windowTitle(), QString("Print Status"));
      for (const char* label : {"FileName", "TotalPages", "Resolution", "FaxWidth", "PagesToPrint", "StatusLine"}) {
        seen << window->findChild<QLabel*>(label)->text();
      }
      QTest::mouseClick(window->findChild<QPushButton*>("AbortButton"), Qt::LeftButton);
    };
    std::vector<TFaxPrintProgress> progress;
    printer.OnFaxPrintStatus = [&](TQaFaxPrinter&, TFaxPrintProgress p) { progress.push_back(p); };
    printer.PrintFax();
    QCOMPARE(seen, (QStringList{"STATUS.APF", "3", "high", "1728", "1 to 3", "Submitting 1 of 3"}));
    QVERIFY(!status.Display()->isVisible());
    QVERIFY(!QFile::exists(Path("status.pdf")));
    // Page 1 went through every step, in order; the job ended idle.
    const std::vector<TFaxPrintProgress> firstPage{ppIdle, ppConverting, ppComposing, ppRendering, ppSubmitting};
    QVERIFY(std::equal(firstPage.begin(), firstPage.end(), progress.begin()));
    QCOMPARE(progress.back(), ppIdle);
  }

  void cupsPrinterGetsWholeJobsOnly() {
    test::PrivateCups cups(Path("cups"));
    QVERIFY2(cups.Ready(), qPrintable("the test's CUPS scheduler did not start: " + cups.Log()));
    cupsSetServer(cups.Socket().toUtf8().constData());
    const std::string fax = Fax("three.apf", 3);

    TQaFaxPrinter printer;
    printer.Printer().setPrinterName(test::PrivateCups::kPrinter);
    printer.SetFileName(fax);
    printer.PrintFax();
    QVERIFY(cups.WaitForJobs(1));
    QCOMPARE(test::PdfPageCount(cups.Jobs()[0]), 3);
    QVERIFY(test::PdfText(cups.Jobs()[0], 3).contains("PAGE: 3 of 3"));

    // An aborted job never reaches the scheduler.
    printer.OnNextPage = [](TQaFaxPrinter& sender, int page, int) {
      if (page == 3) sender.PrintAbort();
    };
    printer.PrintFax();

    // The window prints the current page on the default printer.
    TFaxViewer window;
    window.SetFaxFileName(fax);
    window.show();
    QTRY_COMPARE(window.FaxViewer().PageCount(), 3);
    auto* printCurrent = window.findChild<QToolButton*>("ExplorerButton1");
    QVERIFY(printCurrent->isEnabled());
    window.FaxViewer().NextPage();
    QTest::mouseClick(printCurrent, Qt::LeftButton);
    QVERIFY(cups.WaitForJobs(2));

    // And so does the command line.
    QProcessEnvironment env = cups.Environment();
    QVERIFY(test::RunTool(TVFAX_PATH, {"print", "--pages", "2-3", QString::fromStdString(fax)}, env));
    QVERIFY(cups.WaitForJobs(3));
    cupsSetServer(nullptr);

    const QStringList jobs = cups.Jobs();
    QCOMPARE(jobs.size(), 3);
    QCOMPARE(test::PdfPageCount(jobs[1]), 1);
    QVERIFY(test::PdfText(jobs[1], 1).contains("Page: 2 of 3"));
    QCOMPARE(test::PdfPageCount(jobs[2]), 2);
  }
};

TV_REGISTER_QTEST(FaxPrinterTest)

}  // namespace tv

#include "fax_printer_test.moc"
