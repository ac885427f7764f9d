// jp2codec's contract: reads only into a buffer whose size it described, the container of a write
// chosen by the name, writes that read back (tiny pictures too), damaged streams that fail without
// harm. (Decodes against OpenJPEG's reference are tested through the JPEG 2000 unit.)
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "codecs/jp2codec/jp2codec.h"
#include "tests/codecs/ref_picture.h"
#include "tests/support/test_env.h"

namespace tavelo::test {
namespace {

struct Jp2 {
  CodecLib lib{"jp2codec"};
  jp2_info_fn info = lib.Get<jp2_info_fn>("jp2_info");
  jp2_read_fn read = lib.Get<jp2_read_fn>("jp2_read");
  jp2_write_fn write = lib.Get<jp2_write_fn>("jp2_write");
};

struct Decoded {
  int32_t ok = 0;
  int32_t w = 0, h = 0, bpp = 0;
  std::string kind;
  std::vector<uint8_t> pixels;
};

Decoded DecodeFile(const Jp2& j, const std::string& path) {
  Decoded d;
  char kind[8] = "xxxxxxx";
  d.ok = j.info(path.c_str(), &d.w, &d.h, &d.bpp, kind);
  if (d.ok == 0) return d;
  d.kind = kind;
  if (static_cast<int64_t>(d.w) * d.h * d.bpp > (int64_t{64} << 20)) {
    d.ok = 0;  // a damaged header may describe a huge picture; the tests need not fill one
    return d;
  }
  d.pixels.assign(static_cast<size_t>(d.w) * d.h * d.bpp, 0xA5);
  d.ok = j.read(path.c_str(), d.pixels.data());
  return d;
}

TEST(Jp2Codec, ReadsNeedAMatchingDescription) {
  Jp2 j;
  const std::string dir = MakeTempDir("jp2-describe");
  const std::string a = dir + "/a.jp2";
  WriteFile(a, ReadFile(MediaPath("pictures/jp2_lossless.jp2")));
  std::vector<uint8_t> pixels(61 * 43 * 3, 0x5A);
  EXPECT_EQ(j.read(a.c_str(), pixels.data()), 0);  // never described
  int32_t w, h, b;
  char kind[4];
  ASSERT_NE(j.info(a.c_str(), &w, &h, &b, kind), 0);
  ASSERT_NE(j.info(MediaPath("pictures/jp2_grey.j2k").c_str(), &w, &h, &b, kind), 0);
  EXPECT_EQ(j.read(a.c_str(), pixels.data()), 0);  // another file was described last
  ASSERT_NE(j.info(a.c_str(), &w, &h, &b, kind), 0);
  WriteFile(a, ReadFile(MediaPath("pictures/jp2_rgba.jp2")));  // same size, 4 bytes per pixel now
  EXPECT_EQ(j.read(a.c_str(), pixels.data()), 0);
  for (uint8_t v : pixels) ASSERT_EQ(v, 0x5A);
  EXPECT_EQ(j.read(a.c_str(), nullptr), 0);
  EXPECT_EQ(j.info((dir + "/none.jp2").c_str(), &w, &h, &b, kind), 0);
  EXPECT_EQ(j.info(MediaPath("pictures/png_rgb.png").c_str(), &w, &h, &b, kind), 0);
}

std::vector<uint8_t> Bgr(const RefPicture& src) {
  std::vector<uint8_t> bgr(static_cast<size_t>(src.width) * src.height * 3);
  for (int y = 0; y < src.height; ++y)
    for (int x = 0; x < src.width; ++x)
      for (int c = 0; c < 3; ++c) bgr[(static_cast<size_t>(y) * src.width + x) * 3 + c] = src.Scaled(x, y, 2 - c);
  return bgr;
}

TEST(Jp2Codec, WritesReadBack) {
  Jp2 j;
  const RefPicture src = LoadRef("png_rgb");
  const std::vector<uint8_t> bgr = Bgr(src);
  const std::string dir = MakeTempDir("jp2-write");

  // Rate 1 is lossless, in either container, chosen by the extension.
  for (const char* name : {"/exact.jp2", "/exact.JP2", "/exact.jpc"}) {
    SCOPED_TRACE(name);
    const std::string path = dir + name;
    ASSERT_NE(j.write(path.c_str(), bgr.data(), src.width, src.height, 1.0), 0);
    const Decoded d = DecodeFile(j, path);
    ASSERT_NE(d.ok, 0);
    EXPECT_EQ(d.kind, std::string(name).find(".jpc") != std::string::npos ? "jpc" : "jp2");
    EXPECT_EQ(d.pixels, bgr);
  }

  // The default rate of the save options (0.1) is lossy but close, and smaller.
  const std::string lossy = dir + "/lossy.jp2";
  ASSERT_NE(j.write(lossy.c_str(), bgr.data(), src.width, src.height, 0.1), 0);
  const Decoded d = DecodeFile(j, lossy);
  ASSERT_NE(d.ok, 0);
  ASSERT_EQ(d.pixels.size(), bgr.size());
  double err = 0;
  for (size_t i = 0; i < bgr.size(); ++i) err += std::pow(static_cast<double>(d.pixels[i]) - bgr[i], 2);
  const double psnr = 10 * std::log10(255.0 * 255.0 / (err / static_cast<double>(bgr.size())));
  EXPECT_GT(psnr, 28.0);
  EXPECT_LT(ReadFile(lossy).size(), ReadFile(dir + "/exact.jp2").size());
  EXPECT_LT(ReadFile(lossy).size(), bgr.size() / 8);

  // Tiny pictures still write (fewer resolution levels).
  for (auto [w, h] : {std::pair{1, 1}, std::pair{3, 2}, std::pair{40, 1}}) {
    std::vector<uint8_t> px(static_cast<size_t>(w) * h * 3);
    for (size_t i = 0; i < px.size(); ++i) px[i] = static_cast<uint8_t>(i * 37);
    const std::string path = dir + "/tiny.j2k";
    ASSERT_NE(j.write(path.c_str(), px.data(), w, h, 1.0), 0) << w << "x" << h;
    const Decoded t = DecodeFile(j, path);
    ASSERT_NE(t.ok, 0);
    EXPECT_EQ(t.pixels, px);
  }
}

TEST(Jp2Codec, RefusesBadWrites) {
  Jp2 j;
  const uint8_t px[12] = {};
  const std::string dir = MakeTempDir("jp2-bad-write");
  const std::string name = dir + "/x.jp2";
  EXPECT_EQ(j.write(name.c_str(), px, 2, 2, 0.0), 0);
  EXPECT_EQ(j.write(name.c_str(), px, 2, 2, -1.0), 0);
  EXPECT_EQ(j.write(name.c_str(), px, 2, 2, std::numeric_limits<double>::quiet_NaN()), 0);
  EXPECT_EQ(j.write(name.c_str(), px, 0, 2, 0.5), 0);
  EXPECT_EQ(j.write(name.c_str(), px, 50000, 50000, 0.5), 0);  // past 2^31 - 1 bytes
  EXPECT_EQ(j.write(name.c_str(), nullptr, 2, 2, 0.5), 0);
  EXPECT_EQ(j.write(nullptr, px, 2, 2, 0.5), 0);
  EXPECT_EQ(j.write((dir + "/missing/x.jp2").c_str(), px, 2, 2, 0.5), 0);
  EXPECT_TRUE(ReadFile(name).empty());
}

TEST(Jp2Codec, DamagedStreamsFailCleanly) {
  Jp2 j;
  const std::string dir = MakeTempDir("jp2-damaged");
  for (const char* name : {"jp2_lossless.jp2", "jp2_lossy.j2k", "jp2_rgba.jp2"}) {
    SCOPED_TRACE(name);
    const std::string good = ReadFile(MediaPath(std::string("pictures/") + name));
    const std::string path = dir + "/" + name;
    for (size_t len : {size_t{0}, size_t{3}, size_t{12}, size_t{60}, size_t{200}, good.size() / 2, good.size() - 2}) {
      WriteFile(path, good.substr(0, len));
      EXPECT_EQ(DecodeFile(j, path).ok, 0) << "cut at " << len;
    }
    std::mt19937 rng(11);
    for (int round = 0; round < 40; ++round) {
      std::string bad = good;
      for (int k = 0; k < 3; ++k) bad[12 + rng() % (bad.size() - 12)] = static_cast<char>(rng());
      WriteFile(path, bad);
      const Decoded d = DecodeFile(j, path);  // any result, as long as nothing breaks
      if (d.ok != 0) {
        EXPECT_EQ(d.pixels.size(), static_cast<size_t>(d.w) * d.h * d.bpp);
      }
    }
  }
}

}  // namespace
}  // namespace tavelo::test
