// The fax lists when something goes wrong: a disk that refuses a write, a
// record naming a file outside its folder, text the tables cannot hold, a
// rebuild with the printer driver at work, and a table that cannot be read
// or opened again. Nothing stored is lost, nothing outside the folders is
// touched, and the user is told.
#include <unistd.h>

#include <QAction>
#include <QApplication>
#include <QPushButton>
#include <QTableView>
#include <QTest>
#include <QTimer>

#include "app/main_screen.h"
#include "app/table_model.h"
#include "cover/fax_editor.h"
#include "platform/app_settings.h"
#include "platform/paths.h"
#include "store/fax_tables.h"
#include "store/table_file.h"
#include "store/xb_engine.h"
#include "tests/app/modal_driver.h"
#include "tests/app/qtest_main.h"
#include "tests/app/window_home.h"
#include "tests/support/fax_pages.h"
#include "tests/support/temp_dir.h"

namespace tv {

namespace {

void AddOutgoing(const std::string& folder, const std::string& subject, const std::string& faxDoc) {
  TXbase table;
  if (!OpenOutgoingTable(table, folder)) qFatal("cannot open TVOUT");
  table.NewRecord();
  table.SetField("SUBJECT", subject);
  table.SetField("FAXDOC", faxDoc);
  table.Append();
}

void AddReceived(const std::string& folder, const std::string& from, const std::string& file) {
  TXbase table;
  if (!OpenRecFaxDBF(table, folder)) qFatal("cannot open TVREC");
  table.NewRecord();
  table.SetField("FROM", from);
  table.SetField("FAXFILE", file);
  table.SetField("DATEREC", CivilDate{2026, 1, 2});
  table.Append();
}

// Answers a Yes/No question with Yes, then records the text of the
// information box that follows it.
void AnswerYesThenRead(QString* information) {
  test::WhenModal<QMessageBox>([information](QMessageBox* question) {
    test::WhenModal<QMessageBox>([information](QMessageBox* box) {
      *information = box->text();
      box->button(QMessageBox::Ok)->click();
    });
    question->button(QMessageBox::Yes)->click();
  });
}

}  // namespace

class ListFailuresTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<test::WindowHome> home_;
  std::unique_ptr<TMainScreen> window_;

