#include "tests/app/qtest_main.h"

#include <QApplication>
#include <QTest>

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  int failures = 0;
  for (const auto& factory : tv::test::QtTests()) {
    const std::unique_ptr<QObject> test = factory();
    failures += QTest::qExec(test.get(), argc, argv);
  }
  return failures == 0 ? 0 : 1;
}
