// Drawing picture records on devices, compared pixel by pixel on offscreen images: padded and
// unpadded rows, stretching, source rectangles, the fallback through a memory context, the palette
// path, and records from bitmaps.
#include "gui/img_put.h"

#include <gtest/gtest.h>

#include <QImage>

#include <cstring>
#include <functional>
#include <set>

#include "core/media/img_dib.h"
#include "core/services/memory.h"
#include "platform/gdi/gdi.h"

namespace tavelo {
namespace {

using namespace platform;

constexpr QRgb kBackground = 0xFF010203;

// Pixel (x, y) of the test pictures, as a colour.
QRgb ColourAt(int x, int y) { return qRgb((x * 37 + 11) & 0xF8, (y * 53 + 7) & 0xFC, (x * 11 + y * 29) & 0xF8); }

// A picture of w x h at bpp whose pixels show ColourAt (exactly, at every depth: the channels are
// multiples of 8, or 4 for green).
void MakePicture(Qimg& img, int w, int h, int bpp) {
  ImgAlloc(img, w, h, bpp);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const QRgb c = ColourAt(x, y);
      uint8_t* p = img.Data + (static_cast<int64_t>(y) * w + x) * img.BytesPP;
      const uint32_t r = qRed(c), g = qGreen(c), b = qBlue(c);
      switch (bpp) {
        case 8: {
          const int i = (x + y * w) & 0xFF;
          p[0] = static_cast<uint8_t>(i);
          img.Palette[i * 3] = static_cast<uint8_t>(b);
          img.Palette[i * 3 + 1] = static_cast<uint8_t>(g);
          img.Palette[i * 3 + 2] = static_cast<uint8_t>(r);
          break;
        }
        case 15: {
          const uint16_t v = static_cast<uint16_t>(((r >> 3) << 10) | ((g >> 3) << 5) | (b >> 3));
          std::memcpy(p, &v, 2);
          break;
        }
        case 16: {
          const uint16_t v = static_cast<uint16_t>(((r >> 3) << 11) | ((g >> 2) << 5) | (b >> 3));
          std::memcpy(p, &v, 2);
          break;
        }
        default:
          p[0] = static_cast<uint8_t>(b);
          p[1] = static_cast<uint8_t>(g);
          p[2] = static_cast<uint8_t>(r);
          if (bpp == 32) p[3] = 0x55;
      }
    }
}

// 15-bit pictures keep 5 bits of green.
QRgb Expected(int bpp, int x, int y) {
  const QRgb c = ColourAt(x, y);
  return bpp == 15 ? qRgb(qRed(c), qGreen(c) & 0xF8, qBlue(c)) : c;
}

QImage Screen(int w, int h) {
  QImage s(w, h, QImage::Format_RGB32);
  s.fill(kBackground);
  return s;
}

// Draws img on a fresh screen and returns it; the fallback path when refuse is set.
QImage Draw(Qimg& img, ImgRect r, int destX, int destY, int destW, int destH, bool refuse = false) {
  QImage screen = Screen(24, 16);
  HDC dc = CreateImageDC(&screen, DcOptions{refuse});
  ImgPutEx(img, r, dc, destX, destY, destW, destH, 0);
  DeleteDC(dc);
  return screen;
}

class ImgPutTest : public testing::Test {
 protected:
  void SetUp() override {
    mem0_ = MemCount();
    objects0_ = GdiLiveObjects();
  }
  void TearDown() override {
    EXPECT_EQ(MemCount(), mem0_) << "tracked blocks left behind";
    EXPECT_EQ(GdiLiveDCs(), 0);
    // The program-wide palette may stay; nothing else does.
    EXPECT_LE(GdiLiveObjects(), objects0_ + 1);
  }
  int32_t mem0_ = 0;
  int32_t objects0_ = 0;
};

TEST_F(ImgPutTest, PaddedAndUnpaddedRowsDrawTheirPixels) {
  // 3 pixels of 24 bits make 9-byte rows (the padded bottom-up copy); 4 pixels make 12 (drawn
  // straight from the record). Every depth, drawn at (2, 1).
  for (int bpp : {8, 15, 16, 24, 32}) {
    for (int w : {3, 4, 5}) {
      Qimg img;
      MakePicture(img, w, 3, bpp);
      const QImage s = Draw(img, ImgRect{0, 0, w, 3}, 2, 1, 0, 0);
      for (int y = 0; y < 3; ++y)
        for (int x = 0; x < w; ++x)
          ASSERT_EQ(s.pixel(2 + x, 1 + y), Expected(bpp, x, y)) << bpp << " bpp, width " << w << " at " << x << "," << y;
      EXPECT_EQ(s.pixel(1, 1), kBackground);
      EXPECT_EQ(s.pixel(2 + w, 1), kBackground);
      EXPECT_EQ(s.pixel(2, 4), kBackground);
      ImgFree(img);
    }
  }
}

TEST_F(ImgPutTest, StretchedAndSubRectanglesMatchForAnyRowLength) {
  for (int bpp : {8, 24, 32}) {
    for (int w : {3, 4}) {
      Qimg img;
      MakePicture(img, w, 4, bpp);
      // Doubled.
      QImage s = Draw(img, ImgRect{0, 0, 0, 0}, 0, 0, 2 * w, 8);
      for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 2 * w; ++x) ASSERT_EQ(s.pixel(x, y), ColourAt(x / 2, y / 2)) << bpp << "/" << w;
      // The 2 x 2 block at (1, 1), drawn as it is and tripled.
      s = Draw(img, ImgRect{1, 1, 2, 2}, 5, 5, 0, 0);
      for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 2; ++x) ASSERT_EQ(s.pixel(5 + x, 5 + y), ColourAt(1 + x, 1 + y)) << bpp << "/" << w;
      EXPECT_EQ(s.pixel(7, 5), kBackground);
      EXPECT_EQ(s.pixel(5, 7), kBackground);
      s = Draw(img, ImgRect{1, 2, 2, 2}, 0, 0, 6, 6);
      for (int y = 0; y < 6; ++y)
        for (int x = 0; x < 6; ++x) ASSERT_EQ(s.pixel(x, y), ColourAt(1 + x / 3, 2 + y / 3)) << bpp << "/" << w;
      ImgFree(img);
    }
  }
}

