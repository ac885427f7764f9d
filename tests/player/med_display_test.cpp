// The display window: the fitting cases painted onto images (centred with the four strips,
// stretched, shrunk, cut), clearing, mouse reports, the widget itself, and frames handed over by
// another thread while the main thread paints.
#include "player/med_display.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QMouseEvent>
#include <QPainter>
#include <QWidget>

#include <algorithm>
#include <atomic>
#include <memory>
#include <thread>
#include <vector>

namespace tavelo {
namespace {

using namespace platform;

constexpr uint32_t kBack = 0x00204060;  // red 0x60, green 0x40, blue 0x20
const QRgb kBackRgb = qRgb(0x60, 0x40, 0x20);

// A 24-bit picture of one colour (red, green, blue).
void Solid(Qimg& img, int w, int h, uint8_t r, uint8_t g, uint8_t b) {
  ImgAlloc(img, w, h, 24);
  for (int i = 0; i < w * h; ++i) {
    img.Data[3 * i] = b;
    img.Data[3 * i + 1] = g;
    img.Data[3 * i + 2] = r;
  }
}

// Paints rec as a width x height window onto a fresh image.
QImage Paint(DisplayRec* rec, int width, int height) {
  QImage out(width, height, QImage::Format_RGB32);
  out.fill(qRgb(1, 2, 3));
  HDC dc = CreateImageDC(&out);
  DisplayPaint(rec, dc, width, height);
  DeleteDC(dc);
  return out;
}

// The box of pixels that are not the background colour: x, y, width, height.
std::vector<int> PictureBox(const QImage& img) {
  int x0 = img.width(), y0 = img.height(), x1 = -1, y1 = -1;
  for (int y = 0; y < img.height(); ++y)
    for (int x = 0; x < img.width(); ++x)
      if (img.pixel(x, y) != kBackRgb) {
        x0 = std::min(x0, x);
        y0 = std::min(y0, y);
        x1 = std::max(x1, x);
        y1 = std::max(y1, y);
      }
  if (x1 < 0) return {0, 0, 0, 0};
  return {x0, y0, x1 - x0 + 1, y1 - y0 + 1};
}

class Display : public testing::Test {
 protected:
  void SetUp() override {
    rec_ = DisplayCreate(nullptr, 0, 0, 300, 200);
    ASSERT_NE(rec_, nullptr);
    EXPECT_EQ(rec_->Window, nullptr);  // no parent, no window
    DisplaySetColor(rec_, static_cast<int32_t>(kBack));
  }
  void TearDown() override {
    ImgFree(pic_);
    DisplayDestroy(rec_);
    EXPECT_EQ(rec_, nullptr);
  }
  DisplayRec* rec_ = nullptr;
  Qimg pic_;
};

TEST_F(Display, SmallPictureIsCentredWithFourStripsOrStretched) {
  Solid(pic_, 100, 100, 200, 10, 10);
  DisplaySetImage(rec_, pic_);
  QImage out = Paint(rec_, 300, 200);
  EXPECT_EQ(rec_->DrawX, 100);
  EXPECT_EQ(rec_->DrawY, 50);
  EXPECT_EQ(PictureBox(out), (std::vector<int>{100, 50, 100, 100}));
  // Every pixel outside the picture is the background: nothing of the old image shows through.
  EXPECT_EQ(out.pixel(0, 0), kBackRgb);
  EXPECT_EQ(out.pixel(99, 120), kBackRgb);
  EXPECT_EQ(out.pixel(200, 120), kBackRgb);
  EXPECT_EQ(out.pixel(299, 199), kBackRgb);
  EXPECT_EQ(out.pixel(150, 100), qRgb(200, 10, 10));

  DisplaySetResizeSmall(rec_, true);
  EXPECT_TRUE(DisplayGetResizeSmall(rec_));
  out = Paint(rec_, 300, 200);
  EXPECT_EQ(rec_->DrawX, 50);
  EXPECT_EQ(rec_->DrawY, 0);
  EXPECT_EQ(rec_->DrawWidth, 200);
  EXPECT_EQ(rec_->DrawHeight, 200);
  EXPECT_EQ(rec_->Shown, &rec_->Resized);
  EXPECT_EQ(PictureBox(out), (std::vector<int>{50, 0, 200, 200}));
  // Fitting no longer needed: the copy goes, Image shows again.
  DisplaySetResizeSmall(rec_, false);
  Paint(rec_, 300, 200);
  EXPECT_EQ(rec_->Shown, &rec_->Image);
  EXPECT_FALSE(ImgAssigned(rec_->Resized));
}

TEST_F(Display, LargePictureIsShrunkWithResizeBigAndCutWithout) {
  Solid(pic_, 400, 100, 10, 200, 10);  // larger in one side only
  DisplaySetImage(rec_, pic_);
  DisplaySetResizeBig(rec_, true);
  QImage out = Paint(rec_, 300, 200);
  EXPECT_EQ(rec_->DrawWidth, 300);
  EXPECT_EQ(rec_->DrawHeight, 75);
  EXPECT_EQ(PictureBox(out), (std::vector<int>{0, 62, 300, 75}));

  DisplaySetResizeBig(rec_, false);
  out = Paint(rec_, 300, 200);
  EXPECT_EQ(rec_->DrawX, -49);  // (300 - 400 + 1) div 2, truncated toward zero
  EXPECT_EQ(rec_->DrawY, 50);
  EXPECT_EQ(PictureBox(out), (std::vector<int>{0, 50, 300, 100}));
}

TEST_F(Display, PictureSmallerInOneSideAndEqualInTheOtherIsNeverStretched) {
  Solid(pic_, 100, 200, 10, 10, 200);
  DisplaySetImage(rec_, pic_);
  DisplaySetResizeSmall(rec_, true);
  DisplaySetResizeBig(rec_, true);
  const QImage out = Paint(rec_, 300, 200);
  EXPECT_EQ(rec_->Shown, &rec_->Image);
  EXPECT_EQ(PictureBox(out), (std::vector<int>{100, 0, 100, 200}));
}

TEST_F(Display, ClearPaintsTheBackgroundOnceAndKeepsTheImage) {
  QImage out = Paint(rec_, 300, 200);  // nothing to show yet
  EXPECT_EQ(PictureBox(out), (std::vector<int>{0, 0, 0, 0}));
  Solid(pic_, 50, 40, 200, 200, 0);
  DisplaySetImage(rec_, pic_);
  DisplayClear(rec_);
  out = Paint(rec_, 300, 200);
  EXPECT_EQ(PictureBox(out), (std::vector<int>{0, 0, 0, 0}));
  EXPECT_TRUE(ImgAssigned(*DisplayGetImage(rec_)));
  out = Paint(rec_, 300, 200);
  EXPECT_EQ(PictureBox(out), (std::vector<int>{125, 80, 50, 40}));
}

// A 24-bit picture is handed over once as 32-bit (B, G, R, 255), every pixel in its place (an
// odd width: the last pixels of a row too); a paint draws only the exposed part and counts each
// picture it drew once, so the pictures handed over and never painted show.
TEST_F(Display, PicturesArePreparedAs32BitAndOnlyTheExposedPartIsDrawnAndCounted) {
  ImgAlloc(pic_, 7, 5, 24);
  for (int i = 0; i < pic_.Size; ++i) pic_.Data[i] = static_cast<uint8_t>(i * 7 + 1);
  DisplaySetImage(rec_, pic_);
  const Qimg& held = *DisplayGetImage(rec_);
  ASSERT_EQ(held.Bpp, 32);
  for (int p = 0; p < 7 * 5; ++p)
    for (int c = 0; c < 4; ++c)
      ASSERT_EQ(held.Data[4 * p + c], c < 3 ? pic_.Data[3 * p + c] : 255) << "pixel " << p << " byte " << c;

  Solid(pic_, 300, 200, 200, 10, 10);
  DisplaySetImage(rec_, pic_);
  Solid(pic_, 300, 200, 10, 200, 10);
  DisplaySetImage(rec_, pic_);
  EXPECT_EQ(rec_->Handed.load(), 3u);
  EXPECT_EQ(rec_->Painted.load(), 0u);
  QImage out(300, 200, QImage::Format_RGB32);
  out.fill(qRgb(1, 2, 3));
  HDC dc = CreateImageDC(&out);
  const DisplayArea exposed{50, 40, 20, 10};
  DisplayPaint(rec_, dc, 300, 200, &exposed);
  DeleteDC(dc);
  EXPECT_EQ(out.pixel(50, 40), qRgb(10, 200, 10));
  EXPECT_EQ(out.pixel(69, 49), qRgb(10, 200, 10));
  EXPECT_EQ(out.pixel(70, 40), qRgb(1, 2, 3));
  EXPECT_EQ(out.pixel(50, 50), qRgb(1, 2, 3));
  EXPECT_EQ(out.pixel(49, 39), qRgb(1, 2, 3));
  Paint(rec_, 300, 200);  // the same picture again: not counted twice
  EXPECT_EQ(rec_->Painted.load(), 1u);
}

// Paints rec as a width x height window, the exposed area only, through a painter (as the window
// itself paints) onto a fresh image.
QImage PaintArea(DisplayRec* rec, int width, int height, const DisplayArea& exposed) {
  QImage out(width, height, QImage::Format_RGB32);
  out.fill(qRgb(1, 2, 3));
  QPainter painter(&out);
  HDC dc = CreatePainterDC(&painter);
  DisplayPaint(rec, dc, width, height, &exposed);
  DeleteDC(dc);
  painter.end();
  return out;
}

// A picture shown without a copy (an odd width, more rows than one conversion strip, 24 and 32
// bits) paints exactly as its copy does, whole or in part, and is held once; before its owner
// changes it, the display takes a copy of its own and goes on showing the same.
TEST_F(Display, APictureShownWithoutACopyPaintsAsItsCopyAndIsCopiedBeforeItChanges) {
  for (int32_t bpp : {24, 32}) {
    for (const DisplayArea area : {DisplayArea{0, 0, 640, 480}, DisplayArea{45, 23, 300, 200}}) {
      SCOPED_TRACE(testing::Message() << bpp << " bits, area at " << area.X);
      ImgAlloc(pic_, 601, 450, bpp);
      for (int64_t i = 0; i < pic_.Size; ++i) pic_.Data[i] = static_cast<uint8_t>(i * 7 + i / 1001);
      DisplaySetImage(rec_, pic_);
      const QImage copied = PaintArea(rec_, 640, 480, area);
      DisplayShowImage(rec_, pic_);
      EXPECT_EQ(DisplayGetImage(rec_), &pic_);
      EXPECT_FALSE(ImgAssigned(rec_->Image));
      EXPECT_TRUE(PaintArea(rec_, 640, 480, area) == copied);
      DisplayOwnImage(rec_);
      EXPECT_EQ(DisplayGetImage(rec_), &rec_->Image);
      std::fill(pic_.Data, pic_.Data + pic_.Size, uint8_t{0});
      EXPECT_TRUE(PaintArea(rec_, 640, 480, area) == copied);
    }
  }
}

// A frame made ready ahead of its time is not shown until its time; a picture set or shown in
// between takes its place, and the frame made ready before is then never shown.
TEST_F(Display, APreparedPictureShowsOnlyWhenAskedAndOnlyIfNothingCameBetween) {
  Solid(pic_, 300, 200, 200, 10, 10);
  DisplaySetImage(rec_, pic_);
  Solid(pic_, 300, 200, 10, 200, 10);
  DisplayPrepareImage(rec_, pic_);
  EXPECT_EQ(Paint(rec_, 300, 200).pixel(5, 5), qRgb(200, 10, 10));
  EXPECT_TRUE(DisplayShowPrepared(rec_));
  EXPECT_EQ(Paint(rec_, 300, 200).pixel(5, 5), qRgb(10, 200, 10));
  EXPECT_FALSE(DisplayShowPrepared(rec_));  // shown once

  for (const bool shownItself : {false, true}) {
    SCOPED_TRACE(shownItself ? "shown without a copy" : "set");
    Qimg between;
    Solid(between, 300, 200, 10, 10, 200);
    DisplayPrepareImage(rec_, pic_);
    if (shownItself) {
      DisplayShowImage(rec_, between);
    } else {
      DisplaySetImage(rec_, between);
    }
    EXPECT_FALSE(DisplayShowPrepared(rec_));
    EXPECT_EQ(Paint(rec_, 300, 200).pixel(5, 5), qRgb(10, 10, 200));
    DisplayOwnImage(rec_);
    ImgFree(between);
  }
  EXPECT_EQ(rec_->Handed.load(), 4u);
}

TEST_F(Display, EightBitPicturesShowThroughTheirPalette) {
  ImgAlloc(pic_, 10, 10, 8);
  for (int i = 0; i < 100; ++i) pic_.Data[i] = 7;
  pic_.Palette[21] = 30;  // blue of entry 7
  pic_.Palette[22] = 60;
  pic_.Palette[23] = 90;
  DisplaySetImage(rec_, pic_);
  const QImage out = Paint(rec_, 30, 30);
  EXPECT_EQ(out.pixel(15, 15), qRgb(90, 60, 30));
}

struct Click {
  int count = 0;
  uint8_t kind = 9;
  int32_t x = -1, y = -1;
  uint32_t colour = 0;
};

void OnClick(uint8_t kind, int32_t x, int32_t y, uint32_t colour, void* data) {
  Click& c = *static_cast<Click*>(data);
  ++c.count;
  c.kind = kind;
  c.x = x;
  c.y = y;
  c.colour = colour;
}

TEST_F(Display, ClicksAreReportedOnlyInsideTheShownPicture) {
  Click click;
  DisplayMouseDown(rec_, 0, 5, 5);  // no callback
  DisplaySetCallback(rec_, &OnClick, &click);
  DisplayMouseDown(rec_, 0, 5, 5);  // no picture
  EXPECT_EQ(click.count, 0);
  Solid(pic_, 20, 10, 1, 2, 3);
  DisplaySetImage(rec_, pic_);
  Paint(rec_, 300, 200);
  DisplayMouseDown(rec_, 1, 19, 9);
  EXPECT_EQ(click.count, 1);
  EXPECT_EQ(click.kind, 1);
  EXPECT_EQ(click.colour & 0xFFFFFF, 0x030201u);
  // The position is taken in window coordinates, not from the picture's corner.
  DisplayMouseDown(rec_, 2, 20, 5);
  DisplayMouseDown(rec_, 0, 5, 10);
  DisplayMouseDown(rec_, 0, -1, 0);
  EXPECT_EQ(click.count, 1);
  DisplayMouseDown(rec_, 2, 0, 0);
  EXPECT_EQ(click.count, 2);
  EXPECT_EQ(click.kind, 2);
}

TEST(DisplayWindow, TheWidgetPaintsMovesAndReportsClicks) {
  QWidget parent;
  parent.resize(400, 300);
  DisplayRec* rec = DisplayCreate(&parent, 10, 20, 200, 100);
  ASSERT_NE(rec->Window, nullptr);
  EXPECT_EQ(rec->Window->objectName().toStdString(), "VelkarnDisplayWnd");
  EXPECT_EQ(rec->Window->geometry(), QRect(10, 20, 200, 100));
  DisplaySetColor(rec, static_cast<int32_t>(kBack));
  Qimg pic;
  Solid(pic, 40, 20, 250, 0, 0);
  DisplaySetImage(rec, pic);
  QImage shot = rec->Window->grab().toImage();
  EXPECT_EQ(shot.pixelColor(100, 50).rgb(), qRgb(250, 0, 0));
  EXPECT_EQ(shot.pixelColor(5, 5).rgb(), kBackRgb);

  DisplaySetRect(rec, 0, 0, 100, 60);
  EXPECT_EQ(rec->Window->geometry(), QRect(0, 0, 100, 60));

  Click click;
  DisplaySetCallback(rec, &OnClick, &click);
  rec->Window->grab();  // the paint sets where the picture lies
  QMouseEvent press(QEvent::MouseButtonPress, QPointF(3, 4), QPointF(3, 4), Qt::LeftButton, Qt::LeftButton,
                    Qt::NoModifier);
  QApplication::sendEvent(rec->Window, &press);
  EXPECT_EQ(click.count, 1);
  EXPECT_EQ(click.kind, 0);
  EXPECT_EQ(click.x, 3);
  EXPECT_EQ(click.y, 4);
  ImgFree(pic);
  DisplayDestroy(rec);
}

TEST(DisplayWindow, ARecordOutlivesAWindowItsParentTookAlong) {
  auto parent = std::make_unique<QWidget>();
  DisplayRec* rec = DisplayCreate(parent.get(), 0, 0, 50, 50);
  Qimg pic;
  Solid(pic, 10, 10, 1, 2, 3);
  DisplaySetImage(rec, pic);
  parent.reset();  // the child window goes with it
  EXPECT_EQ(rec->Window, nullptr);
  EXPECT_FALSE(ImgAssigned(rec->Image));
  // Everything still works on the record alone.
  DisplaySetImage(rec, pic);
  DisplayClear(rec);
  DisplaySetRect(rec, 1, 1, 20, 20);
  QApplication::processEvents();
  EXPECT_TRUE(ImgAssigned(rec->Image));
  ImgFree(pic);
  DisplayDestroy(rec);
  EXPECT_EQ(rec, nullptr);
}

// A frame handed over by another thread is painted at the main thread's next turn, by itself; hand-
// overs while that paint still waits ask for no other, and the paint shows the latest.
TEST(DisplayWindow, HandOversFromAnotherThreadArePaintedOnceEachTurn) {
  QWidget parent;
  parent.resize(200, 200);
  DisplayRec* rec = DisplayCreate(&parent, 0, 0, 160, 120);
  parent.show();
  QApplication::processEvents();
  const uint64_t before = rec->Painted.load();
  std::thread video([rec] {
    Qimg frame;
    for (const uint8_t red : {10, 20, 30}) {
      Solid(frame, 160, 120, red, 0, 0);
      DisplaySetImage(rec, frame);
    }
    ImgFree(frame);
  });
  video.join();
  EXPECT_TRUE(rec->HandOverPending.load());
  QCoreApplication::sendPostedEvents(nullptr, 0);  // one turn of posted events
  EXPECT_FALSE(rec->HandOverPending.load());
  EXPECT_EQ(rec->Painted.load(), before + 1);
  EXPECT_EQ(rec->Window->grab().toImage().pixel(80, 60), qRgb(30, 0, 0));
  DisplayDestroy(rec);
}

// The video thread copies frames into the record while the main thread paints it: the record's
// lock keeps the two apart (the race checks run this under ThreadSanitizer).
TEST(DisplayWindow, FramesFromAnotherThreadNeverTearAPaint) {
  QWidget parent;
  parent.resize(200, 200);
  DisplayRec* rec = DisplayCreate(&parent, 0, 0, 160, 120);
  DisplaySetResizeBig(rec, true);
  std::atomic<bool> stop{false};
  std::thread video([&] {
    Qimg frame;
    for (int i = 0; !stop.load(); ++i) {
      // Sizes change from frame to frame, so the copy reallocates the record's picture.
      Solid(frame, 100 + 150 * (i % 2), 80 + 90 * (i % 3 == 0), static_cast<uint8_t>(i), 0, 0);
      DisplaySetImage(rec, frame);
    }
    ImgFree(frame);
  });
  for (int i = 0; i < 60; ++i) {
    const QImage shot = rec->Window->grab().toImage();
    EXPECT_EQ(shot.size(), QSize(160, 120));
    QApplication::processEvents();
  }
  stop.store(true);
  video.join();
  QApplication::processEvents();
  DisplayDestroy(rec);
}

}  // namespace
}  // namespace tavelo
