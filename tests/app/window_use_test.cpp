// What a user trips over in the main window: help opened from a dialog, F1,
// Ctrl+Q,
// Ctrl+Tab from a grid, the archive button's caption, junk left by a printer
// driver, and the phone book's size.
#include <QAction>
#include <QApplication>
#include <QHeaderView>
#include <QHelpEvent>
#include <QLabel>
#include <QMessageBox>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QTabBar>
#include <QTableView>
#include <QTest>
#include <QTextBrowser>
#include <QToolBar>
#include <QToolButton>
#include <QToolTip>
#include <filesystem>

#include "app/main_screen.h"
#include "app/phone_book.h"
#include "app/preferences.h"
#include "app/table_model.h"
#include "image/fax_converter.h"
#include "platform/app_settings.h"
#include "platform/paths.h"
#include "store/fax_tables.h"
#include "tests/app/modal_driver.h"
#include "tests/app/qtest_main.h"
#include "tests/app/window_home.h"
#include "tests/support/temp_dir.h"
#include "ui/help.h"

namespace tv {

class WindowUseTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<test::WindowHome> home_;
  std::unique_ptr<TMainScreen> window_;

  QAction* Action(const char* name) { return window_->findChild<QAction*>(name); }
  QTableView* FaxGrid() { return window_->findChild<QTableView*>("FaxGrid"); }

  void AddOutgoing(const std::string& subject, bool archived = false) {
    TXbase table;
    QVERIFY(OpenOutgoingTable(table, home_->Path()));
    table.NewRecord();
    table.SetField("SUBJECT", subject);
    table.SetField("ARCHIVED", archived);
    table.Append();
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

  // F1 opens the help of the window it is pressed in: from a modal dialog
  // the help shows whole on the screen beside it and takes keys while the
  // dialog is open. Ctrl+Q closes the program.
  void helpKeyAndQuitKey() {
    Open();
    auto helpWindow = [] {
      for (QWidget* w : QApplication::topLevelWidgets()) {
        if (w->objectName() == "HelpWindow" && w->isVisible()) return w;
      }
      return static_cast<QWidget*>(nullptr);
    };
    auto section = [](QWidget* help) { return help->findChild<QTextBrowser*>("HelpBrowser")->source().fragment(); };
    bool helpTookEscape = false;
    QString dialogSection;
    QRect helpFrame, dialogFrame, screen;
    test::WhenModal<TPreferences>([&](TPreferences* preferences) {
      QTest::keyClick(preferences->findChild<QLineEdit*>("FaxNumber"), Qt::Key_F1);
      if (QWidget* help = helpWindow()) {
        dialogSection = section(help);
        helpFrame = help->frameGeometry();
        dialogFrame = preferences->frameGeometry();
        screen = preferences->screen()->availableGeometry();
        // Through the window system, where a blocked window drops the key;
        // the help closes and may be gone at once.
        const QPointer<QWidget> closed = help;
        QTest::keyClick(help->windowHandle(), Qt::Key_Escape);
        helpTookEscape = !closed || !closed->isVisible();
      }
      preferences->reject();
    });
    Action("mnuPreferences")->trigger();
    QCOMPARE(dialogSection, QString("ctx%1").arg(kHelpPreferences));
    QVERIFY(helpTookEscape);
    QVERIFY(screen.contains(helpFrame));
    QCOMPARE(helpFrame.top(), std::max(dialogFrame.top(), screen.top()));

    QTest::keyClick(FaxGrid(), Qt::Key_F1);
    QTRY_VERIFY(helpWindow());
    QCOMPARE(section(helpWindow()), QString("ctx%1").arg(kHelpContents));
    helpWindow()->close();

    window_->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(window_.get()));
    QTest::keyClick(FaxGrid(), Qt::Key_Q, Qt::ControlModifier);
    QVERIFY(!window_->isVisible());
  }

