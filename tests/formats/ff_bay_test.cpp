// Bayer raw unit: files of every trailer kind made by a small writer of ours, the trailer rules,
// and the mosaic decoder against an independent reference (each missing colour is the mean of
// the same-coloured pixels around it, then the saturation is raised by 1.4).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "core/services/memory.h"
#include "formats/units/ff_bay.h"
#include "tests/formats/own_pictures_util.h"

namespace tavelo {
namespace {

using test::Bytes;
using test::ErrPair;
using test::TryWork;

// The colour (0 red, 1 green, 2 blue) a mosaic pattern puts at (x, y). Patterns 5 and 6 flip
// the cell's rows from cell to cell, counting cells across rows without restarting.
int Site(int pattern, int x, int y, int width) {
  static const int kCells[7][4] = {{2, 1, 1, 0}, {1, 0, 2, 1}, {0, 1, 1, 2}, {1, 2, 0, 1}, {}, {1, 2, 0, 1}, {2, 1, 1, 0}};
  int row = y & 1;
  if (pattern >= 5) {
    const long cell = static_cast<long>(y / 2) * (width / 2) + x / 2;
    if (cell & 1) row ^= 1;
  }
  return kCells[pattern][row * 2 + (x & 1)];
}

struct Rgb {
  int R, G, B;
  int operator[](int i) const { return i == 0 ? R : i == 1 ? G : B; }
};

std::vector<uint8_t> Mosaic(int pattern, int w, int h, const std::function<Rgb(int, int)>& colour) {
  std::vector<uint8_t> m(static_cast<size_t>(w) * h);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) m[static_cast<size_t>(y) * w + x] = static_cast<uint8_t>(colour(x, y)[Site(pattern, x, y, w)]);
  return m;
}

int Saturate(int a, int v) {
  const double x = std::floor((10.0 * a + 14.0 * (v - a) + 5.0) / 10.0);  // a + (v - a) x 1.4, rounded
  return x < 0 ? 0 : x > 255 ? 255 : static_cast<int>(x);
}

Rgb Saturated(Rgb c) {
  const int a = (c.R + c.G + c.B + 1) / 3;
  return {Saturate(a, c.R), Saturate(a, c.G), Saturate(a, c.B)};
}

// The reference colour of an inner pixel: its own sample, and for the other colours the mean
// (rounded down) of the same-coloured pixels among its eight neighbours.
Rgb Reference(const std::vector<uint8_t>& m, int pattern, int w, int x, int y) {
  int sum[3] = {}, count[3] = {};
  Rgb out{};
  const int own = Site(pattern, x, y, w);
  for (int dy = -1; dy <= 1; ++dy)
    for (int dx = -1; dx <= 1; ++dx) {
      if (dx == 0 && dy == 0) continue;
      const int c = Site(pattern, x + dx, y + dy, w);
      sum[c] += m[static_cast<size_t>(y + dy) * w + x + dx];
      ++count[c];
    }
  int v[3];
  for (int c = 0; c < 3; ++c) v[c] = c == own ? m[static_cast<size_t>(y) * w + x] : (count[c] ? sum[c] / count[c] : -1);
  out = {v[0], v[1], v[2]};
  return Saturated(out);
}

Rgb At(const std::vector<uint8_t>& bgr, int w, int x, int y) {
  const size_t i = (static_cast<size_t>(y) * w + x) * 3;
  return {bgr[i + 2], bgr[i + 1], bgr[i]};
}

std::vector<uint8_t> Decode(const std::vector<uint8_t>& mosaic, int w, int h, int pattern, int layout = 1) {
  std::vector<uint8_t> out(static_cast<size_t>(w) * h * 3, 0xCD);
  EXPECT_EQ(TryWork([&] { BayDecode(mosaic.data(), out.data(), w, layout, pattern, h); }), (ErrPair{0, 0}));
  return out;
}

TEST(BayDecode, SolidColoursStaySolidUpToTheEdges) {
  const int32_t memAtStart = MemCount();  // what earlier work left is not this test's
  const Rgb colour{200, 100, 50};
  const Rgb want = Saturated(colour);
  EXPECT_EQ(want.R, 233);  // a = 117: 117 + 83 x 1.4 = 233.2
  EXPECT_EQ(want.G, 93);
  EXPECT_EQ(want.B, 23);
  for (int pattern : {0, 1, 2, 3})
    for (auto [w, h] : {std::pair{2, 2}, {3, 3}, {5, 4}, {4, 7}, {37, 23}, {2, 9}}) {
      SCOPED_TRACE("pattern " + std::to_string(pattern) + " size " + std::to_string(w) + "x" + std::to_string(h));
      const auto out = Decode(Mosaic(pattern, w, h, [&](int, int) { return colour; }), w, h, pattern);
      for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
          const Rgb got = At(out, w, x, y);
          ASSERT_TRUE(got.R == want.R && got.G == want.G && got.B == want.B)
              << "(" << x << "," << y << ") is " << got.R << "," << got.G << "," << got.B;
        }
    }
  EXPECT_EQ(MemCount(), memAtStart);
}

