// Picture adjustments and colour helpers.
#include <gtest/gtest.h>

#include <cmath>
#include <thread>
#include <vector>

#include "core/media/color_utils.h"
#include "core/media/impress.h"
#include "core/services/memory.h"
#include "tests/core/img_test_util.h"

namespace tavelo {
namespace {

using test::Bgr;
using test::MakePic;
using test::Pixel;

TEST(ToneTables, Brightness) {
  ToneTable t{};
  BrightnessCalc_(50, t);  // k = trunc(127.5) = 127
  EXPECT_EQ(t[0], 127);
  EXPECT_EQ(t[100], 227);
  EXPECT_EQ(t[200], 255);
  BrightnessCalc_(-50, t);
  EXPECT_EQ(t[100], 0);
  EXPECT_EQ(t[127], 0);
  EXPECT_EQ(t[200], 73);
  BrightnessCalc_(0, t);
  for (int i = 0; i < 256; ++i) ASSERT_EQ(t[i], i);
}

TEST(ToneTables, Contrast) {
  ToneTable t{};
  ContrastCalc_(100, t);  // k = 128: a hard threshold at 128
  for (int i = 0; i < 128; ++i) ASSERT_EQ(t[i], 0) << i;
  for (int i = 128; i < 256; ++i) ASSERT_EQ(t[i], 255) << i;
  ContrastCalc_(50, t);  // c = 50, k = trunc(128 / 64.5) = 1
  EXPECT_EQ(t[0], 0);
  EXPECT_EQ(t[100], 100 - (27 * 50 / 100 + 1));
  EXPECT_EQ(t[127], 126);
  EXPECT_EQ(t[128], 129);
  EXPECT_EQ(t[200], 50 * 72 / 100 + 1 + 200);
  EXPECT_EQ(t[255], 255);
  ContrastCalc_(-50, t);
  EXPECT_EQ(t[0], 64);
  EXPECT_EQ(t[100], 27 * 50 / 100 + 1 + 100);
  EXPECT_EQ(t[127], 128);
  EXPECT_EQ(t[200], 200 - (50 * 72 / 100 + 1));
  EXPECT_EQ(t[130], 128);
  ContrastCalc_(-100, t);  // everything to the middle grey
  for (int i = 0; i < 256; ++i) ASSERT_EQ(t[i], 128) << i;
}

TEST(ToneTables, Gamma) {
  ToneTable t{};
  GammaCalc_(1.0, t);
  for (int i = 0; i < 256; ++i) ASSERT_EQ(t[i], i);
  GammaCalc_(2.0, t);
  EXPECT_EQ(t[0], 0);
  EXPECT_EQ(t[255], 255);
  EXPECT_EQ(t[64], 128);  // 255 x sqrt(64 / 255) = 127.75
  for (int i = 1; i < 255; ++i) ASSERT_EQ(t[i], std::lround(255 * std::sqrt(i / 255.0))) << i;
  GammaCalc_(0.5, t);
  EXPECT_EQ(t[128], 64);  // 255 x (128 / 255)^2 = 64.25
}

// The logarithm table is filled on first use; several threads may be first together.
TEST(ToneTables, GammaFromSeveralThreadsAtOnce) {
  std::vector<std::thread> threads;
  std::vector<ToneTable> tables(6);
  for (int i = 0; i < 6; ++i) threads.emplace_back([&, i] { GammaCalc_(2.0, tables[i]); });
  for (auto& th : threads) th.join();
  for (int i = 1; i < 6; ++i) EXPECT_EQ(tables[i], tables[0]);
  EXPECT_EQ(tables[0][64], 128);
}

TEST(ImgAdjust, ChannelsGoThroughTheirOwnTables) {
  const int32_t memAtStart = MemCount();  // what earlier work left is not this test's
  Qimg src, dest;
  MakePic(src, 2, 2, 32, [](int, int) { return 0x7F000000u | Bgr(10, 100, 200); });
  ImgBrightness(src, dest, 50, 0, -50);  // red +127, green unchanged, blue -127
  EXPECT_EQ(dest.Bpp, 32);
  EXPECT_EQ(Pixel(dest, 1, 1), 0x7F000000u | Bgr(0, 100, 255));  // the fourth byte is copied
  ImgContrast(src, dest, 100, 100, 100);
  EXPECT_EQ(Pixel(dest, 0, 0), 0x7F000000u | Bgr(0, 0, 255));
  ImgGamma(src, dest, 1, 1, 1);
  EXPECT_EQ(Pixel(dest, 0, 0), Pixel(src, 0, 0));
  // Values outside the parameter range are limited to it.
  ImgBrightness(src, dest, 500, 500, 500);
  EXPECT_EQ(Pixel(dest, 0, 0) & 0xFFFFFF, 0xFFFFFFu);
  // All three zero copies the picture (also its depth).
  Qimg w16;
  MakePic(w16, 2, 2, 16, [](int, int) { return 0x1234u; });
  ImgBrightness(w16, dest, 0, 0, 0);
  EXPECT_EQ(dest.Bpp, 16);
  EXPECT_EQ(test::Bytes(dest), test::Bytes(w16));
  // Otherwise a 16-bit picture works, and ends, at 24 bits.
  ImgBrightness(w16, w16, 10, 10, 10);
  EXPECT_EQ(w16.Bpp, 24);
  for (Qimg* p : {&src, &dest, &w16}) ImgFree(*p);
  EXPECT_EQ(MemCount(), memAtStart);
}

TEST(ImgAdjust, PalettePicturesChangeOnlyTheirPalette) {
  Qimg pal, out;
  MakePic(pal, 3, 3, 8, [](int x, int y) { return static_cast<uint32_t>(x * 3 + y); });
  PalSetGray(pal.Palette);
  ImgGamma(pal, out, 1.0, 0.5, 1.0);
  EXPECT_EQ(out.Bpp, 8);
  EXPECT_EQ(test::Bytes(out), test::Bytes(pal));
  EXPECT_EQ(out.Palette[3 * 128 + 1], 64);   // green through gamma 0.5
  EXPECT_EQ(out.Palette[3 * 128], 128);      // blue unchanged
  EXPECT_EQ(out.Palette[3 * 128 + 2], 128);  // red unchanged
  ImgSaturation(pal, pal, -100);
  EXPECT_EQ(pal.Bpp, 8);
  EXPECT_EQ(pal.Palette[3 * 7], 7);
  ImgFree(pal);
  ImgFree(out);
}

TEST(ImgAdjust, Saturation) {
  Qimg src, dest;
  MakePic(src, 3, 1, 24, [](int x, int) {
    return x == 0 ? Bgr(10, 100, 220) : x == 1 ? Bgr(50, 50, 50) : Bgr(200, 200, 20);
  });
  ImgSaturation(src, dest, -100);  // every pixel to its grey level (B + G + R) div 3
  EXPECT_EQ(Pixel(dest, 0, 0), Bgr(110, 110, 110));
  EXPECT_EQ(Pixel(dest, 1, 0), Bgr(50, 50, 50));
  EXPECT_EQ(Pixel(dest, 2, 0), Bgr(140, 140, 140));

  ImgSaturation(src, dest, -50);  // halfway to the grey level
  EXPECT_EQ(Pixel(dest, 0, 0), Bgr(10 + 50, 100 + 5, 220 - 55));

  ImgSaturation(src, dest, 50);
  // (B 10, G 100, R 220): max R, mid G, min B; d = (50 x 210 div 100) div 2 = 52.
  // min 10 - 52 -> 0; max 220 + 52 -> 255; mid 0 + (90 + 45) = 135.
  EXPECT_EQ(Pixel(dest, 0, 0), Bgr(0, 135, 255));
  EXPECT_EQ(Pixel(dest, 1, 0), Bgr(50, 50, 50));  // grey stays grey
  // (B 200, G 200, R 20): blue ranks above green on the tie, so blue is max and green is mid.
  // d = (50 x 180 div 100) div 2 = 45; min 0... R: 20 - 45 -> 0; B: 245; G: 0 + (180 + 90) -> 255.
  EXPECT_EQ(Pixel(dest, 2, 0), Bgr(245, 255, 0));

  ImgSaturation(src, dest, 0);
  EXPECT_EQ(test::Bytes(dest), test::Bytes(src));

  Qimg s32, d32;
  MakePic(s32, 2, 1, 32, [](int, int) { return 0x55000000u | Bgr(10, 20, 30); });
  ImgSaturation(s32, d32, -100);
  EXPECT_EQ(Pixel(d32, 1, 0), 0x55000000u | Bgr(20, 20, 20));
  for (Qimg* p : {&src, &dest, &s32, &d32}) ImgFree(*p);
}

TEST(ImgBlendTest, CoverageMixesAndClips) {
  const int32_t memAtStart = MemCount();  // what earlier work left is not this test's
  Qimg overlay, alpha, bg, out;
  MakePic(overlay, 3, 2, 24, [](int, int) { return Bgr(200, 100, 0); });
  MakePic(alpha, 3, 2, 8, [](int x, int) { return x == 0 ? 0u : x == 1 ? 255u : 128u; });
  MakePic(bg, 4, 4, 32, [](int, int) { return 0x11000000u | Bgr(0, 50, 250); });
  ImgBlend(overlay, alpha, bg, out, 1, 2);
  EXPECT_EQ(out.Bpp, 32);
  EXPECT_EQ(Pixel(out, 0, 0), Pixel(bg, 0, 0));
  EXPECT_EQ(Pixel(out, 1, 2), Pixel(bg, 1, 2));                 // coverage 0
  EXPECT_EQ(Pixel(out, 2, 3), 0x11000000u | Bgr(200, 100, 0));  // full coverage, fourth byte stays
  EXPECT_EQ(Pixel(out, 3, 2), 0x11000000u | Bgr((0 * 127 + 200 * 128) / 255, (50 * 127 + 100 * 128) / 255, (250 * 127) / 255));
  // A negative position skips overlay columns and rows.
  ImgBlend(overlay, alpha, bg, out, -1, -1);
  EXPECT_EQ(Pixel(out, 0, 0), 0x11000000u | Bgr(200, 100, 0));
  EXPECT_EQ(Pixel(out, 0, 1), Pixel(bg, 0, 1));
  // Completely outside: out is a copy of the background.
  ImgBlend(overlay, alpha, bg, out, 10, 0);
  EXPECT_EQ(test::Bytes(out), test::Bytes(bg));
  // The overlay as its own alpha (24-bit: byte 2), written over the background itself.
  MakePic(overlay, 1, 1, 24, [](int, int) { return Bgr(0, 0, 255); });
  ImgBlend(overlay, overlay, bg, bg, 0, 0);
  EXPECT_EQ(Pixel(bg, 0, 0), 0x11000000u | Bgr(0, 0, 255));
  EXPECT_EQ(Pixel(bg, 1, 0), 0x11000000u | Bgr(0, 50, 250));
  // The result may replace the overlay record.
  ImgBlend(overlay, overlay, bg, overlay, 0, 0);
  EXPECT_EQ(overlay.Width, 4);
  EXPECT_EQ(Pixel(overlay, 0, 0), 0x11000000u | Bgr(0, 0, 255));
  EXPECT_EQ(Pixel(overlay, 3, 3), 0x11000000u | Bgr(0, 50, 250));
  for (Qimg* p : {&overlay, &alpha, &bg, &out}) ImgFree(*p);
  EXPECT_EQ(MemCount(), memAtStart);
}

TEST(ImgBlendTest, UnsuitableInputsDoNothing) {
  Qimg overlay, alpha, bg, out, pal;
  MakePic(overlay, 2, 2, 24, [](int, int) { return 1u; });
  MakePic(alpha, 3, 2, 8, [](int, int) { return 255u; });
  MakePic(bg, 2, 2, 24, [](int, int) { return 2u; });
  MakePic(pal, 2, 2, 8, [](int, int) { return 0u; });
  MakePic(out, 1, 1, 24, [](int, int) { return 3u; });
  ImgBlend(overlay, alpha, bg, out, 0, 0);  // sizes differ
  ImgBlend(overlay, pal, pal, out, 0, 0);   // 8-bit background
  ImgBlend(pal, pal, bg, out, 0, 0);        // 8-bit overlay
  EXPECT_EQ(out.Width, 1);
  EXPECT_EQ(Pixel(out, 0, 0), 3u);
  EXPECT_EQ(GetErrorClass(), 0);
  for (Qimg* p : {&overlay, &alpha, &bg, &out, &pal}) ImgFree(*p);
}

TEST(ColorUtils, WordsAndPixels) {
  EXPECT_EQ(SwapRB(0xAABBCCDDu), 0xAADDCCBBu);
  EXPECT_EQ(ColorToPixel(0x00332211u), 0x00112233u);
  uint8_t r, g, b, a;
  SplitColor(0x44332211u, r, g, b, a);
  EXPECT_EQ(r, 0x11);
  EXPECT_EQ(g, 0x22);
  EXPECT_EQ(b, 0x33);
  EXPECT_EQ(a, 0x44);
  EXPECT_EQ(Pix555ToColor(0x7FFF), 0xFFF8F8F8u);
  EXPECT_EQ(Pix555ToColor((1u << 10) | (2u << 5) | 3u), 0xFF000000u | (24u << 16) | (16u << 8) | 8u);
  EXPECT_EQ(Pix565ToColor(0xFFFF), 0xFFF8FCF8u);
  EXPECT_EQ(Pix565ToColor(3u << 5), 0xFF000000u | (12u << 8));
  EXPECT_EQ(BlendColor(0x00000000u, 0xFFFFFFFFu, 0.5), 0x80808080u);  // 127.5 rounds to even 128
  EXPECT_EQ(BlendColor(0x10203040u, 0x10203040u, 0.3), 0x10203040u);
  EXPECT_EQ(BlendColor(0x000000FFu, 0x00000000u, 0.25), 0x000000BFu);  // 191.25
  EXPECT_EQ(BlendColor(0x000000FFu, 0x0000FF00u, 2.0), 0x0000FF00u);  // clamped per byte
}

TEST(ColorUtils, SystemColours) {
  EXPECT_EQ(ColorRGB(0x00123456), 0x00123456u);
  EXPECT_EQ(ColorRGB(static_cast<int32_t>(0xFF000005u)), 0x00FFFFFFu);  // window background
  EXPECT_EQ(ColorRGB(static_cast<int32_t>(0x80000008u)), 0u);           // window text
  SetSysColorSource([](int32_t index) { return static_cast<uint32_t>(index * 2); });
  EXPECT_EQ(ColorRGB(static_cast<int32_t>(0xFF00000Fu)), 30u);
  SetSysColorSource(nullptr);
  EXPECT_EQ(ColorRGB(static_cast<int32_t>(0xFF00000Fu)), 0x00C8D0D4u);
}

}  // namespace
}  // namespace tavelo
