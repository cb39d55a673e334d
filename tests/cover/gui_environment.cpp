// Drawing text needs the fonts of a Qt application; the tests run on the
// offscreen platform, so no display is involved.
#include <QGuiApplication>
#include <gtest/gtest.h>

namespace {

class GuiEnvironment : public testing::Environment {
 public:
  void SetUp() override {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    app_ = std::make_unique<QGuiApplication>(argc_, argv_);
  }
  void TearDown() override { app_.reset(); }

 private:
  int argc_ = 1;
  char name_[12] = "cover_tests";
  char* argv_[2] = {name_, nullptr};
  std::unique_ptr<QGuiApplication> app_;
};

const auto* const registered = testing::AddGlobalTestEnvironment(new GuiEnvironment);

}  // namespace
