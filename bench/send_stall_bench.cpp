// How long the window's event loop stalls while a fax goes out: the main
// window sends a three-page fax through the virtual fax line from its send
// dialog, as a user would, while a 2 ms timer measures the gaps between its
// turns. The fax engine runs in its own threads, so the window should never
// be held for long (target: below 50 ms).
//
//   send_stall_bench            prints the longest stall, the 99th percentile
//                               and the call's length
#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <vector>

#include "app/main_screen.h"
#include "ui/qt_ui_thread.h"
#include "app/send_fax_form.h"
#include "image/fax_converter.h"
#include "platform/app_settings.h"
#include "platform/paths.h"
#include "store/fax_tables.h"
#include "tests/app/modal_driver.h"
#include "tests/support/temp_dir.h"
#include "tests/support/virtual_line.h"

namespace {

constexpr int kTickMs = 2;

// Gaps between the turns of the event loop while it runs.
class StallMeter {
 public:
  StallMeter() {
    timer_.setTimerType(Qt::PreciseTimer);
    QObject::connect(&timer_, &QTimer::timeout, [this] {
      gapsMs_.push_back(static_cast<double>(clock_.nsecsElapsed()) / 1e6);
      clock_.restart();
    });
  }
  void Start() {
    clock_.start();
    timer_.start(kTickMs);
  }
  void Stop() { timer_.stop(); }
  // The longest gap beyond the timer's own interval, and the 99th percentile.
  std::pair<double, double> Stalls() {
    if (gapsMs_.empty()) return {0, 0};
    std::sort(gapsMs_.begin(), gapsMs_.end());
    const double longest = gapsMs_.back() - kTickMs;
    const double p99 = gapsMs_[gapsMs_.size() * 99 / 100] - kTickMs;
    return {std::max(0.0, longest), std::max(0.0, p99)};
  }
  std::size_t Turns() const { return gapsMs_.size(); }

 private:
  QTimer timer_;
  QElapsedTimer clock_;
  std::vector<double> gapsMs_;
};

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
  }
  QApplication app(argc, argv);
  tv::QtUiThread uiThread;
  tv::UiThread::Install(&uiThread);

  tv::test::TempDir home;
  tv::InitProgramFolder(home.Path());
  tv::MakeWorkFolders();
  tv::AppSettings settings;
  settings.ComPort = 0;
  settings.FaxClass = 1;
  settings.MaximumBPS = 14400;
  settings.DialAttempts = 1;
  settings.Fax = "BENCH";
  tv::SaveSettings(settings, tv::SettingsFilePath());
  tv::MapComDevice(tv::SettingsFilePath(), 1, home.File("modem"));

  {
    std::ofstream text(home.File("letter.txt"));
    for (int page = 1; page <= 3; ++page) {
      for (int line = 1; line <= 50; ++line) text << "Page " << page << ", line " << line << " of the letter.\n";
      text << "\f";
    }
  }
  tv::FaxConverter converter(tv::MakeTextInput(), "TXT");
  if (converter.Convert(home.File("letter.txt"), home.File("SEND/FAX00000.APF")) != 0) return 1;
  {
    tv::TXbase table;
    if (!tv::OpenOutgoingTable(table, home.Path())) return 1;
    table.NewRecord();
    table.SetField("SUBJECT", std::string("Bench"));
    table.SetField("PHONE", std::string("5550100"));
    table.SetField("FAXDOC", std::string("FAX00000.APF"));
    table.Append();
  }

  tv::test::VirtualLine line(home.File("modem"), {"--answer", home.File("rx.tif"), "--timeout", "300"});
  if (!line.WaitReady()) return 1;

  tv::TMainScreen window;
  window.show();
  StallMeter meter;
  QElapsedTimer call;
  qint64 callMs = 0;
  QString outcome;
  tv::test::WhenModal<tv::TSendFaxForm>([&](tv::TSendFaxForm* form) {
    meter.Start();
    call.start();
    form->findChild<QPushButton*>("SendFaxButton")->click();
  });
  tv::test::WhenModal<QMessageBox>(
      [&](QMessageBox* box) {
        meter.Stop();
        callMs = call.elapsed();
        outcome = box->text();
        box->button(QMessageBox::Ok)->click();
        QTimer::singleShot(0, [] {
          if (auto* form = qobject_cast<tv::TSendFaxForm*>(QApplication::activeModalWidget())) {
            form->findChild<QPushButton*>("CloseButton")->click();
          }
        });
      },
      300000);
  QTimer::singleShot(500, [&] { window.findChild<QAction*>("SendButton")->trigger(); });
  QTimer::singleShot(0, [&] {
    QTimer* quit = new QTimer(&window);
    QObject::connect(quit, &QTimer::timeout, [&] {
      if (!outcome.isEmpty() && !QApplication::activeModalWidget()) QApplication::quit();
    });
    quit->start(100);
  });
  QApplication::exec();

  const auto [longest, p99] = meter.Stalls();
  std::printf("%s\nevent-loop turns %zu over %.1f s of sending; longest stall %.1f ms, 99th percentile %.1f ms\n",
              outcome.toStdString().c_str(), meter.Turns(), static_cast<double>(callMs) / 1000.0, longest,
              p99);
  tv::UiThread::Install(nullptr);
  return outcome == "Fax sent successfully" ? 0 : 1;
}
