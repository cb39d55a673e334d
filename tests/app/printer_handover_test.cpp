#include "app/printer_handover.h"

#include <QTest>
#include <unistd.h>

#include "platform/ini_file.h"
#include "tests/app/qtest_main.h"
#include "tests/support/temp_dir.h"

namespace tv {

class PrinterHandoverTest : public QObject {
  Q_OBJECT

 private slots:
  void pairsBecomeRecordsAndDescriptionsGo() {
    test::TempDir send;
    send.Write("REPORT.APF", "apf");
    send.Write("REPORT.ZPD", "555 0100\r\nAnn Smith\r\nQuarterly figures\r\n");
    send.Write("short.apf", "apf");
    send.Write("short.zpd", "555 0199\n");  // fewer than three lines
    send.Write("orphan.zpd", "no fax file beside me\n");

    std::vector<PrinterDriverFax> added;
    const int found = ProcessExtraPDFaxFiles(send.Path(), [&](const PrinterDriverFax& fax) {
      added.push_back(fax);
      return true;
    });
    QCOMPARE(found, 3);
    QCOMPARE(int(added.size()), 2);
    std::sort(added.begin(), added.end(), [](auto& a, auto& b) { return a.apfName < b.apfName; });
    QCOMPARE(added[0].apfName, std::string("REPORT.APF"));
    QCOMPARE(added[0].phone, std::string("555 0100"));
    QCOMPARE(added[0].recipient, std::string("Ann Smith"));
    QCOMPARE(added[0].subject, std::string("Quarterly figures"));
    QCOMPARE(added[1].apfName, std::string("short.apf"));
    QCOMPARE(added[1].phone, std::string("555 0199"));
    QCOMPARE(added[1].recipient, std::string());
    QVERIFY(!std::filesystem::exists(send.File("REPORT.ZPD")));
    QVERIFY(!std::filesystem::exists(send.File("short.zpd")));
    QVERIFY(std::filesystem::exists(send.File("orphan.zpd")));
  }

  void failedAppendKeepsThePairForNextTime() {
    test::TempDir send;
    send.Write("A.APF", "apf");
    send.Write("A.ZPD", "1\n2\n3\n");
    QCOMPARE(ProcessExtraPDFaxFiles(send.Path(), [](const PrinterDriverFax&) { return false; }), 1);
    QVERIFY(std::filesystem::exists(send.File("A.ZPD")));
    QVERIFY(std::filesystem::exists(send.File("A.APF")));
  }

  void longNamesAreRenamedAndLinksIgnored() {
    test::TempDir outside;
    outside.Write("secret.APF", "not yours");
    outside.Write("secret.ZPD", "1\n2\n3\n");
    test::TempDir send;
    send.Write("Annual report 2026.APF", "apf");
    send.Write("Annual report 2026.ZPD", "1\n2\n3\n");
    QCOMPARE(symlink(outside.File("secret.APF").c_str(), send.File("LINK.APF").c_str()), 0);
    QCOMPARE(symlink(outside.File("secret.ZPD").c_str(), send.File("LINK.ZPD").c_str()), 0);
    send.Write("OTHER.ZPD", "1\n2\n3\n");
    QCOMPARE(symlink(outside.File("secret.APF").c_str(), send.File("OTHER.APF").c_str()), 0);

    std::vector<PrinterDriverFax> added;
    ProcessExtraPDFaxFiles(send.Path(), [&](const PrinterDriverFax& fax) {
      added.push_back(fax);
      return true;
    });
    QCOMPARE(int(added.size()), 1);
    QCOMPARE(added[0].apfName, std::string("FAX00000.APF"));
    QCOMPARE(send.Read("FAX00000.APF"), std::string("apf"));
    QVERIFY(std::filesystem::exists(outside.File("secret.ZPD")));
    QVERIFY(std::filesystem::exists(send.File("OTHER.ZPD")));
  }

  void handOverFileNamesTheSendFolder() {
    test::TempDir dir;
    WriteZPXPDINI(dir.File("TVPD.INI"), "/home/ann/fax/SEND/", "/usr/bin/tessivane");
    const IniFile ini(dir.File("TVPD.INI"));
    QCOMPARE(ini.ReadString("Location", "TVOutPath", ""), std::string("/home/ann/fax/SEND/"));
    QCOMPARE(ini.ReadString("Location", "TVExecutable", ""), std::string("/usr/bin/tessivane"));
  }
};

TV_REGISTER_QTEST(PrinterHandoverTest)

}  // namespace tv

#include "printer_handover_test.moc"
