// Picture records from packed DIBs and raw buffers, and the small colour helpers.
#include "core/media/img_dib.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "core/services/errors.h"
#include "core/services/memory.h"
#include "core/services/monitor.h"
#include "platform/dib/dib.h"

namespace tavelo {
namespace {

using platform::BI_BITFIELDS;
using platform::BI_RGB;
using platform::BI_RLE8;
using platform::BITMAPINFOHEADER;

struct Err {
  int32_t cls, code;
};
template <class Work>
Err Try(Work&& work) {
  MonitoredNoRaise(work);
  return {GetErrorClass(), GetErrorCode()};
}

// A packed DIB: header, table (raw bytes), then rows given top-down (each row's bytes without
// padding), stored in the order the height's sign asks for.
std::vector<uint8_t> PackedDib(int32_t w, int32_t h, uint16_t bitCount, uint32_t compression,
                               const std::vector<uint8_t>& table, const std::vector<std::vector<uint8_t>>& rowsTopDown,
                               uint32_t clrUsed = 0) {
  BITMAPINFOHEADER hdr{};
  hdr.biSize = 40;
  hdr.biWidth = w;
  hdr.biHeight = h;
  hdr.biPlanes = 1;
  hdr.biBitCount = bitCount;
  hdr.biCompression = compression;
  hdr.biClrUsed = clrUsed;
  const int32_t rows = h < 0 ? -h : h;
  const size_t stride = static_cast<size_t>(platform::DibRowBytes(bitCount, w));
  std::vector<uint8_t> out(sizeof hdr + table.size() + stride * static_cast<size_t>(rows), 0xAB);
  std::memcpy(out.data(), &hdr, sizeof hdr);
  if (!table.empty()) std::memcpy(out.data() + sizeof hdr, table.data(), table.size());
  uint8_t* pixels = out.data() + sizeof hdr + table.size();
  for (int32_t i = 0; i < rows; ++i) {
    const auto& row = rowsTopDown[static_cast<size_t>(h < 0 ? i : rows - 1 - i)];
    if (!row.empty()) std::memcpy(pixels + static_cast<size_t>(i) * stride, row.data(), row.size());
  }
  return out;
}

std::vector<uint8_t> Data(const Qimg& img) { return std::vector<uint8_t>(img.Data, img.Data + img.Size); }

TEST(ImgDib, LineBytesArePaddedToFour) {
  EXPECT_EQ(DibLineBytes(24, 3), 12);
  EXPECT_EQ(DibLineBytes(24, 4), 12);
  EXPECT_EQ(DibLineBytes(8, 5), 8);
  EXPECT_EQ(DibLineBytes(16, -3), 8);
  EXPECT_EQ(DibLineBytes(32, 1), 4);
}

TEST(ImgDib, MakeQimgCopiesRowsInEitherOrder) {
  // Two rows of 3 pixels at 8 bits, stride 4.
  const uint8_t bits[8] = {1, 2, 3, 0xEE, 4, 5, 6, 0xEE};
  Qimg top, bottom;
  MakeQimg(top, bits, 3, 2, 8, 4, true);
  MakeQimg(bottom, bits, 3, 2, 8, 4, false);
  EXPECT_EQ(Data(top), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(Data(bottom), (std::vector<uint8_t>{4, 5, 6, 1, 2, 3}));
  // A packed top-down buffer is one block copy.
  Qimg packed;
  MakeQimg(packed, bits, 2, 2, 16, 4, true);
  EXPECT_EQ(packed.Bpp, 16);
  EXPECT_EQ(Data(packed), (std::vector<uint8_t>(bits, bits + 8)));
  const Err e = Try([&] { MakeQimg(packed, bits, 3, 2, 24, 4, true); });
  EXPECT_EQ(e.cls, ecImage) << "a stride shorter than a row";
  EXPECT_EQ(e.code, 2);
  ClearError();
  ImgFree(top);
  ImgFree(bottom);
  ImgFree(packed);
}

TEST(ImgDib, BottomUpAndTopDownDibsGiveTheSameRecord) {
  const std::vector<std::vector<uint8_t>> rows = {{1, 2, 3, 4, 5, 6, 7, 8, 9}, {10, 11, 12, 13, 14, 15, 16, 17, 18}};
  const auto up = PackedDib(3, 2, 24, BI_RGB, {}, rows);
  const auto down = PackedDib(3, -2, 24, BI_RGB, {}, rows);
  Qimg a, b;
  DibToQimg(a, up.data(), static_cast<int64_t>(up.size()));
  DibToQimg(b, down.data(), static_cast<int64_t>(down.size()));
  EXPECT_EQ(a.Width, 3);
  EXPECT_EQ(a.Height, 2);
  EXPECT_EQ(a.Bpp, 24);
  EXPECT_EQ(Data(a), Data(b));
  EXPECT_EQ(Data(a), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18}));
  ImgFree(a);
  ImgFree(b);
}

TEST(ImgDib, DepthsPalettesAndMasks) {
  Qimg img;
  // A plain 16-bit DIB is a 15-bit picture; bit-field masks of 5-6-5 keep 16.
  const auto d555 = PackedDib(1, 1, 16, BI_RGB, {}, {{0x1F, 0x7C}});
  DibToQimg(img, d555.data());
  EXPECT_EQ(img.Bpp, 15);
  EXPECT_EQ(img.BytesPP, 2);
  const uint32_t masks[3] = {0xF800, 0x07E0, 0x001F};
  std::vector<uint8_t> maskBytes(12);
  std::memcpy(maskBytes.data(), masks, 12);
  const auto d565 = PackedDib(1, 1, 16, BI_BITFIELDS, maskBytes, {{0x00, 0xF8}});
  DibToQimg(img, d565.data(), static_cast<int64_t>(d565.size()));
  EXPECT_EQ(img.Bpp, 16);
  EXPECT_EQ(Data(img), (std::vector<uint8_t>{0x00, 0xF8}));

  // 8 bits with a two-entry table: the pixels follow the two entries.
  const std::vector<uint8_t> table = {10, 20, 30, 0, 40, 50, 60, 0};
  const auto d8 = PackedDib(2, 1, 8, BI_RGB, table, {{1, 0}}, 2);
  DibToQimg(img, d8.data(), static_cast<int64_t>(d8.size()));
  EXPECT_EQ(img.Bpp, 8);
  EXPECT_EQ(Data(img), (std::vector<uint8_t>{1, 0}));
  EXPECT_EQ(img.Palette[0], 10);
  EXPECT_EQ(img.Palette[3 + 2], 60);

  // A table claiming more than 256 entries: 256 reach the palette, the pixels are found after it.
  std::vector<uint8_t> big(300 * 4);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i / 4);
  const auto dBig = PackedDib(1, 1, 8, BI_RGB, big, {{7}}, 300);
  DibToQimg(img, dBig.data(), static_cast<int64_t>(dBig.size()));
  EXPECT_EQ(Data(img), std::vector<uint8_t>{7});
  EXPECT_EQ(img.Palette[255 * 3], 255);