// Devices take no bitmap wider or taller than 32768 pixels: larger pictures hand over the band
// that can be seen, as they are or shrunk to every k-th pixel when stretched smaller.
TEST_F(ImgPutTest, PicturesBeyondTheDeviceLimitShowTheirVisibleBand) {
  Qimg wide, tall;
  MakePicture(wide, 40000, 3, 24);
  MakePicture(tall, 3, 40000, 32);
  QImage s = Draw(wide, ImgRect{}, -30000, 1, 0, 0);
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 24; ++x) ASSERT_EQ(s.pixel(x, 1 + y), ColourAt(30000 + x, y)) << x << "," << y;
  EXPECT_EQ(s.pixel(0, 0), kBackground);
  s = Draw(wide, ImgRect{}, 2, 2, 0, 0);
  for (int x = 0; x < 22; ++x) ASSERT_EQ(s.pixel(2 + x, 2), ColourAt(x, 0)) << x;
  EXPECT_EQ(s.pixel(1, 2), kBackground);
  // A source rectangle deep inside the picture.
  ImgRect part{39990, 1, 5, 2};
  s = Draw(wide, part, 3, 3, 0, 0);
  EXPECT_EQ(part.x, 39990);
  EXPECT_EQ(s.pixel(3, 3), ColourAt(39990, 1));
  EXPECT_EQ(s.pixel(7, 4), ColourAt(39994, 2));
  EXPECT_EQ(s.pixel(8, 3), kBackground);
  s = Draw(tall, ImgRect{}, 4, -39990, 0, 0);
  for (int y = 0; y < 10; ++y)
    for (int x = 0; x < 3; ++x) ASSERT_EQ(s.pixel(4 + x, y), ColourAt(x, 39990 + y)) << x << "," << y;
  EXPECT_EQ(s.pixel(4, 10), kBackground);
  // The whole width shrunk to 20 pixels: pixel x shows a column of its 2000-column share.
  s = Draw(wide, ImgRect{}, 0, 0, 20, 3);
  for (int x = 0; x < 20; ++x) {
    bool found = false;
    for (int c = 2000 * x; c < 2000 * (x + 1) && !found; ++c) found = s.pixel(x, 1) == ColourAt(c, 1);
    EXPECT_TRUE(found) << "column " << x;
  }
  ImgFree(wide);
  ImgFree(tall);
}

