// The drawing stand-in: DIB transfers, stretching, memory contexts, palettes and bitmaps, checked
// pixel by pixel on offscreen images.
#include "platform/gdi/gdi.h"

#include <gtest/gtest.h>

#include <QImage>
#include <QPainter>

#include <cstring>
#include <vector>

#include "platform/gdi/fonts.h"

namespace tavelo::platform {
namespace {

// A 24-bit picture (B, G, R) of w x h where pixel (x, y) has a colour unique to its place.
QRgb ColourAt(int x, int y) { return qRgb(10 + x * 20, 200 - y * 30, (x * 7 + y * 13) & 0xFF); }

// Packed rows of a 24-bit DIB, top-down or bottom-up, padded to 4 bytes.
std::vector<uint8_t> Rows24(int w, int h, bool topDown) {
  const int64_t stride = DibRowBytes(24, w);
  std::vector<uint8_t> bits(static_cast<size_t>(stride * h), 0xEE);  // padding is never drawn
  for (int y = 0; y < h; ++y) {
    uint8_t* row = bits.data() + (topDown ? y : h - 1 - y) * stride;
    for (int x = 0; x < w; ++x) {
      const QRgb c = ColourAt(x, y);
      row[x * 3] = static_cast<uint8_t>(qBlue(c));
      row[x * 3 + 1] = static_cast<uint8_t>(qGreen(c));
      row[x * 3 + 2] = static_cast<uint8_t>(qRed(c));
    }
  }
  return bits;
}

BITMAPINFO Header(int w, int h, int bitCount, bool topDown) {
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  info.bmiHeader.biWidth = w;
  info.bmiHeader.biHeight = topDown ? -h : h;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = static_cast<uint16_t>(bitCount);
  info.bmiHeader.biCompression = BI_RGB;
  return info;
}

QImage Canvas(int w, int h) {
  QImage img(w, h, QImage::Format_RGB32);
  img.fill(qRgb(1, 2, 3));
  return img;
}

TEST(GdiTransfer, BottomUpAndTopDownDibsDrawTheSamePicture) {
  for (int w : {3, 4, 5}) {
    const int h = 3;
    const std::vector<uint8_t> td = Rows24(w, h, true), bu = Rows24(w, h, false);
    const BITMAPINFO tdInfo = Header(w, h, 24, true), buInfo = Header(w, h, 24, false);
    QImage a = Canvas(8, 8), b = Canvas(8, 8);
    HDC da = CreateImageDC(&a), db = CreateImageDC(&b);
    EXPECT_EQ(SetDIBitsToDevice(da, 1, 2, w, h, 0, 0, 0, h, td.data(), &tdInfo, DIB_RGB_COLORS), h);
    EXPECT_EQ(SetDIBitsToDevice(db, 1, 2, w, h, 0, 0, 0, h, bu.data(), &buInfo, DIB_RGB_COLORS), h);
    EXPECT_EQ(a, b) << "width " << w;
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) ASSERT_EQ(a.pixel(1 + x, 2 + y), ColourAt(x, y)) << x << "," << y;
    EXPECT_EQ(a.pixel(0, 0), qRgb(1, 2, 3));
    EXPECT_EQ(a.pixel(1 + w, 2), qRgb(1, 2, 3));
    DeleteDC(da);
    DeleteDC(db);
  }
}

TEST(GdiTransfer, SourceRectangleCountsFromTheBottomAndIsClipped) {
  const int w = 5, h = 4;
  for (bool topDown : {true, false}) {
    const std::vector<uint8_t> bits = Rows24(w, h, topDown);
    const BITMAPINFO info = Header(w, h, 24, topDown);
    QImage img = Canvas(10, 10);
    HDC dc = CreateImageDC(&img);
    // Rows 1..2 (from the top), columns 2..3: ySrc = 4 - 2 - 1 = 1.
    EXPECT_EQ(SetDIBitsToDevice(dc, 0, 0, 2, 2, 2, 1, 0, h, bits.data(), &info, DIB_RGB_COLORS), h);
    EXPECT_EQ(img.pixel(0, 0), ColourAt(2, 1));
    EXPECT_EQ(img.pixel(1, 1), ColourAt(3, 2));
    EXPECT_EQ(img.pixel(2, 0), qRgb(1, 2, 3));
    // A rectangle reaching past the picture draws only the part inside it.
    img.fill(qRgb(1, 2, 3));
    EXPECT_EQ(SetDIBitsToDevice(dc, 0, 0, 4, 2, 3, 0, 0, h, bits.data(), &info, DIB_RGB_COLORS), h);
    EXPECT_EQ(img.pixel(0, 0), ColourAt(3, 2));
    EXPECT_EQ(img.pixel(1, 1), ColourAt(4, 3));
    EXPECT_EQ(img.pixel(2, 0), qRgb(1, 2, 3));
    DeleteDC(dc);
  }
}

TEST(GdiTransfer, StretchDuplicatesPixelsAndRefusesOutsideSources) {
  const int w = 3, h = 2;
  const std::vector<uint8_t> bits = Rows24(w, h, false);
  const BITMAPINFO info = Header(w, h, 24, false);
  QImage img = Canvas(8, 8);
  HDC dc = CreateImageDC(&img);
  EXPECT_EQ(StretchDIBits(dc, 0, 0, 6, 4, 0, 0, w, h, bits.data(), &info, DIB_RGB_COLORS, SRCCOPY), h);
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 6; ++x) ASSERT_EQ(img.pixel(x, y), ColourAt(x / 2, y / 2)) << x << "," << y;
  EXPECT_EQ(StretchDIBits(dc, 0, 0, 6, 4, -1, 0, w, h, bits.data(), &info, DIB_RGB_COLORS, SRCCOPY), 0);
  EXPECT_EQ(StretchDIBits(dc, 0, 0, 6, 4, 0, 1, w, h, bits.data(), &info, DIB_RGB_COLORS, SRCCOPY), 0);
  EXPECT_EQ(StretchDIBits(dc, 0, 0, 6, 4, 0, 0, w, h, bits.data(), &info, DIB_RGB_COLORS, 0x00EE0086), 0);
  DeleteDC(dc);
}

