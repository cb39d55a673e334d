#include "tests/app/qtest_main.h"

#include <QApplication>
#include <QTest>

#include "ui/qt_ui_thread.h"
#include "ui/window_helpers.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  // The engine's threads reach the windows through the UI thread, as in the program.
  tv::QtUiThread uiThread;
  tv::UiThread::Install(&uiThread);
  tv::ApplyProgramLook();
  int failures = 0;
  int run = 0;
  // TV_QTEST=Class runs only that class (the arguments then name its functions).
  const QByteArray only = qgetenv("TV_QTEST");
  for (const auto& factory : tv::test::QtTests()) {
    const std::unique_ptr<QObject> test = factory();
    const QByteArray name = test->metaObject()->className();
    if (!only.isEmpty() && !name.endsWith("::" + only) && name != only) continue;
    failures += QTest::qExec(test.get(), argc, argv);
    ++run;
  }
  if (run == 0) {
    qWarning("no test class named %s", only.constData());
    return 1;
  }
  tv::UiThread::Install(nullptr);
  return failures == 0 ? 0 : 1;
}
