// Receive mode driven as a user does: "&Receive" on the incoming tab, the
// virtual fax line's far end calls, and every fax that arrives must be a row
// of the incoming list with its file, while the window stays usable.
#include <QAction>
#include <QFileInfo>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QTabBar>
#include <QTableView>
#include <QTest>
#include <QTimer>
#include <filesystem>
#include <fstream>
#include <unistd.h>

#include "app/main_screen.h"
#include "comm/native_layer.h"
#include "image/fax_converter.h"
#include "platform/app_settings.h"
#include "platform/paths.h"
#include "store/fax_tables.h"
#include "tests/app/modal_driver.h"
#include "tests/app/received_rows.h"
#include "tests/app/qtest_main.h"
#include "tests/app/window_home.h"
#include "tests/support/fax_pages.h"
#include "tests/support/temp_dir.h"
#include "tests/support/virtual_line.h"
#include "ui/desktop_notifier.h"
#include "ui/sound.h"
#include "view/widgets/view_window.h"

namespace tv {

namespace {

constexpr int kCallMs = 120000;

using test::ReceivedRow;
using test::ReceivedRows;

// The desktop's notification service as the window sees it: what it was given.
struct NoticeBoard : DesktopNotifier {
  std::vector<DesktopNotice> notices;
  bool Notify(const DesktopNotice& notice) override {
    notices.push_back(notice);
    return true;
  }
};

}  // namespace

class ReceiveFaxTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<test::WindowHome> home_;
  std::unique_ptr<TMainScreen> window_;
  std::unique_ptr<test::VirtualLine> line_;
  std::vector<test::Rows> sent_;
  QStringList soundsPlayed_;
  NoticeBoard board_;

  std::string Modem() const { return home_->File("modem"); }
  QAction* Action(const char* name) { return window_->findChild<QAction*>(name); }
  QString Status() { return window_->findChild<QLabel*>("StatusPanel")->text(); }
  std::vector<ReceivedRow> Rows() { return ReceivedRows(window_->RecXbase()); }

  // Fine text pages made by the converter, sent by the far end as a TIFF.
  void MakeCallFile(int pages, int lines) {
    std::ofstream text(home_->File("call.txt"));
    for (int page = 1; page <= pages; ++page) {
      for (int line = 1; line <= lines; ++line) text << "Page " << page << ", line " << line << " from the far end\n";
      if (page < pages) text << "\f";
    }
    text.close();
    FaxConverter converter(MakeTextInput(), "TXT");
    converter.SetFine(true);
    QCOMPARE(converter.Convert(home_->File("call.txt"), home_->File("call.apf")), 0);
    sent_.clear();
    for (int page = 1; page <= pages; ++page) sent_.push_back(test::PageRows(home_->File("call.apf"), page));
    test::WriteTiff(home_->File("call.tif"), sent_, true);
  }

  void StartLine(int pages, std::vector<std::string> extra = {}, int lines = 2) {
    MakeCallFile(pages, lines);
    std::vector<std::string> args = {"--call", home_->File("call.tif"), "--ident", "FAR END", "--speed", "2", "--timeout", "200"};
    args.insert(args.end(), extra.begin(), extra.end());
    line_ = std::make_unique<test::VirtualLine>(Modem(), args);
    QVERIFY(line_->WaitReady());
  }

  void Open() {
    window_ = test::OpenMainWindow();
    window_->findChild<QTabBar*>("TabSet1")->setCurrentIndex(1);
  }

  void StartReceiving() {
    Action("ReceiveButton")->trigger();
    QCOMPARE(Action("ReceiveButton")->text(), QString("STOP"));
    QCOMPARE(Status(), QString("Waiting for fax..."));
  }

  bool PortLocked() { return std::filesystem::exists("/var/lock/" + NativeLockFileName(Modem())); }

  // The received file of a row, page for page equal to what the far end sent.
  void CheckFile(const ReceivedRow& row, std::size_t pages) {
    const std::string path = home_->File("Receive/" + row.file);
    QVERIFY2(std::filesystem::exists(path), path.c_str());
    for (std::size_t page = 0; page < pages; ++page) {
      QVERIFY2(test::PageRows(path, static_cast<int>(page) + 1) == sent_[page],
               qPrintable(QString("page %1 of %2").arg(page + 1).arg(QString::fromStdString(row.file))));
    }
  }

 private slots:
  void init() {
    home_ = std::make_unique<test::WindowHome>([](AppSettings& s) {
      s.FaxClass = 1;
      s.MaximumBPS = 14400;
      s.Fax = "TESS RX";
      s.Wav = ProgramFolder() + "fax.wav";
    });
    // A tenth of a second of silence, 8 kHz, 16-bit mono.
    std::string wav = std::string("RIFF") + std::string("\x64\x06\0\0", 4) + "WAVEfmt " +
                      std::string("\x10\0\0\0\x01\0\x01\0\x40\x1f\0\0\x80\x3e\0\0\x02\0\x10\0", 20) + "data" +
                      std::string("\x40\x06\0\0", 4) + std::string(1600, '\0');
    home_->Write("fax.wav", wav);
    MapComDevice(SettingsFilePath(), 1, Modem());
    soundsPlayed_.clear();
    SetSoundObserver([this](const QString& path) { soundsPlayed_ << path; });
    board_.notices.clear();
    SetNotifier(&board_);
  }
  void cleanup() {
    SetSoundObserver(nullptr);
    SetNotifier(nullptr);
    window_.reset();
    line_.reset();
    home_.reset();
  }

