// The first start and the demo line, from the window: no modem answers, so
// COM1 becomes the demo line and the sample fax goes to its far end; a
// machine whose modem answers keeps its port; receive mode on the demo line
// gets the welcome fax.
#include <QAbstractButton>
#include <QAction>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QTabBar>
#include <QTest>
#include <filesystem>

#include "app/main_screen.h"
#include "app/preferences.h"
#include "app/send_fax_form.h"
#include "image/apf_file.h"
#include "line/demo_line.h"
#include "platform/app_settings.h"
#include "platform/ini_file.h"
#include "platform/paths.h"
#include "tests/app/modal_driver.h"
#include "tests/app/qtest_main.h"
#include "tests/app/received_rows.h"
#include "tests/app/window_home.h"
#include "tests/support/fax_pages.h"
#include "tests/support/temp_dir.h"
#include "tests/support/virtual_line.h"
#include "ui/widgets.h"

namespace tv {

class DemoLineWindowTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<test::TempDir> home_;

  // COM2..COM6 name no device, so only COM1 can hold a modem.
  void MapOtherPortsAway() {
    for (int n = 2; n <= 6; ++n) MapComDevice(SettingsFilePath(), n, "/dev/tessivane-no-port-" + std::to_string(n));
  }

  // Opens the window on a first start and accepts Preferences; returns the
  // first-run message and the caption of the chosen port.
  std::pair<QString, QString> FirstStart(TMainScreen& window) {
    QString message, port;
    bool accepted = false;
    test::WhenModal<QMessageBox>([&](QMessageBox* box) {
      message = box->text();
      box->button(QMessageBox::Ok)->click();
      test::WhenModal<TPreferences>([&](TPreferences* prefs) {
        for (auto* button : prefs->findChild<RadioGroup*>("ComPort")->findChildren<QRadioButton*>()) {
          if (button->isChecked()) port = button->text();
        }
        prefs->findChild<QPushButton*>("Acceptbutton")->click();
        accepted = true;
      });
    }, 10000);
    window.show();
    if (!QTest::qWaitFor([&] { return accepted; }, 15000)) qWarning("Preferences did not open");
    return {message, port};
  }

  std::vector<std::string> DemoFaxes() const {
    std::vector<std::string> files;
    if (!std::filesystem::exists(DemoFolder())) return files;
    for (const auto& entry : std::filesystem::directory_iterator(DemoFolder())) {
      if (entry.path().extension() == ".APF") files.push_back(entry.path().string());
    }
    return files;
  }

 private slots:
  void init() {
    home_ = std::make_unique<test::TempDir>();
    InitProgramFolder(home_->Path());
    InstallDemoLine();
  }
  void cleanup() { home_.reset(); }

  void firstStartWithoutModemSendsTheSampleOverTheDemoLine() {
    MapComDevice(SettingsFilePath(), 1, "/dev/tessivane-no-port-1");
    MapOtherPortsAway();
    TMainScreen window;
    const auto [message, port] = FirstStart(window);
    QVERIFY2(message.contains("Com1 is set to the demo line"), qPrintable(message));
    QCOMPARE(port, QString("Com1 (Demo line)"));
    QCOMPARE(IniFile(SettingsFilePath()).ReadString("Ports", "COM1", ""), std::string(kDemoDevice));
    QCOMPARE(IniFile(SettingsFilePath()).ReadInteger("Modem", "ComPort", -1), 0);

    // The sample fax waits in the outgoing list; it goes on the fast line
    // here, as the test is not about the line's speed.
    QCOMPARE(window.FaxXbase().RecordCount(), 1u);
    MapComDevice(SettingsFilePath(), 1, kDemoFastDevice);
    const QString result = test::SendFromOutgoingList(window, 90000);
    QCOMPARE(result, QString("Fax sent successfully"));

    QVERIFY(QTest::qWaitFor([&] { return !DemoFaxes().empty(); }, 20000));
    TApfFileHeader header;
    QCOMPARE(ApfReadFileHeader(DemoFaxes().front(), header), 0);
    QCOMPARE(header.pageCount, 1);
  }

  void firstStartKeepsAModemThatAnswers() {
    test::VirtualLine line(home_->File("modem"), {"--answer", home_->File("unused.tif"), "--timeout", "30"});
    QVERIFY(line.WaitReady());
    MapComDevice(SettingsFilePath(), 1, home_->File("modem"));
    MapOtherPortsAway();
    TMainScreen window;
    const QString message = FirstStart(window).first;
    QVERIFY2(!message.isEmpty() && !message.contains("demo line"), qPrintable(message));
    QCOMPARE(IniFile(SettingsFilePath()).ReadString("Ports", "COM1", ""), home_->File("modem"));
  }

  // Receive mode on the demo line: the far end calls and the welcome fax
  // becomes a new row of the incoming list, both pages in its file.
  void receiveModeGetsTheWelcomeFax() {
    MakeWorkFolders();
    AppSettings settings;
    settings.ComPort = 0;
    settings.FaxClass = 1;
    SaveSettings(settings, SettingsFilePath());
    MapComDevice(SettingsFilePath(), 1, kDemoFastDevice);
    TMainScreen window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    window.findChild<QTabBar*>("TabSet1")->setCurrentIndex(1);
    window.findChild<QAction*>("ReceiveButton")->trigger();
    QCOMPARE(window.findChild<QAction*>("ReceiveButton")->text(), QString("STOP"));

    QTRY_COMPARE_WITH_TIMEOUT(window.RecXbase().RecordCount(), 1u, 90000);
    const test::ReceivedRow row = test::ReceivedRows(window.RecXbase()).front();
    QCOMPARE(row.from, QString(kDemoFarEndIdent));
    QCOMPARE(row.pages, 2);
    QVERIFY(MakeWelcomeFax(home_->File("welcome.apf")) == 0);
    const std::string received = home_->File("Receive/" + row.file);
    for (int page = 1; page <= 2; ++page) {
      QVERIFY2(test::PageRows(received, page) == test::PageRows(home_->File("welcome.apf"), page),
               qPrintable(QString("page %1").arg(page)));
    }
    window.findChild<QAction*>("ReceiveButton")->trigger();
    QCOMPARE(window.findChild<QAction*>("ReceiveButton")->text(), QString("&Receive"));
  }
};

TV_REGISTER_QTEST(DemoLineWindowTest)

}  // namespace tv

#include "demo_line_test.moc"