  // A true-colour DIB with an optional colour table: the pixels follow the table.
  const auto d24t = PackedDib(1, 1, 24, BI_RGB, {1, 1, 1, 0, 2, 2, 2, 0}, {{9, 8, 7}}, 2);
  DibToQimg(img, d24t.data(), static_cast<int64_t>(d24t.size()));
  EXPECT_EQ(Data(img), (std::vector<uint8_t>{9, 8, 7}));
  ImgFree(img);
}

TEST(ImgDib, HostileHeadersAreRefused) {
  Qimg img;
  const int32_t mem0 = MemCount();
  struct Case {
    const char* what;
    std::vector<uint8_t> dib;
    int32_t code;
  };
  auto withSize = [](std::vector<uint8_t> d, uint32_t size) {
    std::memcpy(d.data(), &size, 4);
    return d;
  };
  const std::vector<Case> cases = {
      {"width 0", PackedDib(0, 1, 24, BI_RGB, {}, {{}}), 2},
      {"negative width", PackedDib(-2, 1, 24, BI_RGB, {}, {{0, 0, 0, 0, 0, 0}}), 2},
      {"height 0", PackedDib(1, 0, 24, BI_RGB, {}, {}), 2},
      {"1 bit", PackedDib(8, 1, 1, BI_RGB, std::vector<uint8_t>(8), {{0xFF}}), 1},
      {"4 bits", PackedDib(2, 1, 4, BI_RGB, std::vector<uint8_t>(64), {{0x12}}), 1},
      {"RLE8", PackedDib(2, 1, 8, BI_RLE8, std::vector<uint8_t>(1024), {{2, 1}}), 1},
      {"odd masks", PackedDib(1, 1, 16, BI_BITFIELDS, std::vector<uint8_t>(12, 0xFF), {{0, 0}}), 1},
      {"core header", withSize(PackedDib(1, 1, 24, BI_RGB, {}, {{0, 0, 0}}), 12), 4},
  };
  for (const Case& c : cases) {
    const Err e = Try([&] { DibToQimg(img, c.dib.data(), static_cast<int64_t>(c.dib.size())); });
    EXPECT_EQ(e.cls, ecImage) << c.what;
    EXPECT_EQ(e.code, c.code) << c.what;
    ClearError();
  }
  // Pixels past the end of the block.
  const auto dib = PackedDib(4, 4, 24, BI_RGB, {}, std::vector<std::vector<uint8_t>>(4, std::vector<uint8_t>(12)));
  const Err e = Try([&] { DibToQimg(img, dib.data(), static_cast<int64_t>(dib.size()) - 1); });
  EXPECT_EQ(e.cls, ecImage);
  EXPECT_EQ(e.code, 9);
  ClearError();
  EXPECT_FALSE(ImgAssigned(img));
  EXPECT_EQ(MemCount(), mem0);
}

