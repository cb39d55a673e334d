// What the window tests start from: a fresh program folder with its work
// folders and a TV.INI that names no port (so the first activation opens no
// Preferences), and the main window shown on it.
#pragma once

#include <QTest>
#include <functional>
#include <memory>

#include "app/main_screen.h"
#include "platform/app_settings.h"
#include "platform/paths.h"
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

}  // namespace tv::test
