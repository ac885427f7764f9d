// The player suite needs a QApplication (the display is a widget, and the engine hands its
// threads' ends to the main thread through the event loop). Made once for the whole program,
// after the test main has chosen the offscreen platform.
#include <gtest/gtest.h>

#include <QApplication>

#include <memory>

namespace {

class QtAppEnvironment : public testing::Environment {
 public:
  void SetUp() override {
    static int argc = 1;
    static char name[] = "player_tests";
    static char* argv[] = {name, nullptr};
    app_ = std::make_unique<QApplication>(argc, argv);
  }
  void TearDown() override { app_.reset(); }

 private:
  std::unique_ptr<QApplication> app_;
};

[[maybe_unused]] testing::Environment* const g_env = testing::AddGlobalTestEnvironment(new QtAppEnvironment);

}  // namespace

// Under ThreadSanitizer: Qt is not built with it, so the sanitizer cannot see Qt's own locks.
// Qt's painting hands work to its thread pool, and the copies those threads make of Qt's own
// buffers look like races; a call posted to the main thread is built on the posting thread and
// read on the main thread behind Qt's event-queue lock, and that read looks like a race too.
// Only those are dropped: reports from calls made inside the Qt libraries, and reports one of
// whose two accesses is the building of a posted call (inside QMetaObject::invokeMethod, where
// nothing else happens). Every other access made by our own code, including everything a posted
// call goes on to do, is still checked.
#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
extern "C" const char* __tsan_default_suppressions() {
  return "called_from_lib:libQt6Core.so.6\n"
         "called_from_lib:libQt6Gui.so.6\n"
         "called_from_lib:libQt6Widgets.so.6\n"
         "race:QMetaObject::invokeMethod\n";
}
#endif
#endif