TEST(BayDecode, InnerPixelsMatchTheReference) {
  auto noise = [](int x, int y) {
    const unsigned v = static_cast<unsigned>(x * 7919 + y * 104729) * 2654435761u;
    return Rgb{static_cast<int>(v >> 24), static_cast<int>((v >> 16) & 255), static_cast<int>((v >> 8) & 255)};
  };
  for (int pattern : {0, 1, 2, 3, 5, 6})
    for (auto [w, h] : {std::pair{16, 12}, {9, 7}, {36, 5}}) {
      // Patterns 5 and 6 need whole cell rows of an even count for their sites to line up.
      if (pattern >= 5 && (w / 2) % 2 != 0) continue;
      SCOPED_TRACE("pattern " + std::to_string(pattern) + " size " + std::to_string(w) + "x" + std::to_string(h));
      const auto mosaic = Mosaic(pattern, w, h, noise);
      const auto out = Decode(mosaic, w, h, pattern);
      const int xEnd = std::min(w - 1, w & ~1), yEnd = std::min(h - 1, h & ~1);
      for (int y = 1; y < yEnd; ++y)
        for (int x = 1; x < xEnd; ++x) {
          const Rgb got = At(out, w, x, y), want = Reference(mosaic, pattern, w, x, y);
          ASSERT_TRUE(got.R == want.R && got.G == want.G && got.B == want.B)
              << "(" << x << "," << y << ") is " << got.R << "," << got.G << "," << got.B << " want " << want.R << ","
              << want.G << "," << want.B;
        }
    }
}

TEST(BayDecode, FastPathGivesThePlainPathsBytes) {
  const int32_t memAtStart = MemCount();  // what earlier work left is not this test's
  uint32_t seed = 12345;
  auto random = [&] {
    seed = seed * 1664525u + 1013904223u;
    return static_cast<uint8_t>(seed >> 24);
  };
  for (int pattern : {0, 1, 2, 3})
    for (int w : {2, 3, 8, 9, 16, 17, 23, 64, 301})
      for (int h : {2, 3, 6}) {
        std::vector<uint8_t> mosaic(static_cast<size_t>(w) * h);
        for (auto& v : mosaic) v = random();
        // Extremes reach both ends of the saturation.
        mosaic[0] = 0, mosaic[1] = 255, mosaic[static_cast<size_t>(w)] = 255;
        std::vector<uint8_t> fast(mosaic.size() * 3), plain(mosaic.size() * 3);
        ASSERT_EQ(TryWork([&] { BayColor_(mosaic.data(), fast.data(), w, pattern, h, true); }), (ErrPair{0, 0}));
        ASSERT_EQ(TryWork([&] { BayColor_(mosaic.data(), plain.data(), w, pattern, h, false); }), (ErrPair{0, 0}));
        ASSERT_EQ(fast, plain) << "pattern " << pattern << " size " << w << "x" << h;
      }
  EXPECT_EQ(MemCount(), memAtStart);
}