  // Receive mode on, a three-page fine fax, a row, a sound and, while the
  // user looks at the outgoing list, a desktop notice whose "View" opens the
  // fax and a count on the incoming tab; the window's other actions are
  // locked while it is on, Exit asks; STOP closes the port.
  void aCallBecomesARowAtOnce() {
    StartLine(3);
    Open();
    StartReceiving();
    QVERIFY(!window_->menuBar()->actions().first()->isEnabled());  // the File menu
    QVERIFY(!Action("mnuPreferences")->isEnabled());
    QVERIFY(!Action("mnuRebuildIndexes")->isEnabled());
    QVERIFY(!Action("SendButton")->isEnabled());
    QVERIFY(!Action("NewButton")->isEnabled());
    QVERIFY(PortLocked());
    auto* tabs = window_->findChild<QTabBar*>("TabSet1");
    tabs->setCurrentIndex(0);

    QTRY_COMPARE_WITH_TIMEOUT(Rows().size(), std::size_t{1}, kCallMs);
    const ReceivedRow row = Rows().front();
    QCOMPARE(row.from, QString("FAR END"));
    QCOMPARE(row.pages, 3);
    QCOMPARE(row.file, std::string("FAX0001.APF"));
    CheckFile(row, 3);
    QCOMPARE(window_->findChild<QTableView*>("RecFaxGrid")->model()->rowCount(), 1);
    QTRY_COMPARE(soundsPlayed_, QStringList{QString::fromStdString(home_->File("fax.wav"))});
    QCOMPARE(line_->ReadLine().substr(0, 16), std::string("result 0 pages 3"));
    QCOMPARE(board_.notices.size(), std::size_t{1});
    QCOMPARE(board_.notices[0].summary, QString("Fax received"));
    QCOMPARE(board_.notices[0].body, QString("From FAR END, 3 pages"));
    QCOMPARE(tabs->tabText(1), QString("&Incoming Faxes (1)"));
    QString viewed;
    test::WhenModal<TFaxViewer>([&viewed](TFaxViewer* viewer) {
      viewed = viewer->FaxPrinter().FaxHeader().Caption();
      viewer->reject();
    });
    board_.notices[0].onView();
    QCOMPARE(viewed, QString("FAR END"));
    QCOMPARE(tabs->currentIndex(), 1);
    QCOMPARE(tabs->tabText(1), QString("&Incoming Faxes"));

    // Exit (Ctrl+X, easily pressed for Cut) asks while calls are answered.
    QString asked;
    test::AnswerMessageBox(QMessageBox::No, &asked);
    Action("mnuExit")->trigger();
    QCOMPARE(asked, QString("Tessivane is answering fax calls. Stop receiving faxes and exit?"));
    QVERIFY(window_->isVisible());

    // While the receiver hangs up (it can take a few seconds) the window
    // goes on working and its status line says what it waits for.
    QStringList whileEnding;
    QTimer watch;
    connect(&watch, &QTimer::timeout, [&] {
      if (Action("ReceiveButton")->text() == "STOP") whileEnding << Status();
    });
    watch.start(100);
    Action("ReceiveButton")->trigger();
    watch.stop();
    whileEnding.removeDuplicates();
    QVERIFY2(whileEnding.isEmpty() || whileEnding == QStringList{"Ending fax receive mode..."},
             qPrintable(whileEnding.join(" | ")));
    QCOMPARE(Action("ReceiveButton")->text(), QString("&Receive"));
    QCOMPARE(Action("mnuReceive")->text(), QString("Receive Faxes"));
    QVERIFY(window_->menuBar()->actions().first()->isEnabled());
    QVERIFY(!PortLocked());
    QVERIFY(std::filesystem::exists(home_->File("TVRECV.TRC")));
  }

