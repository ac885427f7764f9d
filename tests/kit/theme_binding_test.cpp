// The theme binding over a stand-in library that records its calls, over no library, and over our
// own uxtheme.so drawing through the Qt style.
#include "kit/theme_binding.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QPainter>
#include <QWidget>

#include <filesystem>
#include <string>

#include "uxtheme/uxtheme.h"
#include "platform/dynlib/dynlib.h"

namespace tavelo {
namespace {

using platform::SetLibraryFolder;

// The stand-in's controls, found through the same handle the binding holds.
struct FakeTheme {
  explicit FakeTheme(const char* folder) {
    module = platform::LoadLibrary((std::string(folder) + "/uxtheme.so").c_str());
    set = reinterpret_cast<void (*)(int32_t, int32_t, int32_t)>(platform::GetProcAddress(module, "FakeThemeSet"));
    log = reinterpret_cast<int32_t (*)(char*, int32_t)>(platform::GetProcAddress(module, "FakeThemeLog"));
  }
  ~FakeTheme() { platform::FreeLibrary(module); }
  std::string Calls() {
    char buffer[4096];
    log(buffer, sizeof buffer);
    return buffer;
  }
  platform::HMODULE module = nullptr;
  void (*set)(int32_t, int32_t, int32_t) = nullptr;
  int32_t (*log)(char*, int32_t) = nullptr;
};

QImage White(int w = 40, int h = 20) {
  QImage image(w, h, QImage::Format_RGB32);
  image.fill(Qt::white);
  return image;
}

void Draw(QImage& image, const char16_t* cls, int32_t part, int32_t state) {
  QPainter p(&image);
  DrawThemedPart(nullptr, &p, QRect(0, 0, image.width(), image.height()), cls, part, state);
}

bool AllWhite(const QImage& image) {
  for (int y = 0; y < image.height(); ++y)
    for (int x = 0; x < image.width(); ++x)
      if (image.pixel(x, y) != qRgb(255, 255, 255)) return false;
  return true;
}

// Each test starts unbound, whatever bound a library earlier in the process (the picture buttons
// bind one when they paint).
class ThemeBinding : public testing::Test {
 protected:
  void SetUp() override { ForgetThemeLibrary(); }
  void TearDown() override {
    ForgetThemeLibrary();
    SetLibraryFolder("");
  }
};
using ThemeLibrary = ThemeBinding;

TEST_F(ThemeBinding, MissingLibraryDrawsNothingAndIsRetriedUntilItLoads) {
  const std::string empty = std::filesystem::temp_directory_path() / "tavelo-no-theme";
  std::filesystem::create_directories(empty);
  SetLibraryFolder(empty);
  EXPECT_FALSE(ThemesActive());
  QImage image = White();
  Draw(image, u"button", 1, 1);
  EXPECT_TRUE(AllWhite(image));

  // The library appears: the next use binds it.
  SetLibraryFolder(TAVELO_FAKE_UXTHEME_DIR);
  FakeTheme fake(TAVELO_FAKE_UXTHEME_DIR);
  ASSERT_NE(fake.log, nullptr);
  fake.Calls();
  EXPECT_TRUE(ThemesActive());
  EXPECT_EQ(fake.Calls(), "IsAppThemed\nIsThemeActive\n");
  SetLibraryFolder("");
}

TEST_F(ThemeBinding, StylesReportedOffMakeThemesInactive) {
  SetLibraryFolder(TAVELO_FAKE_UXTHEME_DIR);
  FakeTheme fake(TAVELO_FAKE_UXTHEME_DIR);
  fake.set(1, 0, 0);  // the user turned visual styles off
  fake.Calls();
  EXPECT_FALSE(ThemesActive());
  EXPECT_EQ(fake.Calls(), "IsAppThemed\nIsThemeActive\n");
  fake.set(0, 1, 0);  // the application is not themed: the second question is not asked
  EXPECT_FALSE(ThemesActive());
  EXPECT_EQ(fake.Calls(), "IsAppThemed\n");
  fake.set(1, 1, 0);
  EXPECT_TRUE(ThemesActive());
  SetLibraryFolder("");
}

TEST_F(ThemeBinding, DrawOpensDrawsAndClosesForEveryCall) {
  SetLibraryFolder(TAVELO_FAKE_UXTHEME_DIR);
  FakeTheme fake(TAVELO_FAKE_UXTHEME_DIR);
  fake.Calls();
  QImage image = White();
  Draw(image, u"button", 1, 3);
  Draw(image, u"dialog", 1, 2);
  EXPECT_EQ(fake.Calls(), "open button\ndraw 1 3\nclose\nopen dialog\ndraw 1 2\nclose\n");
  EXPECT_EQ(image.pixel(5, 5), qRgb(10, 20, 32));
  SetLibraryFolder("");
}

TEST_F(ThemeBinding, NullThemeHandleIsNeitherDrawnNorClosed) {
  SetLibraryFolder(TAVELO_FAKE_UXTHEME_DIR);
  FakeTheme fake(TAVELO_FAKE_UXTHEME_DIR);
  fake.set(1, 1, 1);  // OpenThemeData fails
  fake.Calls();
  QImage image = White();
  Draw(image, u"button", 1, 1);
  EXPECT_EQ(fake.Calls(), "open button\n");
  EXPECT_TRUE(AllWhite(image));
  SetLibraryFolder("");
}

TEST_F(ThemeBinding, LibraryWithoutAnEntryPointIsNeverCalled) {
  SetLibraryFolder(TAVELO_FAKE_UXTHEME_PARTIAL_DIR);
  FakeTheme fake(TAVELO_FAKE_UXTHEME_PARTIAL_DIR);
  ASSERT_NE(fake.log, nullptr);
  fake.Calls();
  EXPECT_FALSE(ThemesActive());
  QImage image = White();
  Draw(image, u"button", 1, 1);
  EXPECT_EQ(fake.Calls(), "");
  EXPECT_TRUE(AllWhite(image));
  SetLibraryFolder("");
}

// Our own library: the states of the style's push button, the window background, unknown classes.
TEST_F(ThemeLibrary, DrawsThroughTheRunningStyle) {
  SetLibraryFolder(TAVELO_CODEC_DIR);
  ASSERT_TRUE(ThemesActive());
  QImage states[6];
  for (int32_t state = 1; state <= 5; ++state) {
    states[state] = White();
    Draw(states[state], u"button", 1, state);
    EXPECT_FALSE(AllWhite(states[state])) << "state " << state;
  }
  EXPECT_NE(states[1], states[3]);  // pressed
  EXPECT_NE(states[1], states[4]);  // disabled

  QImage dialog = White();
  Draw(dialog, u"DIALOG", 1, 3);
  EXPECT_EQ(dialog.pixel(20, 10), QApplication::palette().color(QPalette::Window).rgb());

  QImage unknown = White();
  Draw(unknown, u"scrollbar", 1, 1);
  EXPECT_TRUE(AllWhite(unknown));

  // A wrong part or state is refused and draws nothing.
  QImage wrong = White();
  Draw(wrong, u"button", 2, 1);
  Draw(wrong, u"button", 1, 9);
  EXPECT_TRUE(AllWhite(wrong));

  platform::HMODULE module = platform::LoadLibrary("uxtheme.dll");
  auto edge = reinterpret_cast<DrawThemeEdgeProc>(platform::GetProcAddress(module, "DrawThemeEdge"));
  auto close = reinterpret_cast<CloseThemeDataProc>(platform::GetProcAddress(module, "CloseThemeData"));
  ASSERT_NE(edge, nullptr);
  EXPECT_EQ(edge(nullptr, nullptr, 1, 1, nullptr, 0, 0, nullptr), UX_E_NOTIMPL);
  EXPECT_EQ(close(nullptr), UX_E_HANDLE);
  platform::FreeLibrary(module);
  SetLibraryFolder("");
}

}  // namespace
}  // namespace tavelo
