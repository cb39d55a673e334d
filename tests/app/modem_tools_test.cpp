// The modem tools as Preferences opens them: Find Modem among the six ports,
// Check Fax Class on the virtual line's Class 1 modem and on scripted
// Class 2 and 2.0 modems, and Modem Reset.
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>

#include "app/modem_tools.h"
#include "app/preferences.h"
#include "line/sip_line.h"
#include "platform/app_settings.h"
#include "platform/ini_file.h"
#include "platform/paths.h"
#include "tests/app/modal_driver.h"
#include "tests/app/qtest_main.h"
#include "tests/fax/scripted_modem.h"
#include "tests/support/temp_dir.h"
#include "tests/support/virtual_line.h"
#include "ui/widgets.h"
#include "ui/window_helpers.h"

namespace tv {

class ModemToolsTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<test::TempDir> home_;
  std::unique_ptr<test::VirtualLine> line_;

  std::string Modem() const { return home_->File("modem"); }

  // COM `modemPort` is the given device; the other five name no device.
  void MapPorts(int modemPort, const std::string& device) {
    for (int n = 1; n <= 6; ++n) {
      MapComDevice(SettingsFilePath(), n, n == modemPort ? device : "/dev/tessivane-no-port-" + std::to_string(n));
    }
  }

  void StartLine() {
    line_ = std::make_unique<test::VirtualLine>(Modem(), std::vector<std::string>{"--answer", home_->File("rx.tif")});
    QVERIFY(line_->WaitReady());
  }

  // Opens Preferences, clicks one of its tool buttons and hands the tool's
  // dialog, once it has finished its work, to `inspect`; the question that
  // may follow is answered Yes. Returns the Preferences' choices afterwards.
  template <class Tool>
  std::pair<int, int> RunFromPreferences(const char* button, std::function<void(Tool*)> inspect,
                                         QString* question = nullptr) {
    std::pair<int, int> chosen{-1, -1};
    TPreferences preferences;
    preferences.FillFrom(Settings());
    preferences.show();
    // The tool works while it is on screen; it is done when its Ok shows.
    auto* poll = new QTimer(&preferences);
    connect(poll, &QTimer::timeout, poll, [poll, inspect, question] {
      auto* tool = qobject_cast<Tool*>(QApplication::activeModalWidget());
      auto* ok = tool ? tool->template findChild<QPushButton*>("OkButton") : nullptr;
      if (!ok || !ok->isVisible()) return;
      poll->stop();
      inspect(tool);
      test::AnswerMessageBox(QMessageBox::Yes, question);
      ok->click();
    });
    poll->start(20);
    preferences.findChild<QPushButton*>(button)->click();
    chosen = {preferences.findChild<RadioGroup*>("ComPort")->ItemIndex(),
              preferences.findChild<RadioGroup*>("FaxClass")->ItemIndex()};
    return chosen;
  }

 private slots:
  void init() {
    home_ = std::make_unique<test::TempDir>();
    InitProgramFolder(home_->Path());
    AppSettings s;
    s.ComPort = 0;
    SaveSettings(s, SettingsFilePath());
    LoadAppSettings();
  }
  void cleanup() {
    line_.reset();
    home_.reset();
  }

  void findModemFindsTheLineAmongThePorts() {
    StartLine();
    MapPorts(3, Modem());
    // A SIP line is listed with its account, not probed.
    MapComDevice(SettingsFilePath(), 2, kSipDevice);
    IniFile ini(SettingsFilePath());
    ini.WriteString("SIP", "Account", "sip:tess@fax.example.org");
    ini.Save();
    QStringList labels;
    QString question;
    const auto [port, faxClass] = RunFromPreferences<TFindModemForm>(
        "FindModemButton",
        [&labels](TFindModemForm* tool) {
          for (int n = 1; n <= 6; ++n) labels << tool->findChild<QLabel*>(QString("ComLabel%1").arg(n))->text();
          labels << tool->findChild<QLabel*>("ResultLabel")->text() << tool->windowTitle();
        },
        &question);
    QCOMPARE(labels[0], QString("Com 1: Port does not exist"));
    QCOMPARE(labels[1], QString("Com 2: SIP line (tess@fax.example.org)"));
    QVERIFY2(labels[2].startsWith("Com 3: MODEM"), qPrintable(labels[2]));
    QCOMPARE(labels[6], QString("A modem was found on Com Port 3. We suggest setting the Port as Com 3."));
    QCOMPARE(labels[7], QString("Find Modem"));
    QCOMPARE(question, QString("Set Com Port to Com 3"));
    QCOMPARE(port, 2);
  }

