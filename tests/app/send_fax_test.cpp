// Sending from the main window as a user does, through the virtual fax line:
// "&Send" on a row, "&Send Fax Now" in the dialog, the status display while
// the call runs, and what reaches the far end, the row and the history file.
#include <QAction>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSet>
#include <QTableView>
#include <QTest>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <unistd.h>
#include <utility>

#include "app/fax_status_display.h"
#include "app/main_screen.h"
#include "app/send_fax_form.h"
#include "comm/native_layer.h"
#include "cover/cover_drawing.h"
#include "cover/shipped_templates.h"
#include "image/fax_converter.h"
#include "platform/app_settings.h"
#include "platform/paths.h"
#include "ui/window_helpers.h"
#include "store/fax_tables.h"
#include "tests/app/modal_driver.h"
#include "tests/app/qtest_main.h"
#include "tests/app/window_home.h"
#include "tests/support/fax_pages.h"
#include "tests/support/temp_dir.h"
#include "tests/support/virtual_line.h"

namespace tv {

namespace {

constexpr int kCallMs = 150000;  // a whole call on the line, with room to spare

struct Row {
  QString lastResult;
  std::optional<CivilDate> dateSent;
  QString timeSent;
};

// The fax's row as the window's table holds it.
Row ReadRow(TXbase& table) {
  table.GoToRecord(1);
  Row row;
  auto text = [&](const char* field) {
    const auto value = table.Field(field);
    return value ? QString::fromStdString(std::get<std::string>(*value)).trimmed() : QString();
  };
  row.lastResult = text("LASTRESULT");
  row.timeSent = text("TIMESENT");
  if (const auto date = table.Field("DATESENT")) {
    if (const auto* civil = std::get_if<CivilDate>(&*date); civil && civil->year > 0) row.dateSent = *civil;
  }
  return row;
}

// Text pages made by the converter.
void MakeTextFax(const std::string& text, int linesPerPage, const std::string& apf) {
  const std::string source = apf + ".txt";
  std::ofstream(source) << text;
  FaxConverter converter(MakeTextInput(), "TXT");
  converter.SetLinesPerPage(linesPerPage);
  if (converter.Convert(source, apf) != 0) qFatal("cannot convert %s", source.c_str());
}

bool LockFileLeft(const std::string& device) {
  return std::filesystem::exists("/var/lock/" + NativeLockFileName(device));
}

}  // namespace

class SendFaxTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<test::TempDir> home_;
  std::unique_ptr<TMainScreen> window_;
  std::unique_ptr<test::VirtualLine> line_;
  // What the status display showed while the call ran.
  QSet<QString> pagesShown_;
  QStringList statusTexts_;
  QTimer watcher_;

  std::string Home() const { return home_->Path(); }
  std::string Modem() const { return home_->File("modem"); }

  void Settings(int attempts, int retryWait) {
    AppSettings s;
    s.ComPort = 0;
    s.FaxClass = 1;
    s.MaximumBPS = 14400;
    s.DialAttempts = attempts;
    s.RetryWait = retryWait;
    s.Fax = "TESS TX";
    s.Name = "Ann Sender";
    SaveSettings(s, SettingsFilePath());
    MapComDevice(SettingsFilePath(), 1, Modem());
    for (int n = 2; n <= 6; ++n) MapComDevice(SettingsFilePath(), n, "/dev/tessivane-no-port-" + std::to_string(n));
  }

  void AddFaxWithCover() {
    // The cover as the cover-sheet editor draws it.
    InstallCoverTemplates(CoversFolder());
    TCoverValues cover;
    cover.RecipientName = "Bob";
    cover.Subject = "Plans";
    cover.Flags[kUrgent] = true;
    RenderCoverSheet(home_->File("SEND/COV00000.APF"), CoversFolder() + "tv0001.fct", cover, "A cover page for the test");
    home_->Write("SEND/COV00000.fcd", "tv0001.fct\nX    \nA cover page for the test\n");
    MakeTextFax("Body page one\n\fBody page two\n", 60, home_->File("SEND/FAX00000.APF"));
    TXbase table;
    if (!OpenOutgoingTable(table, Home())) qFatal("cannot open TVOUT");
    table.NewRecord();
    table.SetField("SUBJECT", std::string("Plans"));
    table.SetField("RECIPIENT", std::string("Bob"));
    table.SetField("PHONE", std::string("555 0100"));
    table.SetField("FAXDOC", std::string("FAX00000.APF"));
    table.SetField("FAXCOVER", std::string("COV00000.APF"));
    table.Append();
  }

  void StartLine(std::vector<std::string> args) {
    args.insert(args.end(), {"--ident", "FAR END", "--timeout", "200"});
    line_ = std::make_unique<test::VirtualLine>(Modem(), args);
    QVERIFY(line_->WaitReady());
  }