TEST(BayDecode, OddSizesCopyTheLastColumnAndRow) {
  auto noise = [](int x, int y) { return Rgb{(x * 37 + y * 11) & 255, (x * 5 + y * 91) & 255, (x * 13 + y * 3) & 255}; };
  const int w = 7, h = 5;
  const auto out = Decode(Mosaic(2, w, h, noise), w, h, 2);
  for (int y = 0; y < h; ++y) {
    const Rgb a = At(out, w, w - 1, y), b = At(out, w, w - 2, y);
    EXPECT_TRUE(a.R == b.R && a.G == b.G && a.B == b.B) << "row " << y;
  }
  for (int x = 0; x < w; ++x) {
    const Rgb a = At(out, w, x, h - 1), b = At(out, w, x, h - 2);
    EXPECT_TRUE(a.R == b.R && a.G == b.G && a.B == b.B) << "column " << x;
  }
}

TEST(BayDecode, SizesPatternsAndLayouts) {
  const int32_t memAtStart = MemCount();  // what earlier work left is not this test's
  std::vector<uint8_t> src(64, 9), dest(256, 0);
  // Colour needs at least 2 x 2; a raster monochrome picture of one pixel is a copy.
  EXPECT_EQ(TryWork([&] { BayDecode(src.data(), dest.data(), 1, 1, 2, 8); }), (ErrPair{7, 2}));
  EXPECT_EQ(TryWork([&] { BayDecode(src.data(), dest.data(), 8, 1, 0, 1); }), (ErrPair{7, 2}));
  EXPECT_EQ(TryWork([&] { BayDecode(src.data(), dest.data(), 0, 1, 4, 8); }), (ErrPair{7, 2}));
  EXPECT_EQ(TryWork([&] { BayDecode(src.data(), dest.data(), 1, 1, 4, 1); }), (ErrPair{0, 0}));
  EXPECT_EQ(dest[0], 9);
  EXPECT_EQ(TryWork([&] { BayDecode(src.data(), dest.data(), 2, 1, 7, 2); }), (ErrPair{7, 1}));
  EXPECT_EQ(TryWork([&] { BayDecode(src.data(), dest.data(), 2, 1, -1, 2); }), (ErrPair{7, 1}));
  // The cell order holds whole cells only.
  EXPECT_EQ(TryWork([&] { BayDecode(src.data(), dest.data(), 3, 0, 4, 2); }), (ErrPair{7, 2}));
  // Cell order: top-left, top-right, bottom-left, bottom-right, cells left to right.
  const std::vector<uint8_t> cells = {1, 2, 5, 6, 3, 4, 7, 8};
  std::vector<uint8_t> raster(8);
  FixCmpsData(cells.data(), raster.data(), 4, 2);
  EXPECT_EQ(raster, (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8}));
  EXPECT_EQ(TryWork([&] { BayDecode(cells.data(), dest.data(), 4, 0, 4, 2); }), (ErrPair{0, 0}));
  EXPECT_EQ(std::vector<uint8_t>(dest.begin(), dest.begin() + 8), raster);
  EXPECT_EQ(MemCount(), memAtStart);
}

