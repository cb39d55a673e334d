// The SIP line from the window, against tools/sip_fax_peer on 127.0.0.1: a
// fax from the outgoing list reaches the far end over T.38, pixel for pixel
// below the header line, with the status display saying so; receive mode
// takes the far end's call as a new row, its page as sent; Preferences'
// "Test account" registers with the far end as a registrar, or says in
// plain words why not.
// The lines run at eight times the clock's pace: the test is not about the
// line's speed.
#include <QAction>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QSystemTrayIcon>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>
#include <sys/stat.h>

#include "app/fax_status_display.h"
#include "app/first_run.h"
#include "app/main_screen.h"
#include "app/preferences.h"
#include "app/sip_account_page.h"
#include "image/fax_converter.h"
#include "line/sip_line.h"
#include "platform/ini_file.h"
#include "platform/paths.h"
#include "tests/app/modal_driver.h"
#include "tests/app/qtest_main.h"
#include "tests/app/received_rows.h"
#include "tests/app/window_home.h"
#include "tests/support/fax_pages.h"
#include "ui/widgets.h"

namespace tv {

namespace {

constexpr char kSpeed[] = "8";
constexpr int kCallMs = 60000;

// tools/sip_fax_peer with `args`, up and taking calls.
class SipPeer {
 public:
  explicit SipPeer(const QStringList& args) {
    peer_.start(TV_SIP_FAX_PEER, args + QStringList{"--timeout", "60"});
    while (port_ == 0 && peer_.waitForReadyRead(10000)) {
      const QByteArray line = peer_.readLine().trimmed();
      if (line.startsWith("ready ")) port_ = line.mid(6).toInt();
    }
  }
  ~SipPeer() {
    peer_.kill();
    peer_.waitForFinished(5000);
  }
  int Port() const { return port_; }
  // The peer's last line once it has ended its call ("result 0 pages 1 ...").
  QString Result() {
    if (peer_.state() != QProcess::NotRunning && !peer_.waitForFinished(kCallMs)) return {};
    return QString::fromUtf8(peer_.readAllStandardOutput()).trimmed().split('\n').last();
  }

 private:
  QProcess peer_;
  int port_ = 0;
};

// [SIP] of TV.INI: our account at `domain`, registering or not, the line's
// port any free one.
void UseAccount(const std::string& domain, bool registers) {
  IniFile ini(SettingsFilePath());
  ini.WriteString("SIP", "Account", "sip:tess@" + domain);
  ini.WriteBool("SIP", "Register", registers);
  ini.WriteInteger("SIP", "LocalPort", 0);
  ini.WriteString("SIP", "Speed", kSpeed);
  ini.Save();
  MapComDevice(SettingsFilePath(), 1, kSipDevice);
}

}  // namespace

class SipLineWindowTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<test::WindowHome> home_;

 private slots:
  void init() {
    home_ = std::make_unique<test::WindowHome>([](AppSettings& s) {
      s.FaxClass = 1;
      s.MaximumBPS = 14400;
      s.Fax = "TESS TX";
    });
    InstallSipLine();
  }
  void cleanup() { home_.reset(); }

  void sentFaxArrivesOverT38() {
    SipPeer peer({"--answer", QString::fromStdString(home_->File("received.tif")), "--speed", kSpeed});
    QVERIFY(peer.Port() > 0);
    UseAccount("127.0.0.1:" + std::to_string(peer.Port()), false);
    QVERIFY(PutSampleFax(SendFolder()));
    // The window sends the body re-rendered page by page: what the far end
    // gets, below the header line.
    QVERIFY(ApfRerenderFile(SendFolder() + "SAMPLE.APF", home_->File("sent.apf")));
    const test::Rows sent = test::PageRows(home_->File("sent.apf"), 1);
    QVERIFY(!sent.empty());
    auto window = test::OpenMainWindow();
    QCOMPARE(window->FaxXbase().RecordCount(), 1u);

    QString rate;
    const QString message = test::SendFromOutgoingList(*window, kCallMs, [&rate](TStandardFaxDisplay* display) {
      const QString shown = display->findChild<QLabel*>("fsConnectBPS")->text();
      if (shown.contains('(')) rate = shown;
    });
    QCOMPARE(message, QString("Fax sent successfully"));
    QCOMPARE(rate, QString("14400 (T.38)"));
    const QString result = peer.Result();
    QVERIFY2(result.startsWith("result 0 pages 1 medium T.38 remote \"TESS TX\""), qPrintable(result));
    // The fax history keeps how the call went.
    QVERIFY2(home_->Read("TVFAX.HIS").find("  (MR over T.38)") != std::string::npos, home_->Read("TVFAX.HIS").c_str());
    const std::vector<test::Rows> received = test::TiffPages(home_->File("received.tif"));
    QCOMPARE(received.size(), 1u);
    QVERIFY2(test::BelowHeader(received[0], sent.size()) == sent, "the page differs below the header");
  }