TEST(GdiTransfer, EightAndSixteenBitDibsAreDecoded) {
  QImage img = Canvas(4, 4);
  HDC dc = CreateImageDC(&img);
  // 8 bits with a two-colour table (biClrUsed 2).
  BITMAPINFO info = Header(2, 1, 8, true);
  info.bmiHeader.biClrUsed = 2;
  info.bmiColors[0] = RGBQUAD{255, 0, 0, 0};  // blue
  info.bmiColors[1] = RGBQUAD{0, 0, 255, 0};  // red
  const uint8_t idx[4] = {1, 0, 0, 0};
  EXPECT_EQ(SetDIBitsToDevice(dc, 0, 0, 2, 1, 0, 0, 0, 1, idx, &info, DIB_RGB_COLORS), 1);
  EXPECT_EQ(img.pixel(0, 0), qRgb(255, 0, 0));
  EXPECT_EQ(img.pixel(1, 0), qRgb(0, 0, 255));
  // 16 bits: BI_RGB is 5-5-5, BI_BITFIELDS with the 5-6-5 masks is 5-6-5.
  const uint16_t px555[2] = {0x7C00, 0x03E0};  // red, green
  BITMAPINFO h555 = Header(2, 1, 16, true);
  EXPECT_EQ(SetDIBitsToDevice(dc, 0, 1, 2, 1, 0, 0, 0, 1, px555, &h555, DIB_RGB_COLORS), 1);
  EXPECT_EQ(img.pixel(0, 1), qRgb(248, 0, 0));
  EXPECT_EQ(img.pixel(1, 1), qRgb(0, 248, 0));
  const uint16_t px565[2] = {0xF800, 0x07E0};
  BITMAPINFO h565 = Header(2, 1, 16, true);
  h565.bmiHeader.biCompression = BI_BITFIELDS;
  const uint32_t masks[3] = {0xF800, 0x07E0, 0x001F};
  std::memcpy(h565.bmiColors, masks, sizeof masks);
  EXPECT_EQ(SetDIBitsToDevice(dc, 0, 2, 2, 1, 0, 0, 0, 1, px565, &h565, DIB_RGB_COLORS), 1);
  EXPECT_EQ(img.pixel(0, 2), qRgb(248, 0, 0));
  EXPECT_EQ(img.pixel(1, 2), qRgb(0, 252, 0));
  // Headers this stand-in does not draw are refused, never misread.
  BITMAPINFO bad = Header(2, 1, 4, true);
  EXPECT_EQ(SetDIBitsToDevice(dc, 0, 0, 2, 1, 0, 0, 0, 1, idx, &bad, DIB_RGB_COLORS), 0);
  bad = Header(2, 1, 8, true);
  bad.bmiHeader.biCompression = BI_RLE8;
  EXPECT_EQ(SetDIBitsToDevice(dc, 0, 0, 2, 1, 0, 0, 0, 1, idx, &bad, DIB_RGB_COLORS), 0);
  bad = Header(0, 1, 24, true);
  EXPECT_EQ(SetDIBitsToDevice(dc, 0, 0, 2, 1, 0, 0, 0, 1, idx, &bad, DIB_RGB_COLORS), 0);
  h565.bmiHeader.biHeight = -1;
  EXPECT_EQ(SetDIBitsToDevice(dc, 0, 0, 2, 1, 0, 0, 0, 2, px565, &h565, DIB_RGB_COLORS), 0) << "partial band";
  DeleteDC(dc);
}