  void checkFaxClassOnTheLineAndOnScriptedModems() {
    StartLine();
    MapPorts(1, Modem());
    QStringList labels;
    auto readLabels = [&labels](TCheckFaxClassForm* tool) {
      labels.clear();
      for (const char* name : {"Class1Label", "Class2Label", "Class20Label", "StatusLabel"}) {
        labels << tool->findChild<QLabel*>(name)->text();
      }
    };
    QString question;
    auto chosen = RunFromPreferences<TCheckFaxClassForm>("CheckFaxClassButton", readLabels, &question);
    QCOMPARE(labels[0], QString("Class 1   : Supported (recommended)"));
    QCOMPARE(labels[1], QString("Class 2   : Not Supported"));
    QCOMPARE(labels[2], QString("Class 2.0 : Not Supported"));
    QCOMPARE(question, QString("Set fax class as Class 1 ?"));
    QCOMPARE(chosen.second, 1);
    line_.reset();

    // Modems the test scripts, opened by name as in-process devices.
    for (const auto& [classes, expected, index] :
         {std::tuple{"0,1,2", "Class 2   : Supported (recommended)", 2}, {"0,1,2,2.0", "Class 2.0 : Supported", 3}}) {
      test::ScriptedModem modem("simfax");
      modem.AnswerExactly("AT+FCLASS=?", std::string("\r\n") + classes + "\r\n\r\nOK\r\n");
      modem.Answer("AT", "\r\nOK\r\n");
      MapPorts(1, "simfax");
      question.clear();
      chosen = RunFromPreferences<TCheckFaxClassForm>("CheckFaxClassButton", readLabels, &question);
      QVERIFY2(labels.contains(expected), qPrintable(labels.join(" | ")));
      QCOMPARE(chosen.second, index);
    }
  }

  void modemResetSendsTheStringAndReports() {
    StartLine();
    MapPorts(1, Modem());
    Settings().ResetString = "&F";
    SaveAppSettings();
    QString status;
    QString sent;
    test::WhenModal<TResetModemForm>([&](TResetModemForm* dialog) {
      dialog->findChild<QPushButton*>("Helpbutton")->click();
      status = dialog->findChild<QLabel*>("Status")->text();
      sent = dialog->findChild<QLineEdit*>("ResetString")->text();
      dialog->findChild<QPushButton*>("OkButton")->click();
    });
    ShowModemResetDialog(nullptr);
    QCOMPARE(status, QString("Modem reset"));
    QCOMPARE(sent, QString("AT&F"));
    QCOMPARE(QString::fromStdString(LoadSettings(SettingsFilePath()).ResetString), QString("AT&F"));

    // A port that does not open is reported in the dialog's status.
    MapPorts(2, Modem());
    test::WhenModal<TResetModemForm>([&](TResetModemForm* dialog) {
      dialog->findChild<QPushButton*>("Helpbutton")->click();
      status = dialog->findChild<QLabel*>("Status")->text();
      dialog->findChild<QPushButton*>("OkButton")->click();
    });
    ShowModemResetDialog(nullptr);
    QVERIFY2(status.startsWith("Unable to open the specified communications port ( Com1 )"), qPrintable(status));
  }
};

TV_REGISTER_QTEST(ModemToolsTest)

}  // namespace tv

#include "modem_tools_test.moc"