  void receiveModeTakesTheFarEndsCall() {
    UseAccount("127.0.0.1", false);
    const test::Rows page(200, std::vector<std::uint8_t>(216, 0x0f));
    test::WriteTiff(home_->File("call.tif"), {page});
    auto window = test::OpenMainWindow();
    window->findChild<QTabBar*>("TabSet1")->setCurrentIndex(1);
    window->findChild<QAction*>("ReceiveButton")->trigger();
    // The line took a free port; its log says which.
    QString port;
    QTRY_VERIFY_WITH_TIMEOUT(!(port = SipLinePort()).isEmpty(), 10000);
    SipPeer peer({"--call", "tess@127.0.0.1:" + port, "--send", QString::fromStdString(home_->File("call.tif")),
                  "--ident", "FAR END", "--speed", kSpeed});
    QTRY_COMPARE_WITH_TIMEOUT(window->RecXbase().RecordCount(), 1u, kCallMs);
    const test::ReceivedRow row = test::ReceivedRows(window->RecXbase()).front();
    QCOMPARE(row.from, QString("FAR END"));
    QCOMPARE(row.pages, 1);
    QVERIFY(test::PageRows(home_->File("Receive/" + row.file), 1) == page);
  }

  // Right and wrong password, kept where the test machine has room for it
  // (no keyring here: the password file, the owner's alone), never in TV.INI.
  void testAccountRegistersOrSaysWhy() {
    SipPeer registrar({"--answer", QString::fromStdString(home_->File("unused.tif")), "--registrar", "tess:s3cret-pw"});
    QVERIFY(registrar.Port() > 0);
    const QString domain = QString("127.0.0.1:%1").arg(registrar.Port());
    TPreferences preferences;
    preferences.ShowPage(TPreferences::Page::kSipAccount);
    preferences.show();
    auto* result = preferences.findChild<QLabel*>("SipTestResult");
    auto test = [&](const QString& password) {
      preferences.findChild<QLineEdit*>("SipPassword")->setText(password);
      result->clear();
      preferences.findChild<QPushButton*>("SipTestButton")->click();
      (void)QTest::qWaitFor([&] { return !result->text().isEmpty() && result->text() != "Registering..."; }, 12000);
      return result->text();
    };
    preferences.findChild<QLineEdit*>("SipAccount")->setText("sip:tess@" + domain);
    QCOMPARE(test("wrong"), "The registrar " + domain + " refused: 403 Forbidden");
    QCOMPARE(test("s3cret-pw").left(16 + domain.size()), "Registered with " + domain);

    const std::string settings = home_->Read("TV.INI");
    QVERIFY(settings.find("s3cret-pw") == std::string::npos);
    QVERIFY(home_->Read("SIP.LOG").find("s3cret-pw") == std::string::npos);
    QVERIFY(settings.find("Account=sip:tess@" + domain.toStdString()) != std::string::npos);
    struct stat info {};
    QCOMPARE(stat(home_->File("SIP.PWD").c_str(), &info), 0);
    QCOMPARE(info.st_mode & 0777, 0600u);

    // A wrong setting is named in the line's own words, and Accept waits.
    preferences.findChild<QLineEdit*>("SipMediaPorts")->setText("7000");
    QString text;
    test::AnswerMessageBox(QMessageBox::Ok, &text);
    preferences.findChild<QPushButton*>("Acceptbutton")->click();
    QCOMPARE(text, QString("[SIP] MediaPorts is not a range LOW-HIGH of at least four ports: 7000"));
    QVERIFY(preferences.isVisible());
  }

  // The SIP page chooses the COM number of the line; where ports are shown,
  // the line names its account.
  void portChoiceNamesTheAccount() {
    UseAccount("fax.example.org", true);
    TPreferences preferences;
    const auto buttons = preferences.findChild<RadioGroup*>("ComPort")->findChildren<QRadioButton*>();
    QCOMPARE(buttons[0]->text(), QString("Com1 (SIP: tess@fax.example.org)"));
    auto* page = preferences.findChild<TSipAccountPage*>();
    page->FillFrom(IniFile(SettingsFilePath()));
    QCOMPARE(page->findChild<QComboBox*>("SipComPort")->currentText(), QString("Com1"));
    page->findChild<QComboBox*>("SipComPort")->setCurrentText("Com3");
    QVERIFY(page->Save());
    QCOMPARE(buttons[0]->text(), QString("Com1 (/dev/ttyS0)"));
    QCOMPARE(buttons[2]->text(), QString("Com3 (SIP: tess@fax.example.org)"));
  }

 private:
  QString SipLinePort() const {
    const QString log = QString::fromStdString(home_->Read("SIP.LOG"));
    const int at = log.indexOf(" SIP on 127.0.0.1:");
    return at < 0 ? QString() : log.mid(at + 18).section(' ', 0, 0);
  }
};

TV_REGISTER_QTEST(SipLineWindowTest)

}  // namespace tv

#include "sip_line_window_test.moc"
