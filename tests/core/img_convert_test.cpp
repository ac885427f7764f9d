// Depth conversion: exact bits of every packer, grey levels, odd depths, in-place work and a sweep
// over small sizes (run under ASan by the sanitizer build).
#include <gtest/gtest.h>

#include "core/media/img_basic.h"
#include "core/media/img_pixels.h"
#include "core/media/pal_opt.h"
#include "core/services/memory.h"
#include "tests/core/img_test_util.h"

namespace tavelo {
namespace {

using test::Bgr;
using test::MakePic;
using test::Pixel;

// Independent statements of the conversion table, per pixel.
uint32_t Expand15(uint32_t v) { return Bgr((v & 31) << 3, ((v >> 5) & 31) << 3, ((v >> 10) & 31) << 3); }
uint32_t Expand16(uint32_t v) { return Bgr((v & 31) << 3, ((v >> 5) & 63) << 2, ((v >> 11) & 31) << 3); }
uint32_t Pack15(uint32_t bgr) {
  const uint32_t b = bgr & 255, g = (bgr >> 8) & 255, r = (bgr >> 16) & 255;
  return ((r >> 3) << 10) | ((g >> 3) << 5) | (b >> 3);
}
uint32_t Pack16(uint32_t bgr) {
  const uint32_t b = bgr & 255, g = (bgr >> 8) & 255, r = (bgr >> 16) & 255;
  return ((r >> 3) << 11) | ((g >> 2) << 5) | (b >> 3);
}

// The expected pixel of converting value v from depth `from` to depth `to` (not 8).
uint32_t Expected(uint32_t v, int from, int to) {
  uint32_t bgr = 0;
  switch (from) {
    case 15:
      if (to == 16) return ((v << 1) & 0xFFC0) | (v & 0x1F);
      bgr = Expand15(v);
      break;
    case 16:
      if (to == 15) return ((v >> 1) & 0x7FE0) | (v & 0x1F);
      bgr = Expand16(v);
      break;
    default:
      bgr = v & 0xFFFFFF;
      break;
  }
  switch (to) {
    case 15: return Pack15(bgr);
    case 16: return Pack16(bgr);
    case 24: return bgr;
    default: return bgr | 0xFF000000u;
  }
}

TEST(ImgConvert, Every15And16BitWordConvertsExactly) {
  const int32_t memAtStart = MemCount();  // what earlier work left is not this test's
  // All 65536 words as a 256 x 256 picture.
  Qimg w15, w16, back, via24;
  MakePic(w15, 256, 256, 15, [](int x, int y) { return static_cast<uint32_t>(y * 256 + x); });
  ImgConvBpp(w15, w16, 16);
  ImgConvBpp(w16, back, 15);
  for (uint32_t v = 0; v < 65536; ++v) {
    const int x = v % 256, y = v / 256;
    ASSERT_EQ(Pixel(w16, x, y), (((v << 1) & 0xFFC0) | (v & 0x1F))) << v;
    ASSERT_EQ(Pixel(back, x, y), v & 0x7FFF) << v;  // 15 -> 16 -> 15 loses only the unused top bit
  }
  // 15 -> 24 -> 15 and 16 -> 24 -> 16 are exact for every word.
  ImgConvBpp(w15, via24, 24);
  ImgConvBpp(via24, back, 15);
  for (uint32_t v = 0; v < 65536; ++v) ASSERT_EQ(Pixel(back, v % 256, v / 256), v & 0x7FFF) << v;
  MakePic(w16, 256, 256, 16, [](int x, int y) { return static_cast<uint32_t>(y * 256 + x); });
  ImgConvBpp(w16, via24, 24);
  for (uint32_t v = 0; v < 65536; ++v) ASSERT_EQ(Pixel(via24, v % 256, v / 256), Expand16(v)) << v;
  ImgConvBpp(via24, back, 16);
  Qimg w15b;
  ImgConvBpp(w16, w15b, 15);
  for (uint32_t v = 0; v < 65536; ++v) {
    ASSERT_EQ(Pixel(back, v % 256, v / 256), v) << v;
    ASSERT_EQ(Pixel(w15b, v % 256, v / 256), ((v >> 1) & 0x7FE0) | (v & 0x1F)) << v;
  }
  for (Qimg* p : {&w15, &w16, &back, &via24, &w15b}) ImgFree(*p);
  EXPECT_EQ(MemCount(), memAtStart);
}

TEST(ImgConvert, WhitePacksAndExpandsWithLowBitsZero) {
  Qimg white, p15, p16, e15, e16;
  MakePic(white, 1, 1, 24, [](int, int) { return 0xFFFFFF; });
  ImgConvBpp(white, p15, 15);
  ImgConvBpp(white, p16, 16);
  EXPECT_EQ(Pixel(p15, 0, 0), 0x7FFFu);
  EXPECT_EQ(Pixel(p16, 0, 0), 0xFFFFu);
  ImgConvBpp(p15, e15, 24);
  ImgConvBpp(p16, e16, 24);
  EXPECT_EQ(Pixel(e15, 0, 0), Bgr(248, 248, 248));
  EXPECT_EQ(Pixel(e16, 0, 0), Bgr(248, 252, 248));
  ImgConvBpp(p16, e16, 32);
  EXPECT_EQ(Pixel(e16, 0, 0), 0xFFF8FCF8u);
  for (Qimg* p : {&white, &p15, &p16, &e15, &e16}) ImgFree(*p);
}

TEST(ImgConvert, PalettePicturesGoThroughTheirPalette) {
  Qimg pal, out;
  MakePic(pal, 3, 1, 8, [](int x, int) { return static_cast<uint32_t>(x * 2); });
  for (int i = 0; i < 256; ++i) {
    pal.Palette[3 * i] = static_cast<uint8_t>(i);        // B
    pal.Palette[3 * i + 1] = static_cast<uint8_t>(255 - i);  // G
    pal.Palette[3 * i + 2] = 0x80;                        // R
  }
  for (int to : {15, 16, 24, 32}) {
    ImgConvBpp(pal, out, to);
    ASSERT_EQ(out.Bpp, to);
    for (int x = 0; x < 3; ++x) {
      const uint32_t entry = Bgr(x * 2, 255 - x * 2, 0x80);
      EXPECT_EQ(Pixel(out, x, 0), Expected(entry, 24, to)) << to << " " << x;
    }
  }
  ImgFree(pal);
  ImgFree(out);
}

TEST(ImgConvert, OtherTargetDepthsCopy) {
  Qimg src, dest;
  MakePic(src, 3, 2, 24, [](int x, int y) { return Bgr(x, y, 7); });
  src.XRes = 96;
  ImgConvBpp(src, dest, 12);
  EXPECT_EQ(dest.Bpp, 24);
  EXPECT_EQ(test::Bytes(dest), test::Bytes(src));
  EXPECT_EQ(dest.XRes, 96);
  const auto before = test::Bytes(src);
  ImgConvBpp(src, src, 12);
  EXPECT_EQ(src.Bpp, 24);
  EXPECT_EQ(test::Bytes(src), before);
  ImgFree(src);
  ImgFree(dest);
}

// A source of an odd depth (here 40 bits, 5 bytes a pixel) into a smaller record: only what the
// destination holds is copied.
TEST(ImgConvert, OddSourceDepthNeverOverrunsTheDestination) {
  // A 40-bit record is never made; one forged over a buffer large enough for it is refused by
  // every conversion into another record, and left as it is in place.
  Qimg odd, dest;
  EXPECT_EQ(test::Try([&] { ImgAlloc(odd, 7, 5, 40); }), (test::ErrPair{7, 1}));
  MakePic(odd, 7, 7, 32, [](int x, int y) { return static_cast<uint32_t>(x + 16 * y + 1); });
  ImgSetDims(odd, 7, 5, 40);
  const auto before = std::vector<uint8_t>(odd.Data, odd.Data + odd.Size);
  for (int32_t bpp : {8, 16, 24}) {
    EXPECT_EQ(test::Try([&] { ImgConvBpp(odd, dest, bpp); }), (test::ErrPair{7, 2})) << bpp;
    ImgConvBpp(odd, odd, bpp);
  }
  EXPECT_EQ(odd.Bpp, 40);
  EXPECT_EQ(std::vector<uint8_t>(odd.Data, odd.Data + odd.Size), before);
  ImgFree(odd);
  ImgFree(dest);
}

// A record whose buffer is missing or shorter than its dimensions promise is refused with (7, 2)
// before any pixel is read.
TEST(ImgConvert, InconsistentRecordsAreRefused) {
  const int32_t memAtStart = MemCount();  // what earlier work left is not this test's
  Qimg shortBuf, dest;
  ImgAlloc(shortBuf, 4, 4, 8);
  ImgSetDims(shortBuf, 4, 4, 32);  // claims 64 bytes, holds 16
  EXPECT_EQ(test::Try([&] { ImgConvBpp(shortBuf, dest, 24); }), (test::ErrPair{7, 2}));
  EXPECT_EQ(test::Try([&] { ImgTo8bit(shortBuf, dest, itmHeavy); }), (test::ErrPair{7, 2}));
  EXPECT_EQ(test::Try([&] { ImgResize(shortBuf, dest, 8, 8); }), (test::ErrPair{7, 2}));
  EXPECT_EQ(test::Try([&] { ImgCopy(shortBuf, dest); }), (test::ErrPair{7, 2}));
  Qimg noData;
  noData.Width = noData.Height = 3;
  noData.Bpp = 24;
  noData.BytesPP = 3;
  noData.Size = 27;
  EXPECT_EQ(test::Try([&] { ImgFlipV(noData, dest); }), (test::ErrPair{7, 2}));
  EXPECT_EQ(test::Try([&] { ConvTo8bit(noData, dest, prmPlain); }), (test::ErrPair{7, 2}));
  ImgFree(shortBuf);
  ImgFree(dest);
  EXPECT_EQ(MemCount(), memAtStart);
}

TEST(ImgConvert, GreyLevels) {
  const int32_t memAtStart = MemCount();  // what earlier work left is not this test's
  Qimg src, grey;
  MakePic(src, 2, 1, 24, [](int x, int) { return x == 0 ? Bgr(30, 60, 91) : Bgr(255, 255, 255); });
  ImgTo8bit(src, grey, itmGray);
  EXPECT_EQ(grey.Bpp, 8);
  EXPECT_EQ(Pixel(grey, 0, 0), 60u);
  EXPECT_EQ(Pixel(grey, 1, 0), 255u);
  for (int i = 0; i < 256; ++i) ASSERT_EQ(test::PalEntry(grey, i), Bgr(i, i, i));

  // 15 and 16-bit channels are widened with the low bits set as designed.
  Qimg w15, w16;
  MakePic(w15, 1, 1, 15, [](int, int) { return (3u << 10) | (2u << 5) | 1u; });  // r5 3, g5 2, b5 1
  ImgTo8bit(w15, grey, itmGray);
  EXPECT_EQ(Pixel(grey, 0, 0), ((1u << 3 | 7) + (2u << 3 | 14) + (3u << 3 | 7)) / 3);
  MakePic(w16, 1, 1, 16, [](int, int) { return (3u << 11) | (5u << 5) | 1u; });  // r5 3, g6 5, b5 1
  ImgTo8bit(w16, grey, itmGray);
  EXPECT_EQ(Pixel(grey, 0, 0), ((1u << 3 | 7) + (5u << 2 | 6) + (3u << 3 | 7)) / 3);

  // In place.
  ImgTo8bit(src, src, itmGray);
  EXPECT_EQ(src.Bpp, 8);
  EXPECT_EQ(Pixel(src, 0, 0), 60u);
  for (Qimg* p : {&src, &grey, &w15, &w16}) ImgFree(*p);
  EXPECT_EQ(MemCount(), memAtStart);
}

TEST(ImgConvert, DitherModesTranslateInOnePlace) {
  EXPECT_EQ(ImgDitherToRemapMode(itmPlain), prmPlain);
  EXPECT_EQ(ImgDitherToRemapMode(itmHeavy), prmHeavy);
  EXPECT_EQ(ImgDitherToRemapMode(itmLight), prmLite);
  EXPECT_EQ(ImgDitherToRemapMode(9), prmPlain);
  EXPECT_EQ(ImgDitherToRemapMode(-1), prmPlain);
}

TEST(ImgConvert, PaletteHelpers) {
  QimgPalette p{};
  PalSetGray(p);
  EXPECT_EQ(p[3 * 17], 17);
  EXPECT_EQ(p[3 * 17 + 2], 17);
  PalSetGrayInv(p);
  EXPECT_EQ(p[0], 255);
  EXPECT_EQ(p[3 * 255 + 1], 0);
  EXPECT_EQ(p[3 * 100 + 2], 155);
}

// Every pair of depths over every size from 1 x 1 to 40 x 40, into another record and in place.
// The 3-byte converters read and write whole words for all but the last pixel; ASan proves they
// never step past either buffer.
TEST(ImgConvert, SizeSweep) {
  const int32_t memAtStart = MemCount();  // what earlier work left is not this test's
  const int depths[] = {15, 16, 24, 32};
  for (int w = 1; w <= 40; ++w)
    for (int h = 1; h <= 40; h += (w % 3) + 1)
      for (int from : depths) {
        Qimg src;
        auto value = [&](int x, int y) {
          const uint32_t v = static_cast<uint32_t>(x * 2654435761u ^ y * 40503u ^ from);
          return from == 15 ? v & 0x7FFF : v;
        };
        MakePic(src, w, h, from, value);
        for (int to : depths) {
          if (to == from) continue;
          Qimg dest;
          ImgConvBpp(src, dest, to);
          for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
              ASSERT_EQ(Pixel(dest, x, y), Expected(Pixel(src, x, y), from, to))
                  << w << "x" << h << " " << from << "->" << to << " at " << x << "," << y;
          Qimg inPlace;
          ImgCopy(src, inPlace);
          ImgConvBpp(inPlace, inPlace, to);
          ASSERT_EQ(test::Bytes(inPlace), test::Bytes(dest));
          ImgFree(dest);
          ImgFree(inPlace);
        }
        ImgFree(src);
      }
  EXPECT_EQ(MemCount(), memAtStart);
}

// The converters with a SIMD form give the same bytes as their plain form, for every length
// around the vector steps, without touching a byte past either buffer.
TEST(ImgConvert, SimdAndPlainFormsAgree) {
  struct Pair {
    media::RunConverter fast, plain;
    int in, out;
  } pairs[] = {{media::Run24To32, media::Run24To32Portable, 3, 4}, {media::Run24To15, media::Run24To15Portable, 3, 2},
               {media::Run24To16, media::Run24To16Portable, 3, 2}, {media::Run32To15, media::Run32To15Portable, 4, 2},
               {media::Run32To16, media::Run32To16Portable, 4, 2}};
  for (const Pair& p : pairs)
    for (int n = 1; n <= 70; ++n) {
      std::vector<uint8_t> src(static_cast<size_t>(n) * p.in);
      for (size_t i = 0; i < src.size(); ++i) src[i] = static_cast<uint8_t>(i * 37 + n);
      std::vector<uint8_t> a(static_cast<size_t>(n) * p.out), b(a.size());
      p.fast(src.data(), a.data(), n);
      p.plain(src.data(), b.data(), n);
      ASSERT_EQ(a, b) << "pixels " << n << " from " << p.in;
    }
}

}  // namespace
}  // namespace tavelo