  void Open() {
    window_ = test::OpenMainWindow();
  }

  void WatchStatusDisplay() {
    connect(&watcher_, &QTimer::timeout, this, [this] {
      auto* display = window_->findChild<TStandardFaxDisplay*>();
      if (!display || !display->isVisible()) return;
      pagesShown_ << display->findChild<QLabel*>("fsCurrentPage")->text();
      const QString status = display->findChild<QLabel*>("fsStatusMsg")->text();
      if (statusTexts_.isEmpty() || statusTexts_.last() != status) statusTexts_ << status;
    });
    watcher_.start(20);
  }

  // Sends the fax from the window, running `during` once when the status
  // display is up; returns the message at the end.
  QString SendFromWindow(std::function<void(TStandardFaxDisplay*)> during = {}) {
    bool started = false;
    return test::SendFromOutgoingList(*window_, kCallMs, [&](TStandardFaxDisplay* display) {
      if (during && !std::exchange(started, true)) during(display);
    });
  }

 private slots:
  void init() {
    home_ = std::make_unique<test::TempDir>();
    InitProgramFolder(home_->Path());
    MakeWorkFolders();
    pagesShown_.clear();
    statusTexts_.clear();
  }
  void cleanup() {
    watcher_.stop();
    watcher_.disconnect();
    window_.reset();
    line_.reset();
    home_.reset();
  }

  // The everyday case: a cover and a two-page body reach the far end pixel
  // for pixel below the header line, and the row records the success.
  void coverAndBodyReachTheFarEnd() {
    Settings(1, 60);
    AddFaxWithCover();
    StartLine({"--answer", home_->File("received.tif")});
    Open();
    WatchStatusDisplay();
    const QString message = SendFromWindow();
    QCOMPARE(message, QString("Fax sent successfully"));

    const Row row = ReadRow(window_->FaxXbase());
    QCOMPARE(row.lastResult, QString("Sent"));
    const QDate today = QDate::currentDate();
    QVERIFY(row.dateSent && row.dateSent->year == today.year() && row.dateSent->month == today.month() &&
            row.dateSent->day == today.day());
    QVERIFY(QTime::fromString(row.timeSent, "hh:mm").isValid());
    QVERIFY(pagesShown_.contains("<cover page>"));
    QVERIFY(pagesShown_.contains("1") && pagesShown_.contains("2"));

    QCOMPARE(line_->Wait(), 0);
    // The pages as the dialog sent them: the cover, then the body re-rendered.
    QVERIFY(ApfRerenderFile(home_->File("SEND/FAX00000.APF"), home_->File("body.apf")));
    const std::vector<test::Rows> expected = {test::PageRows(home_->File("SEND/COV00000.APF"), 1),
                                              test::PageRows(home_->File("body.apf"), 1),
                                              test::PageRows(home_->File("body.apf"), 2)};
    const std::vector<test::Rows> received = test::TiffPages(home_->File("received.tif"));
    QCOMPARE(received.size(), expected.size());
    for (std::size_t page = 0; page < expected.size(); ++page) {
      QVERIFY(!expected[page].empty());
      QVERIFY2(received[page].size() > expected[page].size(), "no header line above the page");
      QVERIFY2(test::BelowHeader(received[page], expected[page].size()) == expected[page],
               qPrintable(QString("page %1 differs below the header").arg(page + 1)));
    }
    const std::string history = home_->Read("TVFAX.HIS");
    QVERIFY2(history.find("Transmit to FAR END") != std::string::npos && history.find("finished OK") != std::string::npos,
             history.c_str());
    // The working file is gone with the dialog.
    for (const auto& entry : std::filesystem::directory_iterator(Home())) {
      QVERIFY2(!entry.path().filename().string().starts_with("FAX"), entry.path().c_str());
    }
  }

  // A busy far end, two attempts: the countdown shows between them and the
  // row ends with the busy result.
  void busyLineRedialsWithACountdown() {
    Settings(2, 3);
    AddFaxWithCover();
    StartLine({"--answer", home_->File("received.tif"), "--busy"});
    Open();
    WatchStatusDisplay();
    const QString message = SendFromWindow();
    QCOMPARE(message, QString("Fax was not sent. Called fax number was busy"));
    QCOMPARE(ReadRow(window_->FaxXbase()).lastResult, QString("Called fax number was busy"));
    QVERIFY(!ReadRow(window_->FaxXbase()).dateSent);
    const QStringList countdown = statusTexts_.filter("Busy, waiting until redial...");
    QVERIFY2(!countdown.isEmpty(), qPrintable(statusTexts_.join(" | ")));
    QVERIFY2(countdown.filter(QRegularExpression("\\.\\.\\.0:0[0-3]$")).size() >= 2,
             qPrintable(countdown.join(" | ")));
    QVERIFY(pagesShown_.isEmpty() || !pagesShown_.contains("2"));
  }

