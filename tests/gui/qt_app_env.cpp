// The GUI suite needs a QGuiApplication (fonts, the raster engine's glyph cache). It is made once
// for the whole program, after the test main has chosen the offscreen platform.
#include <gtest/gtest.h>

#include <QGuiApplication>

#include <memory>

namespace {

class QtAppEnvironment : public testing::Environment {
 public:
  void SetUp() override {
    static int argc = 1;
    static char name[] = "gui_tests";
    static char* argv[] = {name, nullptr};
    app_ = std::make_unique<QGuiApplication>(argc, argv);
  }
  void TearDown() override { app_.reset(); }

 private:
  std::unique_ptr<QGuiApplication> app_;
};

[[maybe_unused]] testing::Environment* const g_env = testing::AddGlobalTestEnvironment(new QtAppEnvironment);

}  // namespace