TEST(GdiPalette, PaletteDeviceRealisesAndDrawsIndices) {
  QImage screen(4, 2, QImage::Format_Indexed8);
  screen.fill(0);
  HDC dc = CreateImageDC(&screen);
  EXPECT_TRUE(GetDeviceCaps(dc, RASTERCAPS) & RC_PALETTE);
  EXPECT_EQ(GetDeviceCaps(dc, BITSPIXEL), 8);
  LOGPALETTE lp{};
  lp.palVersion = 0x300;
  lp.palNumEntries = 256;
  for (int i = 0; i < 256; ++i)
    lp.palPalEntry[i] = PALETTEENTRY{static_cast<uint8_t>(i), static_cast<uint8_t>(255 - i), 7, PC_NOCOLLAPSE};
  HPALETTE pal = CreatePalette(&lp);
  ASSERT_NE(pal, nullptr);
  HPALETTE old = SelectPalette(dc, pal, true);
  EXPECT_NE(old, nullptr);
  EXPECT_EQ(SetSystemPaletteUse(dc, SYSPAL_NOSTATIC), static_cast<uint32_t>(SYSPAL_STATIC));
  EXPECT_EQ(SetSystemPaletteUse(dc, SYSPAL_STATIC), static_cast<uint32_t>(SYSPAL_NOSTATIC));
  EXPECT_EQ(RealizePalette(dc), 256u);
  EXPECT_EQ(screen.color(40), qRgb(40, 215, 7));
  // DIB_PAL_COLORS: the colour table holds palette indices.
  BITMAPINFO info = Header(4, 1, 8, true);
  auto* words = reinterpret_cast<uint16_t*>(info.bmiColors);
  for (int i = 0; i < 256; ++i) words[i] = static_cast<uint16_t>(i);
  const uint8_t px[4] = {3, 200, 17, 255};
  EXPECT_EQ(SetDIBitsToDevice(dc, 0, 0, 4, 1, 0, 0, 0, 1, px, &info, DIB_PAL_COLORS), 1);
  for (int x = 0; x < 4; ++x) EXPECT_EQ(screen.pixelIndex(x, 0), px[x]);
  // True colour on a palette device becomes the nearest palette colour.
  const std::vector<uint8_t> rgb = {7, 155, 100, 9, 0, 255};  // (100, 155, 7), (255, 0, 9)
  BITMAPINFO h24 = Header(2, 1, 24, true);
  EXPECT_EQ(SetDIBitsToDevice(dc, 0, 1, 2, 1, 0, 0, 0, 1, rgb.data(), &h24, DIB_RGB_COLORS), 1);
  EXPECT_EQ(screen.pixelIndex(0, 1), 100);
  EXPECT_EQ(screen.pixelIndex(1, 1), 255);
  // Deleting the selected palette puts the stock palette back.
  EXPECT_TRUE(DeleteObject(pal));
  EXPECT_NE(SelectPalette(dc, old, false), pal);
  DeleteDC(dc);
  // A true-colour device has no palette.
  QImage rgbScreen = Canvas(2, 2);
  HDC tc = CreateImageDC(&rgbScreen);
  EXPECT_FALSE(GetDeviceCaps(tc, RASTERCAPS) & RC_PALETTE);
  EXPECT_EQ(RealizePalette(tc), 0u);
  EXPECT_EQ(SetSystemPaletteUse(tc, SYSPAL_NOSTATIC), static_cast<uint32_t>(SYSPAL_ERROR));
  DeleteDC(tc);
}

