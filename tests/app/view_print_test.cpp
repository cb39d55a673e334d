// "&View" on both lists: the working copy the viewer shows, its title, and
// that nothing of it is left once the viewer closes.
#include <QAction>
#include <QDate>
#include <QDir>
#include <QLabel>
#include <QFileInfo>
#include <QPushButton>
#include <QTabBar>
#include <QTableView>
#include <QTest>

#include "app/main_screen.h"
#include "platform/app_settings.h"
#include "platform/paths.h"
#include "store/fax_tables.h"
#include "tests/app/modal_driver.h"
#include "tests/app/qtest_main.h"
#include "tests/app/window_home.h"
#include "tests/support/temp_dir.h"
#include "tests/view/view_test_util.h"
#include "view/fax_pages.h"
#include "view/widgets/view_window.h"

namespace tv {

namespace {

// A page with a 200-pixel block at x, y = 100.
MonoBitmap BlockAt(int x) { return test::PageWithBlocks(1728, 1100, {{x, 100, 200, 200}}); }

using Fields = std::vector<std::pair<const char*, std::string>>;

void AddRow(bool outgoing, const std::string& folder, const Fields& fields) {
  TXbase table;
  if (!(outgoing ? OpenOutgoingTable(table, folder) : OpenRecFaxDBF(table, folder))) qFatal("cannot open the table");
  table.NewRecord();
  for (const auto& [name, value] : fields) table.SetField(name, value);
  table.Append();
}

// What the viewer showed before it was closed.
struct Shown {
  std::string file;
  QString status;
  QString header;
  QString title;     // the window's
  QString document;  // the name print jobs get
  int pages = 0;
  std::vector<bool> blockAt;  // page n (from 1) has ink where BlockAt(100 + 500 (n - 1)) put it
};

}  // namespace

class ViewPrintTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<test::WindowHome> home_;
  std::unique_ptr<TMainScreen> window_;

  void Open() {
    window_ = test::OpenMainWindow();
  }
  // Answers the viewer when it opens: records what it shows and closes it.
  static void WhenViewerShows(Shown& shown) {
    test::WhenModal<TFaxViewer>([&shown](TFaxViewer* viewer) {
      auto* status = viewer->findChild<QLabel*>("StatusPanel");
      QTRY_VERIFY(status->text() != "Loading...");
      shown.file = viewer->FaxViewer().FileName();
      shown.status = status->text();
      shown.header = viewer->FaxPrinter().FaxHeader().Caption();
      shown.title = viewer->windowTitle();
      shown.document = viewer->FaxPrinter().Caption();
      shown.pages = viewer->FaxViewer().PageCount();
      FaxPages pages;
      if (pages.Open(shown.file) == 0) {
        for (int n = 1; n <= pages.PageCount(); ++n) {
          const MonoBitmap* page = nullptr;
          shown.blockAt.push_back(pages.Page(n, page) == 0 && page->IsBlack(200 + 500 * (n - 1), 200));
        }
      }
      viewer->findChild<QPushButton*>("CloseButton")->click();
    });
  }
  // Files in the program folder itself (the working copies would be there).
  QStringList LooseFiles() const {
    return QDir(QString::fromStdString(home_->Path())).entryList({"*.apf", "*.APF"}, QDir::Files);
  }

 private slots:
  void init() {
    home_ = std::make_unique<test::WindowHome>();
  }
  void cleanup() {
    window_.reset();
    home_.reset();
  }

  void outgoingFaxShowsCoverThenBody() {
    QCOMPARE(test::WriteFax(home_->File("SEND/COV00000.APF"), {BlockAt(100)}), 0);
    QCOMPARE(test::WriteFax(home_->File("SEND/FAX00000.APF"), {BlockAt(600), BlockAt(1100)}), 0);
    AddRow(true, Home(), {{"SUBJECT", "Plans"}, {"RECIPIENT", "Ann"}, {"FAXDOC", "FAX00000.APF"},
                          {"FAXCOVER", "COV00000.APF"}});
    Open();
    Shown shown;
    WhenViewerShows(shown);
    window_->findChild<QAction*>("ViewButton")->trigger();
    QCOMPARE(shown.pages, 3);
    QCOMPARE(shown.blockAt, (std::vector<bool>{true, true, true}));
    QCOMPARE(shown.status, QString("To: Ann, Subject: Plans: Page 1 of 3"));
    QCOMPARE(shown.header, QString("To: Ann, Subject: Plans"));
    // Named after the fax in the title and in print jobs and PDF files; not
    // sent yet: today.
    QCOMPARE(shown.title, QString("To: Ann, Subject: Plans - Fax Viewer"));
    QCOMPARE(shown.document, "Fax to Ann " + QDate::currentDate().toString(Qt::ISODate));
    // The working copy was made in the program folder and is gone again;
    // the fax's own files are untouched.
    QCOMPARE(QFileInfo(QString::fromStdString(shown.file)).absolutePath() + "/", QString::fromStdString(Home()));
    QVERIFY(!QFile::exists(QString::fromStdString(shown.file)));
    QCOMPARE(LooseFiles(), QStringList());
    QVERIFY(QFile::exists(QString::fromStdString(home_->File("SEND/COV00000.APF"))));
    QVERIFY(!window_->findChild<QLabel*>("StatusPanel")->isVisible());
  }

  void receivedFaxOnCtrlV() {
    QCOMPARE(test::WriteFax(home_->File("Receive/FAX0001.APF"), {BlockAt(100), BlockAt(600)}), 0);
    AddRow(false, Home(), {{"FROM", "Alice"}, {"NOTES", "urgent"}, {"FAXFILE", "fax0001.apf"}});
    Open();
    window_->findChild<QTabBar*>("TabSet1")->setCurrentIndex(1);
    Shown shown;
    WhenViewerShows(shown);
    QTest::keyClick(window_.get(), Qt::Key_V, Qt::ControlModifier);
    QCOMPARE(shown.status, QString("Alice - urgent: Page 1 of 2"));
    QCOMPARE(shown.blockAt, (std::vector<bool>{true, true}));
    QCOMPARE(LooseFiles(), QStringList());
  }

  void nothingToView() {
    AddRow(true, Home(), {{"SUBJECT", "Empty"}});
    AddRow(true, Home(), {{"SUBJECT", "Elsewhere"}, {"FAXDOC", "../TVOUT.DBF"}});
    Open();
    // A name that would lead out of the fax folder is a damaged record.
    const QString damaged = "This fax's record is damaged: FAXDOC holds \"../TVOUT.DBF\", which is not a file "
                            "name in the fax folder. No file was touched.";
    auto* grid = window_->findChild<QTableView*>("FaxGrid");
    QStringList messages;
    for (int row = 0; row < 2; ++row) {
      grid->selectRow(row);
      QString message;
      test::AnswerMessageBox(QMessageBox::Ok, &message);
      window_->findChild<QAction*>("mnuViewPrint")->trigger();
      messages << message;
    }
    messages.sort();
    QCOMPARE(messages, (QStringList{"Error - nothing to view", damaged}));
  }

 private:
  std::string Home() const { return home_->Path(); }
};

TV_REGISTER_QTEST(ViewPrintTest)

}  // namespace tv

#include "view_print_test.moc"
