// "Save as PDF..." on the lists and in the view window, as a user picks it:
// the file dialog answered, the PDFs read back with poppler's pdfinfo.
#include <QAction>
#include <QDate>
#include <QDir>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QProcess>
#include <QTabBar>
#include <QTableView>
#include <QTest>
#include <QToolButton>

#include "app/main_screen.h"
#include "store/fax_tables.h"
#include "tests/app/modal_driver.h"
#include "tests/app/qtest_main.h"
#include "tests/app/window_home.h"
#include "tests/support/temp_dir.h"
#include "tests/view/view_test_util.h"
#include "view/widgets/view_window.h"

namespace tv {

namespace {

MonoBitmap Page() { return test::PageWithBlocks(1728, 1100, {{100, 100, 200, 200}}); }

void AddRow(bool outgoing, const std::string& folder, const std::vector<std::pair<const char*, std::string>>& fields) {
  TXbase table;
  if (!(outgoing ? OpenOutgoingTable(table, folder) : OpenRecFaxDBF(table, folder))) qFatal("cannot open the table");
  table.NewRecord();
  for (const auto& [name, value] : fields) table.SetField(name, value);
  table.Append();
}

// What pdfinfo says of a PDF: "Pages", "Author", ...
QString PdfInfo(const QString& file, const QString& key) {
  QProcess pdfinfo;
  pdfinfo.start("pdfinfo", {file});
  pdfinfo.waitForFinished(10000);
  for (const QString& line : QString::fromUtf8(pdfinfo.readAllStandardOutput()).split('\n')) {
    if (line.startsWith(key + ":")) return line.mid(key.size() + 1).trimmed();
  }
  return {};
}

// Makes the row that shows `text` in any column the only one selected.
void SelectRowWith(QTableView* grid, const QString& text) {
  const QAbstractItemModel* model = grid->model();
  for (int row = 0; row < model->rowCount(); ++row) {
    for (int column = 0; column < model->columnCount(); ++column) {
      if (model->index(row, column).data().toString().trimmed() == text) {
        grid->clearSelection();
        grid->selectRow(row);
        return;
      }
    }
  }
  QFAIL(qPrintable("no row shows " + text));
}

// Answers the next file dialog as a user who types `path` (a file, or a
// folder to save into) into its name field and presses its button.
void AnswerFileDialog(const QString& path) {
  test::WhenModal<QFileDialog>([path](QFileDialog* dialog) {
    dialog->findChild<QLineEdit*>("fileNameEdit")->setText(path);
    static_cast<QDialog*>(dialog)->accept();  // QFileDialog::accept, as its button does
  });
}

// Answers the question how several faxes go with the button of that name.
void AnswerJoinQuestion(const char* button) {
  test::WhenModal<QMessageBox>([button](QMessageBox* box) { box->findChild<QPushButton*>(button)->click(); });
}

}  // namespace

class SavePdfTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<test::WindowHome> home_;
  std::unique_ptr<TMainScreen> window_;
  test::TempDir out_;
  const QString today_ = QDate::currentDate().toString(Qt::ISODate);

  QString Out(const QString& name) const { return QDir(QString::fromStdString(out_.Path())).filePath(name); }

 private slots:
  void init() { home_ = std::make_unique<test::WindowHome>(); }
  void cleanup() {
    window_.reset();
    home_.reset();
  }