TEST(BayDecode, SaturationTableAndThreads) {
  const uint8_t* t = BayRemapTable_();
  for (int a = 0; a < 256; ++a)
    for (int v = 0; v < 256; ++v) ASSERT_EQ(t[a * 256 + v], Saturate(a, v)) << a << "," << v;
  // Several threads decoding at once all get the same table and the same pictures.
  auto noise = [](int x, int y) { return Rgb{(x * 37) & 255, (y * 91) & 255, (x * y) & 255}; };
  const auto mosaic = Mosaic(1, 64, 48, noise);
  const auto want = Decode(mosaic, 64, 48, 1);
  std::vector<std::vector<uint8_t>> got(4, std::vector<uint8_t>(want.size()));
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i)
    threads.emplace_back([&, i] { BayDecode(mosaic.data(), got[i].data(), 64, 1, 1, 48); });
  for (auto& th : threads) th.join();
  for (int i = 0; i < 4; ++i) EXPECT_EQ(got[i], want);
}

// ---- Files ----

std::string Trailer(const char* camera, const char* mark, int colour, int speed, int w = 0, int h = 0) {
  std::string t(kBayTrailerSize, '\0');
  t.replace(0, 2, camera, 2);
  t.replace(3, std::strlen(mark), mark);
  t[8] = static_cast<char>(colour);
  t[11] = static_cast<char>(speed);
  t[235] = static_cast<char>(w >> 8), t[236] = static_cast<char>(w);
  t[237] = static_cast<char>(h >> 8), t[238] = static_cast<char>(h);
  return t;
}

std::string AsText(const std::vector<uint8_t>& v) { return std::string(v.begin(), v.end()); }

// The older cell order of a raster mosaic.
std::vector<uint8_t> ToCells(const std::vector<uint8_t>& m, int w, int h) {
  std::vector<uint8_t> c;
  for (int y = 0; y < h; y += 2)
    for (int x = 0; x < w; x += 2)
      for (int k : {y * w + x, y * w + x + 1, (y + 1) * w + x, (y + 1) * w + x + 1}) c.push_back(m[static_cast<size_t>(k)]);
  return c;
}

ErrPair LoadFile(const std::string& bytes, Qimg& img) {
  const std::string name = test::MakeTempDir("bay") + "/t.bay";
  test::WriteFile(name, bytes);
  return TryWork([&] { BayLoad(name, img); });
}

void ExpectSolid(const Qimg& img, Rgb want) {
  for (int64_t i = 0; i < static_cast<int64_t>(img.Width) * img.Height; ++i) {
    const test::Rgba got = test::PictureRgba(img, i % img.Width, i / img.Width);
    ASSERT_TRUE(got.R == want.R && got.G == want.G && got.B == want.B) << "pixel " << i;
  }
}

TEST(BayFiles, EveryTrailerKindDecodesToItsSizeAndColour) {
  const int32_t memAtStart = MemCount();  // what earlier work left is not this test's
  const Rgb colour{40, 180, 90};
  const Rgb want = Saturated(colour);
  auto solid = [&](int, int) { return colour; };
  Qimg img;
  {
    // 307200 bytes: a 640 x 480 mosaic of pattern 2 without a trailer.
    ASSERT_EQ(LoadFile(AsText(Mosaic(2, 640, 480, solid)), img), (ErrPair{0, 0}));
    EXPECT_EQ(img.Width, 640);
    EXPECT_EQ(img.Height, 480);
    EXPECT_EQ(img.Bpp, 24);
    ExpectSolid(img, want);
  }
  for (auto [height, size] : {std::pair{384, 197632}, {144, 74752}}) {
    // "BAY 2": 512 wide, the height by the file size, cells in the older order, pattern 1.
    const std::string file = AsText(ToCells(Mosaic(1, 512, height, solid), 512, height)) + Trailer("HG", "BAY 2", 1, 3);
    ASSERT_EQ(static_cast<int>(file.size()), size);
    ASSERT_EQ(LoadFile(file, img), (ErrPair{0, 0}));
    EXPECT_EQ(img.Width, 512);
    EXPECT_EQ(img.Height, height);
    ExpectSolid(img, want);
  }
  {
    // "100K": the size in the trailer (2, 0 and 1, 224 is 512 x 480), pattern 3.
    ASSERT_EQ(LoadFile(AsText(Mosaic(3, 512, 480, solid)) + Trailer("RO", "100K", 1, 1, 512, 480), img), (ErrPair{0, 0}));
    EXPECT_EQ(img.Width, 512);
    EXPECT_EQ(img.Height, 480);
    ExpectSolid(img, want);
    // Odd sizes too.
    ASSERT_EQ(LoadFile(AsText(Mosaic(3, 37, 23, solid)) + Trailer("RO", "100K", 1, 1, 37, 23), img), (ErrPair{0, 0}));
    EXPECT_EQ(img.Width, 37);
    ExpectSolid(img, want);
  }
  {
    // Monochrome: 8 bits with a grey palette, the bytes unchanged.
    std::vector<uint8_t> grey(6 * 4);
    for (size_t i = 0; i < grey.size(); ++i) grey[i] = static_cast<uint8_t>(i * 10);
    ASSERT_EQ(LoadFile(AsText(grey) + Trailer("EK", "100K", 2, 2, 6, 4), img), (ErrPair{0, 0}));
    EXPECT_EQ(img.Bpp, 8);
    EXPECT_EQ(std::vector<uint8_t>(img.Data, img.Data + img.Size), grey);
    EXPECT_EQ(img.Palette[3 * 77 + 1], 77);
  }
  ImgFree(img);
  EXPECT_EQ(MemCount(), memAtStart);
}

