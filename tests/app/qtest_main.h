// Several QtTest classes in one test program: each test file registers its
// class with TV_REGISTER_QTEST and the program's main runs them all.
#pragma once

#include <QObject>
#include <functional>
#include <memory>
#include <vector>

namespace tv::test {

using QtTestFactory = std::function<std::unique_ptr<QObject>()>;

inline std::vector<QtTestFactory>& QtTests() {
  static std::vector<QtTestFactory> tests;
  return tests;
}

struct QtTestRegistration {
  explicit QtTestRegistration(QtTestFactory factory) { QtTests().push_back(std::move(factory)); }
};

}  // namespace tv::test

#define TV_REGISTER_QTEST(Class) \
  static const tv::test::QtTestRegistration registration##Class([] { return std::make_unique<Class>(); });
