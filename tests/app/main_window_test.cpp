#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QCheckBox>
#include <QComboBox>
#include <QScreen>

#include "app/main_screen.h"
#include "app/preferences.h"
#include "ui/widgets.h"
#include "ui/window_helpers.h"
#include "platform/app_settings.h"
#include "platform/ini_file.h"
#include "platform/paths.h"
#include "tests/app/modal_driver.h"
#include "tests/app/qtest_main.h"
#include "tests/support/temp_dir.h"

namespace tv {

class MainWindowTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<test::TempDir> home_;

  std::string Home(const std::string& name = {}) const { return home_->Path() + name; }

  template <class T>
  static T* Child(QWidget* parent, const char* name) {
    T* child = parent->findChild<T*>(name);
    if (!child) qFatal("no child %s", name);
    return child;
  }

 private slots:
  void init() {
    home_ = std::make_unique<test::TempDir>();
    InitProgramFolder(home_->Path());
  }
  void cleanup() { home_.reset(); }

  void firstStartOpensPreferencesAndAcceptWritesEveryKey() {
    QString info;
    bool accepted = false;
    test::WhenModal<QMessageBox>([&](QMessageBox* box) {
      info = box->text();
      box->button(QMessageBox::Ok)->click();
      test::WhenModal<TPreferences>([&](TPreferences* prefs) {
        Child<QLineEdit>(prefs, "FaxNumber")->setText("+44 20 7946 0000");
        Child<RadioGroup>(prefs, "ComPort")->SetItemIndex(2);
        Child<QPushButton>(prefs, "Acceptbutton")->click();
        accepted = true;
      });
    });
    TMainScreen window;
    window.show();
    QVERIFY(QTest::qWaitFor([&] { return accepted; }, 10000));
    QVERIFY(info.startsWith("Please enter information about yourself"));

    const IniFile ini(SettingsFilePath());
    QCOMPARE(ini.ReadString("User", "Fax", ""), std::string("+44 20 7946 0000"));
    QCOMPARE(ini.ReadInteger("Modem", "ComPort", -1), 2);
    for (auto [section, key] : {std::pair{"User", "Name"}, {"User", "Voice"}, {"User", "Company"},
                                {"Dialing", "DialPrefix"}, {"Modem", "InitString"}, {"Dialing", "DialAttempts"},
                                {"Dialing", "RetryWait"}, {"Dialing", "BlindDial"}, {"Dialing", "IgnoreBusy"},
                                {"Modem", "FaxClass"}, {"Modem", "MaximumBPS"}, {"Modem", "ECM"}, {"Modem", "Coding"},
                                {"Dialing", "ToneOrPulse"},
                                {"Dialing", "Timeout"}, {"Resetting", "String"}, {"Resetting", "Always"},
                                {"Receive", "Wav"}, {"Receive", "AnswerOnRing"},
                                {"Receive", "StartReceiving"}, {"Hints", "On"}}) {
      QVERIFY2(ini.Find(section, key).has_value(), key);
    }
    QVERIFY(std::filesystem::is_directory(Home("SEND")));
    QVERIFY(std::filesystem::is_directory(Home("Receive")));
  }

  void cancelOnFirstStartWritesNothing() {
    bool cancelled = false;
    test::WhenModal<QMessageBox>([&](QMessageBox* box) {
      box->button(QMessageBox::Ok)->click();
      test::WhenModal<TPreferences>([&](TPreferences* prefs) {
        Child<QPushButton>(prefs, "Cancelbutton")->click();
        cancelled = true;
      });
    });
    {
      TMainScreen window;
      window.show();
      QVERIFY(QTest::qWaitFor([&] { return cancelled; }, 10000));
      QTest::qWait(50);
      QVERIFY(!IniFile(SettingsFilePath()).Find("Modem", "ComPort").has_value());
    }
  }

  void preferencesTransferRatesRingsStartAndRefusesBadNumbers() {
    AppSettings s;
    s.MaximumBPS = 19200;  // not in the list: shown and saved as 9600
    s.AnswerOnRing = 3;
    s.ComPort = 1;
    TPreferences prefs;
    prefs.FillFrom(s);
    QCOMPARE(Child<QComboBox>(&prefs, "TransferRate")->currentText(), QString("9600"));
    QCOMPARE(Child<RadioGroup>(&prefs, "AnswerOnRing")->ItemIndex(), 2);
    AppSettings back = s;
    QVERIFY(prefs.TakeInto(back));
    QCOMPARE(back.MaximumBPS, 9600);
    QCOMPARE(back.AnswerOnRing, 3);

    Child<QComboBox>(&prefs, "TransferRate")->setCurrentIndex(4);
    Child<QCheckBox>(&prefs, "StartReceivingCheck")->setChecked(true);
    QVERIFY(prefs.TakeInto(back));
    QCOMPARE(back.MaximumBPS, 12000);
    QVERIFY(back.StartReceiving);

    // A dial-attempts text that is no number stops the Accept and changes nothing.
    Child<QLineEdit>(&prefs, "DialAttempts")->setText("three");
    Child<QLineEdit>(&prefs, "FaxNumber")->setText("changed");
    QString message;
    test::AnswerMessageBox(QMessageBox::Ok, &message);
    AppSettings untouched = back;
    QVERIFY(!prefs.TakeInto(untouched));
    QCOMPARE(untouched.Fax, back.Fax);
    QVERIFY(message.contains("three"));
  }

  // The PDF paper and the delivery report go to [Export] of TV.INI on Accept.
  void preferencesKeepThePdfSettings() {
    LoadAppSettings();
    test::WhenModal<TPreferences>([](TPreferences* prefs) {
      Child<QComboBox>(prefs, "PdfPaper")->setCurrentText("Letter");
      Child<QComboBox>(prefs, "DeliveryReport")->setCurrentIndex(1);
      Child<QPushButton>(prefs, "Acceptbutton")->click();
    });
    QVERIFY(TPreferences::Edit(nullptr, false));
    const ExportSettings saved = LoadExportSettings(SettingsFilePath());
    QCOMPARE(saved.paper, TFaxPaper::fpLetter);
    QCOMPARE(saved.deliveryReport, DeliveryReportWhen::kOnFailure);
  }

  void placementIsRestoredAndClampedToTheScreen() {
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    // 600 pixels wide, its right edge 300 pixels beyond the screen's.
    const int right = screen.right() + 1 + 300;
    {
      AppSettings s;
      s.ComPort = 0;  // configured: no Preferences at first activation
      SaveSettings(s, SettingsFilePath());
      IniFile ini(SettingsFilePath());
      const int dpi = qRound(QGuiApplication::primaryScreen()->logicalDotsPerInch());
      WriteFormPlacement(ini, "TMainScreen", dpi > 96 ? dpi : 96,
                         {right - 600, 40, right, 440, false});
      ini.Save();
    }
    TMainScreen window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QVERIFY(QTest::qWaitFor([&] { return window.geometry().width() == 600; }, 3000));
    QCOMPARE(window.geometry().right() + 1, screen.right() + 1);
    QCOMPARE(window.geometry().top(), 40);
    QCOMPARE(window.geometry().height(), 400);
  }
};

TV_REGISTER_QTEST(MainWindowTest)

}  // namespace tv

#include "main_window_test.moc"