  // Two outgoing rows selected: one PDF each in the folder chosen, the cover
  // in front of the body, named after the fax; a name already there is kept.
  // Or one PDF of both, in the list's order (the latest first), naming both.
  void severalRowsOnePdfEachOrOneOfAll() {
    QCOMPARE(test::WriteFax(home_->File("SEND/COV00000.APF"), {Page()}), 0);
    QCOMPARE(test::WriteFax(home_->File("SEND/FAX00000.APF"), {Page(), Page()}), 0);
    QCOMPARE(test::WriteFax(home_->File("SEND/FAX00001.APF"), {Page()}, false), 0);
    AddRow(true, home_->Path(), {{"SUBJECT", "Plans"}, {"RECIPIENT", "Ann"}, {"FAXDOC", "FAX00000.APF"},
                                 {"FAXCOVER", "COV00000.APF"}});
    AddRow(true, home_->Path(), {{"SUBJECT", "Prices"}, {"RECIPIENT", "Bob"}, {"FAXDOC", "FAX00001.APF"}});
    out_.Write(("Fax to Bob " + today_ + ".pdf").toStdString(), "older");
    window_ = test::OpenMainWindow();
    auto* grid = window_->findChild<QTableView*>("FaxGrid");
    grid->selectAll();
    AnswerJoinQuestion("OnePdfEach");
    AnswerFileDialog(QDir(QString::fromStdString(out_.Path())).absolutePath());
    window_->findChild<QAction*>("mnuSavePdf")->trigger();

    const QString ann = Out("Fax to Ann " + today_ + ".pdf");
    const QString bob = Out("Fax to Bob " + today_ + " (2).pdf");
    QCOMPARE(PdfInfo(ann, "Pages"), QString("3"));
    QCOMPARE(PdfInfo(ann, "Author"), QString("Ann"));
    QCOMPARE(PdfInfo(ann, "Subject"), QString("Plans"));
    QCOMPARE(PdfInfo(bob, "Pages"), QString("1"));
    QCOMPARE(PdfInfo(bob, "Title"), "Fax to Bob " + today_);
    QCOMPARE(QString::fromStdString(out_.Read(("Fax to Bob " + today_ + ".pdf").toStdString())), QString("older"));

    AnswerJoinQuestion("OneJoinedPdf");
    AnswerFileDialog(Out("both.pdf"));
    window_->findChild<QAction*>("mnuSavePdf")->trigger();
    QCOMPARE(PdfInfo(Out("both.pdf"), "Pages"), QString("4"));
    QCOMPARE(PdfInfo(Out("both.pdf"), "Author"), QString("Bob, Ann"));
    QCOMPARE(PdfInfo(Out("both.pdf"), "Subject"), QString("Prices; Plans"));
  }

  // From the view window of a received fax, and a received fax that is no
  // fax file: a warning that says so, and no PDF.
  void viewWindowAndDamagedFax() {
    QCOMPARE(test::WriteFax(home_->File("Receive/FAX0001.APF"), {Page(), Page()}), 0);
    home_->Write("Receive/FAX0002.APF", "not a fax");
    AddRow(false, home_->Path(), {{"FROM", "ALICE FAX"}, {"FAXFILE", "FAX0001.APF"}});
    AddRow(false, home_->Path(), {{"FROM", "BROKEN"}, {"FAXFILE", "FAX0002.APF"}});
    window_ = test::OpenMainWindow();
    window_->findChild<QTabBar*>("TabSet1")->setCurrentIndex(1);
    auto* grid = window_->findChild<QTableView*>("RecFaxGrid");
    SelectRowWith(grid, "ALICE FAX");
    test::WhenModal<TFaxViewer>([this](TFaxViewer* viewer) {
      QTRY_VERIFY(!viewer->FaxViewer().FileName().empty());
      AnswerFileDialog(Out("alice"));
      viewer->findChild<QToolButton*>("SavePdfButton")->click();
      viewer->reject();
    });
    window_->findChild<QAction*>("ViewButton")->trigger();
    QCOMPARE(PdfInfo(Out("alice.pdf"), "Pages"), QString("2"));
    QCOMPARE(PdfInfo(Out("alice.pdf"), "Author"), QString("ALICE FAX"));

    SelectRowWith(grid, "BROKEN");
    QString warning;
    AnswerFileDialog(Out("broken.pdf"));
    test::AnswerMessageBox(QMessageBox::Ok, &warning);
    window_->findChild<QAction*>("mnuSavePdf")->trigger();
    QVERIFY2(warning.startsWith("Fax from BROKEN " + today_ + " cannot be read: "), qPrintable(warning));
    QVERIFY(!QFile::exists(Out("broken.pdf")));
  }
};

TV_REGISTER_QTEST(SavePdfTest)

}  // namespace tv

#include "save_pdf_test.moc"
