#include "app/printer_handover.h"

#include <unistd.h>

#include <QTest>
#include <set>

#include "platform/ini_file.h"
#include "tests/app/qtest_main.h"
#include "tests/support/fax_pages.h"
#include "tests/support/temp_dir.h"

namespace tv {

class PrinterHandoverTest : public QObject {
  Q_OBJECT

 private slots:
  void pairsBecomeRecordsAndDescriptionsGo() {
    const std::string apf = test::FaxFileBytes("apf");
    test::TempDir send;
    send.Write("REPORT.APF", apf);
    send.Write("REPORT.ZPD", "555 0100\r\nAnn Smith\r\nQuarterly figures\r\n");
    send.Write("short.apf", apf);
    send.Write("short.zpd", "555 0199\n");  // fewer than three lines
    send.Write("orphan.zpd", "no fax file beside me\n");

    std::vector<PrinterDriverFax> added;
    const PrinterDriverIntake intake = ProcessExtraPDFaxFiles(send.Path(), [&](const PrinterDriverFax& fax) {
      added.push_back(fax);
      return std::string();
    });
    QCOMPARE(intake.found, 3);
    QVERIFY(intake.failures.empty());
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

  // A record that cannot be written leaves the pair whole, under the names
  // it came with, and says why.
  void failedAppendKeepsThePairForNextTime() {
    const std::string apf = test::FaxFileBytes("apf");
    test::TempDir send;
    for (const char* name : {"A", "A rather long name", "Müller Ω"}) {
      send.Write(std::string(name) + ".APF", apf);
      send.Write(std::string(name) + ".ZPD", "1\n2\n3\n");
    }
    const PrinterDriverIntake intake =
        ProcessExtraPDFaxFiles(send.Path(), [](const PrinterDriverFax&) { return std::string("disk full"); });
    QCOMPARE(intake.found, 3);
    QCOMPARE(int(intake.failures.size()), 3);
    for (const PrinterDriverFailure& failure : intake.failures) QCOMPARE(failure.reason, std::string("disk full"));
    QCOMPARE(int(std::distance(std::filesystem::directory_iterator(send.Path()), {})), 6);  // no FAX name left behind
    for (const char* name : {"A", "A rather long name", "Müller Ω"}) {
      QVERIFY(std::filesystem::exists(send.File(std::string(name) + ".ZPD")));
      QVERIFY(send.Read(std::string(name) + ".APF") == apf);
    }
  }

  void longNamesAreRenamedAndLinksIgnored() {
    const std::string apf = test::FaxFileBytes("apf");
    const std::string greek = test::FaxFileBytes("greek");
    test::TempDir outside;
    outside.Write("secret.APF", test::FaxFileBytes("not yours"));
    outside.Write("secret.ZPD", "1\n2\n3\n");
    test::TempDir send;
    send.Write("Annual report 2026.APF", apf);
    send.Write("Annual report 2026.ZPD", "1\n2\n3\n");
    QCOMPARE(symlink(outside.File("secret.APF").c_str(), send.File("LINK.APF").c_str()), 0);
    QCOMPARE(symlink(outside.File("secret.ZPD").c_str(), send.File("LINK.ZPD").c_str()), 0);
    send.Write("OTHER.ZPD", "1\n2\n3\n");
    QCOMPARE(symlink(outside.File("secret.APF").c_str(), send.File("OTHER.APF").c_str()), 0);

    send.Write("Müller Ω.APF", greek);  // a name the tables' code page cannot spell
    send.Write("Müller Ω.ZPD", "1\n2\n3\n");
    std::vector<PrinterDriverFax> added;
    ProcessExtraPDFaxFiles(send.Path(), [&](const PrinterDriverFax& fax) {
      added.push_back(fax);
      return std::string();
    });
    QCOMPARE(int(added.size()), 2);
    std::sort(added.begin(), added.end(), [](auto& a, auto& b) { return a.apfName < b.apfName; });
    QCOMPARE(added[0].apfName, std::string("FAX00000.APF"));
    QCOMPARE(added[1].apfName, std::string("FAX00001.APF"));
    const std::set<std::string> contents{send.Read("FAX00000.APF"), send.Read("FAX00001.APF")};
    QVERIFY(contents == (std::set<std::string>{apf, greek}));
    QVERIFY(!std::filesystem::exists(send.File("Annual report 2026.APF")));
    QVERIFY(!std::filesystem::exists(send.File("Müller Ω.APF")));
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