TEST_F(ImgPutTest, TheFallbackThroughAMemoryContextDrawsTheSame) {
  for (int bpp : {8, 16, 24}) {
    for (int w : {3, 4}) {
      Qimg img;
      MakePicture(img, w, 4, bpp);
      EXPECT_EQ(Draw(img, ImgRect{}, 1, 1, 0, 0, true), Draw(img, ImgRect{}, 1, 1, 0, 0)) << bpp << "/" << w;
      EXPECT_EQ(Draw(img, ImgRect{1, 1, 2, 3}, 0, 2, 0, 0, true), Draw(img, ImgRect{1, 1, 2, 3}, 0, 2, 0, 0));
      EXPECT_EQ(Draw(img, ImgRect{1, 0, 2, 2}, 3, 3, 8, 6, true), Draw(img, ImgRect{1, 0, 2, 2}, 3, 3, 8, 6));
      const QImage s = Draw(img, ImgRect{}, 0, 0, 0, 0, true);
      EXPECT_EQ(s.pixel(w - 1, 3), ColourAt(w - 1, 3));
      ImgFree(img);
    }
  }
}

TEST_F(ImgPutTest, SourceRectanglesAreCorrectedInPlace) {
  Qimg img;
  MakePicture(img, 400, 300, 24);
  QImage screen = Screen(4, 4);
  HDC dc = CreateImageDC(&screen);
  ImgRect r{500, 0, 0, 0};
  ImgPutEx(img, r, dc, 0, 0, 0, 0, 0);
  EXPECT_EQ(r.x, 0);
  EXPECT_EQ(r.y, 0);
  EXPECT_EQ(r.width, 400);
  EXPECT_EQ(r.height, 300);
  // A negative origin is taken as 0, never read before the picture.
  r = ImgRect{-7, -3, 2, 2};
  ImgPutEx(img, r, dc, 0, 0, 0, 0, 0);
  EXPECT_EQ(r.x, 0);
  EXPECT_EQ(r.y, 0);
  EXPECT_EQ(screen.pixel(1, 1), ColourAt(1, 1));
  // Too wide and too tall are cut to the picture.
  r = ImgRect{398, 290, 50, 50};
  ImgPutEx(img, r, dc, 0, 0, 0, 0, 0);
  EXPECT_EQ(r.width, 2);
  EXPECT_EQ(r.height, 10);
  EXPECT_EQ(screen.pixel(1, 3), ColourAt(399, 293));
  // ImgPut draws the whole picture at a point.
  ImgPut(img, dc, -396, -296);
  EXPECT_EQ(screen.pixel(3, 3), ColourAt(399, 299));
  // An empty record draws nothing.
  Qimg empty;
  screen.fill(kBackground);
  ImgPut(empty, dc, 0, 0);
  EXPECT_EQ(screen.pixel(0, 0), kBackground);
  DeleteDC(dc);
  ImgFree(img);
}

