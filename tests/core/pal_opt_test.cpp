// Colour reduction: exact palettes for few colours, box splitting for many, the three remaps.
#include <gtest/gtest.h>

#include <cmath>
#include <set>
#include <thread>
#include <vector>

#include "core/media/img_basic.h"
#include "core/media/pal_opt.h"
#include "core/services/memory.h"
#include "tests/core/img_test_util.h"
#include "tests/support/test_env.h"

namespace tavelo {
namespace {

using test::Bgr;
using test::MakePic;
using test::PalEntry;
using test::Pixel;

constexpr uint32_t kWhite = 0xFFFFFF;

// The colour a pixel of dest8 shows.
uint32_t Shown(const Qimg& dest8, int x, int y) { return PalEntry(dest8, static_cast<int>(Pixel(dest8, x, y))); }

uint32_t Weighted(uint32_t a, uint32_t b) {
  auto ch = [](uint32_t v, int s) { return static_cast<int>((v >> s) & 255); };
  const int db = ch(a, 0) - ch(b, 0), dg = ch(a, 8) - ch(b, 8), dr = ch(a, 16) - ch(b, 16);
  return static_cast<uint32_t>(db * db * 121 + dg * dg * 3481 + dr * dr * 900);
}

TEST(PalOpt, FewColoursGetExactlyTheirOwnEntries) {
  const int32_t memAtStart = MemCount();  // what earlier work left is not this test's
  // 200 distinct 6-bit colours, with noise in the two low bits of every channel.
  Qimg src, dest8;
  std::set<uint32_t> wanted;
  auto colour6 = [](int i) { return std::array<int, 3>{i & 63, (i >> 6) * 9 + 5, (i * 13) & 63}; };  // r6, g6, b6
  for (int i = 0; i < 200; ++i) {
    const auto c = colour6(i);
    wanted.insert(Bgr(4 * c[2], 4 * c[1], 4 * c[0]));
  }
  ASSERT_EQ(wanted.size(), 200u);
  MakePic(src, 20, 10, 24, [&](int x, int y) {
    const auto c = colour6(y * 20 + x);
    const int noise = (x + y) & 3;
    return Bgr(4 * c[2] + noise, 4 * c[1] + (3 - noise), 4 * c[0] + noise);
  });
  ConvTo8bit(src, dest8, prmPlain);
  ASSERT_EQ(dest8.Bpp, 8);
  std::set<uint32_t> got;
  int whites = 0;
  for (int i = 0; i < 256; ++i) {
    if (PalEntry(dest8, i) == kWhite) ++whites;
    else got.insert(PalEntry(dest8, i));
  }
  EXPECT_EQ(got, wanted);
  EXPECT_EQ(whites, 56);
  for (int y = 0; y < 10; ++y)
    for (int x = 0; x < 20; ++x) {
      const auto c = colour6(y * 20 + x);
      ASSERT_EQ(Shown(dest8, x, y), Bgr(4 * c[2], 4 * c[1], 4 * c[0]));
    }
  ImgFree(src);
  ImgFree(dest8);
  EXPECT_EQ(MemCount(), memAtStart);  // the work block is gone too
  EXPECT_EQ(PalWork(), nullptr);
}

TEST(PalOpt, OneBlackColourStaysAtIndexZero) {
  Qimg src, dest8;
  MakePic(src, 8, 8, 32, [](int, int) { return 0xFF000000u; });
  ConvTo8bit(src, dest8, prmHeavy);
  EXPECT_EQ(PalEntry(dest8, 0), 0u);
  for (int i = 1; i < 256; ++i) EXPECT_EQ(PalEntry(dest8, i), kWhite) << i;
  for (uint8_t v : test::Bytes(dest8)) ASSERT_EQ(v, 0);
  ImgFree(src);
  ImgFree(dest8);
}

TEST(PalOpt, LowBitsShareOneEntryAndTheDarkestComesFirst) {
  // Yellow (two shades that differ in the low bits) and a dark blue: the palette is built with
  // yellow first, so the dark blue reaches index 0 only by being moved there.
  Qimg src, dest8;
  MakePic(src, 3, 1, 24, [](int x, int) {
    return x == 0 ? Bgr(0, 220, 228) : x == 1 ? Bgr(3, 221, 229) : Bgr(88, 8, 0);
  });
  ConvTo8bit(src, dest8, prmPlain);
  EXPECT_EQ(Pixel(dest8, 0, 0), Pixel(dest8, 1, 0));
  EXPECT_EQ(Shown(dest8, 0, 0), Bgr(0, 220, 228));
  EXPECT_EQ(Pixel(dest8, 2, 0), 0u);  // the darker colour was moved to index 0
  EXPECT_EQ(PalEntry(dest8, 0), Bgr(88, 8, 0));
  EXPECT_NE(Pixel(dest8, 0, 0), 0u);
  ImgFree(src);
  ImgFree(dest8);
}

// 400 colours, each used once: every box has zero variance. Splitting must still only cut axes
// that have an extent, so the palette holds 256 real colours and no black filler.
TEST(PalOpt, ManyColoursUsedOnceGiveNoSpuriousBlack) {
  Qimg src, dest8;
  MakePic(src, 20, 20, 24, [](int x, int y) {
    const int i = y * 20 + x;
    return Bgr(64 + 4 * (i % 8), 64 + 4 * ((i / 8) % 10), 64 + 4 * (i / 80));
  });
  ConvTo8bit(src, dest8, prmPlain);
  std::set<uint32_t> entries;
  for (int i = 0; i < 256; ++i) {
    EXPECT_NE(PalEntry(dest8, i), 0u) << i;
    EXPECT_NE(PalEntry(dest8, i), kWhite) << i;
    entries.insert(PalEntry(dest8, i));
  }
  EXPECT_EQ(entries.size(), 256u);
  // Every pixel is shown by a colour from its own neighbourhood.
  for (int y = 0; y < 20; ++y)
    for (int x = 0; x < 20; ++x) ASSERT_LE(Weighted(Shown(dest8, x, y), Pixel(src, x, y)), 4502u * 16) << x << "," << y;
  ImgFree(src);
  ImgFree(dest8);
}

// A smooth picture with more than 256 colours, for the dithering cases.
void MakeGradient(Qimg& img, int w, int h, int bpp) {
  MakePic(img, w, h, bpp, [&](int x, int y) { return 0xFF000000u | Bgr(x * 255 / w, y * 255 / h, (x + y) * 127 / (w + h)); });
}

TEST(PalOpt, HeavyDitheringLeavesTheSourceAlone) {
  const int32_t memAtStart = MemCount();  // what earlier work left is not this test's
  for (int bpp : {24, 32, 16}) {
    Qimg src, out1, out2, plain;
    MakeGradient(src, 64, 48, bpp);
    const auto before = test::Bytes(src);
    ConvTo8bit(src, out1, prmHeavy);
    EXPECT_EQ(test::Bytes(src), before) << bpp;
    // The same source gives the same result again.
    ConvTo8bit(src, out2, prmHeavy);
    EXPECT_EQ(test::Bytes(out2), test::Bytes(out1)) << bpp;
    // And dithering did happen.
    ConvTo8bit(src, plain, prmPlain);
    EXPECT_NE(test::Bytes(plain), test::Bytes(out1)) << bpp;
    for (Qimg* p : {&src, &out1, &out2, &plain}) ImgFree(*p);
  }
  EXPECT_EQ(MemCount(), memAtStart);
}

TEST(PalOpt, SmallPicturesAreNeverDithered) {
  for (auto [w, h] : {std::pair{3, 100}, {100, 3}, {1, 1}}) {
    Qimg src, plain, heavy, lite;
    MakeGradient(src, w, h, 24);
    ConvTo8bit(src, plain, prmPlain);
    ConvTo8bit(src, heavy, prmHeavy);
    ConvTo8bit(src, lite, prmLite);
    EXPECT_EQ(test::Bytes(heavy), test::Bytes(plain)) << w << "x" << h;
    EXPECT_EQ(test::Bytes(lite), test::Bytes(plain)) << w << "x" << h;
    for (Qimg* p : {&src, &plain, &heavy, &lite}) ImgFree(*p);
  }
}

// Colours the palette holds exactly leave no error to spread, so every mode gives the plain result.
TEST(PalOpt, ExactColoursDitherToThemselves) {
  Qimg src, plain, heavy, lite;
  MakePic(src, 16, 16, 24, [](int x, int y) { return Bgr(4 * (x % 5), 8 * (y % 7), 40 * ((x + y) % 3)); });
  ConvTo8bit(src, plain, prmPlain);
  ConvTo8bit(src, heavy, prmHeavy);
  ConvTo8bit(src, lite, prmLite);
  EXPECT_EQ(test::Bytes(heavy), test::Bytes(plain));
  EXPECT_EQ(test::Bytes(lite), test::Bytes(plain));
  for (int y = 0; y < 16; ++y)
    for (int x = 0; x < 16; ++x) ASSERT_EQ(Shown(plain, x, y), Pixel(src, x, y));
  for (Qimg* p : {&src, &plain, &heavy, &lite}) ImgFree(*p);
}

// Dithering spreads the quantisation error: the colour of every 8 x 8 block, on average, comes
// closer to the source's than without dithering, and no block strays far.
TEST(PalOpt, DitheringBringsBlockColoursCloser) {
  Qimg src;
  MakeGradient(src, 96, 64, 24);
  double worst[3] = {0, 0, 0}, total[3] = {0, 0, 0};
  for (int mode : {prmPlain, prmLite, prmHeavy}) {
    Qimg out;
    ConvTo8bit(src, out, mode);
    for (int by = 0; by < 64; by += 8)
      for (int bx = 0; bx < 96; bx += 8)
        for (int s = 0; s < 24; s += 8) {
          int a = 0, b = 0;
          for (int y = by; y < by + 8; ++y)
            for (int x = bx; x < bx + 8; ++x) {
              a += (Pixel(src, x, y) >> s) & 255;
              b += (Shown(out, x, y) >> s) & 255;
            }
          const double diff = std::abs(a - b) / 64.0;
          worst[mode] = std::max(worst[mode], diff);
          total[mode] += diff;
        }
    ImgFree(out);
  }
  EXPECT_LT(total[prmLite], total[prmPlain] * 0.8);
  EXPECT_LT(total[prmHeavy], total[prmPlain] * 0.5);
  for (int mode = 0; mode < 3; ++mode) EXPECT_LT(worst[mode], 20.0) << mode;
  ImgFree(src);
}

TEST(PalOpt, PalettePicturesAreRemapped) {
  const int32_t memAtStart = MemCount();  // what earlier work left is not this test's
  Qimg src, dest8;
  MakePic(src, 10, 10, 8, [](int x, int y) { return static_cast<uint32_t>(200 + (x + y) % 5); });
  for (int i = 0; i < 256; ++i) {
    src.Palette[3 * i] = static_cast<uint8_t>(4 * (i % 64));
    src.Palette[3 * i + 1] = static_cast<uint8_t>(255 - i);
    src.Palette[3 * i + 2] = 128;
  }
  ConvTo8bit(src, dest8, prmHeavy);
  for (int y = 0; y < 10; ++y)
    for (int x = 0; x < 10; ++x) {
      const uint32_t c = PalEntry(src, static_cast<int>(Pixel(src, x, y)));
      ASSERT_EQ(Shown(dest8, x, y), c & 0xFCFCFC);  // 6 bits per channel
    }
  // In place through ImgTo8bit.
  Qimg rgb;
  MakePic(rgb, 5, 5, 24, [](int x, int) { return Bgr(8 * x, 0, 0); });
  ImgTo8bit(rgb, rgb, itmHeavy);
  EXPECT_EQ(rgb.Bpp, 8);
  EXPECT_EQ(Shown(rgb, 4, 2), Bgr(32, 0, 0));
  for (Qimg* p : {&src, &dest8, &rgb}) ImgFree(*p);
  EXPECT_EQ(MemCount(), memAtStart);
}

TEST(PalOpt, FifteenAndSixteenBitSourcesUseTheirExpandedColours) {
  Qimg w15, w16, out;
  MakePic(w15, 4, 4, 15, [](int x, int y) { return static_cast<uint32_t>((x << 10) | (y << 5) | 31); });
  ConvTo8bit(w15, out, prmLite);
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 4; ++x) ASSERT_EQ(Shown(out, x, y), Bgr(248, y << 3, x << 3));
  MakePic(w16, 4, 4, 16, [](int x, int y) { return static_cast<uint32_t>((x << 11) | (y << 5) | 1); });
  ConvTo8bit(w16, out, prmHeavy);
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 4; ++x) ASSERT_EQ(Shown(out, x, y), Bgr(8, y << 2, x << 3));
  for (Qimg* p : {&w15, &w16, &out}) ImgFree(*p);
}

