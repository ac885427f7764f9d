// Flip, resize, red/blue exchange and placing pictures into pictures.
#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "core/media/img_basic.h"
#include "core/services/memory.h"
#include "tests/core/img_test_util.h"

namespace tavelo {
namespace {

using test::Bgr;
using test::MakePic;
using test::Pixel;
using test::Try;

// The source rows a resize from n rows to m rows picks (8-bit picture, pixel = row number).
std::vector<uint32_t> RowsPicked(int n, int m) {
  Qimg src, dest;
  MakePic(src, 1, n, 8, [](int, int y) { return static_cast<uint32_t>(y); });
  ImgResize(src, dest, 1, m);
  std::vector<uint32_t> rows;
  for (int y = 0; y < m; ++y) rows.push_back(Pixel(dest, 0, y));
  ImgFree(src);
  ImgFree(dest);
  return rows;
}

std::vector<uint32_t> ColumnsPicked(int n, int m) {
  Qimg src, dest;
  MakePic(src, n, 1, 16, [](int x, int) { return static_cast<uint32_t>(x); });
  ImgResize(src, dest, m, 1);
  std::vector<uint32_t> cols;
  for (int x = 0; x < m; ++x) cols.push_back(Pixel(dest, x, 0));
  ImgFree(src);
  ImgFree(dest);
  return cols;
}

TEST(ImgResize, RowAndColumnMaps) {
  using V = std::vector<uint32_t>;
  EXPECT_EQ(RowsPicked(2, 4), (V{0, 0, 1, 1}));
  EXPECT_EQ(RowsPicked(5, 3), (V{0, 2, 4}));
  EXPECT_EQ(RowsPicked(3, 9), (V{0, 0, 0, 0, 1, 1, 1, 2, 2}));  // the truncated step repeats row 0 once more
  EXPECT_EQ(RowsPicked(4, 4), (V{0, 1, 2, 3}));
  EXPECT_EQ(ColumnsPicked(2, 4), (V{0, 0, 1, 1}));
  EXPECT_EQ(ColumnsPicked(5, 3), (V{0, 2, 4}));
  EXPECT_EQ(ColumnsPicked(3, 9), (V{0, 0, 0, 0, 1, 1, 1, 2, 2}));
  EXPECT_EQ(ColumnsPicked(7, 7), (V{0, 1, 2, 3, 4, 5, 6}));
}

// Past about 30,000 pixels the step no longer fits 32 bits; with 64-bit steps a 40,000-pixel row
// halves to every second pixel and doubles to every pixel twice.
TEST(ImgResize, WideRowsKeepTheirSteps) {
  Qimg src, dest;
  MakePic(src, 40000, 1, 32, [](int x, int) { return static_cast<uint32_t>(x); });
  ImgResize(src, dest, 20000, 1);
  for (int x = 0; x < 20000; ++x) ASSERT_EQ(Pixel(dest, x, 0), static_cast<uint32_t>(2 * x)) << x;
  ImgResize(src, dest, 80000, 1);
  for (int x = 0; x < 80000; ++x) ASSERT_EQ(Pixel(dest, x, 0), static_cast<uint32_t>(x / 2)) << x;
  ImgFree(src);
  MakePic(src, 1, 40000, 8, [](int, int y) { return static_cast<uint32_t>(y & 0xFF); });
  ImgResize(src, dest, 1, 20000);
  for (int y = 0; y < 20000; ++y) ASSERT_EQ(Pixel(dest, 0, y), static_cast<uint32_t>((2 * y) & 0xFF)) << y;
  ImgFree(src);
  ImgFree(dest);
}

TEST(ImgResize, TargetsBelowOneFail) {
  Qimg src, dest;
  MakePic(src, 4, 4, 24, [](int, int) { return 1; });
  for (const auto& size : {std::pair{0, 4}, {4, 0}, {-3, 4}, {4, -1}}) {
    const int w = size.first, h = size.second;
    EXPECT_EQ(Try([&] { ImgResize(src, dest, w, h); }), (test::ErrPair{5, 5})) << w << "x" << h;
    EXPECT_EQ(Try([&] { ImgResize(src, src, w, h); }), (test::ErrPair{5, 5})) << w << "x" << h;
  }
  EXPECT_EQ(src.Width, 4);
  EXPECT_EQ(MemCount(), 1);
  ImgFree(src);
}

TEST(ImgResize, InPlaceAndPalette) {
  Qimg pic;
  MakePic(pic, 2, 2, 8, [](int x, int y) { return static_cast<uint32_t>(x + 2 * y); });
  pic.Palette[9] = 77;
  ImgResize(pic, pic, 4, 4);
  EXPECT_EQ(pic.Width, 4);
  EXPECT_EQ(pic.Height, 4);
  EXPECT_EQ(pic.Bpp, 8);
  EXPECT_EQ(pic.Palette[9], 77);
  EXPECT_EQ(Pixel(pic, 3, 3), 3u);
  EXPECT_EQ(Pixel(pic, 1, 2), 2u);
  EXPECT_EQ(MemCount(), 1);
  ImgFree(pic);
}

// Every size from 1 to 40 into every size from 1 to 40 (the other axis varies along), each depth.
// The picture's pixels name their own coordinates, so the result shows which source pixel each
// output took: the column map is the same in every row and the row map in every column, both
// start at 0, never go back, stay inside the source and stay near x * source / target.
TEST(ImgResize, SizeSweep) {
  const int32_t memAtStart = MemCount();  // what earlier work left is not this test's
  for (int bpp : {8, 16, 24, 32}) {
    for (int sw = 1; sw <= 40; ++sw)
      for (int dw = 1; dw <= 40; ++dw) {
        const int sh = (sw * 7) % 40 + 1, dh = (dw * 11) % 40 + 1;
        Qimg src, dest;
        // An 8-bit pixel cannot name both coordinates: its pictures name the column, then the row.
        MakePic(src, sw, sh, bpp, [&](int x, int y) { return static_cast<uint32_t>(bpp == 8 ? x : x | (y << 6)); });
        ImgResize(src, dest, dw, dh);
        ASSERT_EQ(dest.Width, dw);
        ASSERT_EQ(dest.Height, dh);
        ASSERT_EQ(dest.Bpp, bpp);
        std::vector<int> cols(dw), rows(dh);
        for (int x = 0; x < dw; ++x) cols[x] = Pixel(dest, x, 0) & 63;
        if (bpp == 8) {
          MakePic(src, sw, sh, bpp, [](int, int y) { return static_cast<uint32_t>(y); });
          Qimg byRow;
          ImgResize(src, byRow, dw, dh);
          for (int y = 0; y < dh; ++y) rows[y] = static_cast<int>(Pixel(byRow, 0, y));
          for (int y = 0; y < dh; ++y)
            for (int x = 0; x < dw; ++x) {
              ASSERT_EQ(Pixel(dest, x, y), static_cast<uint32_t>(cols[x])) << sw << "->" << dw;
              ASSERT_EQ(Pixel(byRow, x, y), static_cast<uint32_t>(rows[y])) << sh << "->" << dh;
            }
          ImgFree(byRow);
        } else {
          for (int y = 0; y < dh; ++y) rows[y] = static_cast<int>(Pixel(dest, 0, y) >> 6);
          for (int y = 0; y < dh; ++y)
            for (int x = 0; x < dw; ++x)
              ASSERT_EQ(Pixel(dest, x, y), static_cast<uint32_t>(cols[x] | (rows[y] << 6))) << sw << "->" << dw;
        }
        auto check = [](const std::vector<int>& map, int n, int m) {
          ASSERT_EQ(map[0], 0);
          for (int j = 0; j < m; ++j) {
            ASSERT_LT(map[j], n);
            if (j > 0) {
              ASSERT_GE(map[j], map[j - 1]);
            }
            ASSERT_LE(std::abs(map[j] - j * n / m), n / m + 1) << n << "->" << m << " at " << j;
          }
          // Enlarging uses every source index; shrinking never takes one twice.
          if (m >= n) {
            ASSERT_EQ(map[m - 1], n - 1) << n << "->" << m;
          } else {
            for (int j = 1; j < m; ++j) ASSERT_GT(map[j], map[j - 1]);
          }
        };
        check(cols, sw, dw);
        check(rows, sh, dh);
        ImgFree(src);
        ImgFree(dest);
      }
  }
  EXPECT_EQ(MemCount(), memAtStart);
}

TEST(ImgFlip, InPlaceAndIntoAnotherRecord) {
  Qimg pic, out;
  MakePic(pic, 1, 5, 8, [](int, int y) { return static_cast<uint32_t>(y + 1); });  // rows of 1 byte
  ImgFlipV(pic, pic);
  for (int y = 0; y < 5; ++y) EXPECT_EQ(Pixel(pic, 0, y), static_cast<uint32_t>(5 - y));  // middle row stays
  MakePic(pic, 3, 4, 24, [](int x, int y) { return Bgr(x, y, 9); });
  pic.XRes = 5;
  ImgFlipV(pic, out);
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 3; ++x) EXPECT_EQ(Pixel(out, x, y), Bgr(x, 3 - y, 9));
  ImgFlipV(out, out);
  EXPECT_EQ(test::Bytes(out), test::Bytes(pic));
  ImgFree(pic);
  ImgFree(out);
}

TEST(ImgSwapRB, AllDepths) {
  const int32_t memAtStart = MemCount();  // what earlier work left is not this test's
  Qimg pic, out;
  MakePic(pic, 2, 2, 32, [](int x, int) { return 0x80000000u | Bgr(1, 2, 3 + x); });
  ImgSwapRB(pic, out);
  EXPECT_EQ(Pixel(out, 1, 1), 0x80000000u | Bgr(4, 2, 1));
  ImgSwapRB(pic, pic);
  EXPECT_EQ(Pixel(pic, 0, 0), 0x80000000u | Bgr(3, 2, 1));

  MakePic(pic, 2, 1, 8, [](int x, int) { return static_cast<uint32_t>(x); });
  pic.Palette[0] = 10;
  pic.Palette[2] = 30;
  ImgSwapRB(pic, out);
  EXPECT_EQ(out.Bpp, 8);
  EXPECT_EQ(test::Bytes(out), test::Bytes(pic));
  EXPECT_EQ(out.Palette[0], 30);
  EXPECT_EQ(out.Palette[2], 10);

  MakePic(pic, 1, 1, 16, [](int, int) { return (31u << 11) | 1u; });  // red 248, blue 8
  ImgSwapRB(pic, pic);
  EXPECT_EQ(pic.Bpp, 24);
  EXPECT_EQ(Pixel(pic, 0, 0), Bgr(248, 0, 8));
  ImgFree(pic);
  ImgFree(out);
  EXPECT_EQ(MemCount(), memAtStart);
}

TEST(ImgPlace, SpriteFromTheLeftEdgeAndKeyColour) {
  Qimg sprite, dest;
  MakePic(sprite, 5, 1, 24, [](int x, int) { return x == 3 ? 0xFF00FFu : Bgr(x + 1, 0, 0); });
  MakePic(dest, 4, 2, 24, [](int, int) { return 0x000077u; });
  // x = -2 places the sprite from its third column at x 0; the key is compared on 3 bytes only.
  ImgSprite(sprite, dest, -2, 1, 0xAAFF00FFu);
  EXPECT_EQ(Pixel(dest, 0, 1), Bgr(3, 0, 0));
  EXPECT_EQ(Pixel(dest, 1, 1), 0x000077u);  // the key colour is transparent
  EXPECT_EQ(Pixel(dest, 2, 1), Bgr(5, 0, 0));
  EXPECT_EQ(Pixel(dest, 3, 1), 0x000077u);
  EXPECT_EQ(Pixel(dest, 0, 0), 0x000077u);
  // A sprite takes the destination to its own depth.
  Qimg dest32;
  MakePic(dest32, 4, 4, 32, [](int, int) { return 0xFF000000u; });
  ImgSprite(sprite, dest32, 0, 0, 0);
  EXPECT_EQ(dest32.Bpp, 24);
  EXPECT_EQ(Pixel(dest32, 1, 0), Bgr(2, 0, 0));
  ImgFree(sprite);
  ImgFree(dest);
  ImgFree(dest32);
}

TEST(ImgPlace, InsertClipsToSourceAndDestination) {
  const int32_t memAtStart = MemCount();  // what earlier work left is not this test's
  Qimg src, dest;
  MakePic(src, 3, 3, 24, [](int x, int y) { return Bgr(1 + x, 1 + y, 1); });
  MakePic(dest, 10, 10, 24, [](int, int) { return 0u; });
  // A width and height larger than the source copy only what the source holds.
  AutoPut_(opInsert, src, dest, 1, 0, 8, 8, 4, 5, 0);
  int painted = 0;
  for (int y = 0; y < 10; ++y)
    for (int x = 0; x < 10; ++x)
      if (Pixel(dest, x, y) != 0) ++painted;
  EXPECT_EQ(painted, 6);
  EXPECT_EQ(Pixel(dest, 4, 5), Bgr(2, 1, 1));
  EXPECT_EQ(Pixel(dest, 5, 7), Bgr(3, 3, 1));
  // Off the right edge, past the source and onto itself: nothing happens.
  const auto before = test::Bytes(dest);
  ImgInsert(src, dest, 10, 0);
  ImgInsert(src, dest, -3, 0);
  AutoPut_(opInsert, src, dest, 3, 0, 3, 3, 0, 0, 0);
  AutoPut_(opInsert, dest, dest, 0, 0, 3, 3, 1, 1, 0);
  EXPECT_EQ(test::Bytes(dest), before);
  // Clipped at the bottom right.
  ImgInsert(src, dest, 8, 9);
  EXPECT_EQ(Pixel(dest, 9, 9), Bgr(2, 1, 1));
  ImgFree(src);
  ImgFree(dest);
  EXPECT_EQ(MemCount(), memAtStart);
}

TEST(ImgPlace, InsertKeepsTheHigherDepth) {
  Qimg pal, dest;
  MakePic(pal, 2, 2, 8, [](int, int) { return 1u; });
  pal.Palette[3] = 50;
  pal.Palette[4] = 60;
  pal.Palette[5] = 70;
  MakePic(dest, 3, 3, 24, [](int, int) { return 0u; });
  ImgInsert(pal, dest, 1, 1);
  EXPECT_EQ(dest.Bpp, 24);
  EXPECT_EQ(Pixel(dest, 2, 2), Bgr(50, 60, 70));
  EXPECT_EQ(Pixel(dest, 0, 0), 0u);

  Qimg small8;
  MakePic(small8, 3, 3, 8, [](int, int) { return 0u; });
  Qimg rgb;
  MakePic(rgb, 1, 1, 24, [](int, int) { return Bgr(9, 8, 7); });
  ImgInsert(rgb, small8, 0, 0);
  EXPECT_EQ(small8.Bpp, 24);
  EXPECT_EQ(Pixel(small8, 0, 0), Bgr(9, 8, 7));
  for (Qimg* p : {&pal, &dest, &small8, &rgb}) ImgFree(*p);
}

}  // namespace
}  // namespace tavelo