  // Ctrl+Tab switches tabs also after a row was clicked.
  void ctrlTabSwitchesTabsFromTheGrid() {
    AddOutgoing("One");
    Open();
    QTableView* grid = FaxGrid();
    QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, grid->visualRect(grid->model()->index(0, 1)).center());
    QVERIFY(grid->hasFocus());
    auto* tabs = window_->findChild<QTabBar*>("TabSet1");
    QTest::keyClick(window_->windowHandle(), Qt::Key_Tab, Qt::ControlModifier);
    QCOMPARE(tabs->currentIndex(), 1);
    QTest::keyClick(window_->windowHandle(), Qt::Key_Backtab, Qt::ControlModifier | Qt::ShiftModifier);
    QCOMPARE(tabs->currentIndex(), 0);
  }

  // The toolbar button says what the menu item says; every button has a
  // picture (the desktop theme's, else the program's own).
  void toolbarButtonsFollowTheRecordAndHavePictures() {
    AddOutgoing("Old", true);
    Open();
    Action("mnuShowArchives")->trigger();
    FaxGrid()->selectRow(0);
    auto* button = qobject_cast<QToolButton*>(
        window_->findChild<QToolBar*>("Toolbar")->widgetForAction(Action("ArchiveButton")));
    QCOMPARE(Action("mnuArchive")->text(), QString("Un&Archive"));
    QCOMPARE(button->text(), QString("Un&Archive"));
    QCOMPARE(button->toolTip(), Action("mnuArchive")->toolTip());
    for (QToolButton* each : window_->findChild<QToolBar*>("Toolbar")->findChildren<QToolButton*>()) {
      if (each->defaultAction() || each->objectName() == "SortButton") {
        QVERIFY2(!each->icon().pixmap(24).isNull(), qPrintable(each->text()));
      }
    }
  }

  // A description of random bytes gives a row without control characters; a
  // file that is no fax is left in SEND and told about once.
  void printerDriverJunkIsCleanedOrLeftOut() {
    FaxConverter converter(MakeTextInput(), "TXT");
    home_->Write("page.txt", "A page\n");
    QCOMPARE(converter.Convert(home_->File("page.txt"), home_->File("SEND/GOOD.APF")), 0);
    home_->Write("SEND/GOOD.ZPD", std::string("555\x01\x02 0100\r\nAnn\x1b[31m\nSub\x7fject\x07\n"));
    home_->Write("SEND/EMPTY.APF", "");
    home_->Write("SEND/EMPTY.ZPD", "555\nBob\nNothing\n");
    QString told;
    test::AnswerMessageBox(QMessageBox::Ok, &told);
    Open();
    QTRY_COMPARE(FaxGrid()->model()->rowCount(), 1);
    QVERIFY2(told.contains("EMPTY.APF: it is not a readable fax file"), qPrintable(told));
    TXbase& table = window_->FaxXbase();
    table.GoToRecord(1);
    for (const char* field : {"PHONE", "RECIPIENT", "SUBJECT"}) {
      const std::string value = std::get<std::string>(*table.Field(field));
      QVERIFY2(std::none_of(value.begin(), value.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; }),
               field);
    }
    QCOMPARE(QString::fromStdString(std::get<std::string>(*table.Field("SUBJECT"))).trimmed(), QString("Subject"));
    QVERIFY(std::filesystem::exists(home_->File("SEND/EMPTY.APF")));
    QVERIFY(std::filesystem::exists(home_->File("SEND/EMPTY.ZPD")));
    // Switching back to the program tries again, without telling again.
    told.clear();
    QWidget other;
    other.show();
    other.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&other));
    window_->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(window_.get()));
    QTest::qWait(200);
    QVERIFY(told.isEmpty());
  }

  // A table cut short, and an index that knew more records than the table
  // holds: the user is told, copies of the damaged files stay beside the
  // table, and the repaired table takes new records.
  void aDamagedTableIsToldAndKeptBeforeTheRepair() {
    for (int i = 0; i < 10; ++i) AddOutgoing("Fax " + std::to_string(i));
    const std::string dbf = home_->File("TVOUT.DBF");
    const auto size = std::filesystem::file_size(dbf);
    std::filesystem::resize_file(dbf, size - 5 * (size / 12));  // about half of the records go
    QString told;
    test::AnswerMessageBox(QMessageBox::Ok, &told);
    Open();
    QVERIFY2(told.startsWith("TVOUT.DBF was found damaged:") && told.contains("cut short"), qPrintable(told));
    int copies = 0;
    for (const auto& entry : std::filesystem::directory_iterator(home_->Path())) {
      if (entry.path().filename().string().find(".damaged-") != std::string::npos) ++copies;
    }
    QCOMPARE(copies, 2);  // the table and its index
    const int rows = FaxGrid()->model()->rowCount();
    QVERIFY(rows > 0 && rows < 10);
    window_.reset();
    AddOutgoing("After the repair");

    // An index that knew more records than the table now holds.
    std::filesystem::copy_file(home_->File("TVOUT.CDX"), home_->File("old.cdx"));
    AddOutgoing("One more");
    std::filesystem::copy_file(home_->File("old.cdx"), home_->File("TVOUT.CDX"),
                               std::filesystem::copy_options::overwrite_existing);
    told.clear();
    test::AnswerMessageBox(QMessageBox::Ok, &told);
    Open();
    QVERIFY2(told.contains("was written for " + QString::number(rows + 1) + " records but the table has " +
                           QString::number(rows + 2)),
             qPrintable(told));
    QCOMPARE(FaxGrid()->model()->rowCount(), rows + 2);
  }

  // The list uses the window's width: the last column takes what the others
  // leave, a cut-off cell shows its whole text as its tooltip (an empty one
  // none), and the status line keeps a line's height when it is empty.
  void listsUseTheWindowsWidth() {
    const QString subject = "A subject longer than its column was made";
    AddOutgoing(subject.toStdString());
    Open();
    QTableView* grid = FaxGrid();
    QHeaderView* header = grid->horizontalHeader();
    const int last = header->logicalIndex(header->count() - 1);
    QCOMPARE(header->sectionViewportPosition(last) + header->sectionSize(last), grid->viewport()->width());

    auto tipAt = [grid](int column) {
      const QRect cell = grid->visualRect(grid->model()->index(0, column));
      QHelpEvent tip(QEvent::ToolTip, cell.center(), grid->viewport()->mapToGlobal(cell.center()));
      QApplication::sendEvent(grid->viewport(), &tip);
      return QToolTip::isVisible() ? QToolTip::text() : QString();
    };
    const auto* model = static_cast<TableModel*>(grid->model());
    header->resizeSection(model->ColumnOfField("SUBJECT"), header->sectionSize(model->ColumnOfField("SUBJECT")) / 3);
    QCOMPARE(tipAt(model->ColumnOfField("SUBJECT")), subject);
    QTRY_COMPARE(tipAt(model->ColumnOfField("CODES")), QString());

    auto* status = window_->findChild<QLabel*>("StatusPanel");
    status->clear();
    status->show();
    QTRY_VERIFY(status->height() >= status->fontMetrics().height());
  }

  // Both of the phone book's columns show, with the main grid's row height.
  void phoneBookShowsBothColumns() {
    Open();
    const int mainRowHeight = FaxGrid()->verticalHeader()->defaultSectionSize();
    bool checked = false;
    test::WhenModal<TPhoneBook>([&](TPhoneBook* book) {
      auto* grid = book->findChild<QTableView*>("PhoneGrid");
      const int columns = grid->horizontalHeader()->length();
      QVERIFY2(grid->viewport()->width() >= columns,
               qPrintable(QString("viewport %1 for columns %2").arg(grid->viewport()->width()).arg(columns)));
      QCOMPARE(grid->verticalHeader()->defaultSectionSize(), mainRowHeight);
      checked = true;
      book->reject();
    });
    Action("mnuPhoneBook")->trigger();
    QVERIFY(checked);
  }
};

TV_REGISTER_QTEST(WindowUseTest)

}  // namespace tv

#include "window_use_test.moc"
