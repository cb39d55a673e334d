// The fax lists driven as a user would: menu actions, toolbar buttons and
// answers to the program's questions.
#include <QAction>
#include <QDate>
#include <QGuiApplication>
#include <QPalette>
#include <QLocale>
#include <QLineEdit>
#include <QPushButton>
#include <QTableView>
#include <QTest>

#include "app/main_screen.h"
#include "app/phone_book.h"
#include "app/small_dialogs.h"
#include "app/table_model.h"
#include "cover/fax_editor.h"
#include "platform/app_settings.h"
#include "platform/paths.h"
#include "store/fax_tables.h"
#include "tests/app/modal_driver.h"
#include "tests/app/qtest_main.h"
#include "tests/app/window_home.h"
#include "tests/support/fax_pages.h"
#include "tests/support/temp_dir.h"
#include "ui/widgets.h"

namespace tv {

namespace {

struct OutgoingRow {
  std::string subject{};
  std::string recipient{};
  std::string phone{};
  std::string faxDoc{};
  std::string faxCover{};
  bool archived = false;
};

// Adds a record to a closed table through the engine, as another program would.
void AddOutgoing(const std::string& folder, const OutgoingRow& row, const std::string& dateSent = {}) {
  TXbase table;
  if (!OpenOutgoingTable(table, folder)) qFatal("cannot open TVOUT");
  table.NewRecord();
  table.SetField("SUBJECT", row.subject);
  table.SetField("RECIPIENT", row.recipient);
  table.SetField("PHONE", row.phone);
  if (!row.faxDoc.empty()) table.SetField("FAXDOC", row.faxDoc);
  if (!row.faxCover.empty()) table.SetField("FAXCOVER", row.faxCover);
  if (!dateSent.empty()) {
    table.SetField("DATESENT", CivilDate{std::stoi(dateSent.substr(0, 4)), std::stoi(dateSent.substr(4, 2)),
                                         std::stoi(dateSent.substr(6, 2))});
  }
  table.SetField("ARCHIVED", row.archived);
  table.Append();
}

void AddReceived(const std::string& folder, const std::string& from, const std::string& file, const std::string& date) {
  TXbase table;
  if (!OpenRecFaxDBF(table, folder)) qFatal("cannot open TVREC");
  table.NewRecord();
  table.SetField("FROM", from);
  table.SetField("FAXFILE", file);
  table.SetField("DATEREC", CivilDate{std::stoi(date.substr(0, 4)), std::stoi(date.substr(4, 2)), std::stoi(date.substr(6, 2))});
  table.SetField("TIMEREC", std::string("12:00"));
  table.SetField("PAGES", 2);
  table.Append();
}

QStringList Column(QTableView* grid, const QString& title) {
  QStringList values;
  auto* model = grid->model();
  int column = -1;
  for (int c = 0; c < model->columnCount(); ++c) {
    if (model->headerData(c, Qt::Horizontal).toString() == title) column = c;
  }
  if (column < 0) qFatal("no column %s", qPrintable(title));
  for (int r = 0; r < model->rowCount(); ++r) values << model->index(r, column).data().toString();
  return values;
}

void SelectRowWith(QTableView* grid, const QString& title, const QString& value) {
  const int row = static_cast<int>(Column(grid, title).indexOf(value));
  if (row < 0) qFatal("no row with %s", qPrintable(value));
  grid->setCurrentIndex(grid->model()->index(row, 0));
}

}  // namespace

class FaxListsTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<test::WindowHome> home_;
  std::unique_ptr<TMainScreen> window_;

  std::string Home() const { return home_->Path(); }
  std::string Send(const std::string& name) const { return home_->File("SEND/" + name); }
  QTableView* FaxGrid() { return window_->findChild<QTableView*>("FaxGrid"); }
  QTableView* RecFaxGrid() { return window_->findChild<QTableView*>("RecFaxGrid"); }
  QAction* Action(const char* name) {
    auto* action = window_->findChild<QAction*>(name);
    if (!action) qFatal("no action %s", name);
    return action;
  }

  void Open() {
    window_ = test::OpenMainWindow();
  }

 private slots:
  void init() {
    home_ = std::make_unique<test::WindowHome>();
  }
  void cleanup() {
    window_.reset();
    home_.reset();
  }