  // Two calls one after the other in receive mode that began with the
  // program, as chosen in the settings; with no sound chosen, the program's
  // own chime plays for each.
  void twoCallsTwoRows() {
    StartLine(1, {"--calls", "2"});
    AppSettings settings = LoadSettings(SettingsFilePath());
    settings.StartReceiving = true;
    settings.Wav.clear();
    SaveSettings(settings, SettingsFilePath());
    Open();
    QTRY_COMPARE(Action("ReceiveButton")->text(), QString("STOP"));
    QTRY_COMPARE_WITH_TIMEOUT(Rows().size(), std::size_t{2}, kCallMs);
    const QString chime = QString::fromStdString(SharedDataFolder() + "sounds/fax-received.wav");
    QVERIFY(QFileInfo(chime).isFile());
    QTRY_COMPARE(soundsPlayed_, (QStringList{chime, chime}));
    QCOMPARE(Rows()[0].file, std::string("FAX0001.APF"));
    QCOMPARE(Rows()[1].file, std::string("FAX0002.APF"));
    for (const ReceivedRow& row : Rows()) CheckFile(row, 1);
    QCOMPARE(Action("ReceiveButton")->text(), QString("STOP"));
  }

  // The caller hangs up in the middle of page 2: what arrived is kept with a
  // row (page 1 whole, page 2 up to where the line went quiet, as a fax
  // machine prints it), the failure is told, and the next call is answered.
  void aBrokenCallKeepsWhatArrived() {
    // Pages long enough that the far end is still sending when it drops.
    StartLine(2, {"--drop-on-page", "2", "--calls", "2"}, 60);
    Open();
    QString message;
    auto answerFailure = [&message] {
      message.clear();
      test::WhenModal<QMessageBox>(
          [&message](QMessageBox* box) {
            message = box->text();
            box->button(QMessageBox::Ok)->click();
          },
          kCallMs);
    };
    answerFailure();
    StartReceiving();
    QTRY_VERIFY_WITH_TIMEOUT(!message.isEmpty(), kCallMs);
    QVERIFY2(message.startsWith("Failed to receive incoming fax:"), qPrintable(message));
    QCOMPARE(Rows().size(), std::size_t{1});
    QCOMPARE(Rows()[0].pages, 2);
    CheckFile(Rows()[0], 1);
    const test::Rows cut = test::PageRows(home_->File("Receive/" + Rows()[0].file), 2);
    QVERIFY2(!cut.empty() && cut.size() < sent_[1].size(), qPrintable(QString::number(cut.size())));
    QVERIFY(std::equal(cut.begin(), cut.end() - 1, sent_[1].begin()));  // the last row may be cut
    QVERIFY(home_->Read("TVFAX.HIS").find("Receive failed") != std::string::npos);
    // Still answering: the far end's second call drops the same way.
    answerFailure();
    QTRY_VERIFY_WITH_TIMEOUT(!message.isEmpty(), kCallMs);
    QCOMPARE(Rows().size(), std::size_t{2});
    QCOMPARE(Action("ReceiveButton")->text(), QString("STOP"));
  }

  // Closing the window in the middle of a call asks first; No goes on, Yes
  // ends receive mode, closes the port and keeps what had arrived.
  void closingDuringACallAsksAndKeepsWhatArrived() {
    StartLine(3);
    Open();
    StartReceiving();
    QTRY_VERIFY_WITH_TIMEOUT(Status().contains("page 2"), kCallMs);
    QString question;
    test::AnswerMessageBox(QMessageBox::No, &question);
    window_->close();
    QCOMPARE(question, QString("You are recieving a fax. Close the program?"));
    QVERIFY(window_->isVisible());
    test::AnswerMessageBox(QMessageBox::Yes);
    window_->close();
    QVERIFY(!window_->isVisible());
    QVERIFY(!PortLocked());
    TXbase table;
    QVERIFY(OpenRecFaxDBF(table, home_->Path()));
    const std::vector<ReceivedRow> rows = ReceivedRows(table);
    QCOMPARE(rows.size(), std::size_t{1});
    QVERIFY(rows[0].pages >= 1);
    CheckFile(rows[0], static_cast<std::size_t>(rows[0].pages));
  }

  // Receive mode does not start on a port another program holds, nor when
  // received faxes could not be stored; the captions stay as they were.
  void refusesToStartWhereItCannotWork() {
    Open();
    home_->Write("modem", "");
    const std::string lock = "/var/lock/" + NativeLockFileName(Modem());
    std::ofstream(lock) << QString("%1\n").arg(getppid(), 10).toStdString();
    QString message;
    test::AnswerMessageBox(QMessageBox::Ok, &message);
    Action("ReceiveButton")->trigger();
    std::filesystem::remove(lock);
    QVERIFY2(message.startsWith("The communications port is in use ( Com 1 )"), qPrintable(message));
    QCOMPARE(Action("ReceiveButton")->text(), QString("&Receive"));
    QVERIFY(window_->menuBar()->actions().first()->isEnabled());

    std::filesystem::remove_all(home_->File("Receive"));
    home_->Write("Receive", "a file where the folder should be");
    test::AnswerMessageBox(QMessageBox::Ok, &message);
    Action("ReceiveButton")->trigger();
    QVERIFY2(message.contains("cannot be written"), qPrintable(message));
    QCOMPARE(Action("ReceiveButton")->text(), QString("&Receive"));
  }
};

TV_REGISTER_QTEST(ReceiveFaxTest)

}  // namespace tv

#include "receive_fax_test.moc"
