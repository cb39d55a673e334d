// What the window tests start from: a fresh program folder with its work
// folders and a TV.INI that names no port (so the first activation opens no
// Preferences), and the main window shown on it.
#pragma once

#include <QAction>
#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <functional>
#include <memory>

#include "app/fax_status_display.h"
#include "app/main_screen.h"
#include "app/send_fax_form.h"
#include "platform/app_settings.h"
#include "platform/paths.h"
#include "tests/app/modal_driver.h"
#include "tests/support/temp_dir.h"

namespace tv::test {

class WindowHome : public TempDir {
 public:
  // `configure` may change the settings before they are written.
  explicit WindowHome(const std::function<void(AppSettings&)>& configure = {}) {
    InitProgramFolder(Path());
    MakeWorkFolders();
    AppSettings settings;
    settings.ComPort = 0;
    if (configure) configure(settings);
    SaveSettings(settings, SettingsFilePath());
  }
};

// A new main window on the current program folder, shown and on screen.
inline std::unique_ptr<TMainScreen> OpenMainWindow() {
  auto window = std::make_unique<TMainScreen>();
  window->show();
  if (!QTest::qWaitForWindowExposed(window.get())) qFatal("the main window did not appear");
  QTest::qWait(50);
  return window;
}

// Sends the current row of the outgoing list as a user does: "&Send", then
// "&Send Fax Now" in the send dialog; answers the message at the end and
// closes the dialog. `watch` sees the status display every 20 ms while it is
// up. Returns the message.
inline QString SendFromOutgoingList(TMainScreen& window, int timeoutMs,
                                    std::function<void(TStandardFaxDisplay*)> watch = {}) {
  QString message;
  QTimer watcher;
  QObject::connect(&watcher, &QTimer::timeout, [&window, &watch] {
    auto* display = window.findChild<TStandardFaxDisplay*>();
    if (watch && display && display->isVisible()) watch(display);
  });
  watcher.start(20);
  WhenModal<TSendFaxForm>([](TSendFaxForm* form) { form->findChild<QPushButton*>("SendFaxButton")->click(); });
  WhenModal<QMessageBox>(
      [&message](QMessageBox* box) {
        message = box->text();
        box->button(QMessageBox::Ok)->click();
        QTimer::singleShot(0, [] {
          if (auto* form = qobject_cast<TSendFaxForm*>(QApplication::activeModalWidget())) {
            form->findChild<QPushButton*>("CloseButton")->click();
          }
        });
      },
      timeoutMs);
  window.findChild<QAction*>("SendButton")->trigger();
  return message;
}

}  // namespace tv::test