  void printerDriverPairBecomesARecordOnActivation() {
    Open();
    QCOMPARE(FaxGrid()->model()->rowCount(), 0);
    home_->Write("SEND/LETTER.APF", test::FaxFileBytes("A letter"));
    home_->Write("SEND/LETTER.ZPD", "555 0123\nJos\xC3\xA9 Garc\xC3\xAD" "a\nOffer\n");
    // Switching to another window and back to the program.
    QWidget other;
    other.show();
    other.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&other));
    window_->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(window_.get()));
    QTRY_COMPARE(FaxGrid()->model()->rowCount(), 1);
    QCOMPARE(Column(FaxGrid(), "Recipient").first(), QString::fromUtf8("José García"));
    QCOMPARE(Column(FaxGrid(), "Fax#").first(), QString("555 0123"));
    QVERIFY(!std::filesystem::exists(Send("LETTER.ZPD")));
    QVERIFY(Action("AddCoverButton")->isEnabled());
    QVERIFY(Action("SendButton")->isEnabled());
  }

  void cloneCopiesBodyAndDropsACoverWithoutItsData() {
    home_->Write("SEND/FAX00000.APF", "body");
    home_->Write("SEND/COV00000.APF", "cover");  // its .fcd is missing
    AddOutgoing(Home(), {"Plans", "Ann", "555", "FAX00000.APF", "COV00000.APF"});
    Open();
    QString question;
    test::AnswerMessageBox(QMessageBox::Yes, &question);
    Action("CloneButton")->trigger();
    QTRY_COMPARE(FaxGrid()->model()->rowCount(), 2);
    QCOMPARE(question, QString("Clone the current fax?\n(subject: \"Plans\")"));
    QVERIFY(Column(FaxGrid(), "Subject").contains("[clone]Plans"));
    QCOMPARE(home_->Read("SEND/FAX00001.APF"), std::string("body"));
    QVERIFY(!std::filesystem::exists(Send("COV00001.APF")));

    // Cloning again with the cover's data file present copies both.
    home_->Write("SEND/COV00000.fcd", "data");
    SelectRowWith(FaxGrid(), "Subject", "Plans");
    test::AnswerMessageBox(QMessageBox::Yes);
    Action("mnuClone")->trigger();
    QTRY_COMPARE(FaxGrid()->model()->rowCount(), 3);
    QCOMPARE(home_->Read("SEND/COV00001.APF"), std::string("cover"));
    QCOMPARE(home_->Read("SEND/COV00001.fcd"), std::string("data"));
  }

  void deletingTheCoverOnlyKeepsTheBodyAndAllowsANewCover() {
    home_->Write("SEND/FAX00000.APF", "body");
    home_->Write("SEND/COV00000.APF", "cover");
    home_->Write("SEND/COV00000.fcd", "data");
    AddOutgoing(Home(), {"Both", "Ann", "555", "FAX00000.APF", "COV00000.APF"});
    Open();
    QVERIFY(!Action("AddCoverButton")->isEnabled());
    test::WhenModal<TDeleteWhat>([](TDeleteWhat* dialog) {
      dialog->findChild<RadioGroup*>("WhatToDelete")->SetItemIndex(0);
      dialog->findChild<QPushButton*>("AcceptButton")->click();
    });
    Action("mnuDelete")->trigger();
    QTRY_VERIFY(Action("AddCoverButton")->isEnabled());
    QCOMPARE(FaxGrid()->model()->rowCount(), 1);
    QVERIFY(std::filesystem::exists(Send("FAX00000.APF")));
    QVERIFY(!std::filesystem::exists(Send("COV00000.APF")));
    QVERIFY(!std::filesystem::exists(Send("COV00000.fcd")));

    // A fax with one part asks a plain question; No keeps it.
    test::AnswerMessageBox(QMessageBox::No);
    Action("mnuDelete")->trigger();
    QTest::qWait(100);
    QCOMPARE(FaxGrid()->model()->rowCount(), 1);
    test::AnswerMessageBox(QMessageBox::Yes);
    Action("mnuDelete")->trigger();
    QTRY_COMPARE(FaxGrid()->model()->rowCount(), 0);
    QVERIFY(!std::filesystem::exists(Send("FAX00000.APF")));
    QVERIFY(!Action("mnuDelete")->isEnabled());
  }

  // Several selected rows go with one question, record and file; the row
  // left unselected stays.
  void deletingSeveralSelectedRowsAsksOnce() {
    for (const char* file : {"FAX0001.APF", "FAX0002.APF", "FAX0003.APF"}) home_->Write(std::string("Receive/") + file, "fax");
    AddReceived(Home(), "ACME", "FAX0001.APF", "20261105");
    AddReceived(Home(), "BETA", "FAX0002.APF", "20261106");
    AddReceived(Home(), "KEEP", "FAX0003.APF", "20261107");
    Open();
    QTest::keyClick(window_.get(), Qt::Key_Tab, Qt::ControlModifier);
    RecFaxGrid()->clearSelection();
    for (const QString& from : {"ACME", "BETA"}) {
      const int row = static_cast<int>(Column(RecFaxGrid(), "From").indexOf(from));
      RecFaxGrid()->selectionModel()->select(RecFaxGrid()->model()->index(row, 0),
                                             QItemSelectionModel::Select | QItemSelectionModel::Rows);
    }
    QString question;
    test::AnswerMessageBox(QMessageBox::Yes, &question);
    Action("mnuDelete")->trigger();
    QCOMPARE(question, QString("Delete the 2 selected faxes?"));
    QTRY_COMPARE(Column(RecFaxGrid(), "From"), QStringList{"KEEP"});
    QVERIFY(!std::filesystem::exists(home_->File("Receive/FAX0001.APF")));
    QVERIFY(!std::filesystem::exists(home_->File("Receive/FAX0002.APF")));
    QVERIFY(std::filesystem::exists(home_->File("Receive/FAX0003.APF")));
  }

  void archiveHidesAndShowArchivedShowsAgain() {
    AddOutgoing(Home(), {"Keep", "Ann", "1"});
    AddOutgoing(Home(), {"Old", "Bob", "2", {}, {}, true});
    Open();
    QCOMPARE(Column(FaxGrid(), "Subject"), QStringList{"Keep"});
    QString question;
    test::AnswerMessageBox(QMessageBox::Yes, &question);
    Action("ArchiveButton")->trigger();
    QTRY_COMPARE(FaxGrid()->model()->rowCount(), 0);
    QCOMPARE(question, QString("Archive the current fax?\n(subject: Keep)"));

    Action("mnuShowArchives")->trigger();
    QCOMPARE(FaxGrid()->model()->rowCount(), 2);
    SelectRowWith(FaxGrid(), "Subject", "Old");
    QCOMPARE(Action("ArchiveButton")->text(), QString("Un&Archive"));
    const QModelIndex old = FaxGrid()->currentIndex();
    // Archived rows are dimmed and slanted, in the colours of the desktop's palette.
    QCOMPARE(old.data(Qt::ForegroundRole).value<QBrush>().color(),
             QGuiApplication::palette().color(QPalette::PlaceholderText));
    QVERIFY(old.data(Qt::FontRole).value<QFont>().italic());

    test::AnswerMessageBox(QMessageBox::Yes, &question);
    Action("mnuArchive")->trigger();
    QTRY_COMPARE(Action("ArchiveButton")->text(), QString("&Archive"));
    QCOMPARE(question, QString("UnArchive the current fax?\n(subject: Old)"));
    Action("mnuShowArchives")->trigger();
    QCOMPARE(Column(FaxGrid(), "Subject"), QStringList{"Old"});
  }

  void sortingBothLists() {
    AddOutgoing(Home(), {"beta", "Zed", "1"}, "20261101");
    AddOutgoing(Home(), {"Alpha", "anne", "2"}, "20261203");
    AddOutgoing(Home(), {"gamma", "Bob", "3"});
    AddReceived(Home(), "ACME", "FAX0001.APF", "20261105");
    AddReceived(Home(), "zenith", "FAX0002.APF", "20261201");
    AddReceived(Home(), "Bravo", "FAX0003.APF", "20261120");
    Open();
    // Newest first; faxes never sent (blank date) last.
    QCOMPARE(Column(FaxGrid(), "Subject"), (QStringList{"Alpha", "beta", "gamma"}));
    Action("mnuSubject")->trigger();
    QCOMPARE(Column(FaxGrid(), "Subject"), (QStringList{"Alpha", "beta", "gamma"}));
    QVERIFY(Action("mnuSubject")->isChecked());
    QVERIFY(!Action("mnuDateSent")->isChecked());
    Action("mnuRecipient")->trigger();
    QCOMPARE(Column(FaxGrid(), "Recipient"), (QStringList{"anne", "Bob", "Zed"}));

    QCOMPARE(Column(RecFaxGrid(), "From"), (QStringList{"zenith", "Bravo", "ACME"}));
    Action("mnuSortFrom")->trigger();
    QCOMPARE(Column(RecFaxGrid(), "From"), (QStringList{"zenith", "Bravo", "ACME"}));
    Action("mnuSortDateReceived")->trigger();
    // Dates show in the user's own format.
    auto shown = [](int month, int day) { return QLocale().toString(QDate(2026, month, day), QLocale::ShortFormat); };
    QCOMPARE(Column(RecFaxGrid(), "Date Rec'd"), (QStringList{shown(12, 1), shown(11, 20), shown(11, 5)}));
  }

  void tabsSwitchButtonsAndForwardMakesAnOutgoingFax() {
    AddReceived(Home(), "ACME", "FAX0001.APF", "20261105");
    home_->Write("Receive/FAX0001.APF", "received pages");
    Open();
    QVERIFY(Action("CloneButton")->isVisible());
    QVERIFY(!Action("ForwardButton")->isVisible());
    QTest::keyClick(window_.get(), Qt::Key_Tab, Qt::ControlModifier);
    QCOMPARE(window_->CurrentTab(), TMainScreen::Tab::kIncoming);
    QVERIFY(!Action("CloneButton")->isVisible());
    QVERIFY(Action("ForwardButton")->isEnabled());
    QVERIFY(!Action("SendButton")->isEnabled());
    QVERIFY(!Action("NewButton")->isEnabled());

    test::WhenModal<QMessageBox>([](QMessageBox* box) {
      box->button(QMessageBox::Yes)->click();
      test::WhenModal<TFaxEditor>([](TFaxEditor* editor) {
        QCOMPARE(editor->windowTitle(), QString("Forward fax from: ACME"));
        editor->SetValues({"Carol", "555 9999", "Fwd: offer", "note", "C1"});
        editor->findChild<QPushButton*>("AcceptButton")->click();
      });
    });
    Action("ForwardButton")->trigger();
    QTRY_COMPARE(window_->CurrentTab(), TMainScreen::Tab::kOutgoing);
    QTRY_COMPARE(FaxGrid()->model()->rowCount(), 1);
    QCOMPARE(Column(FaxGrid(), "Recipient"), QStringList{"Carol"});
    QCOMPARE(Column(FaxGrid(), "Codes"), QStringList{"C1"});
    QCOMPARE(home_->Read("SEND/FWD00000.APF"), std::string("received pages"));
    QCOMPARE(RecFaxGrid()->model()->rowCount(), 1);
    QVERIFY(std::filesystem::exists(home_->File("Receive/FAX0001.APF")));
  }

  void receivedNotesAreEdited() {
    AddReceived(Home(), "ACME", "FAX0001.APF", "20261105");
    Open();
    QTest::keyClick(window_.get(), Qt::Key_Tab, Qt::ControlModifier);
    test::WhenModal<TEditReceiveNotes>([](TEditReceiveNotes* dialog) {
      dialog->findChild<QLineEdit*>("Notes")->setText("Call them back");
      dialog->findChild<QPushButton*>("AcceptButton")->click();
    });
    Action("mnuEdit")->trigger();
    QTRY_COMPARE(Column(RecFaxGrid(), "Notes"), QStringList{"Call them back"});
  }

  void phoneBookAddEditDeleteAndChoose() {
    Open();
    bool done = false;
    test::WhenModal<TPhoneBook>([&](TPhoneBook* book) {
      QVERIFY(!book->findChild<QPushButton*>("EditButton")->isEnabled());
      QVERIFY(!book->findChild<QPushButton*>("DeleteButton")->isEnabled());
      auto add = [book](const QString& name, const QString& number) {
        test::WhenModal<TPhoneBookEditor>([name, number](TPhoneBookEditor* editor) {
          editor->findChild<QLineEdit*>("Name")->setText(name);
          editor->findChild<QLineEdit*>("Number")->setText(number);
          editor->findChild<QPushButton*>("AcceptButton")->click();
        });
        book->findChild<QPushButton*>("NewButton")->click();
      };
      add("Mallory", "555 3");
      add("Alice", "555 1");
      add("Bob", "555 2");
      auto* grid = book->findChild<QTableView*>("PhoneGrid");
      QCOMPARE(Column(grid, "Name"), (QStringList{"Alice", "Bob", "Mallory"}));
      QVERIFY(book->findChild<QPushButton*>("EditButton")->isEnabled());

      SelectRowWith(grid, "Name", "Bob");
      test::WhenModal<TPhoneBookEditor>([](TPhoneBookEditor* editor) {
        editor->findChild<QLineEdit*>("Name")->setText("Zoe");
        editor->findChild<QPushButton*>("AcceptButton")->click();
      });
      book->findChild<QPushButton*>("EditButton")->click();
      QCOMPARE(Column(grid, "Name"), (QStringList{"Alice", "Mallory", "Zoe"}));

      SelectRowWith(grid, "Name", "Mallory");
      QString question;
      test::AnswerMessageBox(QMessageBox::Yes, &question);
      book->findChild<QPushButton*>("DeleteButton")->click();
      QCOMPARE(question, QString("Delete the current phone book entry?:\nMallory"));
      QCOMPARE(Column(grid, "Name"), (QStringList{"Alice", "Zoe"}));
      book->findChild<QPushButton*>("CloseButton")->click();
      done = true;
    });
    Action("mnuPhoneBook")->trigger();
    QTRY_VERIFY(done);

    // Choosing from the fax information editor fills recipient and number.
    window_.reset();
    AddOutgoing(Home(), {"Pick", "", ""});
    Open();
    FaxInformation chosen;
    test::WhenModal<TFaxEditor>([&](TFaxEditor* editor) {
      test::WhenModal<TPhoneBook>([](TPhoneBook* book) {
        QVERIFY(book->findChild<QPushButton*>("AcceptButton")->isVisible());
        QVERIFY(!book->findChild<QPushButton*>("CloseButton")->isVisible());
        SelectRowWith(book->findChild<QTableView*>("PhoneGrid"), "Name", "Zoe");
        book->findChild<QPushButton*>("AcceptButton")->click();
      });
      editor->findChild<QPushButton*>("PhonebookButton")->click();
      chosen = editor->Values();
      editor->findChild<QPushButton*>("AcceptButton")->click();
    });
    Action("mnuEdit")->trigger();
    QTRY_COMPARE(Column(FaxGrid(), "Recipient"), QStringList{"Zoe"});
    QCOMPARE(chosen.FaxNumber, QString("555 2"));
  }

  void rebuildRemovesDeletedRecordsAndKeepsEachGridsOrder() {
    AddOutgoing(Home(), {"b", "Zed", "1"}, "20261101");
    AddOutgoing(Home(), {"a", "Amy", "2"}, "20261102");
    AddOutgoing(Home(), {"c", "Max", "3"}, "20261103");
    AddReceived(Home(), "ACME", "FAX0001.APF", "20261105");
    AddReceived(Home(), "zenith", "FAX0002.APF", "20261201");
    Open();
    Action("mnuRecipient")->trigger();
    QTest::keyClick(window_.get(), Qt::Key_Tab, Qt::ControlModifier);
    Action("mnuSortFrom")->trigger();
    QTest::keyClick(window_.get(), Qt::Key_Tab, Qt::ControlModifier);
    SelectRowWith(FaxGrid(), "Recipient", "Max");
    test::AnswerMessageBox(QMessageBox::Yes);
    Action("mnuDelete")->trigger();
    QTRY_COMPARE(FaxGrid()->model()->rowCount(), 2);

    Action("mnuRebuildIndexes")->trigger();
    QTRY_VERIFY(!QApplication::activeModalWidget());
    QCOMPARE(Column(FaxGrid(), "Recipient"), (QStringList{"Amy", "Zed"}));
    QCOMPARE(Column(RecFaxGrid(), "From"), (QStringList{"zenith", "ACME"}));
    window_.reset();
    TXbase table;
    QVERIFY(OpenOutgoingTable(table, Home()));
    QCOMPARE(table.RecordCount(), 2u);  // the deleted record was packed away
  }
};

TV_REGISTER_QTEST(FaxListsTest)

}  // namespace tv

#include "fax_lists_test.moc"
