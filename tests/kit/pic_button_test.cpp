// The picture button: properties at creation, the layout of picture and caption, the faces of
// its states, the three styles, PNG icons, the themed states it asks for, groups, and the
// default and cancel buttons of a form. Pictures are probed on the button's own paint (grab).
#include "kit/pic_button.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QEnterEvent>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QTest>

#include <filesystem>
#include <functional>
#include <string>

#include "formats/units/ff_png.h"
#include "kit/png_picture.h"
#include "platform/dynlib/dynlib.h"

namespace tavelo {
namespace {

const QRgb kBtnFace = qRgb(212, 208, 200);
const QRgb kBtnShadow = qRgb(128, 128, 128);
const QRgb kRed = qRgb(255, 0, 0);

QImage Shot(QWidget& w) { return w.grab().toImage().convertToFormat(QImage::Format_RGB32); }

// The smallest rectangle holding every pixel that passes the test (null when none does).
QRect Box(const QImage& image, const std::function<bool(QRgb)>& test) {
  QRect box;
  for (int y = 0; y < image.height(); ++y)
    for (int x = 0; x < image.width(); ++x)
      if (test(image.pixel(x, y))) box |= QRect(x, y, 1, 1);
  return box;
}

QRect RedBox(const QImage& image) {
  return Box(image, [](QRgb c) { return c == kRed; });
}

// Ink of a caption: clearly darker than the button face.
QRect InkBox(const QImage& image, const QRect& area) {
  return Box(image.copy(area), [](QRgb c) { return qGray(c) < 160; }).translated(area.topLeft());
}

QImage Solid(int w, int h, QRgb colour) {
  QImage image(w, h, QImage::Format_ARGB32);
  image.fill(colour);
  return image;
}

void Enter(QWidget& w) {
  QEnterEvent event(QPointF(5, 5), QPointF(5, 5), QPointF(5, 5));
  QApplication::sendEvent(&w, &event);
}

void Leave(QWidget& w) {
  QEvent event(QEvent::Leave);
  QApplication::sendEvent(&w, &event);
}

// No theme library unless a test points at one: the unthemed look.
class PicButtonTest : public testing::Test {
 protected:
  void SetUp() override {
    const std::string empty = std::filesystem::temp_directory_path() / "tavelo-no-theme";
    std::filesystem::create_directories(empty);
    platform::SetLibraryFolder(empty);
  }
  void TearDown() override { platform::SetLibraryFolder(""); }
};

TEST_F(PicButtonTest, PropertiesAtCreation) {
  QPicButton b;
  EXPECT_EQ(b.size(), QSize(100, 32));
  EXPECT_EQ(b.focusPolicy() & Qt::TabFocus, 0);
  EXPECT_FALSE(b.Cancel());
  EXPECT_FALSE(b.Default());
  EXPECT_FALSE(b.Down());
  EXPECT_EQ(b.GroupIndex(), 0);
  EXPECT_TRUE(b.AllowAllUp());
  EXPECT_EQ(b.ModalResult(), 0);
  EXPECT_TRUE(b.Icon().isNull());
  EXPECT_TRUE(b.IconDown().isNull());
  EXPECT_EQ(b.IcsStyle(), stNormal);
  EXPECT_EQ(b.IcsLayout(), iconLeft);
  EXPECT_EQ(b.IcsAlignH(), ahCenter);
  EXPECT_EQ(b.IcsAlignV(), avCenter);
  EXPECT_EQ(b.IcsClientSpacing(), 2);
  EXPECT_EQ(b.IcsAdjustX(), 0);
  EXPECT_EQ(b.IcsAdjustY(), 0);
  EXPECT_TRUE(b.IcsShadowMake());
  EXPECT_EQ(b.IcsShadowColor(), 0x505050u);
  EXPECT_EQ(b.IcsShadowX(), 1);
  EXPECT_EQ(b.IcsShadowY(), 1);
  EXPECT_EQ(b.CaptionSpacing(), 5);
  EXPECT_EQ(b.CaptionAdjustX(), 0);
  EXPECT_EQ(b.CaptionAdjustY(), 0);
  EXPECT_EQ(b.BackImageCtrl(), nullptr);
  EXPECT_EQ(b.TransColor(), 0x00C0FFu);  // RGB(255, 192, 0)
  EXPECT_EQ(b.TransOpacity(), 40);
}

TEST_F(PicButtonTest, TransOpacityIsLimitedAndTransColorResolved) {
  QPicButton b;
  b.SetTransOpacity(300);
  EXPECT_EQ(b.TransOpacity(), 255);
  b.SetTransOpacity(-4);
  EXPECT_EQ(b.TransOpacity(), 0);
  b.SetTransColor(static_cast<int32_t>(0x8000000Fu));  // clBtnFace
  EXPECT_EQ(b.TransColor(), 0xC8D0D4u);
}

TEST_F(PicButtonTest, CaptionOnlyIsCentred) {
  QPicButton b;
  b.SetCaption("Go on");
  const QImage image = Shot(b);
  const QRect ink = InkBox(image, QRect(3, 3, 94, 26));
  ASSERT_FALSE(ink.isNull());
  const QFontMetrics metrics(b.font());
  const int left = (100 - metrics.horizontalAdvance("Go on")) / 2;
  EXPECT_NEAR(ink.left(), left, 2);
  EXPECT_NEAR(ink.center().x(), 50, 2);
  EXPECT_NEAR(ink.center().y(), 16, 3);
  EXPECT_EQ(Box(image, [](QRgb c) { return qGray(c) < 20; }).isNull(), false);  // drawn in black
}

TEST_F(PicButtonTest, PictureOnlyIsCentredAndMovesWithTheState) {
  QPicButton b;
  b.SetIcon(Solid(16, 16, kRed));
  EXPECT_EQ(RedBox(Shot(b)), QRect(42, 8, 16, 16));

  b.SetIcsStyle(stFlat);
  EXPECT_EQ(RedBox(Shot(b)), QRect(42, 8, 16, 16));
  Enter(b);  // hot in stFlat: lifted by one
  EXPECT_TRUE(b.Hover());
  EXPECT_EQ(RedBox(Shot(b)), QRect(41, 7, 16, 16));
  QTest::mousePress(&b, Qt::LeftButton, {}, QPoint(50, 16));  // pressed: one down and right
  EXPECT_TRUE(b.Pressed());
  EXPECT_EQ(RedBox(Shot(b)), QRect(43, 9, 16, 16));
  QTest::mouseRelease(&b, Qt::LeftButton, {}, QPoint(50, 16));
  EXPECT_FALSE(b.Pressed());
  Leave(b);
  EXPECT_FALSE(b.Hover());

  b.SetIcsStyle(stNormal);
  Enter(b);  // hot in stNormal: not moved
  EXPECT_EQ(RedBox(Shot(b)), QRect(42, 8, 16, 16));
}

TEST_F(PicButtonTest, CaptionMovesWhenPressed) {
  QPicButton b;
  b.SetCaption("Move");
  const QRect area(3, 3, 94, 26);
  const QRect normal = InkBox(Shot(b), area);
  QTest::mousePress(&b, Qt::LeftButton, {}, QPoint(50, 16));
  EXPECT_EQ(InkBox(Shot(b), area), normal.translated(1, 1));
  QTest::mouseRelease(&b, Qt::LeftButton, {}, QPoint(50, 16));
}

TEST_F(PicButtonTest, LayoutsPlacePictureAndCaption) {
  QPicButton b;
  b.resize(120, 60);
  b.SetIcon(Solid(16, 16, kRed));
  b.SetCaption("Text");
  b.SetIcsShadowMake(false);
  const QFontMetrics metrics(b.font());
  const int tw = metrics.horizontalAdvance("Text"), th = metrics.height();
  const int bw = 16 + 5 + tw;
  const int bx = (120 - bw) / 2;

  EXPECT_EQ(RedBox(Shot(b)).topLeft(), QPoint(bx, (60 - std::max(16, th)) / 2 + std::max(0, (th - 16) / 2)));
  b.SetIcsLayout(iconRight);
  EXPECT_EQ(RedBox(Shot(b)).left(), bx + bw - 16);
  b.SetIcsLayout(iconTop);
  const int bh = 16 + 5 + 7 * th / 10;
  EXPECT_EQ(RedBox(Shot(b)).top(), (60 - bh) / 2);
  b.SetIcsLayout(iconBottom);
  EXPECT_EQ(RedBox(Shot(b)).top(), (60 - bh) / 2 + bh - 16);

  b.SetIcsLayout(iconLeft);
  b.SetIcsAlignH(ahLeft);
  b.SetIcsAlignV(avTop);
  b.SetIcsClientSpacing(4);
  b.SetIcsAdjustX(3);
  b.SetIcsAdjustY(-1);
  EXPECT_EQ(RedBox(Shot(b)).topLeft(), QPoint(4 + 3, 4 - 1));
  b.SetIcsAlignH(ahRight);
  b.SetIcsAlignV(avBottom);
  b.SetIcsAdjustX(0);
  b.SetIcsAdjustY(0);
  const int bhLeft = std::max(16, th);
  EXPECT_EQ(RedBox(Shot(b)).topLeft(), QPoint(120 - bw - 4, 60 - bhLeft - 4 + bhLeft - 16));
}

TEST_F(PicButtonTest, DisabledButtonShowsItsDisabledFaceAndShadowCaption) {
  QPicButton b;
  b.SetCaption("Off");
  const QRect area(3, 3, 94, 26);
  auto darkest = [&](const QImage& image) {
    int best = 255;
    QRgb colour = 0;
    for (int y = area.top(); y <= area.bottom(); ++y)
      for (int x = area.left(); x <= area.right(); ++x)
        if (qGray(image.pixel(x, y)) < best) {
          best = qGray(image.pixel(x, y));
          colour = image.pixel(x, y);
        }
    return colour;
  };
  EXPECT_EQ(darkest(Shot(b)), qRgb(0, 0, 0));
  b.setEnabled(false);
  EXPECT_EQ(darkest(Shot(b)), kBtnShadow);

  QPicButton pic;
  pic.SetIcon(Solid(16, 16, kRed));
  pic.setEnabled(false);
  const QImage image = Shot(pic);
  EXPECT_TRUE(RedBox(image).isNull());  // a fifth of the alpha: faint
  const QRgb centre = image.pixel(50, 16);
  EXPECT_GT(qRed(centre), qRed(kBtnFace));
  EXPECT_LT(qGreen(centre), qGreen(kBtnFace));
}

TEST_F(PicButtonTest, FacesFollowTheIcon) {
  QPicButton b;
  EXPECT_TRUE(b.DownDerived());
  b.SetIcon(Solid(16, 16, kRed));
  EXPECT_FALSE(b.FaceShadow().isNull());
  EXPECT_GT(b.FaceShadow().width(), 16);  // blurred beyond the picture
  EXPECT_EQ(b.FaceHot().size(), QSize(16, 16));
  EXPECT_EQ(b.IconDown().size(), QSize(16, 16));
  EXPECT_EQ(b.FaceDisabled().size(), QSize(16, 16));

  // A given down picture is kept until the icon is set again.
  b.SetIconDown(Solid(16, 16, qRgb(0, 0, 255)));
  EXPECT_FALSE(b.DownDerived());
  b.Loaded();
  EXPECT_FALSE(b.DownDerived());
  b.SetGroupIndex(1);
  b.SetDown(true);
  EXPECT_EQ(Box(Shot(b), [](QRgb c) { return c == qRgb(0, 0, 255); }), QRect(43, 9, 16, 16));
  b.SetIcon(Solid(16, 16, kRed));
  EXPECT_TRUE(b.DownDerived());
  EXPECT_EQ(RedBox(Shot(b)), QRect(43, 9, 16, 16));

  b.SetIcsShadowMake(false);
  EXPECT_TRUE(b.FaceShadow().isNull());
  b.SetIcsShadowMake(true);
  EXPECT_FALSE(b.FaceShadow().isNull());

  // Too small for the face builder: every state shows the picture itself, never the old faces.
  b.SetIcon(Solid(3, 3, qRgb(0, 255, 0)));
  EXPECT_TRUE(b.FaceShadow().isNull());
  EXPECT_EQ(b.FaceHot().size(), QSize(3, 3));
  EXPECT_EQ(b.IconDown().size(), QSize(3, 3));

  b.SetIcon(QImage());
  EXPECT_TRUE(b.Icon().isNull());
  EXPECT_TRUE(b.FaceHot().isNull());
  EXPECT_TRUE(b.IconDown().isNull());
  EXPECT_TRUE(b.FaceDisabled().isNull());
}

// ---- PNG icons ----

class PngIconTest : public PicButtonTest {
 protected:
  void SetUp() override {
    PicButtonTest::SetUp();
    platform::SetLibraryFolder(TAVELO_CODEC_DIR);
    PNGDllLoad();
    dir_ = std::filesystem::temp_directory_path() / "tavelo-png-icons";
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override {
    PNGDllFree();
    PicButtonTest::TearDown();
  }
  std::string Path(const char* name) { return (dir_ / name).string(); }
  std::filesystem::path dir_;
};

TEST_F(PngIconTest, RgbaPngIsCopiedWithItsColoursAndAlpha) {
  // Written by Qt's own PNG writer, read back through the PNG unit.
  QImage source(4, 2, QImage::Format_ARGB32);
  source.fill(qRgba(255, 0, 0, 255));
  source.setPixel(1, 1, qRgba(0, 0, 255, 128));
  source.setPixel(2, 0, qRgba(0, 200, 0, 0));
  ASSERT_TRUE(source.save(QString::fromStdString(Path("red.png")), "PNG"));
  QPngPicture png;
  ASSERT_TRUE(png.LoadFromFile(Path("red.png")));
  EXPECT_EQ(png.ColorType, 6);
  EXPECT_EQ(png.BitDepth, 8);

  QPicButton b;
  b.SetIconPng(&png);
  ASSERT_EQ(b.Icon().size(), QSize(4, 2));
  EXPECT_EQ(b.Icon().pixel(0, 0), qRgba(255, 0, 0, 255));
  EXPECT_EQ(qAlpha(b.Icon().pixel(1, 1)), 128);
  EXPECT_EQ(qBlue(b.Icon().pixel(1, 1)), 255);
  EXPECT_EQ(qRed(b.Icon().pixel(1, 1)), 0);
  EXPECT_EQ(qAlpha(b.Icon().pixel(2, 0)), 0);

  b.SetIconPngDown(&png);
  EXPECT_FALSE(b.DownDerived());
  EXPECT_EQ(b.IconDown().pixel(0, 0), qRgba(255, 0, 0, 255));
}

TEST_F(PngIconTest, OtherPngsAreDrawnByThePicture) {
  QImage source(6, 6, QImage::Format_RGB888);
  source.fill(qRgb(0, 0, 255));
  ASSERT_TRUE(source.save(QString::fromStdString(Path("blue.png")), "PNG"));
  QPngPicture png;
  ASSERT_TRUE(png.LoadFromFile(Path("blue.png")));
  EXPECT_EQ(png.ColorType, 2);
  QPicButton b;
  b.SetIconPng(&png);
  ASSERT_EQ(b.Icon().size(), QSize(6, 6));
  EXPECT_EQ(QColor(b.Icon().pixel(3, 3)).rgb(), qRgb(0, 0, 255));
}

TEST_F(PngIconTest, MissingOrBrokenPngLeavesTheIcon) {
  QPicButton b;
  b.SetIcon(Solid(8, 8, kRed));
  QPngPicture png;
  EXPECT_FALSE(png.LoadFromFile(Path("missing.png")));
  EXPECT_TRUE(png.Empty());
  b.SetIconPng(&png);
  b.SetIconPng(nullptr);
  EXPECT_EQ(b.Icon().size(), QSize(8, 8));
}

TEST_F(PngIconTest, ShortRowsAreNotReadPastTheirEnd) {
  QPngPicture png;
  png.Width = 4;
  png.Height = 3;
  png.ColorType = 6;
  png.BitDepth = 8;
  png.Bpp = 32;
  const std::vector<uint8_t> red = {0, 0, 255, 255};  // B, G, R, A
  for (int y = 0; y < 3; ++y) {
    std::vector<uint8_t> row;
    for (int x = 0; x < 4; ++x) row.insert(row.end(), red.begin(), red.end());
    png.Rows.push_back(row);
  }
  png.Rows[1].resize(6);  // short: a row and a half pixels
  QPicButton b;
  b.SetIconPng(&png);
  ASSERT_EQ(b.Icon().size(), QSize(4, 3));
  EXPECT_EQ(b.Icon().pixel(3, 0), qRgba(255, 0, 0, 255));
  EXPECT_EQ(qAlpha(b.Icon().pixel(0, 1)), 0);
  EXPECT_EQ(b.Icon().pixel(3, 2), qRgba(255, 0, 0, 255));
  png.Rows.resize(2);  // a missing row as well
  b.SetIconPng(&png);
  EXPECT_EQ(qAlpha(b.Icon().pixel(0, 2)), 0);
}

// ---- Transparent style ----

TEST_F(PicButtonTest, TransparentCopiesTheImageUnderTheButtonOnly) {
  QWidget form;
  form.resize(200, 100);
  QLabel back(&form);
  QPixmap green(50, 50);
  green.fill(QColor(0, 255, 0));
  back.setPixmap(green);
  back.setGeometry(0, 0, 50, 50);
  QPicButton b(&form);
  b.setGeometry(30, 30, 40, 20);
  b.SetBackImageCtrl(&back);
  EXPECT_EQ(b.IcsStyle(), stTransparent);

  QImage image = Shot(b);
  EXPECT_EQ(image.pixel(5, 5), qRgb(0, 255, 0));   // (35, 35) lies on the image
  EXPECT_EQ(image.pixel(19, 19), qRgb(0, 255, 0));  // (49, 49) still does
  EXPECT_EQ(image.pixel(20, 5), kBtnFace);          // (50, 35) is past its right edge
  EXPECT_EQ(image.pixel(5, 19), qRgb(0, 255, 0));

  // Hot: tinted toward TransColor and framed twice.
  Enter(b);
  image = Shot(b);
  const QRgb tinted = image.pixel(5, 5);
  EXPECT_GT(qRed(tinted), 0);
  EXPECT_LT(qGreen(tinted), 255);
  EXPECT_EQ(qBlue(tinted), 0);
  EXPECT_EQ(image.pixel(0, 0), qRgb(224, 224, 192));
  EXPECT_EQ(image.pixel(1, 1), qRgb(64, 96, 128));
  EXPECT_EQ(image.pixel(39, 19), qRgb(64, 96, 128));
  EXPECT_EQ(image.pixel(38, 18), qRgb(224, 224, 192));
  b.SetTransOpacity(0);
  EXPECT_EQ(Shot(b).pixel(5, 5), qRgb(0, 255, 0));

  // Only pressed (the pointer left while the button is held): one dark frame.
  QTest::mousePress(&b, Qt::LeftButton, {}, QPoint(5, 5));
  Leave(b);
  image = Shot(b);
  EXPECT_EQ(image.pixel(0, 0), qRgb(64, 64, 64));  // cl3DDkShadow of the classic scheme
  EXPECT_EQ(image.pixel(39, 19), qRgb(64, 64, 64));
  EXPECT_EQ(image.pixel(5, 5), qRgb(0, 255, 0));
  QTest::mouseRelease(&b, Qt::LeftButton, {}, QPoint(50, 50));
}

TEST_F(PicButtonTest, TransparentWithoutImageShowsTheForm) {
  QWidget form;
  form.resize(100, 60);
  QPalette palette = form.palette();
  palette.setColor(QPalette::Window, QColor(10, 100, 200));
  form.setPalette(palette);
  form.setAutoFillBackground(true);
  QPicButton b(&form);
  b.setGeometry(10, 10, 40, 20);
  b.SetIcsStyle(stTransparent);
  EXPECT_EQ(Shot(b).pixel(20, 10), qRgb(10, 100, 200));

  QWidget inner(&form);  // not a form: button face
  QPicButton c(&inner);
  c.SetIcsStyle(stTransparent);
  EXPECT_EQ(Shot(c).pixel(20, 10), kBtnFace);
}

// ---- Unthemed and themed backgrounds ----

TEST_F(PicButtonTest, UnthemedFramesAndFills) {
  QPicButton b;
  QImage image = Shot(b);
  EXPECT_EQ(image.pixel(0, 0), qRgb(255, 255, 255));   // raised: highlight top-left
  EXPECT_EQ(image.pixel(99, 31), qRgb(64, 64, 64));    // 3D dark shadow bottom-right
  EXPECT_EQ(image.pixel(50, 16), kBtnFace);
  b.SetGroupIndex(1);
  b.SetDown(true);
  image = Shot(b);
  EXPECT_EQ(image.pixel(0, 0), qRgb(64, 64, 64));      // sunken
  EXPECT_EQ(image.pixel(50, 16), qRgb(212, 208, 200));  // cl3DLight of the classic scheme
  b.SetDown(false);
  b.SetIcsStyle(stFlat);
  EXPECT_EQ(Shot(b).pixel(0, 0), kBtnFace);  // flat: no frame until hot
  Enter(b);
  EXPECT_EQ(Shot(b).pixel(0, 0), qRgb(255, 255, 255));
}

// The state the button asks the theme library for, read from the stand-in's log.
class ThemedButtonTest : public PicButtonTest {
 protected:
  void SetUp() override {
    platform::SetLibraryFolder(TAVELO_FAKE_UXTHEME_DIR);
    module_ = platform::LoadLibrary(TAVELO_FAKE_UXTHEME_DIR "/uxtheme.so");
    set_ = reinterpret_cast<void (*)(int32_t, int32_t, int32_t)>(platform::GetProcAddress(module_, "FakeThemeSet"));
    log_ = reinterpret_cast<int32_t (*)(char*, int32_t)>(platform::GetProcAddress(module_, "FakeThemeLog"));
    ASSERT_NE(log_, nullptr);
  }
  void TearDown() override {
    platform::FreeLibrary(module_);
    PicButtonTest::TearDown();
  }
  // The theme calls of one paint (the questions whether themes are on left out).
  std::string Paint(QPicButton& b) {
    Calls();
    last_ = Shot(b);
    std::string all = Calls(), drawn;
    size_t start = 0;
    while (start < all.size()) {
      const size_t end = all.find('\n', start);
      const std::string line = all.substr(start, end - start);
      if (line != "IsAppThemed" && line != "IsThemeActive") drawn += line + ";";
      start = end + 1;
    }
    return drawn;
  }
  std::string Calls() {
    char buffer[4096];
    log_(buffer, sizeof buffer);
    return buffer;
  }
  platform::HMODULE module_ = nullptr;
  void (*set_)(int32_t, int32_t, int32_t) = nullptr;
  int32_t (*log_)(char*, int32_t) = nullptr;
  QImage last_;
};

TEST_F(ThemedButtonTest, FiveStatesReachTheThemeWithPartOne) {
  QWidget form;
  QPicButton b(&form);
  EXPECT_EQ(Paint(b), "open button;draw 1 1;close;");
  EXPECT_EQ(last_.pixel(0, 0), qRgb(10, 20, 31));  // the library drew the whole button
  Enter(b);
  EXPECT_EQ(Paint(b), "open button;draw 1 2;close;");
  QTest::mousePress(&b, Qt::LeftButton, {}, QPoint(5, 5));
  EXPECT_EQ(Paint(b), "open button;draw 1 3;close;");
  QTest::mouseRelease(&b, Qt::LeftButton, {}, QPoint(500, 5));
  Leave(b);
  b.SetGroupIndex(1);
  b.SetDown(true);
  EXPECT_EQ(Paint(b), "open button;draw 1 3;close;");  // down, not hot
  b.SetAllowAllUp(true);
  b.SetDown(false);
  b.setEnabled(false);
  EXPECT_EQ(Paint(b), "open button;draw 1 4;close;");
  b.setEnabled(true);

  form.show();
  form.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&form));
  b.setFocus();
  ASSERT_TRUE(b.hasFocus());
  Leave(b);  // showing the form may have brought the pointer over the button
  EXPECT_EQ(Paint(b), "open button;draw 1 5;close;");
}

TEST_F(ThemedButtonTest, FlatStatesUseTheDialogBackgroundWhenNotHot) {
  QPicButton b;
  b.SetIcsStyle(stFlat);
  EXPECT_EQ(Paint(b), "open dialog;draw 1 3;close;");
  Enter(b);
  EXPECT_EQ(Paint(b), "open button;draw 1 1;close;");
  QTest::mousePress(&b, Qt::LeftButton, {}, QPoint(5, 5));
  EXPECT_EQ(Paint(b), "open button;draw 1 3;close;");
  QTest::mouseRelease(&b, Qt::LeftButton, {}, QPoint(500, 5));
}

TEST_F(ThemedButtonTest, StylesOffOrMissingLibraryDrawUnthemedAndCallNothing) {
  QPicButton b;
  set_(1, 0, 0);
  EXPECT_EQ(Paint(b), "");
  EXPECT_EQ(last_.pixel(0, 0), qRgb(255, 255, 255));
  EXPECT_EQ(last_.pixel(50, 16), kBtnFace);
  set_(0, 1, 0);
  EXPECT_EQ(Paint(b), "");
  EXPECT_EQ(last_.pixel(0, 0), qRgb(255, 255, 255));
  set_(1, 1, 0);
  EXPECT_EQ(Paint(b), "open button;draw 1 1;close;");
}

// ---- Groups ----

TEST_F(PicButtonTest, GroupKeepsOneButtonDown) {
  QWidget form;
  QLabel label("not a button", &form);  // siblings of other kinds are left alone
  QPicButton a(&form), b(&form), other(&form);
  a.SetGroupIndex(1);
  b.SetGroupIndex(1);
  other.SetGroupIndex(2);
  a.SetAllowAllUp(false);
  EXPECT_FALSE(b.AllowAllUp());  // copied through the group
  EXPECT_TRUE(other.AllowAllUp());

  QTest::mouseClick(&a, Qt::LeftButton, {}, QPoint(10, 10));
  EXPECT_TRUE(a.Down());
  QTest::mouseClick(&a, Qt::LeftButton, {}, QPoint(10, 10));
  EXPECT_TRUE(a.Down());  // clicked again: stays down
  a.SetDown(false);
  EXPECT_TRUE(a.Down());  // no button may be up while AllowAllUp is false

  other.SetDown(true);
  QTest::mouseClick(&b, Qt::LeftButton, {}, QPoint(10, 10));
  EXPECT_TRUE(b.Down());
  EXPECT_FALSE(a.Down());
  EXPECT_TRUE(other.Down());  // another group

  b.SetAllowAllUp(true);
  EXPECT_TRUE(a.AllowAllUp());
  b.SetDown(false);
  EXPECT_FALSE(b.Down());

  QPicButton plain(&form);
  plain.SetDown(true);
  EXPECT_FALSE(plain.Down());  // not in a group
}

// ---- Forms: default, cancel, keys ----

TEST_F(PicButtonTest, DefaultAndCancelSetTheModalResult) {
  QPicButton b;
  b.SetDefault(true);
  EXPECT_EQ(b.ModalResult(), 1);
  b.SetCancel(true);
  EXPECT_EQ(b.ModalResult(), 2);
  b.SetDefault(false);
  EXPECT_EQ(b.ModalResult(), 2);
  b.SetCancel(false);
  EXPECT_EQ(b.ModalResult(), 0);
}

TEST_F(PicButtonTest, ClicksEndTheDialogWithTheirModalResult) {
  QDialog dialog;
  QPicButton ok(&dialog), cancel(&dialog), plain(&dialog);
  ok.SetDefault(true);
  cancel.SetCancel(true);
  int clicks = 0;
  plain.OnClick = [&](QPicButton* sender) {
    EXPECT_EQ(sender, &plain);
    ++clicks;
  };
  dialog.show();
  QTest::mouseClick(&plain, Qt::LeftButton, {}, QPoint(10, 10));
  EXPECT_EQ(clicks, 1);
  EXPECT_TRUE(dialog.isVisible());  // modal result 0 keeps the form open

  ok.OnClick = [&](QPicButton*) { EXPECT_EQ(dialog.result(), 1); };
  QTest::mouseClick(&ok, Qt::LeftButton, {}, QPoint(10, 10));
  EXPECT_FALSE(dialog.isVisible());
  EXPECT_EQ(dialog.result(), 1);

  dialog.show();
  QTest::mouseClick(&cancel, Qt::LeftButton, {}, QPoint(10, 10));
  EXPECT_FALSE(dialog.isVisible());
  EXPECT_EQ(dialog.result(), 2);

  // A handler that clears the form's result keeps it open.
  dialog.show();
  ok.OnClick = [&](QPicButton*) { dialog.setResult(0); };
  QTest::mouseClick(&ok, Qt::LeftButton, {}, QPoint(10, 10));
  EXPECT_TRUE(dialog.isVisible());

  // A press that ends outside the button is no click.
  ok.OnClick = nullptr;
  QTest::mousePress(&ok, Qt::LeftButton, {}, QPoint(10, 10));
  QTest::mouseRelease(&ok, Qt::LeftButton, {}, QPoint(300, 10));
  EXPECT_TRUE(dialog.isVisible());
}

TEST_F(PicButtonTest, EnterAndEscapeReachDefaultAndCancel) {
  QDialog dialog;
  QPicButton ok(&dialog), cancel(&dialog);
  ok.SetDefault(true);
  cancel.SetCancel(true);
  dialog.show();
  QTest::keyClick(&dialog, Qt::Key_Return);
  EXPECT_EQ(dialog.result(), 1);
  EXPECT_FALSE(dialog.isVisible());
  dialog.show();
  QTest::keyClick(&dialog, Qt::Key_Escape);
  EXPECT_EQ(dialog.result(), 2);
  dialog.show();
  QTest::keyClick(&dialog, Qt::Key_Return, Qt::ShiftModifier);  // not with Shift, Ctrl or Alt
  EXPECT_TRUE(dialog.isVisible());
  ok.setEnabled(false);  // a disabled default button does not answer
  QTest::keyClick(&dialog, Qt::Key_Enter);
  EXPECT_TRUE(dialog.isVisible());
}

TEST_F(PicButtonTest, EnterIsNotTheDefaultButtonsWhileAPushButtonHasTheFocus) {
  QWidget form;
  QPicButton def(&form);
  def.move(0, 0);
  QPushButton push("Push", &form);
  push.move(0, 40);
  QPicButton other(&form);
  other.move(0, 80);
  int clicks = 0;
  def.OnClick = [&](QPicButton*) { ++clicks; };
  def.SetDefault(true);
  form.show();
  form.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&form));

  push.setFocus();
  ASSERT_TRUE(push.hasFocus());
  EXPECT_FALSE(def.Active());
  QTest::keyClick(&push, Qt::Key_Return);
  EXPECT_EQ(clicks, 0);

  other.setFocus();
  EXPECT_TRUE(def.Active());
  QTest::keyClick(&other, Qt::Key_Return);
  EXPECT_EQ(clicks, 1);

  // Space clicks the focused picture button itself.
  int otherClicks = 0;
  other.OnClick = [&](QPicButton*) { ++otherClicks; };
  QTest::keyClick(&other, Qt::Key_Space);
  EXPECT_EQ(otherClicks, 1);
  EXPECT_EQ(clicks, 1);
}