  // "Cancel" in the status display, once while dialling a line that never
  // answers and once while a page goes: the call ends within five seconds,
  // the port is closed and the row says so.
  void cancelEndsTheCallWithinFiveSeconds() {
    for (const bool whileDialling : {true, false}) {
      Settings(1, 60);
      AddFaxWithCover();
      if (whileDialling) {
        StartLine({"--answer", home_->File("received.tif"), "--no-answer"});
      } else {
        StartLine({"--answer", home_->File("received.tif")});
      }
      Open();
      std::chrono::steady_clock::time_point clicked;
      const QString message = SendFromWindow([&clicked, whileDialling](TStandardFaxDisplay* display) {
        auto* status = display->findChild<QLabel*>("fsStatusMsg");
        auto* cancel = new QTimer(display);
        QObject::connect(cancel, &QTimer::timeout, display, [=, &clicked] {
          const bool ready = whileDialling ? status->text().startsWith("Dialing")
                                           : status->text().startsWith("Sending page data");
          if (!ready) return;
          cancel->stop();
          clicked = std::chrono::steady_clock::now();
          display->findChild<QPushButton*>("CancelButton")->click();
        });
        cancel->start(20);
      });
      const auto took = std::chrono::steady_clock::now() - clicked;
      QVERIFY2(took < std::chrono::seconds(5),
               qPrintable(QString("the call took %1 ms to end")
                              .arg(std::chrono::duration_cast<std::chrono::milliseconds>(took).count())));
      QCOMPARE(message, QString("Fax was not sent. Cancel requested"));
      QCOMPARE(ReadRow(window_->FaxXbase()).lastResult, QString("Cancel requested"));
      QVERIFY(!LockFileLeft(Modem()));
      window_.reset();
      line_.reset();
      home_ = std::make_unique<test::TempDir>();
      InitProgramFolder(home_->Path());
      MakeWorkFolders();
    }
  }

  // Nothing is dialled for a number that cannot be dialled, a port that is
  // not chosen or cannot be opened, or a fax file that cannot be read; the
  // user is told why and the row keeps everything but its last result.
  void refusesBadInputBeforeDialling() {
    Settings(1, 60);
    AddFaxWithCover();
    Open();
    auto attempt = [this](const QString& phone, std::function<void()> before = {}) {
      QString message;
      test::WhenModal<TSendFaxForm>([&message, phone](TSendFaxForm* form) {
        form->findChild<QLineEdit*>("sfPhoneNumber")->setText(phone);
        test::WhenModal<QMessageBox>([&message, form](QMessageBox* box) {
          message = box->text();
          box->button(QMessageBox::Ok)->click();
          QTimer::singleShot(0, form, [form] { form->findChild<QPushButton*>("CloseButton")->click(); });
        });
        form->findChild<QPushButton*>("SendFaxButton")->click();
      });
      if (before) before();
      window_->findChild<QAction*>("SendButton")->trigger();
      return message;
    };
    QVERIFY(attempt("555 PIZZA").contains("cannot be dialled"));
    QCOMPARE(attempt("  "), QString("Please enter the fax number to dial."));
    // COM1 names a device that does not exist.
    MapComDevice(SettingsFilePath(), 1, "/dev/tessivane-no-port-1");
    QVERIFY(attempt("555 0100").startsWith("Unable to open the specified communications port ( Com1 )"));
    // Held by another live process (its lock file names it).
    MapComDevice(SettingsFilePath(), 1, Modem());
    std::ofstream(home_->File("modem")) << "";
    const std::string lock = "/var/lock/" + NativeLockFileName(Modem());
    std::ofstream(lock) << QString("%1\n").arg(getppid(), 10).toStdString();
    const QString inUse = attempt("555 0100");
    std::filesystem::remove(lock);
    QVERIFY2(inUse.startsWith("The communications port is in use ( Com 1 )"), qPrintable(inUse));
    // A setting no dialog can show: no port is chosen.
    LoadAppSettings();
    tv::Settings().ComPort = 6;
    QVERIFY(attempt("555 0100").startsWith("Please choose the Port"));
    QCOMPARE(ReadRow(window_->FaxXbase()).lastResult, QString("Cancelled"));
    QVERIFY(!ReadRow(window_->FaxXbase()).dateSent);

    // A body that is not a fax file is refused before the dialog opens.
    home_->Write("SEND/FAX00000.APF", "not a fax");
    QString message;
    test::AnswerMessageBox(QMessageBox::Ok, &message);
    window_->findChild<QAction*>("SendButton")->trigger();
    QCOMPARE(message, QString("Error opening fax file"));
    QCOMPARE(home_->Read("SEND/FAX00000.APF"), std::string("not a fax"));
  }
};

TV_REGISTER_QTEST(SendFaxTest)

}  // namespace tv

#include "send_fax_test.moc"
