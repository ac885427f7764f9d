// The bitmap bridge's toolkit half: records into bitmaps, alpha drawing, tints, button bitmaps,
// fills and text, on offscreen images.
#include "gui/pictor_bitmap.h"

#include <gtest/gtest.h>

#include <QPainter>

#include <cstring>

#include "core/services/memory.h"

namespace tavelo {
namespace {

using namespace platform;

void Make(Qimg& img, int32_t w, int32_t h, int32_t bpp, uint32_t (*value)(int, int)) {
  ImgAlloc(img, w, h, bpp);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const uint32_t v = value(x, y);
      std::memcpy(img.Data + (static_cast<int64_t>(y) * w + x) * img.BytesPP, &v, static_cast<size_t>(img.BytesPP));
    }
}

QImage Solid(int w, int h, QRgb c, QImage::Format f = QImage::Format_RGB32) {
  QImage img(w, h, f);
  img.fill(QColor::fromRgba(c));
  return img;
}

TEST(PictorBitmap, FormatsAndDepths) {
  EXPECT_EQ(PixelFormatToBits(QImage::Format_Invalid), 0);
  EXPECT_EQ(PixelFormatToBits(QImage::Format_Indexed8), 8);
  EXPECT_EQ(PixelFormatToBits(QImage::Format_RGB555), 15);
  EXPECT_EQ(PixelFormatToBits(QImage::Format_RGB16), 16);
  EXPECT_EQ(PixelFormatToBits(QImage::Format_BGR888), 24);
  EXPECT_EQ(PixelFormatToBits(QImage::Format_Mono), 24);
  EXPECT_EQ(PixelFormatToBits(QImage::Format_ARGB32), 32);
  for (int bits : {8, 15, 16, 24, 32}) EXPECT_EQ(PixelFormatToBits(BitsToPixelFormat(bits)), bits);
  EXPECT_EQ(BitsToPixelFormat(12), QImage::Format_ARGB32);
}

TEST(PictorBitmap, RecordsBecomeBitmapsOfTheirDepth) {
  Qimg p;
  Make(p, 3, 2, 24, [](int x, int y) { return static_cast<uint32_t>(0x102030 + x * 0x010101 + y * 0x100000); });
  QImage bmp;
  PicToBitmap(p, &bmp);
  ASSERT_EQ(bmp.format(), QImage::Format_BGR888);
  EXPECT_EQ(bmp.pixel(2, 1), qRgb(0x20 + 2, 0x20 + 2, 0x30 + 2));
  Make(p, 2, 2, 32, [](int x, int) { return x == 0 ? 0x80FF0000u : 0xFF0000FFu; });
  PicToBitmap(p, &bmp);
  ASSERT_EQ(bmp.format(), QImage::Format_ARGB32);
  EXPECT_EQ(bmp.pixel(0, 0), qRgba(255, 0, 0, 0x80));
  Make(p, 2, 1, 8, [](int x, int) { return static_cast<uint32_t>(x); });
  p.Palette[3] = 7;  // entry 1: B 7, G 8, R 9
  p.Palette[4] = 8;
  p.Palette[5] = 9;
  PicToBitmap(p, &bmp);
  ASSERT_EQ(bmp.format(), QImage::Format_Indexed8);
  EXPECT_EQ(bmp.pixel(1, 0), qRgb(9, 8, 7));
  Make(p, 1, 1, 15, [](int, int) { return 0x7C00u; });
  PicToBitmap(p, &bmp);
  EXPECT_EQ(bmp.format(), QImage::Format_RGB555);
  PicToBitmap(p, nullptr);
  Qimg empty;
  bmp = QImage();
  PicToBitmap(empty, &bmp);
  EXPECT_TRUE(bmp.isNull());
  ImgFree(p);
}

TEST(PictorBitmap, AlphaDrawBlendsAndClips) {
  QImage dst = Solid(4, 4, qRgb(100, 100, 100));
  QImage src(3, 1, QImage::Format_ARGB32);
  src.setPixel(0, 0, qRgba(10, 20, 30, 255));
  src.setPixel(1, 0, qRgba(200, 200, 200, 0));
  src.setPixel(2, 0, qRgba(200, 0, 255, 128));
  PicAlphaDraw(src, dst, 1, 1);
  EXPECT_EQ(dst.pixel(1, 1), qRgb(10, 20, 30)) << "alpha 255 copies exactly";
  EXPECT_EQ(dst.pixel(2, 1), qRgb(100, 100, 100)) << "alpha 0 leaves the destination";
  EXPECT_EQ(dst.pixel(3, 1), qRgb((100 * 127 + 200 * 128) / 255, (100 * 127) / 255, (100 * 127 + 255 * 128) / 255));
  // A negative position skips source columns; past the edges nothing is drawn.
  dst = Solid(4, 4, qRgb(100, 100, 100));
  PicAlphaDraw(src, dst, -2, 0);
  EXPECT_EQ(dst.pixel(0, 0), qRgb((100 * 127 + 200 * 128) / 255, (100 * 127) / 255, (100 * 127 + 255 * 128) / 255));
  EXPECT_EQ(dst.pixel(1, 0), qRgb(100, 100, 100));
  PicAlphaDraw(src, dst, 4, 0);
  PicAlphaDraw(src, dst, -3, 0);
  PicAlphaDraw(src, dst, 3, 3);
  EXPECT_EQ(dst.pixel(3, 3), qRgb(10, 20, 30));
  // Another depth is drawn as it is; a 24-bit destination keeps its format.
  QImage dst24 = Solid(3, 3, qRgb(1, 1, 1), QImage::Format_BGR888);
  PicAlphaDraw(Solid(1, 1, qRgb(9, 9, 9), QImage::Format_RGB16), dst24, 1, 1);
  EXPECT_EQ(dst24.pixel(1, 1), qRgb(8, 8, 8));
  PicAlphaDraw(src, dst24, 0, 0);
  EXPECT_EQ(dst24.format(), QImage::Format_BGR888);
  EXPECT_EQ(dst24.pixel(0, 0), qRgb(10, 20, 30));
}

TEST(PictorBitmap, LayeredDrawingPutsTheShadowUnderTheBitmap) {
  QImage dst = Solid(10, 10, qRgb(255, 255, 255));
  QImage bitmap(2, 2, QImage::Format_ARGB32);
  bitmap.fill(qRgba(255, 0, 0, 255));
  QImage shadow(4, 4, QImage::Format_ARGB32);
  shadow.fill(qRgba(0, 0, 0, 255));
  PicDrawLayered(bitmap, 3, 3, shadow, 2, 2, dst);
  // The shadow's 4 x 4 is centred on the bitmap's 2 x 2 at (3, 3), then moved by (2, 2): (4, 4).
  EXPECT_EQ(dst.pixel(3, 3), qRgb(255, 0, 0));
  EXPECT_EQ(dst.pixel(4, 4), qRgb(255, 0, 0));
  EXPECT_EQ(dst.pixel(5, 5), qRgb(0, 0, 0));
  EXPECT_EQ(dst.pixel(7, 7), qRgb(0, 0, 0));
  EXPECT_EQ(dst.pixel(8, 8), qRgb(255, 255, 255));
  EXPECT_EQ(dst.pixel(3, 4), qRgb(255, 0, 0));
  EXPECT_EQ(dst.pixel(2, 2), qRgb(255, 255, 255));
  PicDrawLayered(bitmap, 0, 0, QImage(), 2, 2, dst);
  EXPECT_EQ(dst.pixel(0, 0), qRgb(255, 0, 0));
}

TEST(PictorBitmap, TintsClipToTheBitmap) {
  QImage b = Solid(4, 2, qRgb(0, 100, 200));
  PicTintRect(b, TRect{1, 0, 3, 1}, 0x80FFFFFFu);  // white at alpha 128: k = 128
  EXPECT_EQ(b.pixel(1, 0), qRgb(127, 177, 227));
  EXPECT_EQ(b.pixel(0, 0), qRgb(0, 100, 200));
  EXPECT_EQ(b.pixel(1, 1), qRgb(0, 100, 200));
  b = Solid(4, 2, qRgb(0, 100, 200));
  PicTintRect(b, TRect{-5, -5, 100, 100}, 0xFF0000FFu);  // a fill, clipped
  EXPECT_EQ(b.pixel(3, 1), qRgb(255, 0, 0));
  b = Solid(4, 2, qRgb(0, 100, 200));
  PicTintRect(b, TRect{0, 0, 4, 2}, 0x000000FFu);  // alpha 0: nothing
  EXPECT_EQ(b.pixel(0, 0), qRgb(0, 100, 200));
  PicTintRect(b, TRect{2, 0, 100000, 1}, 0xC8000000u);  // alpha 200: a becomes 201, k = 55
  EXPECT_EQ(b.pixel(3, 0), qRgb(0, (100 * 55) >> 8, (200 * 55) >> 8));
  PicTintRect(b, TRect{10, 10, 20, 20}, 0x80000000u);
  PicTintRect(b, TRect{3, 1, 1, 0}, 0x80000000u);
  EXPECT_EQ(b.pixel(1, 1), qRgb(0, 100, 200));
}

TEST(PictorBitmap, AlphaAndButtonBitmapsFromGraphics) {
  // A 24-bit graphic whose bottom-left colour (magenta) is the background.
  QImage g = Solid(8, 8, qRgb(255, 0, 255), QImage::Format_BGR888);
  for (int y = 2; y < 6; ++y)
    for (int x = 2; x < 6; ++x) g.setPixel(x, y, qRgb(0, 128, 0));
  g.setPixel(7, 0, qRgb(252, 3, 253));  // within 5 of the key
  QImage masked;
  PicMakeAlphaBitmap(g, masked);
  ASSERT_EQ(masked.format(), QImage::Format_ARGB32);
  EXPECT_EQ(qAlpha(masked.pixel(0, 0)), 0);
  EXPECT_EQ(qAlpha(masked.pixel(7, 0)), 0);
  EXPECT_EQ(masked.pixel(3, 3), qRgba(0, 128, 0, 255));
  QImage same;
  PicMakeAlphaBitmap(masked, same);
  EXPECT_EQ(same, masked) << "a 32-bit bitmap as it is";

  const int32_t mem0 = MemCount(), gdi0 = GdiLiveObjects();
  QImage m, s, a, b, d;
  ASSERT_TRUE(PicMakeButtonBitmaps(g, &m, &s, &a, &b, &d, 0x00000000));
  EXPECT_EQ(m, masked);
  EXPECT_EQ(a, masked);
  EXPECT_EQ(b, masked);
  EXPECT_EQ(s.width(), 14);
  EXPECT_EQ(qAlpha(d.pixel(3, 3)), 50);
  EXPECT_GT(qAlpha(s.pixel(7, 7)), 0);
  EXPECT_EQ(qAlpha(s.pixel(0, 0)), 0);
  EXPECT_FALSE(PicMakeButtonBitmaps(QImage(), &m, &s, &a, &b, &d, 0));
  EXPECT_FALSE(PicMakeButtonBitmaps(Solid(3, 3, 0), &m, &s, &a, &b, &d, 0));
  EXPECT_EQ(MemCount(), mem0);
  EXPECT_EQ(GdiLiveObjects(), gdi0);
}

TEST(PictorBitmap, FillsAndText) {
  const int32_t gdi0 = GdiLiveObjects();
  QImage screen = Solid(6, 6, qRgb(0, 0, 0));
  HDC dc = CreateImageDC(&screen);
  PicFillRect(dc, 1, 1, 2, 3, 0x00FF8040);
  EXPECT_EQ(screen.pixel(1, 1), qRgb(0x40, 0x80, 0xFF));
  EXPECT_EQ(screen.pixel(2, 3), qRgb(0x40, 0x80, 0xFF));
  EXPECT_EQ(screen.pixel(3, 1), qRgb(0, 0, 0));
  EXPECT_EQ(screen.pixel(1, 4), qRgb(0, 0, 0));
  DeleteDC(dc);
  EXPECT_EQ(GdiLiveObjects(), gdi0) << "the brush is deleted";

  QImage canvas = Solid(120, 40, qRgb(0, 0, 0));
  {
    QPainter painter(&canvas);
    QFont f("DejaVu Sans");
    f.setPixelSize(14);
    painter.setFont(f);
    painter.setPen(QColor(1, 2, 3));
    PicDrawText(painter, TRect{10, 5, 60, 30}, 0x0000FF00, "A text much too long to fit in fifty pixels");
    EXPECT_EQ(painter.pen().color(), QColor(1, 2, 3)) << "the pen is restored";
  }
  bool inside = false, outside = false;
  for (int y = 0; y < 40; ++y)
    for (int x = 0; x < 120; ++x) {
      const QRgb c = canvas.pixel(x, y);
      if (c == qRgb(0, 0, 0)) continue;
      EXPECT_EQ(qRed(c), 0);
      EXPECT_EQ(qBlue(c), 0);
      (x >= 10 && x < 60 && y >= 5 && y < 30 ? inside : outside) = true;
    }
  EXPECT_TRUE(inside) << "text drawn in green";
  EXPECT_FALSE(outside) << "the ellipsis keeps it inside the rectangle";
}

}  // namespace
}  // namespace tavelo