TEST_F(ImgPutTest, PalettePathReducesToEightBits) {
  // A device whose surface is an 8-bit indexed image is a palette device.
  QImage screen(40, 30, QImage::Format_Indexed8);
  screen.fill(0);
  HDC dc = CreateImageDC(&screen);
  ASSERT_TRUE(IsPaletteDC(dc));
  // 40 x 30 = 1200 distinct colours: more than a palette holds.
  Qimg img;
  ImgAlloc(img, 40, 30, 24);
  for (int y = 0; y < 30; ++y)
    for (int x = 0; x < 40; ++x) {
      uint8_t* p = img.Data + (y * 40 + x) * 3;
      p[0] = static_cast<uint8_t>(x * 6);
      p[1] = static_cast<uint8_t>(y * 8);
      p[2] = static_cast<uint8_t>((x + y) * 3);
    }
  Qimg expected;
  ImgTo8bit(img, expected, 0);
  ImgPut(img, dc, 0, 0);
  // The device shows the reduction's indices with its palette realised.
  std::set<QRgb> shown;
  for (int y = 0; y < 30; ++y)
    for (int x = 0; x < 40; ++x) {
      const int i = expected.Data[y * 40 + x];
      ASSERT_EQ(screen.pixelIndex(x, y), i) << x << "," << y;
      shown.insert(screen.pixel(x, y));
      ASSERT_EQ(screen.pixel(x, y), qRgb(expected.Palette[i * 3 + 2], expected.Palette[i * 3 + 1], expected.Palette[i * 3]));
    }
  EXPECT_LE(shown.size(), 256u);
  EXPECT_GT(shown.size(), 100u);
  ASSERT_NE(ProgramPalette(), nullptr);
  PALETTEENTRY e[256];
  ASSERT_EQ(GetPaletteEntries(ProgramPalette(), 0, 256, e), 256u);
  EXPECT_EQ(e[5].peRed, expected.Palette[5 * 3 + 2]);
  EXPECT_EQ(e[5].peFlags, PC_NOCOLLAPSE);

  // An 8-bit picture shows in its own palette; stretched and through the fallback as well.
  Qimg pic8;
  MakePicture(pic8, 5, 3, 8);
  ImgRect whole{};
  ImgPutEx(pic8, whole, dc, 10, 10, 10, 6, 0);
  EXPECT_EQ(screen.pixel(10, 10), ColourAt(0, 0));
  EXPECT_EQ(screen.pixel(19, 15), ColourAt(4, 2));
  DeleteDC(dc);
  QImage screen2(8, 8, QImage::Format_Indexed8);
  screen2.fill(0);
  HDC refusing = CreateImageDC(&screen2, DcOptions{true});
  ImgPut(pic8, refusing, 1, 1);
  EXPECT_EQ(screen2.pixel(1, 1), ColourAt(0, 0));
  EXPECT_EQ(screen2.pixel(5, 3), ColourAt(4, 2));
  ImgPut(img, refusing, 0, 0);
  const int i32 = expected.Data[2 * 40 + 3];
  EXPECT_EQ(screen2.pixel(3, 2), qRgb(expected.Palette[i32 * 3 + 2], expected.Palette[i32 * 3 + 1], expected.Palette[i32 * 3]));
  DeleteDC(refusing);
  // A true-colour device takes no palette.
  QImage tc = Screen(2, 2);
  HDC tdc = CreateImageDC(&tc);
  EXPECT_FALSE(IsPaletteDC(tdc));
  HPALETTE before = ProgramPalette();
  PalPut(expected.Palette, tdc);
  EXPECT_EQ(ProgramPalette(), before);
  DeleteDC(tdc);
  for (Qimg* q : {&img, &expected, &pic8}) ImgFree(*q);
}