TEST(PalOpt, FindNearestWeighsGreenMostAndKeepsTheLowerIndexOnTies) {
  uint8_t pal[4 * 3] = {
      0, 0, 40,   // red 40: distance 1600 x 900
      0, 20, 0,   // green 20: distance 400 x 3481
      0, 0, 40,   // the same as entry 0
      90, 0, 0,   // blue 90: distance 8100 x 121
  };
  EXPECT_EQ(FindNearest(0, 0, 0, 4, pal), 3);
  EXPECT_EQ(FindNearest(40, 0, 0, 4, pal), 0);
  EXPECT_EQ(FindNearest(40, 0, 0, 1, pal), 0);
  EXPECT_EQ(FindNearest(0, 0, 0, 3, pal), 1);
}

// The work block is one global: reductions from several threads take turns and each gets its
// own right answer.
TEST(PalOpt, ReductionsOnSeveralThreadsTakeTurns) {
  std::vector<std::thread> threads;
  std::vector<int> ok(4, 0);
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([t, &ok] {
      for (int round = 0; round < 5; ++round) {
        Qimg src, dest8;
        MakePic(src, 32, 8, 24, [&](int x, int) { return Bgr(4 * (x % 16), 4 * t, 4 * round); });
        ConvTo8bit(src, dest8, t % 3);
        bool good = true;
        for (int x = 0; x < 32; ++x) good = good && Shown(dest8, x, 3) == Pixel(src, x, 3);
        ok[t] += good ? 1 : 0;
        ImgFree(src);
        ImgFree(dest8);
      }
    });
  for (auto& th : threads) th.join();
  for (int t = 0; t < 4; ++t) EXPECT_EQ(ok[t], 5) << t;
}