TEST(ImgDib, RandomHeadersNeverReadPastTheBlock) {
  // Headers with fields drawn from telling values, over blocks of random length (ASan watches the
  // reads): each either gives a picture the header describes or fails with class 7.
  std::mt19937 rng(20240611);
  const int32_t dims[] = {-70000, -3, -1, 0, 1, 2, 3, 5, 64, 4097, 70000, INT32_MAX, INT32_MIN};
  const uint16_t depths[] = {0, 1, 4, 8, 15, 16, 24, 32, 48};
  const uint32_t compressions[] = {BI_RGB, BI_RLE8, BI_BITFIELDS, 7};
  const uint32_t clrUsed[] = {0, 1, 2, 255, 256, 257, 0xFFFFFFFF};
  const uint32_t sizes[] = {0, 12, 39, 40, 52, 108, 124, 0x7FFFFFFF, 0xFFFFFFFF};
  const int32_t mem0 = MemCount();
  int read = 0;
  for (int round = 0; round < 3000; ++round) {
    BITMAPINFOHEADER h{};
    h.biSize = sizes[rng() % std::size(sizes)];
    if (rng() % 2) h.biSize = 40;
    h.biWidth = dims[rng() % std::size(dims)];
    h.biHeight = dims[rng() % std::size(dims)];
    h.biBitCount = depths[rng() % std::size(depths)];
    h.biCompression = compressions[rng() % std::size(compressions)];
    h.biClrUsed = clrUsed[rng() % std::size(clrUsed)];
    const size_t length = sizeof h + rng() % 2048;
    std::vector<uint8_t> block(length);
    for (auto& b : block) b = static_cast<uint8_t>(rng());
    if (h.biCompression == BI_BITFIELDS && length >= 52 && rng() % 2) {
      const uint32_t masks[3] = {0xF800, 0x07E0, 0x001F};
      std::memcpy(block.data() + 40, masks, 12);
    }
    std::memcpy(block.data(), &h, sizeof h);
    Qimg img;
    const Err e = Try([&] { DibToQimg(img, block.data(), static_cast<int64_t>(block.size())); });
    if (e.cls == 0) {
      ++read;
      ASSERT_TRUE(ImgAssigned(img));
      EXPECT_EQ(img.Width, h.biWidth);
      EXPECT_EQ(img.Height, h.biHeight < 0 ? -h.biHeight : h.biHeight);
    } else {
      EXPECT_EQ(e.cls, ecImage) << "round " << round;
      ClearError();
    }
    ImgFree(img);
  }
  EXPECT_GT(read, 10) << "the valid headers among them are read";
  EXPECT_EQ(MemCount(), mem0);
}

TEST(ImgDib, ColourHelpers) {
  EXPECT_EQ(MakeRGBA(1, 2, 3, 4), 0x04030201u);
  uint8_t r = 0, g = 0, b = 0;
  SplitRGB(r, g, b, 0xFF332211);
  EXPECT_EQ(r, 0x11);
  EXPECT_EQ(g, 0x22);
  EXPECT_EQ(b, 0x33);

  uint8_t out[6] = {};
  const uint8_t bgrx[8] = {1, 2, 3, 99, 4, 5, 6, 99};
  RowTo24(false, 4, 2, out, bgrx);
  EXPECT_EQ(std::vector<uint8_t>(out, out + 6), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6}));
  RowTo24(true, 4, 2, out, bgrx);
  EXPECT_EQ(std::vector<uint8_t>(out, out + 6), (std::vector<uint8_t>{3, 2, 1, 6, 5, 4}));
  // 5-5-5 words widen by shifting: (r 31, g 1, b 2).
  const uint16_t words[2] = {0x7C22, 0x0000};
  RowTo24(false, 2, 2, out, words);
  EXPECT_EQ(std::vector<uint8_t>(out, out + 6), (std::vector<uint8_t>{16, 8, 248, 0, 0, 0}));
}

}  // namespace
}  // namespace tavelo
