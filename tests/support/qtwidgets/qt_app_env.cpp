// The widget suites (kit, app) need a QApplication. Made once for the whole program, after the
// test main has chosen the offscreen platform.
#include <gtest/gtest.h>

#include <QApplication>

#include <memory>

namespace {

class QtWidgetsEnvironment : public testing::Environment {
 public:
  void SetUp() override {
    static int argc = 1;
    static char name[] = "tavelo_tests";
    static char* argv[] = {name, nullptr};
    app_ = std::make_unique<QApplication>(argc, argv);
  }
  void TearDown() override { app_.reset(); }

 private:
  std::unique_ptr<QApplication> app_;
};

[[maybe_unused]] testing::Environment* const g_env = testing::AddGlobalTestEnvironment(new QtWidgetsEnvironment);

}  // namespace
