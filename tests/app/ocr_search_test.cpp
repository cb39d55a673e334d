// The text of a received fax: the demo line's welcome fax comes in, its
// words are recognised in the background while receive mode takes the next
// call, and the search box finds the fax by a word from its body.
#include <QAction>
#include <QLabel>
#include <QLineEdit>
#include <QRegularExpression>
#include <QTabBar>
#include <QTableView>
#include <QTest>
#include <set>

#include "app/main_screen.h"
#include "export/fax_ocr.h"
#include "line/demo_line.h"
#include "platform/paths.h"
#include "tests/app/qtest_main.h"
#include "tests/app/received_rows.h"
#include "tests/app/window_home.h"

namespace tv {

extern const char* const kWelcomeFaxText;

namespace {

std::vector<QString> Words(const QString& text) {
  std::vector<QString> words;
  for (const QString& word : text.split(QRegularExpression("[^A-Za-z]+"), Qt::SkipEmptyParts)) words.push_back(word);
  return words;
}

void Search(TMainScreen& window, const QString& text) {
  auto* edit = window.findChild<QLineEdit*>("SearchEdit");
  edit->setText(text);
  QTest::keyClick(edit, Qt::Key_Return);
}

}  // namespace

class OcrSearchTest : public QObject {
  Q_OBJECT

 private slots:
  void receivedFaxIsFoundByItsText() {
    test::WindowHome home([](AppSettings& s) { s.FaxClass = 1; });
    InstallDemoLine();
    MapComDevice(SettingsFilePath(), 1, kDemoFastDevice);
    auto window = test::OpenMainWindow();
    window->findChild<QTabBar*>("TabSet1")->setCurrentIndex(1);
    auto* receive = window->findChild<QAction*>("ReceiveButton");
    receive->trigger();
    QTRY_COMPARE_WITH_TIMEOUT(window->RecXbase().RecordCount(), 1u, 90000);
    const std::string fax = home.File("Receive/" + test::ReceivedRows(window->RecXbase()).front().file);

    // Recognising takes its time, and receive mode answers meanwhile: the
    // demo line calls again when the port opens again, and that fax is in
    // before the first one's text.
    receive->trigger();
    receive->trigger();
    QTRY_COMPARE_WITH_TIMEOUT(window->RecXbase().RecordCount(), 2u, 90000);
    QVERIFY(LoadOcr(OcrFilePath(fax)).empty());
    receive->trigger();
    for (const auto& row : test::ReceivedRows(window->RecXbase())) {
      QTRY_VERIFY_WITH_TIMEOUT(!LoadOcr(OcrFilePath(home.File("Receive/" + row.file))).empty(), 120000);
    }

    // Nine in ten of the words sent are recognised.
    const std::vector<QString> recognised = Words(QString::fromStdString(OcrText(LoadOcr(OcrFilePath(fax)))));
    const std::set<QString> known(recognised.begin(), recognised.end());
    const std::vector<QString> sent = Words(kWelcomeFaxText);
    const auto found = std::count_if(sent.begin(), sent.end(), [&](const QString& w) { return known.count(w) > 0; });
    QVERIFY2(found * 10 >= static_cast<long>(sent.size()) * 9,
             qPrintable(QString("%1 of %2 words").arg(found).arg(sent.size())));

    // By words of their body, and by their fields; a word they lack finds nothing.
    auto* grid = window->findChild<QTableView*>("RecFaxGrid");
    for (const QString& search : {QString("phone BOOK"), QString(kDemoFarEndIdent)}) {
      grid->clearSelection();
      Search(*window, search);
      QCOMPARE(grid->selectionModel()->selectedRows().size(), 2);
    }
    grid->clearSelection();
    Search(*window, "phone xylophone");
    QVERIFY(grid->selectionModel()->selectedRows().isEmpty());
    QVERIFY(window->findChild<QLabel*>("StatusPanel")->text().startsWith("No fax holds"));
  }
};

TV_REGISTER_QTEST(OcrSearchTest)

}  // namespace tv

#include "ocr_search_test.moc"