TEST_F(ImgPutTest, RecordsFromBitmaps) {
  Qimg img;
  // A device-dependent bitmap (rows top-down, no bits pointer).
  const int w = 3, h = 2;
  std::vector<uint8_t> rows(static_cast<size_t>(DibLineBytes(24, w) * h), 0);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      uint8_t* p = rows.data() + y * DibLineBytes(24, w) + x * 3;
      p[0] = static_cast<uint8_t>(qBlue(ColourAt(x, y)));
      p[1] = static_cast<uint8_t>(qGreen(ColourAt(x, y)));
      p[2] = static_cast<uint8_t>(qRed(ColourAt(x, y)));
    }
  HBITMAP ddb = CreateBitmap(w, h, 1, 24, rows.data());
  ASSERT_TRUE(HBitmapToQimg(ddb, img));
  EXPECT_EQ(img.Width, w);
  EXPECT_EQ(img.Bpp, 24);
  EXPECT_EQ(img.Data[(1 * w + 2) * 3 + 2], qRed(ColourAt(2, 1)));
  DeleteObject(ddb);

  // A toolkit image: a bottom-up 8-bit section with its colour table.
  QImage idx(4, 2, QImage::Format_Indexed8);
  idx.setColorTable({qRgb(10, 20, 30), qRgb(40, 50, 60)});
  idx.fill(0);
  idx.setPixel(3, 0, 1);
  HBITMAP sec = CreateBitmapFromImage(idx);
  ASSERT_TRUE(HBitmapToQimg(sec, img));
  EXPECT_EQ(img.Bpp, 8);
  EXPECT_EQ(img.Data[3], 1) << "top row first";
  EXPECT_EQ(img.Data[4 + 3], 0);
  EXPECT_EQ(img.Palette[3 + 0], 60);
  EXPECT_EQ(img.Palette[3 + 2], 40);
  DeleteObject(sec);

  // A 32-bit toolkit image keeps its alpha.
  QImage argb(2, 2, QImage::Format_ARGB32);
  argb.fill(qRgba(1, 2, 3, 4));
  HBITMAP sec32 = CreateBitmapFromImage(argb);
  ASSERT_TRUE(HBitmapToQimg(sec32, img));
  EXPECT_EQ(img.Bpp, 32);
  EXPECT_EQ(img.Data[3], 4);
  DeleteObject(sec32);

  // Not a bitmap: false, the record is left alone.
  const uint8_t* before = img.Data;
  EXPECT_FALSE(HBitmapToQimg(nullptr, img));
  EXPECT_FALSE(HBitmapToQimg(sec32, img)) << "a deleted handle";
  EXPECT_EQ(img.Data, before);
  ImgFree(img);
}

TEST_F(ImgPutTest, BottomUpAndTopDownDibsShowTheSamePicture) {
  // The same 3 x 2 picture as a bottom-up and a top-down packed DIB.
  auto dib = [](bool topDown) {
    std::vector<uint8_t> out(40 + 2 * 12, 0);
    BITMAPINFOHEADER h{};
    h.biSize = 40;
    h.biWidth = 3;
    h.biHeight = topDown ? -2 : 2;
    h.biPlanes = 1;
    h.biBitCount = 24;
    std::memcpy(out.data(), &h, 40);
    for (int y = 0; y < 2; ++y)
      for (int x = 0; x < 3; ++x) {
        uint8_t* p = out.data() + 40 + (topDown ? y : 1 - y) * 12 + x * 3;
        p[0] = static_cast<uint8_t>(qBlue(ColourAt(x, y)));
        p[1] = static_cast<uint8_t>(qGreen(ColourAt(x, y)));
        p[2] = static_cast<uint8_t>(qRed(ColourAt(x, y)));
      }
    return out;
  };
  Qimg a, b;
  const auto up = dib(false), down = dib(true);
  DibToQimg(a, up.data(), static_cast<int64_t>(up.size()));
  DibToQimg(b, down.data(), static_cast<int64_t>(down.size()));
  const QImage sa = Draw(a, ImgRect{}, 0, 0, 0, 0), sb = Draw(b, ImgRect{}, 0, 0, 0, 0);
  EXPECT_EQ(sa, sb);
  EXPECT_EQ(sa.pixel(2, 1), ColourAt(2, 1));
  ImgFree(a);
  ImgFree(b);
}

}  // namespace
}  // namespace tavelo
