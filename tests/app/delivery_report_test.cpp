// The delivery report of a send from the outgoing list over the demo line
// (its fast form: the line's speed is not the point): written as the setting
// says, read back with pdftotext, its hash checked by Qt's own SHA-256, and
// opened from the row.
#include <QAction>
#include <QCryptographicHash>
#include <QDesktopServices>
#include <QFile>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>
#include <QUrl>

#include "app/main_screen.h"
#include "app/send_fax_form.h"
#include "line/demo_line.h"
#include "platform/ini_file.h"
#include "store/fax_tables.h"
#include "tests/app/modal_driver.h"
#include "tests/app/qtest_main.h"
#include "tests/app/window_home.h"
#include "tests/support/fax_pages.h"

namespace tv {

namespace {

QString PdfText(const std::string& pdf) {
  QProcess pdftotext;
  pdftotext.start("pdftotext", {"-layout", QString::fromStdString(pdf), "-"});
  pdftotext.waitForFinished(10000);
  return QString::fromUtf8(pdftotext.readAllStandardOutput());
}

QString Sha256(const std::string& file) {
  QFile in(QString::fromStdString(file));
  if (!in.open(QIODevice::ReadOnly)) return {};
  return QCryptographicHash::hash(in.readAll(), QCryptographicHash::Sha256).toHex();
}

// Presses Send in the send dialog, answers the message at the end and
// closes the dialog; returns the message.
QString SendCurrentFax(TMainScreen& window) {
  QString result;
  test::WhenModal<TSendFaxForm>([](TSendFaxForm* form) { form->findChild<QPushButton*>("SendFaxButton")->click(); });
  test::WhenModal<QMessageBox>(
      [&result](QMessageBox* box) {
        result = box->text();
        box->button(QMessageBox::Ok)->click();
        QTimer::singleShot(0, [] {
          if (auto* form = qobject_cast<TSendFaxForm*>(QApplication::activeModalWidget()))
            form->findChild<QPushButton*>("CloseButton")->click();
        });
      },
      90000);
  window.findChild<QAction*>("SendButton")->trigger();
  return result;
}

}  // namespace

class DeliveryReportTest : public QObject {
  Q_OBJECT

 public slots:
  // Stands in for the desktop's PDF viewer.
  void OpenUrl(const QUrl& url) { opened_ = url; }

 private:
  std::unique_ptr<test::WindowHome> home_;
  QUrl opened_;

  std::string Report() const { return home_->File("Reports/FAX00000.pdf"); }
  std::string Body() const { return home_->File("SEND/FAX00000.APF"); }

 private slots:
  void init() {
    home_ = std::make_unique<test::WindowHome>([](AppSettings& s) {
      s.FaxClass = 1;
      s.DialAttempts = 1;
    });
    InstallDemoLine();
    MapComDevice(SettingsFilePath(), 1, kDemoFastDevice);
    home_->Write("SEND/FAX00000.APF", test::FaxFileBytes("First page of the proof\fSecond page"));
    TXbase table;
    QVERIFY(OpenOutgoingTable(table, home_->Path()));
    table.NewRecord();
    table.SetField("RECIPIENT", std::string("Ann Example"));
    table.SetField("PHONE", std::string("5550100"));
    table.SetField("FAXDOC", std::string("FAX00000.APF"));
    table.Append();
    QDesktopServices::setUrlHandler("file", this, "OpenUrl");
  }
  void cleanup() {
    QDesktopServices::unsetUrlHandler("file");
    home_.reset();
  }

  void reportAfterEverySend() {
    auto window = test::OpenMainWindow();
    QVERIFY(!window->findChild<QAction*>("mnuDeliveryReport")->isEnabled());
    QCOMPARE(SendCurrentFax(*window), QString("Fax sent successfully"));

    const QString text = PdfText(Report());
    for (const char* line : {"Recipient +Ann Example", "Fax number +5550100", "Remote station ID +\\S",
                             "Pages sent +2 of 2", "Rate +\\d+ bit/s", "Coding +MMR", "Error correction \\(ECM\\) +on",
                             "Page results +1 MCF, 2 MCF", "Result +Sent"}) {
      QVERIFY2(text.contains(QRegularExpression(line)), qPrintable(QString(line) + " in:\n" + text));
    }
    QVERIFY2(text.contains(QRegularExpression("SHA-256 of FAX00000.APF +" + Sha256(Body()))), qPrintable(text));

    QVERIFY(window->findChild<QAction*>("mnuDeliveryReport")->isEnabled());
    window->findChild<QAction*>("mnuDeliveryReport")->trigger();
    QCOMPARE(opened_, QUrl::fromLocalFile(QString::fromStdString(Report())));
  }

  // Only on failure: a busy line gives a report of the failure, and the
  // send that then goes through takes it away.
  void reportOnlyOnFailure() {
    IniFile ini(SettingsFilePath());
    ini.WriteString("Export", "DeliveryReport", "OnFailure");
    ini.WriteString("Demo", "Line", "busy");
    ini.Save();
    auto window = test::OpenMainWindow();
    QVERIFY(SendCurrentFax(*window).startsWith("Fax was not sent."));
    const QString text = PdfText(Report());
    QVERIFY2(text.contains(QRegularExpression("Pages sent +0 of")), qPrintable(text));
    QVERIFY2(!text.contains(QRegularExpression("Result +Sent")), qPrintable(text));

    ini.WriteString("Demo", "Line", "answers");
    ini.Save();
    QCOMPARE(SendCurrentFax(*window), QString("Fax sent successfully"));
    QVERIFY(!QFile::exists(QString::fromStdString(Report())));
    QVERIFY(!window->findChild<QAction*>("mnuDeliveryReport")->isEnabled());
  }
};

TV_REGISTER_QTEST(DeliveryReportTest)

}  // namespace tv

#include "delivery_report_test.moc"