TEST(BayFiles, TrailerRules) {
  const int32_t memAtStart = MemCount();  // what earlier work left is not this test's
  BayHandle h;
  auto parse = [&](const std::string& trailer, int64_t size) {
    h = BayHandle();
    return TryWork([&] { BayParseTrailer_(Bytes(trailer), size, h); });
  };
  ASSERT_EQ(parse(Trailer("EK", "100K", 1, 2, 8, 8), 2000), (ErrPair{0, 0}));
  EXPECT_EQ(h.FrameRate, 500);
  EXPECT_EQ(BayCodecName_(h), "HRC (color)");
  EXPECT_EQ(h.Pattern, 3);
  ASSERT_EQ(parse(Trailer("EK", "100K", 2, 3, 8, 8), 2000), (ErrPair{0, 0}));
  EXPECT_EQ(h.FrameRate, 1000);
  EXPECT_EQ(BayCodecName_(h), "HR (monochrome)");
  ASSERT_EQ(parse(Trailer("ML", "BAY 2", 1, 12), 197632), (ErrPair{0, 0}));
  EXPECT_EQ(h.FrameRate, 100000);
  EXPECT_EQ(h.Layout, 0);
  EXPECT_EQ(h.Pattern, 1);
  EXPECT_EQ(BayCodecName_(h), "HG (color)");
  ASSERT_EQ(parse(Trailer("XY", "BAY 2", 1, 2), 74752), (ErrPair{0, 0}));
  EXPECT_EQ(h.FrameRate, 0);  // unknown cameras give no rate
  EXPECT_EQ(BayCodecName_(h), "XY (color)");
  ASSERT_EQ(parse(Trailer("HG", "BAY 2", 1, 13), 74752), (ErrPair{0, 0}));
  EXPECT_EQ(h.FrameRate, 0);
  // An unknown colour code is readable but not supported.
  ASSERT_EQ(parse(Trailer("HG", "BAY 2", 3, 1), 74752), (ErrPair{0, 0}));
  EXPECT_EQ(h.Supported, 0);
  Qimg img;
  EXPECT_EQ(LoadFile(std::string(512 * 144, 'x') + Trailer("HG", "BAY 2", 3, 1), img), (ErrPair{7, 1}));
  // Unknown marks, older files of other sizes, pictures too small.
  EXPECT_EQ(parse(Trailer("HG", "BAY 3", 1, 1), 74752), (ErrPair{7, 2}));
  EXPECT_EQ(parse(Trailer("HG", "BAY 2", 1, 1), 74753), (ErrPair{7, 2}));
  EXPECT_EQ(parse(Trailer("HG", "100K", 1, 1, 1, 8), 2000), (ErrPair{7, 2}));
  EXPECT_EQ(parse(Trailer("HG", "100K", 2, 1, 0, 8), 2000), (ErrPair{7, 2}));
  EXPECT_EQ(parse(Trailer("HG", "100K", 2, 1, 1, 8), 2000), (ErrPair{0, 0}));
  EXPECT_EQ(parse("", 100), (ErrPair{7, 2}));
  // The headerless size wins over any trailer.
  EXPECT_EQ(parse(Trailer("HG", "nope", 1, 1), 307200), (ErrPair{0, 0}));
  EXPECT_EQ(h.Width, 640);
  // A "100K" size larger than the file is a short read.
  EXPECT_EQ(LoadFile(std::string(10, 'x') + Trailer("HG", "100K", 1, 1, 100, 100), img), (ErrPair{6, 3}));
  ImgFree(img);
  EXPECT_EQ(MemCount(), memAtStart);
}