TEST_F(PicButtonTest, FocusedButtonIsDestroyedSafely) {
  QWidget form;
  auto* b = new QPicButton(&form);
  QPicButton def(&form);
  def.SetDefault(true);
  form.show();
  form.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&form));
  b->setFocus();
  ASSERT_TRUE(b->hasFocus());
  delete b;  // the focus moves on while the widget is taken down
  EXPECT_TRUE(def.Active());
}

TEST_F(PicButtonTest, AcceleratorCharacterClicks) {
  QWidget form;
  QPicButton open(&form), amp(&form);
  open.SetCaption("&Open");
  amp.SetCaption("A&&B");
  int opens = 0, amps = 0;
  open.OnClick = [&](QPicButton*) { ++opens; };
  amp.OnClick = [&](QPicButton*) { ++amps; };
  QTest::keyClick(&form, Qt::Key_O, Qt::AltModifier);
  EXPECT_EQ(opens, 1);
  QTest::keyClick(&form, Qt::Key_O);
  EXPECT_EQ(opens, 2);
  QTest::keyClick(&form, Qt::Key_O, Qt::ControlModifier);
  QTest::keyClick(&form, Qt::Key_B);
  EXPECT_EQ(opens, 2);
  EXPECT_EQ(amps, 0);  // "&&" is a plain ampersand, no accelerator
}

}  // namespace
}  // namespace tavelo
