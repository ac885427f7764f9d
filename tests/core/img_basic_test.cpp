// The picture record's life and the operation framework.
#include <gtest/gtest.h>

#include <climits>

#include "core/media/img_basic.h"
#include "core/services/memory.h"
#include "tests/core/img_test_util.h"

namespace tavelo {
namespace {

using test::Try;

TEST(ImgRecord, AllocSetsDimensionsAndTag) {
  const int32_t memAtStart = MemCount();  // what earlier work left is not this test's
  Qimg img;
  ImgAlloc(img, 3, 2, 15);
  EXPECT_EQ(img.BytesPP, 2);
  EXPECT_EQ(img.Size, 12);
  ASSERT_TRUE(ImgAssigned(img));
  EXPECT_EQ(MemEntry(MemFind(img.Data, 3)).Tag, "C:0:(ImgAlloc):");

  Qimg tagged;
  _imgalloc_(tagged, 3, 2, 32, 77, "Test.tagged");
  EXPECT_EQ(tagged.BytesPP, 4);
  EXPECT_EQ(tagged.Size, 24);
  EXPECT_EQ(MemEntry(MemFind(tagged.Data, 3)).Tag, "C:77:(ImgAlloc):Test.tagged");
  ImgFree(img);
  ImgFree(tagged);
  EXPECT_EQ(MemCount(), memAtStart);
}

TEST(ImgRecord, ReallocResetsResolutionAndKeepsPaletteAndPixels) {
  Qimg img;
  ImgAlloc(img, 4, 4, 8);
  img.Palette[30] = 99;
  img.XRes = img.YRes = 300;
  img.Data[0] = 42;
  _imgalloc_(img, 100, 50, 8, 1, "Test.img");
  EXPECT_EQ(img.XRes, 0);
  EXPECT_EQ(img.YRes, 0);
  EXPECT_EQ(img.Palette[30], 99);
  EXPECT_EQ(img.Data[0], 42);
  EXPECT_EQ(img.Size, 5000);
  EXPECT_EQ(MemCount(), 1);
  ImgFree(img);
}

// Sizes come from file headers: a product that wraps in 32 bits (65537 x 65537 x 4 wraps to
// 524,292), dimensions below 1 and buffers past the size limit all fail with (5, 5) before
// anything is allocated.
TEST(ImgRecord, HostileDimensionsFailWith5_5) {
  const int32_t memAtStart = MemCount();  // what earlier work left is not this test's
  struct Case {
    int32_t w, h, bpp;
  } cases[] = {{65537, 65537, 32}, {0, 10, 24}, {10, 0, 24}, {-1, 10, 8}, {10, -5, 8},
               {INT32_MAX, INT32_MAX, 8}, {1, 2100000000, 8}, {46341, 46341, 8}, {1, 1, 0}, {1, 1, -8}};
  for (const Case& c : cases) {
    Qimg img;
    EXPECT_EQ(Try([&] { _imgalloc_(img, c.w, c.h, c.bpp, 5, "Test.img"); }), (test::ErrPair{5, 5}))
        << c.w << "x" << c.h << "x" << c.bpp;
    EXPECT_EQ(img.Data, nullptr);
    EXPECT_EQ(MemCount(), memAtStart);
  }
  // The largest buffer that still fits, with the allocator's 5 % margin, is accepted in principle:
  // 2,000,000,000 bytes rounds to 2,100,000,000 (not allocated here, only the check).
  EXPECT_GT(MemRoundedSize(2000000000), 0);
}

// Only the depths every picture routine knows are made; a record forged to another depth is
// refused by the operations instead of being read past its buffer (5 x 5 at 24 bits into 7 x 7
// at 40 bits read far beyond the destination).
TEST(ImgRecord, DepthsOutsideTheRecordAreRefused) {
  const int32_t tracked = MemCount();
  for (int32_t bpp : {1, 4, 12, 40, 48, 64}) {
    Qimg img;
    EXPECT_EQ(Try([&] { _imgalloc_(img, 7, 7, bpp, 5, "Test.img"); }), (test::ErrPair{7, 1})) << bpp;
    EXPECT_EQ(img.Data, nullptr);
  }
  Qimg src, dest;
  ImgAlloc(src, 5, 5, 24);
  ImgAlloc(dest, 7, 9, 32);  // 252 bytes: as many as 7 x 7 at 40 bits would claim
  ImgSetDims(dest, 7, 7, 40);
  EXPECT_EQ(Try([&] { ImgInsert(src, dest, 1, 1); }), (test::ErrPair{7, 2}));
  EXPECT_EQ(Try([&] { ImgInsert(dest, src, 0, 0); }), (test::ErrPair{7, 2}));
  ImgFree(src);
  ImgFree(dest);
  EXPECT_EQ(MemCount(), tracked);
}

TEST(ImgRecord, FailureInsideAnOuterFrameReleasesAndReports) {
  Qimg keep, bad;
  ImgAlloc(keep, 2, 2, 24);
  const auto err = Try([&] {
    Qimg inner;
    ImgAlloc(inner, 8, 8, 24);
    _imgalloc_(bad, 65537, 65537, 32, 9, "Test.bad");
  });
  EXPECT_EQ(err, (test::ErrPair{5, 5}));
  // The block made inside the failed frame is gone; the one made before it stays.
  EXPECT_EQ(MemCount(), 1);
  EXPECT_TRUE(ImgAssigned(keep));
  ImgFree(keep);
}

TEST(ImgRecord, FreeClearAndAssigned) {
  const int32_t memAtStart = MemCount();  // what earlier work left is not this test's
  Qimg img;
  EXPECT_FALSE(ImgAssigned(img));
  ImgFree(img);  // an empty record is only cleared
  ImgAlloc(img, 2, 2, 24);
  img.Palette[0] = 1;
  ImgFree(img);
  EXPECT_EQ(img.Data, nullptr);
  EXPECT_EQ(img.Width, 0);
  EXPECT_EQ(img.Palette[0], 0);
  EXPECT_EQ(MemCount(), memAtStart);
}

TEST(ImgRecord, DataExtCountsAsAllocatedAndRecomputesSize) {
  Qimg ext;
  ext.DataExt = 1;
  EXPECT_TRUE(ImgAssigned(ext));
  ImgSetDims(ext, 10, 5, 24);
  EXPECT_EQ(ext.Size, 150);
  EXPECT_EQ(ext.BytesPP, 3);

  Qimg plain;
  ImgAlloc(plain, 2, 2, 8);
  ImgSetDims(plain, 10, 10, 32);
  EXPECT_EQ(plain.Size, 4);  // an ordinary record keeps its size
  EXPECT_EQ(plain.BytesPP, 4);
  EXPECT_EQ(plain.Bpp, 32);
  ImgFree(plain);
}

TEST(ImgRecord, CopiesPixelsInfoAndPalette) {
  Qimg src, dest;
  test::MakePic(src, 5, 3, 8, [](int x, int y) { return x + 10 * y; });
  src.XRes = 72;
  src.Palette[5] = 7;
  ImgCopy(src, dest);
  EXPECT_EQ(test::Bytes(dest), test::Bytes(src));
  EXPECT_EQ(dest.XRes, 72);
  EXPECT_EQ(dest.Palette, src.Palette);
  EXPECT_EQ(MemEntry(MemFind(dest.Data, 3)).Tag.find("ImgBasic.ImgCopyData.dest") != std::string::npos, true);

  // A 24-bit source leaves the destination's palette alone.
  Qimg src24;
  test::MakePic(src24, 2, 2, 24, [](int, int) { return 0x123456; });
  dest.Palette[0] = 200;
  ImgCopyPalette(src24, dest);
  EXPECT_EQ(dest.Palette[0], 200);

  // Copying a record onto itself does nothing, not even a reallocation.
  uint8_t* before = src.Data;
  const int32_t count = MemCount();
  ImgCopy(src, src);
  EXPECT_EQ(src.Data, before);
  EXPECT_EQ(MemCount(), count);
  ImgFree(src);
  ImgFree(dest);
  ImgFree(src24);
}

TEST(ImgRecord, ExchangeMovesBuffersWithTheirBookkeeping) {
  const int32_t memAtStart = MemCount();  // what earlier work left is not this test's
  Qimg a, b;
  test::MakePic(a, 2, 2, 24, [](int, int) { return 0xAAAAAA; });
  test::MakePic(b, 3, 3, 8, [](int, int) { return 0xBB; });
  uint8_t* const blockA = a.Data;
  uint8_t* const blockB = b.Data;
  ImgXchg(a, b);
  EXPECT_EQ(a.Data, blockB);
  EXPECT_EQ(a.Width, 3);
  EXPECT_EQ(a.Bpp, 8);
  EXPECT_EQ(b.Data, blockA);
  // Each block is tracked under the variable that now holds it.
  EXPECT_NE(MemFind(a.Data, 3), 0x7FFFFFFF);
  EXPECT_NE(MemFind(b.Data, 3), 0x7FFFFFFF);
  EXPECT_EQ(MemEntry(MemFind(a.Data, 3)).Size, MemRoundedSize(9));
  ImgFree(a);  // frees what b held before
  EXPECT_EQ(MemFind(blockB, 1), 0x7FFFFFFF);
  EXPECT_NE(MemFind(blockA, 1), 0x7FFFFFFF);
  ImgFree(b);
  EXPECT_EQ(MemCount(), memAtStart);

  Qimg tracked, untracked;
  ImgAlloc(tracked, 1, 1, 8);
  uint8_t local[4] = {};
  untracked.Data = local;
  EXPECT_EQ(Try([&] { ImgXchg(tracked, untracked); }), (test::ErrPair{5, 2}));
  ImgFree(tracked);
}

TEST(ImgInfoTable, DefaultsAndRows) {
  QimgInfo info;
  ImgInfo(info, 6);  // a code without a row keeps the defaults
  for (const auto& r : info.Ranges) {
    EXPECT_EQ(r.Min, 1);
    EXPECT_EQ(r.Max, 30000);
  }
  const int32_t defaults[6] = {24, 24, 24, 24, 32, 24};
  for (int i = 0; i < 6; ++i) EXPECT_EQ(info.WorkBpp[i], defaults[i]) << i;
  EXPECT_NE(info.InPlace, 0);
  EXPECT_EQ(info.PalOK, 0);
  EXPECT_EQ(info.HasParams, 0);

  ImgInfo(info, opBrightness);
  EXPECT_NE(info.PalOK, 0);
  EXPECT_EQ(info.WorkBpp[0], 8);
  EXPECT_EQ(info.ParamCount, 3);
  EXPECT_NE(info.HasParams, 0);
  EXPECT_EQ(info.Params[2].Min, -100);
  EXPECT_EQ(info.Params[2].Max, 100);

  ImgInfo(info, opGamma);
  EXPECT_DOUBLE_EQ(info.Params[0].Min, 0.01);
  EXPECT_DOUBLE_EQ(info.Params[1].Default, 1);

  ImgInfo(info, opResize);
  const int32_t identity[6] = {8, 15, 16, 24, 32, 24};
  for (int i = 0; i < 6; ++i) EXPECT_EQ(info.WorkBpp[i], identity[i]) << i;
  EXPECT_EQ(info.InPlace, 0);

  ImgInfo(info, opInsert);
  EXPECT_NE(info.DestKeepsBpp, 0);
  ImgInfo(info, opSprite);
  EXPECT_NE(info.DestToWork, 0);
  EXPECT_EQ(info.InPlace, 0);

  ImgInfo(info, 4);
  EXPECT_EQ(info.WorkBpp[0], 8);
  EXPECT_EQ(info.PalOK, 0);
  EXPECT_EQ(info.Params[0].Max, 10);

  ImgInfo(info, 33);
  EXPECT_NE(info.DestKeepsBpp, 0);
  EXPECT_EQ(info.Params[0].Default, 50);
}

TEST(ImgContext, NotInPlaceWithoutDestinationFails) {
  Qimg src;
  ImgAlloc(src, 2, 2, 24);
  QimgInfo info;
  ImgInfo(info, opResize);
  QimgCtx ctx;
  EXPECT_EQ(Try([&] { ImgInitEx(info, ctx, &src, nullptr, 2, 2); }), (test::ErrPair{7, 6}));
  ImgFree(src);
}

TEST(ImgContext, PaletteModeAndTemporaries) {
  Qimg src, dest;
  test::MakePic(src, 4, 2, 8, [](int x, int) { return x; });
  QimgInfo info;
  ImgInfo(info, opBrightness);
  QimgCtx ctx;
  ImgInit(info, ctx, &src, &dest);
  EXPECT_NE(ctx.PalMode, 0);
  EXPECT_EQ(ctx.SrcCount, 256);
  EXPECT_EQ(ctx.UnitBytes, 3);
  EXPECT_EQ(ctx.SrcP, src.Palette.data());
  EXPECT_EQ(ctx.DestP, dest.Palette.data());
  ImgDone(ctx);
  EXPECT_EQ(test::Bytes(dest), test::Bytes(src));  // indices copied by ImgDone

  // A 16-bit source of a 24-bit operation works on a converted temporary, freed by ImgDone.
  Qimg s16;
  test::MakePic(s16, 3, 3, 16, [](int, int) { return 0xFFFF; });
  const int32_t before = MemCount();
  ImgInit(info, ctx, &s16, &s16);
  EXPECT_NE(ctx.TempUsed, 0);
  EXPECT_EQ(ctx.Src, &ctx.Work);
  EXPECT_EQ(ctx.UnitBytes, 3);
  EXPECT_EQ(ctx.SrcTotal, 27);
  ImgDone(ctx);
  EXPECT_EQ(MemCount(), before);
  EXPECT_EQ(s16.Bpp, 24);
  ImgFree(src);
  ImgFree(dest);
  ImgFree(s16);
}

}  // namespace
}  // namespace tavelo
