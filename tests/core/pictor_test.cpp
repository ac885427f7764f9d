// The bitmap bridge's record half: fitting, clipping, pixels, channels, blur and shadows.
#include "core/media/pictor.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "core/media/color_utils.h"
#include "core/services/memory.h"

namespace tavelo {
namespace {

void Make(Qimg& img, int32_t w, int32_t h, int32_t bpp, const std::function<uint32_t(int, int)>& value) {
  ImgAlloc(img, w, h, bpp);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const uint32_t v = value(x, y);
      std::memcpy(img.Data + (static_cast<int64_t>(y) * w + x) * img.BytesPP, &v, static_cast<size_t>(img.BytesPP));
    }
}

uint32_t At(const Qimg& img, int x, int y) {
  uint32_t v = 0;
  std::memcpy(&v, img.Data + (static_cast<int64_t>(y) * img.Width + x) * img.BytesPP, static_cast<size_t>(img.BytesPP));
  return v;
}

struct Fit {
  bool changed;
  int32_t offX, offY, w, h;
};
Fit FitOf(int32_t w, int32_t h, int32_t bw, int32_t bh, bool always) {
  Fit f{};
  PicFitSize(w, h, bw, bh, always, f.changed, f.offX, f.offY, f.w, f.h);
  return f;
}

TEST(PicFit, FitsKeepingTheAspect) {
  Fit f = FitOf(100, 50, 200, 200, false);
  EXPECT_EQ(f.w, 100);
  EXPECT_EQ(f.h, 50);
  EXPECT_EQ(f.offX, 50);
  EXPECT_EQ(f.offY, 75);
  EXPECT_FALSE(f.changed);
  f = FitOf(100, 50, 200, 200, true);
  EXPECT_EQ(f.w, 200);
  EXPECT_EQ(f.h, 100);
  EXPECT_EQ(f.offX, 0);
  EXPECT_EQ(f.offY, 50);
  EXPECT_TRUE(f.changed);
  // A tall picture is fitted by its height; the width rounds half to even (2.5 -> 2).
  f = FitOf(5, 20, 100, 10, false);
  EXPECT_EQ(f.h, 10);
  EXPECT_EQ(f.w, 2);
  EXPECT_EQ(f.offX, 49);
  EXPECT_TRUE(f.changed);
  // The box itself.
  f = FitOf(64, 48, 64, 48, true);
  EXPECT_EQ(f.w, 64);
  EXPECT_EQ(f.offX, 0);
  EXPECT_FALSE(f.changed);
  // A very flat picture still gets at least one row.
  f = FitOf(10000, 1, 100, 100, true);
  EXPECT_EQ(f.w, 100);
  EXPECT_EQ(f.h, 1);
}

TEST(PicFit, EmptySizesAndBoxesNeverDivideByZero) {
  // A minimised window gives a box of 0.
  Fit f = FitOf(640, 480, 0, 0, true);
  EXPECT_EQ(f.w, 1);
  EXPECT_EQ(f.h, 1);
  EXPECT_EQ(f.offX, 0);
  f = FitOf(640, 480, 0, 300, false);
  EXPECT_GE(f.w, 1);
  EXPECT_GE(f.h, 1);
  f = FitOf(0, 0, 200, 100, true);
  EXPECT_EQ(f.w, 100);
  EXPECT_EQ(f.h, 100);
  f = FitOf(-5, 10, -1, 20, false);
  EXPECT_GE(f.w, 1);
  EXPECT_GE(f.h, 1);
}

TEST(PicGeometry, ClipAndRectangles) {
  int32_t dx, dy, vw, vh, sx, sy;
  PicClip(-3, 2, 10, 5, 20, 5, dx, dy, vw, vh, sx, sy);
  EXPECT_EQ(dx, 0);
  EXPECT_EQ(sx, 3);
  EXPECT_EQ(vw, 7);
  EXPECT_EQ(dy, 2);
  EXPECT_EQ(sy, 0);
  EXPECT_EQ(vh, 3);
  PicClip(15, 0, 10, 5, 20, 5, dx, dy, vw, vh, sx, sy);
  EXPECT_EQ(vw, 5);
  PicClip(-20, 0, 10, 5, 20, 5, dx, dy, vw, vh, sx, sy);
  EXPECT_EQ(vw, 0);
  EXPECT_EQ(vh, 0);
  PicClip(25, 0, 10, 5, 20, 5, dx, dy, vw, vh, sx, sy);
  EXPECT_EQ(vw, 0);
  PicClip(INT32_MIN, INT32_MAX, INT32_MAX, 3, 20, 5, dx, dy, vw, vh, sx, sy);
  EXPECT_EQ(vw, 0);

  const TSize s = PicRectSize(TRect{10, 10, 5, 30});
  EXPECT_EQ(s.Width, 0);
  EXPECT_EQ(s.Height, 20);
  EXPECT_EQ(PicRectCompare(TRect{0, 0, 5, 5}, TRect{0, 0, 10, 10}), -1);
  EXPECT_EQ(PicRectCompare(TRect{0, 0, 10, 5}, TRect{0, 0, 10, 10}), 0);
  EXPECT_EQ(PicRectCompare(TRect{0, 0, 11, 5}, TRect{0, 0, 10, 10}), 1);
}

TEST(PicPixels, FillClampsAndGetReadsEveryDepth) {
  Qimg p;
  Make(p, 3, 2, 24, [](int, int) { return 0u; });
  PicFillPixels(p, -5, 2, 0x00112233);  // start clamped to 0
  EXPECT_EQ(At(p, 0, 0), 0x332211u);     // red 0x33 lands in byte 2
  EXPECT_EQ(At(p, 1, 0), 0x332211u);
  EXPECT_EQ(At(p, 2, 0), 0u);
  PicFillPixels(p, 4, 1000, 0x000000FF);  // count clamped to the 2 pixels left
  EXPECT_EQ(At(p, 1, 1), 0xFF0000u);
  EXPECT_EQ(At(p, 2, 1), 0xFF0000u);
  PicFillPixels(p, 100, 5, 0x00FFFFFF);  // past the end: nothing
  PicFillPixels(p, 0, -1, 0x00FFFFFF);
  EXPECT_EQ(At(p, 2, 0), 0u);
  EXPECT_EQ(PicGetPixel(p, 0, 0), 0xFF112233u);
  EXPECT_EQ(PicGetPixel(p, 3, 0), kPicNoPixel);
  EXPECT_EQ(PicGetPixel(p, 0, -1), kPicNoPixel);

  Make(p, 2, 1, 32, [](int x, int) { return x == 0 ? 0x80102030u : 0u; });
  EXPECT_EQ(PicGetPixel(p, 0, 0), 0x80302010u);
  Make(p, 1, 1, 15, [](int, int) { return 0x7C00u; });
  EXPECT_EQ(PicGetPixel(p, 0, 0), 0xFF0000F8u);
  Make(p, 1, 1, 16, [](int, int) { return 0x07E0u; });
  EXPECT_EQ(PicGetPixel(p, 0, 0), 0xFF00FC00u);
  Make(p, 1, 1, 8, [](int, int) { return 5u; });
  p.Palette[15] = 1;
  p.Palette[16] = 2;
  p.Palette[17] = 3;
  EXPECT_EQ(PicGetPixel(p, 0, 0), 0xFF010203u);
  PicFillPixels(p, 0, 1, 0x00AABBCC);
  EXPECT_EQ(At(p, 0, 0), 0xAAu) << "8 bits take the low byte of the pixel word";
  ImgFree(p);
  EXPECT_EQ(PicGetPixel(p, 0, 0), kPicNoPixel);
  EXPECT_TRUE(PicIsEmpty(p));
}

TEST(PicChannels, CopyExtractScaleGamma) {
  Qimg a, b;
  Make(a, 2, 2, 32, [](int x, int y) { return 0x40302010u + static_cast<uint32_t>(x + 2 * y); });
  Make(b, 2, 2, 24, [](int, int) { return 0u; });
  PicCopyChannel(a, b, 3, 1);
  EXPECT_EQ(At(b, 1, 1), 0x004000u);
  PicCopyChannel(a, b, 4, 0);  // no such byte
  PicCopyChannel(a, b, 0, 3);
  EXPECT_EQ(At(b, 0, 0), 0x004000u);

  Qimg ch;
  PicExtractChannel(a, ch, 0);
  EXPECT_EQ(ch.Bpp, 8);
  EXPECT_EQ(At(ch, 1, 1), 0x13u);
  EXPECT_EQ(ch.Palette[3 * 200 + 1], 200) << "grey palette";
  // The same record as source and destination.
  PicExtractChannel(a, a, 2);
  EXPECT_EQ(a.Bpp, 8);
  EXPECT_EQ(At(a, 0, 0), 0x30u);

  Make(a, 3, 1, 24, [](int x, int) { return static_cast<uint32_t>(x == 0 ? 100 : x == 1 ? 200 : 7); });
  PicScaleChannel(a, 0, 100);
  EXPECT_EQ(At(a, 0, 0) & 0xFF, 200u);
  EXPECT_EQ(At(a, 1, 0) & 0xFF, 255u);
  PicScaleChannel(a, 0, -50);
  EXPECT_EQ(At(a, 0, 0) & 0xFF, 100u);
  PicScaleChannel(a, 0, 0);
  EXPECT_EQ(At(a, 0, 0) & 0xFF, 100u);
  PicScaleChannel(a, 0, -1000);  // limited to -100
  EXPECT_EQ(At(a, 0, 0) & 0xFF, 0u);
  Make(a, 2, 1, 24, [](int x, int) { return x == 0 ? 128u : 64u; });
  PicGammaChannel(a, 0, 1.0);
  EXPECT_EQ(At(a, 0, 0), 128u);
  PicGammaChannel(a, 0, 0.5);
  EXPECT_EQ(At(a, 0, 0), 64u) << "round(255 x (128/255)^2)";
  for (Qimg* q : {&a, &b, &ch}) ImgFree(*q);
}

TEST(PicChannels, TransparentByKeyColour) {
  Qimg src, dst;
  // Pixel colours B, G, R: key red (R 200, G 10, B 10) and a near and a far colour.
  Make(src, 3, 1, 24, [](int x, int) {
    return x == 0 ? 0xC80A0Au : x == 1 ? 0xCD0F05u : 0xC8140Au;
  });
  PicMakeTransparent(src, dst, 0x000A0AC8, 5);
  EXPECT_EQ(dst.Bpp, 32);
  EXPECT_EQ(At(dst, 0, 0) >> 24, 0u);
  EXPECT_EQ(At(dst, 1, 0) >> 24, 0u);
  EXPECT_EQ(At(dst, 2, 0) >> 24, 255u);
  EXPECT_EQ(At(dst, 2, 0) & 0xFFFFFF, 0xC8140Au);
  ImgFree(src);
  ImgFree(dst);
}

TEST(PicSoftenTest, GrowsByTheRadiusAndSpreadsWithTheKernel) {
  Qimg src, dst;
  Make(src, 10, 10, 8, [](int, int) { return 0u; });
  PicSoften(src, dst, 2, 0);
  EXPECT_EQ(dst.Width, 14);
  EXPECT_EQ(dst.Height, 14);
  PicSoften(src, dst, 50, 0);
  EXPECT_EQ(dst.Width, 30) << "radius limited to 10";
  PicSoften(src, dst, 0, 0);
  EXPECT_EQ(dst.Width, 10) << "radius 0 copies";

  // One pixel of 100, radius 1: the centre counts twice, all sums are divided by 10.
  Make(src, 1, 1, 8, [](int, int) { return 100u; });
  PicSoften(src, dst, 1, 0);
  ASSERT_EQ(dst.Width, 3);
  EXPECT_EQ(At(dst, 1, 1), 20u);
  EXPECT_EQ(At(dst, 0, 0), 10u);
  EXPECT_EQ(At(dst, 2, 1), 10u);
  // Radius 2: the outer ring is computed only in the last pass, from the first pass's values.
  PicSoften(src, dst, 2, 0);
  ASSERT_EQ(dst.Width, 5);
  EXPECT_EQ(At(dst, 2, 2), (2 * 20 + 4 * 10 + 4 * 10) / 10u);
  EXPECT_EQ(At(dst, 0, 0), 1u);
  // A border value fills the outside.
  PicSoften(src, dst, 1, 50);
  EXPECT_EQ(At(dst, 0, 0), (50 * 8 + 100 + 50) / 10u);
  // Wrong depth or the same record: nothing.
  Qimg rgb;
  Make(rgb, 2, 2, 24, [](int, int) { return 0u; });
  PicSoften(rgb, dst, 1, 0);
  EXPECT_EQ(dst.Width, 3);
  PicSoften(src, src, 1, 0);
  EXPECT_EQ(src.Width, 1);
  for (Qimg* q : {&src, &dst, &rgb}) ImgFree(*q);
}

TEST(PicShadow, ColourWithBlurredCoverageAsAlpha) {
  Qimg cover, shadow;
  Make(cover, 4, 4, 8, [](int, int) { return 200u; });
  PicMakeShadow(cover, shadow, 0x00336699, 0, 100);
  ASSERT_EQ(shadow.Bpp, 32);
  EXPECT_EQ(shadow.Width, 4);
  EXPECT_EQ(At(shadow, 2, 2) & 0xFFFFFF, ColorToPixel(0x00336699) & 0xFFFFFF);
  EXPECT_EQ(At(shadow, 2, 2) >> 24, 200u);
  PicMakeShadow(cover, shadow, 0, 0, 50);
  EXPECT_EQ(At(shadow, 1, 1) >> 24, 100u) << "strength 50 halves";
  PicMakeShadow(cover, shadow, 0, 3, 100);
  EXPECT_EQ(shadow.Width, 10) << "blur grows the shadow";
  // A 32-bit source gives its alpha.
  Qimg rgba;
  Make(rgba, 2, 2, 32, [](int x, int) { return x == 0 ? 0xFF000000u : 0x10FFFFFFu; });
  PicMakeShadow(rgba, shadow, 0, 0, 100);
  EXPECT_EQ(At(shadow, 0, 0) >> 24, 255u);
  EXPECT_EQ(At(shadow, 1, 0) >> 24, 16u);
  // The source may be the shadow's own record.
  PicMakeShadow(rgba, rgba, 0, 1, 100);
  EXPECT_EQ(rgba.Width, 4);
  for (Qimg* q : {&cover, &shadow, &rgba}) ImgFree(*q);
}

TEST(PicButtons, FacesFromAKeyColour) {
  Qimg src, masked, shadow, a, b, disabled;
  // Bottom-left pixel is the key (pure green); a blue square sits in the middle.
  Make(src, 6, 6, 24, [](int x, int y) { return (x >= 2 && x < 4 && y >= 2 && y < 4) ? 0x0000FFu : 0x00FF00u; });
  ASSERT_TRUE(PicMakeButtonFaces(src, masked, shadow, a, b, disabled, 0x00000000));
  EXPECT_EQ(At(masked, 0, 0) >> 24, 0u);
  EXPECT_EQ(At(masked, 2, 2) >> 24, 255u);
  EXPECT_EQ(shadow.Width, 12) << "blur 3 on every side";
  EXPECT_EQ(At(a, 2, 2), At(masked, 2, 2));
  EXPECT_EQ(At(b, 2, 2), At(masked, 2, 2));
  EXPECT_EQ(At(disabled, 2, 2) >> 24, 50u) << "255 scaled by -80 percent";
  EXPECT_EQ(At(disabled, 2, 2) & 0xFFFFFF, At(masked, 2, 2) & 0xFFFFFF);
  Qimg tiny;
  Make(tiny, 3, 8, 24, [](int, int) { return 0u; });
  EXPECT_FALSE(PicMakeButtonFaces(tiny, masked, shadow, a, b, disabled, 0));
  for (Qimg* q : {&src, &masked, &shadow, &a, &b, &disabled, &tiny}) ImgFree(*q);
}

TEST(PicInput, WorkingDestinationsAndTheirRecords) {
  Qimg src, dst;
  Make(src, 2, 2, 24, [](int x, int) { return static_cast<uint32_t>(x + 1); });
  const int32_t mem0 = MemCount();
  Qimg *s = nullptr, *work = nullptr;
  int32_t temp = 0;
  PicInputAlloc(2, &src, &src, s, work, temp);
  ASSERT_EQ(temp, 1);
  ASSERT_NE(work, &src);
  EXPECT_EQ(work->Size, src.Size);
  std::memset(work->Data, 9, static_cast<size_t>(work->Size));
  PicInputDone(temp, &src, &src, work);
  EXPECT_EQ(At(src, 1, 1), 0x090909u);
  EXPECT_EQ(MemCount(), mem0) << "the working record and its pixels are freed";

  PicInputAlloc(2, &src, &dst, s, work, temp);
  EXPECT_EQ(temp, 0);
  EXPECT_EQ(work, &dst);
  EXPECT_EQ(dst.Size, src.Size);
  PicInputAlloc(1, &src, &dst, s, work, temp);
  EXPECT_EQ(s, &dst);
  EXPECT_EQ(At(dst, 1, 0), At(src, 1, 0));
  EXPECT_TRUE(PicSame(src, src));
  EXPECT_FALSE(PicSame(src, dst));
  ImgFree(src);
  ImgFree(dst);
}

}  // namespace
}  // namespace tavelo