TEST(GdiBitmaps, SectionsBlitFromMemoryContexts) {
  QImage img = Canvas(8, 8);
  HDC dc = CreateImageDC(&img);
  HDC mem = CreateCompatibleDC(dc);
  const int w = 3, h = 2;
  BITMAPINFO info = Header(w, h, 24, false);
  void* bits = nullptr;
  HBITMAP sec = CreateDIBSection(dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  ASSERT_NE(sec, nullptr);
  ASSERT_NE(bits, nullptr);
  const std::vector<uint8_t> rows = Rows24(w, h, false);
  std::memcpy(bits, rows.data(), rows.size());
  HGDIOBJ old = SelectObject(mem, sec);
  ASSERT_NE(old, nullptr);
  EXPECT_TRUE(BitBlt(dc, 2, 3, w, h, mem, 0, 0, SRCCOPY));
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) EXPECT_EQ(img.pixel(2 + x, 3 + y), ColourAt(x, y));
  EXPECT_TRUE(StretchBlt(dc, 0, 0, 2, 2, mem, 1, 1, 1, 1, SRCCOPY));
  EXPECT_EQ(img.pixel(1, 1), ColourAt(1, 1));
  EXPECT_FALSE(StretchBlt(dc, 0, 0, 2, 2, mem, 2, 1, 2, 1, SRCCOPY));
  EXPECT_FALSE(DeleteObject(sec)) << "a selected bitmap stays";
  EXPECT_TRUE(DeleteDC(mem));
  EXPECT_TRUE(DeleteObject(sec));
  EXPECT_FALSE(DeleteObject(sec)) << "a deleted handle is dead";
  EXPECT_FALSE(BitBlt(dc, 0, 0, 1, 1, mem, 0, 0, SRCCOPY)) << "a deleted context is dead";
  DeleteDC(dc);
}

TEST(GdiBitmaps, ObjectsDescribeAndCopyTheirRows) {
  // A device-dependent bitmap: rows top-down, no bits pointer.
  const int w = 3, h = 2;
  const std::vector<uint8_t> rows = Rows24(w, h, true);
  HBITMAP ddb = CreateBitmap(w, h, 1, 24, rows.data());
  BITMAP bm{};
  ASSERT_EQ(GetObjectA(ddb, sizeof bm, &bm), static_cast<int32_t>(sizeof bm));
  EXPECT_EQ(bm.bmWidth, w);
  EXPECT_EQ(bm.bmHeight, h);
  EXPECT_EQ(bm.bmWidthBytes, 12);
  EXPECT_EQ(bm.bmBitsPixel, 24);
  EXPECT_EQ(bm.bmBits, nullptr);
  std::vector<uint8_t> out(rows.size());
  EXPECT_EQ(GetBitmapBits(ddb, static_cast<int32_t>(out.size()), out.data()), static_cast<int32_t>(out.size()));
  EXPECT_EQ(out, rows);
  EXPECT_EQ(GetBitmapBits(ddb, 5, out.data()), 5) << "never more than asked";
  // GetDIBits gives them bottom-up for a positive height.
  HDC screen = CreateCompatibleDC(nullptr);
  BITMAPINFO info = Header(w, h, 24, false);
  std::vector<uint8_t> dib(rows.size());
  EXPECT_EQ(GetDIBits(screen, ddb, 0, h, dib.data(), &info, DIB_RGB_COLORS), h);
  EXPECT_EQ(dib, Rows24(w, h, false));
  info = Header(w, h, 32, false);
  EXPECT_EQ(GetDIBits(screen, ddb, 0, h, dib.data(), &info, DIB_RGB_COLORS), 0) << "depth change refused";
  EXPECT_EQ(GetObjectA(nullptr, sizeof bm, &bm), 0);
  EXPECT_EQ(GetObjectA(ddb, 4, &bm), 0);
  DeleteObject(ddb);

  // A toolkit image becomes a bottom-up section; its 8-bit colour table is readable.
  QImage idx(2, 2, QImage::Format_Indexed8);
  idx.setColorTable({qRgb(1, 2, 3), qRgb(4, 5, 6)});
  idx.fill(0);
  idx.setPixel(1, 0, 1);
  HBITMAP sec = CreateBitmapFromImage(idx);
  ASSERT_EQ(GetObjectA(sec, sizeof bm, &bm), static_cast<int32_t>(sizeof bm));
  EXPECT_EQ(bm.bmHeight, 2);
  ASSERT_NE(bm.bmBits, nullptr);
  EXPECT_EQ(static_cast<uint8_t*>(bm.bmBits)[4 + 1], 1) << "top row stored last";
  SelectObject(screen, sec);
  RGBQUAD table[256];
  EXPECT_EQ(GetDIBColorTable(screen, 0, 256, table), 256u);
  EXPECT_EQ(table[1].rgbRed, 4);
  EXPECT_EQ(table[1].rgbBlue, 6);
  DeleteDC(screen);
  DeleteObject(sec);
}