  std::string Home() const { return home_->Path(); }
  QTableView* FaxGrid() { return window_->findChild<QTableView*>("FaxGrid"); }
  QAction* Action(const char* name) { return window_->findChild<QAction*>(name); }
  void Open() {
    window_ = test::OpenMainWindow();
  }
  // Switching to another window and back to the program.
  void Reactivate() {
    QWidget other;
    other.show();
    other.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&other));
    window_->activateWindow();
    (void)QTest::qWaitForWindowActive(window_.get());  // or a message box of its own
  }

 private slots:
  void init() {
    home_ = std::make_unique<test::WindowHome>();
  }
  void cleanup() {
    InjectWriteFault({});
    window_.reset();
    home_.reset();
  }

  void aFailedWriteIsToldAndTheFilesStay() {
    home_->Write("SEND/FAX00000.APF", "body");
    home_->Write("Receive/REC00001.APF", "received");
    AddOutgoing(Home(), "Keep me", "FAX00000.APF");
    AddReceived(Home(), "ACME", "REC00001.APF");
    Open();
    InjectWriteFault([](const std::string& path) { return path.ends_with(".DBF") ? ENOSPC : 0; });
    QString told;
    AnswerYesThenRead(&told);
    Action("mnuDelete")->trigger();
    QTRY_VERIFY(!told.isEmpty());
    QVERIFY2(told.contains("No space left on device"), qPrintable(told));
    QCOMPARE(FaxGrid()->model()->rowCount(), 1);
    QCOMPARE(home_->Read("SEND/FAX00000.APF"), std::string("body"));

    QTest::keyClick(window_.get(), Qt::Key_Tab, Qt::ControlModifier);
    told.clear();
    AnswerYesThenRead(&told);
    Action("mnuDelete")->trigger();
    QTRY_VERIFY(told.contains("No space left on device"));
    QCOMPARE(home_->Read("Receive/REC00001.APF"), std::string("received"));
    InjectWriteFault({});
    window_.reset();
    TXbase table;
    QVERIFY(OpenRecFaxDBF(table, Home()));
    QCOMPARE(table.RecordCount(), 1u);
    QVERIFY(table.First() == xbOK);  // and it is not marked deleted
  }

  void aRecordNamingAFileOutsideItsFolderTouchesNothing() {
    home_->Write("victim", "keep");
    AddOutgoing(Home(), "Hostile", "../TVOUT.DBF");
    AddReceived(Home(), "Hostile", "../../victim");
    Open();
    const QModelIndex row = FaxGrid()->model()->index(0, 0);
    QVERIFY(row.data(Qt::ToolTipRole).toString().contains("damaged"));
    QString told;
    test::WhenModal<QMessageBox>([&](QMessageBox* question) {
      test::WhenModal<QMessageBox>([&](QMessageBox* box) {
        told = box->text();
        box->button(QMessageBox::Ok)->click();
      });
      question->button(QMessageBox::Yes)->click();
    });
    Action("mnuClone")->trigger();
    QTRY_VERIFY(told.contains("damaged"));
    QCOMPARE(FaxGrid()->model()->rowCount(), 1);  // nothing cloned
    told.clear();
    AnswerYesThenRead(&told);
    Action("mnuDelete")->trigger();
    QTRY_VERIFY(told.contains("No file was touched"));
    QCOMPARE(FaxGrid()->model()->rowCount(), 0);  // the record itself goes
    QVERIFY(std::filesystem::exists(home_->File("TVOUT.DBF")));

    QTest::keyClick(window_.get(), Qt::Key_Tab, Qt::ControlModifier);
    told.clear();
    AnswerYesThenRead(&told);
    Action("mnuDelete")->trigger();
    QTRY_VERIFY(told.contains("No file was touched"));
    QCOMPARE(home_->Read("victim"), std::string("keep"));
  }

  // Text goes into the tables in their code page, which an independent
  // reader decodes the same; what the code page cannot hold is refused.
  void textIsStoredInTheTablesCodePage() {
    AddOutgoing(Home(), "old", "");
    Open();
    auto edit = [&](const QString& subject, QString* told) {
      test::WhenModal<TFaxEditor>([subject, told](TFaxEditor* editor) {
        editor->SetValues({"Ann", "555", subject, "", ""});
        if (told) {
          test::WhenModal<QMessageBox>([told](QMessageBox* box) {
            *told = box->text();
            box->button(QMessageBox::Ok)->click();
          });
        }
        editor->findChild<QPushButton*>("AcceptButton")->click();
      });
      Action("mnuEdit")->trigger();
    };
    edit(QString::fromUtf8("Müller € Œuvre"), nullptr);
    QTRY_COMPARE(FaxGrid()->model()->index(0, 4).data().toString(), QString::fromUtf8("Müller € Œuvre"));
    QString told;
    edit(QString::fromUtf8("Ωmega"), &told);
    QTRY_VERIFY(told.contains(QString::fromUtf8("Ω")));
    QCOMPARE(FaxGrid()->model()->index(0, 4).data().toString(), QString::fromUtf8("Müller € Œuvre"));
    window_.reset();
    home_->Write("read.py",
                 "import sys, dbfread\n"
                 "for r in dbfread.DBF(sys.argv[1], encoding='cp1252'): print(r['SUBJECT'])\n");
    FILE* pipe = popen(("/usr/bin/python3 " + home_->File("read.py") + " " + home_->File("TVOUT.DBF")).c_str(), "r");
    QVERIFY(pipe);
    char line[256] = {};
    QVERIFY(fgets(line, sizeof line, pipe));
    pclose(pipe);
    QCOMPARE(QString::fromUtf8(line), QString::fromUtf8("Müller € Œuvre\n"));
  }

  // Faxes the printer driver leaves while the indexes are rebuilt wait for
  // the rebuild; then every tag holds every record. A pair that cannot be
  // taken in is told about once.
  void theRebuildIsNotInterruptedByThePrinterDriver() {
    for (int i = 0; i < 300; ++i) AddOutgoing(Home(), "fax " + std::to_string(i), "");
    Open();
    home_->Write("SEND/LATE.APF", test::FaxFileBytes("late"));
    home_->Write("SEND/LATE.ZPD", "555\nAnn\nArrived during the rebuild\n");
    int activations = 0;
    QTimer activate;
    QObject::connect(&activate, &QTimer::timeout, [&] {
      if (!QApplication::activeModalWidget()) return;
      ++activations;
      emit qApp->applicationStateChanged(Qt::ApplicationActive);
    });
    activate.start(0);
    Action("mnuRebuildIndexes")->trigger();
    QTRY_VERIFY(!QApplication::activeModalWidget());
    activate.stop();
    QVERIFY(activations > 0);
    QCOMPARE(FaxGrid()->model()->rowCount(), 301);  // taken in after the rebuild
    window_.reset();
    TXbase table;
    std::string problem;
    QVERIFY(OpenOutgoingTable(table, Home(), &problem));
    QCOMPARE(problem, std::string());
    for (const FaxTagLayout& tag : OutgoingTableLayout().tags) {
      table.SelectOrder(table.TagOrder(tag.name));
      table.SetFilter("");
      int rows = 0;
      for (int r = table.First(); r == xbOK; r = table.Next()) ++rows;
      QCOMPARE(rows, 301);
    }
    table.Close();

    home_->Write("SEND/OMEGA.APF", test::FaxFileBytes("omega"));
    home_->Write("SEND/OMEGA.ZPD", "555\nΩmega\nGreek\n");
    int told = 0;
    test::WhenModal<QMessageBox>([&](QMessageBox* box) {
      told += box->text().contains("OMEGA.APF");
      box->button(QMessageBox::Ok)->click();
    });
    Open();
    QTRY_COMPARE(told, 1);
    Reactivate();
    QTest::qWait(300);
    QCOMPARE(told, 1);  // not again
    QVERIFY(std::filesystem::exists(home_->File("SEND/OMEGA.ZPD")));
  }

  // A grid over a table that cannot be read shows why in its one row, and a
  // list that could not be opened again is tried again at the next
  // activation; neither ends the program.
  // An index that is a link to another file is refused by name at start,
  // and the file it leads to stays as it was.
  void aLinkedIndexIsRefusedByName() {
    AddOutgoing(Home(), "first", "");
    LayerEnd();
    home_->Write("other.txt", "someone else's file");
    std::filesystem::remove(home_->File("TVOUT.CDX"));
    std::filesystem::create_symlink(home_->File("other.txt"), home_->File("TVOUT.CDX"));
    QString told;
    test::AnswerMessageBox(QMessageBox::Ok, &told);
    window_ = std::make_unique<TMainScreen>();
    QTRY_VERIFY(!told.isEmpty());
    QVERIFY2(told.startsWith("Unable to open/create the FAX datafile"), qPrintable(told));
    QVERIFY2(told.contains(QString::fromStdString(home_->File("TVOUT.CDX")) + " is not a regular file"),
             qPrintable(told));
    QCOMPARE(home_->Read("other.txt"), std::string("someone else's file"));
  }

  void tableErrorsInsideTheWindowAreShownNotFatal() {
    AddOutgoing(Home(), "first", "");
    {
      TXbase phone;
      QVERIFY(OpenPhoneTable(phone, Home(), true));
      phone.NewRecord();
      phone.SetField("NAME", std::string("Ann"));
      phone.Append();
    }
    // Another program changed the record's bytes without its key.
    std::string dbf = home_->Read("TVPB.DBF");
    dbf[dbf.find("Ann")] = 'Z';
    home_->Write("TVPB.DBF", dbf);
    {
      TXbase phone;
      QVERIFY(OpenPhoneTable(phone, Home(), false));
      TableModel model(phone, VisibleColumns(PhoneTableLayout()));
      QCOMPARE(model.rowCount(), 1);
      QVERIFY2(model.index(0, 0).data().toString().contains("rebuild the indexes"),
               qPrintable(model.index(0, 0).data().toString()));
      QVERIFY(!model.HasRecords());
      QCOMPARE(model.RecNoAt(0), 0u);
    }
    LayerEnd();

    Open();
    QCOMPARE(FaxGrid()->model()->rowCount(), 1);
    // The list's table disappears behind the program's back: the reopen
    // after the printer driver's fax fails and is told.
    std::filesystem::rename(home_->File("TVOUT.DBF"), home_->File("TVOUT.KEPT"));
    std::filesystem::create_directory(home_->File("TVOUT.DBF"));
    home_->Write("SEND/NEW.APF", test::FaxFileBytes("new"));
    home_->Write("SEND/NEW.ZPD", "1\n2\n3\n");
    QString told;
    test::AnswerMessageBox(QMessageBox::Ok, &told);
    // The window sees the new pair by itself.
    QTRY_VERIFY(told.contains("could not be opened again"));
    QCOMPARE(FaxGrid()->model()->rowCount(), 0);
    std::filesystem::remove(home_->File("TVOUT.DBF"));
    std::filesystem::rename(home_->File("TVOUT.KEPT"), home_->File("TVOUT.DBF"));
    Reactivate();
    QTRY_COMPARE(FaxGrid()->model()->rowCount(), 2);  // the first, and the driver's fax
  }
};

TV_REGISTER_QTEST(ListFailuresTest)

}  // namespace tv

#include "list_failures_test.moc"