// Every size from 1 to 40 in each direction, every remap and source depth. Error diffusion writes
// into neighbouring pixels: ASan proves it never leaves the picture.
TEST(PalOpt, SizeSweep) {
  const int32_t memAtStart = MemCount();  // what earlier work left is not this test's
  for (int w = 1; w <= 40; ++w) {
    const int h = (w * 7) % 40 + 1;
    for (int bpp : {16, 24, 32}) {
      Qimg src;
      // Colours between the palette's steps, so every remap has errors to spread.
      MakePic(src, w, h, bpp, [&](int x, int y) {
        const uint32_t c = Bgr(1 + 8 * (x % 8), 2 + 16 * (y % 5), 3 + 32 * ((x + y) % 4));
        return bpp == 16 ? static_cast<uint32_t>((x * 2047 + y * 31) & 0xFFFF) : c;
      });
      const auto before = test::Bytes(src);
      for (int mode : {prmPlain, prmLite, prmHeavy}) {
        Qimg out;
        ConvTo8bit(src, out, mode);
        ASSERT_EQ(out.Width, w);
        ASSERT_EQ(out.Height, h);
        ASSERT_EQ(out.Bpp, 8);
        ImgFree(out);
      }
      ASSERT_EQ(test::Bytes(src), before);
      ImgFree(src);
    }
  }
  EXPECT_EQ(MemCount(), memAtStart);
}

// The quality of the reduction on a real photograph (made by the JPEG encoder from the photos
// fixture): a floor, so that a change that spoils the palette is noticed. The benchmark prints
// the exact figures.
TEST(PalOpt, PhotographKeepsItsQuality) {
  Qimg photo, pal8;
  ASSERT_TRUE(test::LoadPpm(test::MediaPath("photos/rose.ppm"), photo)) << test::MediaPath("photos/rose.ppm");
  ConvTo8bit(photo, pal8, prmPlain);
  double sum = 0;
  const int64_t n = static_cast<int64_t>(photo.Width) * photo.Height;
  for (int64_t i = 0; i < n; ++i)
    for (int c = 0; c < 3; ++c) {
      const double d = static_cast<double>(photo.Data[3 * i + c]) - pal8.Palette[3 * pal8.Data[i] + c];
      sum += d * d;
    }
  const double psnr = 10 * std::log10(255.0 * 255.0 / (sum / (3.0 * static_cast<double>(n))));
  EXPECT_GT(psnr, 31.0);
  ImgFree(photo);
  ImgFree(pal8);
}

}  // namespace
}  // namespace tavelo
