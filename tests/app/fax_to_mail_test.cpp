// Fax to e-mail from the window: the welcome fax comes in over the demo line
// and goes to a mail server of the test's own on 127.0.0.1 (aiosmtpd); a
// server that refuses shows in the row and leaves the fax as it came, and
// the mail goes once the settings name a server that takes it.
#include <QAction>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QSpinBox>
#include <QTabBar>
#include <QTabWidget>
#include <QTableView>
#include <QTest>

#include "app/main_screen.h"
#include "app/preferences.h"
#include "export/fax_to_mail.h"
#include "line/demo_line.h"
#include "platform/ini_file.h"
#include "platform/paths.h"
#include "tests/app/modal_driver.h"
#include "tests/app/qtest_main.h"
#include "tests/app/received_rows.h"
#include "tests/app/window_home.h"

namespace tv {

namespace {

// tests/export/smtp_sink.py in `mode`, keeping messages in `folder`.
class MailSink {
 public:
  MailSink(const char* mode, const QString& folder) {
    server_.start("/usr/bin/python3", {TV_SMTP_SINK, mode, folder});
    if (server_.waitForReadyRead(10000)) port_ = server_.readLine().trimmed().toInt();
  }
  ~MailSink() {
    server_.closeWriteChannel();
    if (!server_.waitForFinished(5000)) server_.kill();
  }
  int Port() const { return port_; }

 private:
  QProcess server_;
  int port_ = 0;
};

QString MailColumn(TMainScreen& window) {
  auto* grid = window.findChild<QTableView*>("RecFaxGrid");
  return grid->model()->index(0, grid->model()->columnCount() - 1).data().toString();
}

}  // namespace

class FaxToMailTest : public QObject {
  Q_OBJECT

 private slots:
  void receivedFaxIsMailedAndARefusalWaits() {
    test::WindowHome home([](AppSettings& s) { s.FaxClass = 1; });
    InstallDemoLine();
    MapComDevice(SettingsFilePath(), 1, kDemoFastDevice);
    const QString mails = QString::fromStdString(home.File("mails"));
    QDir().mkpath(mails);
    MailSink refusing("refuse", mails);
    QVERIFY(refusing.Port() > 0);
    IniFile ini(SettingsFilePath());
    ini.WriteBool("Export", "Ocr", false);
    ini.WriteString("Mail", "To", "ann@example.org");
    ini.WriteString("Mail", "From", "fax@example.org");
    ini.WriteString("Mail", "Server", "127.0.0.1");
    ini.WriteInteger("Mail", "Port", refusing.Port());
    ini.WriteString("Mail", "Security", "None");
    ini.Save();

    auto window = test::OpenMainWindow();
    window->findChild<QTabBar*>("TabSet1")->setCurrentIndex(1);
    window->findChild<QAction*>("ReceiveButton")->trigger();
    QTRY_COMPARE_WITH_TIMEOUT(window->RecXbase().RecordCount(), 1u, 90000);
    window->findChild<QAction*>("ReceiveButton")->trigger();
    const std::string fax = home.File("Receive/" + test::ReceivedRows(window->RecXbase()).front().file);
    const std::string faxBytes = home.Read("Receive/" + test::ReceivedRows(window->RecXbase()).front().file);
    QTRY_VERIFY_WITH_TIMEOUT(MailColumn(*window).startsWith("mail failed 1 time, next try at "), 20000);
    QVERIFY2(MailColumn(*window).contains("did not take the mail"), qPrintable(MailColumn(*window)));

    // The user names a server that takes it; the minute to the next try has passed.
    MailSink accepting("accept", mails);
    FaxMailState waiting = LoadFaxMailState(fax);
    waiting.nextTry = 0;
    QCOMPARE(SaveFaxMailState(fax, waiting), 0);
    // "Fax to E-mail..." is Preferences open at its mail page.
    test::WhenModal<TPreferences>([&](TPreferences* dialog) {
      QCOMPARE(dialog->findChild<QTabWidget*>("PreferencesPages")->currentWidget()->objectName(), "TMailPage");
      dialog->findChild<QSpinBox*>("MailPort")->setValue(accepting.Port());
      dialog->findChild<QPushButton*>("Acceptbutton")->click();
    });
    window->findChild<QAction*>("mnuFaxToMail")->trigger();
    QTRY_COMPARE_WITH_TIMEOUT(MailColumn(*window), QString("mailed"), 20000);
    QVERIFY(QFile::exists(mails + "/1.eml"));
    QCOMPARE(home.Read("Receive/" + test::ReceivedRows(window->RecXbase()).front().file), faxBytes);
  }
};

TV_REGISTER_QTEST(FaxToMailTest)

}  // namespace tv

#include "fax_to_mail_test.moc"