TEST(GdiDevices, FillsRefusalsAndPainters) {
  const int32_t objects0 = GdiLiveObjects(), dcs0 = GdiLiveDCs();
  QImage img = Canvas(4, 4);
  HDC dc = CreateImageDC(&img, DcOptions{true});
  HBRUSH brush = CreateSolidBrush(0x00336699);  // red 0x99, green 0x66, blue 0x33
  RECT r{1, 1, 3, 2};
  EXPECT_TRUE(FillRect(dc, &r, brush));
  EXPECT_EQ(img.pixel(1, 1), qRgb(0x99, 0x66, 0x33));
  EXPECT_EQ(img.pixel(2, 1), qRgb(0x99, 0x66, 0x33));
  EXPECT_EQ(img.pixel(1, 2), qRgb(1, 2, 3));
  const std::vector<uint8_t> bits = Rows24(1, 1, true);
  const BITMAPINFO info = Header(1, 1, 24, true);
  EXPECT_EQ(SetDIBitsToDevice(dc, 0, 0, 1, 1, 0, 0, 0, 1, bits.data(), &info, DIB_RGB_COLORS), 0);
  EXPECT_EQ(StretchDIBits(dc, 0, 0, 1, 1, 0, 0, 1, 1, bits.data(), &info, DIB_RGB_COLORS, SRCCOPY), 0);
  DeleteDC(dc);
  // A painter the caller holds open (a window's paint event).
  QImage target = Canvas(4, 4);
  {
    QPainter painter(&target);
    HDC pdc = CreatePainterDC(&painter);
    EXPECT_EQ(SetDIBitsToDevice(pdc, 2, 2, 1, 1, 0, 0, 0, 1, bits.data(), &info, DIB_RGB_COLORS), 1);
    DeleteDC(pdc);
  }
  EXPECT_EQ(target.pixel(2, 2), ColourAt(0, 0));
  EXPECT_TRUE(DeleteObject(brush));
  EXPECT_EQ(GdiLiveDCs(), dcs0);
  EXPECT_EQ(GdiLiveObjects(), objects0);
}

TEST(Fonts, AKnownFamilyIsInstalledAndArialResolves) {
  // Without any font Qt draws empty boxes and says nothing: the machine must have DejaVu.
  EXPECT_TRUE(FontFamilyInstalled("DejaVu Sans")) << "install fonts-dejavu-core";
  EXPECT_FALSE(InstalledFontFamilies().empty());
  const std::string arial = ResolvedFontFamily("Arial");
  EXPECT_FALSE(arial.empty());
  EXPECT_TRUE(FontFamilyInstalled(arial)) << arial;
}

}  // namespace
}  // namespace tavelo::platform