TEST(BayHostile, TruncatedAndDamagedFilesNeverCrash) {
  const int32_t memAtStart = MemCount();  // what earlier work left is not this test's
  auto solid = [](int x, int y) { return Rgb{x & 255, y & 255, 77}; };
  const std::vector<std::string> files = {
      AsText(Mosaic(2, 640, 480, solid)),
      AsText(ToCells(Mosaic(1, 512, 144, solid), 512, 144)) + Trailer("HG", "BAY 2", 1, 3),
      AsText(Mosaic(3, 37, 23, solid)) + Trailer("RO", "100K", 1, 1, 37, 23),
  };
  for (const std::string& file : files) {
    const int64_t size = static_cast<int64_t>(file.size());
    for (int64_t cut : {int64_t{0}, int64_t{500}, size / 2, size - 1}) {
      Qimg img;
      EXPECT_NE(TryWork([&] { BayLoadMem_(Bytes(file), cut, img); }), (ErrPair{0, 0})) << "cut at " << cut;
      ImgFree(img);
    }
    // The damage goes to the trailer, where the sizes and codes are.
    for (const std::string& bad : test::Corrupted(file, 80, 31, file.size() > 1024 ? file.size() - 1024 : 0)) {
      Qimg img;
      TryWork([&] { BayLoadMem_(Bytes(bad), static_cast<int64_t>(bad.size()), img); });
      ImgFree(img);
    }
  }
  EXPECT_EQ(MemCount(), memAtStart);
}

// Found by the bay fuzz target: a file of a kilobyte whose trailer claims 36000 x 36000 made the
// file load allocate the whole mosaic (1.3 GB) before reading it. The mosaic must lie in the file.
TEST(BayHostile, AMosaicLargerThanTheFileIsRefusedBeforeItIsAllocated) {
  const int32_t memAtStart = MemCount();  // what earlier work left is not this test's
  Qimg img;
  EXPECT_EQ(LoadFile(std::string(40, '\x55') + Trailer("RO", "100K", 1, 1, 36000, 36000), img), (ErrPair{6, 3}));
  // A mosaic past what memory blocks can hold is refused for the same reason, not as memory.
  EXPECT_EQ(LoadFile(std::string(40, '\x55') + Trailer("EK", "100K", 2, 1, 65535, 65535), img), (ErrPair{6, 3}));
  EXPECT_EQ(LoadFile(std::string(40, '\x55') + Trailer("EK", "100K", 2, 1, 1100, 1), img), (ErrPair{6, 3}));
  // Exactly as large as the file allows: read.
  EXPECT_EQ(LoadFile(std::string(40, '\x55') + Trailer("EK", "100K", 2, 1, 8, 5), img), (ErrPair{0, 0}));
  ImgFree(img);
  EXPECT_EQ(MemCount(), memAtStart);
}

}  // namespace
}  // namespace tavelo
