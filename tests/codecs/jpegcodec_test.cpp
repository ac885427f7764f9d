// jpegcodec's contract: reads only into a buffer whose size it described (or was told), writes
// that read back, damaged streams that fail without harm. (Decodes against libjpeg's reference are
// tested through the JPEG unit.)
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "codecs/jpegcodec/jpegcodec.h"
#include "tests/codecs/ref_picture.h"
#include "tests/support/test_env.h"

namespace tavelo::test {
namespace {

struct Jpeg {
  CodecLib lib{"jpegcodec"};
  jpg_info_file_fn info = lib.Get<jpg_info_file_fn>("jpg_info_file");
  jpg_read_file_fn read = lib.Get<jpg_read_file_fn>("jpg_read_file");
  jpg_write_file_fn write = lib.Get<jpg_write_file_fn>("jpg_write_file");
};

struct Decoded {
  int32_t result = -1;
  int32_t w = 0, h = 0, bpp = 0, xres = 0, yres = 0;
  std::vector<uint8_t> pixels;
};

Decoded DecodeFile(const Jpeg& j, const std::string& path) {
  Decoded d;
  d.result = j.info(path.c_str(), &d.w, &d.h, &d.bpp, &d.xres, &d.yres);
  if (d.result != JPG_OK) return d;
  // A damaged header may describe a huge picture; the tests do not need to fill one.
  if (static_cast<int64_t>(d.w) * d.h * d.bpp > (int64_t{64} << 20)) {
    d.result = -3;
    return d;
  }
  d.pixels.assign(static_cast<size_t>(d.w) * d.h * d.bpp, 0xA5);
  int32_t w = 0, h = 0, bpp = 0, xr = 0, yr = 0;
  d.result = j.read(path.c_str(), nullptr, 0, d.pixels.data(), &w, &h, &bpp, &xr, &yr);
  if (d.result == JPG_OK && (w != d.w || h != d.h || bpp != d.bpp || xr != d.xres || yr != d.yres)) d.result = -2;
  return d;
}

TEST(JpegCodec, ResolutionsAreDotsPerInch) {
  Jpeg j;
  const Decoded dpi = DecodeFile(j, MediaPath("pictures/jpg_dpi.jpg"));
  EXPECT_EQ(dpi.xres, 300);
  EXPECT_EQ(dpi.yres, 300);
  const Decoded dpcm = DecodeFile(j, MediaPath("pictures/jpg_dpcm.jpg"));
  EXPECT_EQ(dpcm.xres, 127);  // 50 per centimetre
  EXPECT_EQ(dpcm.yres, 127);
}

TEST(JpegCodec, FileReadsNeedAMatchingDescription) {
  Jpeg j;
  const std::string dir = MakeTempDir("jpeg-describe");
  const std::string a = dir + "/a.jpg";
  WriteFile(a, ReadFile(MediaPath("pictures/jpg_baseline.jpg")));
  std::vector<uint8_t> pixels(97 * 61 * 3, 0x5A);
  int32_t w = 0, h = 0, bpp = 0, xr = 0, yr = 0;
  // A file nobody described.
  EXPECT_EQ(j.read(a.c_str(), nullptr, 0, pixels.data(), &w, &h, &bpp, &xr, &yr), JPG_ERR_UNDESCRIBED);
  // Described, then another file described after it.
  ASSERT_EQ(j.info(a.c_str(), &w, &h, &bpp, &xr, &yr), JPG_OK);
  ASSERT_EQ(j.info(MediaPath("pictures/jpg_grey.jpg").c_str(), &w, &h, &bpp, &xr, &yr), JPG_OK);
  EXPECT_EQ(j.read(a.c_str(), nullptr, 0, pixels.data(), &w, &h, &bpp, &xr, &yr), JPG_ERR_UNDESCRIBED);
  // Described, then replaced by a picture of another size before the read: refused untouched.
  ASSERT_EQ(j.info(a.c_str(), &w, &h, &bpp, &xr, &yr), JPG_OK);
  WriteFile(a, ReadFile(MediaPath("pictures/jpg_grey.jpg")));
  EXPECT_EQ(j.read(a.c_str(), nullptr, 0, pixels.data(), &w, &h, &bpp, &xr, &yr), JPG_ERR_SIZE);
  for (uint8_t v : pixels) ASSERT_EQ(v, 0x5A);
  EXPECT_EQ(j.read(a.c_str(), nullptr, 0, nullptr, &w, &h, &bpp, &xr, &yr), JPG_ERR_ARGS);
}

// Each thread reads against its own last description.
TEST(JpegCodec, DescriptionsBelongToTheirThread) {
  Jpeg j;
  const std::string colour = MediaPath("pictures/jpg_baseline.jpg");
  const std::string grey = MediaPath("pictures/jpg_grey.jpg");
  int32_t w, h, bpp, xr, yr;
  ASSERT_EQ(j.info(colour.c_str(), &w, &h, &bpp, &xr, &yr), JPG_OK);
  std::thread other([&] {
    int32_t ow, oh, ob, ox, oy;
    ASSERT_EQ(j.info(grey.c_str(), &ow, &oh, &ob, &ox, &oy), JPG_OK);
    std::vector<uint8_t> px(static_cast<size_t>(ow) * oh * ob);
    EXPECT_EQ(j.read(grey.c_str(), nullptr, 0, px.data(), &ow, &oh, &ob, &ox, &oy), JPG_OK);
    EXPECT_EQ(j.read(colour.c_str(), nullptr, 0, px.data(), &ow, &oh, &ob, &ox, &oy), JPG_ERR_UNDESCRIBED);
  });
  other.join();
  std::vector<uint8_t> pixels(static_cast<size_t>(w) * h * bpp);
  EXPECT_EQ(j.read(colour.c_str(), nullptr, 0, pixels.data(), &w, &h, &bpp, &xr, &yr), JPG_OK);
}

TEST(JpegCodec, MemoryReadsFillOnlyABufferOfTheStatedSize) {
  Jpeg j;
  const std::string data = ReadFile(MediaPath("pictures/jpg_baseline.jpg"));
  const Decoded ref = DecodeFile(j, MediaPath("pictures/jpg_baseline.jpg"));
  ASSERT_EQ(ref.result, JPG_OK);
  const auto* bytes = reinterpret_cast<const uint8_t*>(data.data());
  const auto size = static_cast<int32_t>(data.size());

  std::vector<uint8_t> pixels(ref.pixels.size(), 0);
  int32_t w = ref.w, h = ref.h, bpp = 3, xr = -1, yr = -1;
  ASSERT_EQ(j.read(nullptr, bytes, size, pixels.data(), &w, &h, &bpp, &xr, &yr), JPG_OK);
  EXPECT_EQ(pixels, ref.pixels);
  EXPECT_EQ(w, ref.w);
  EXPECT_EQ(bpp, 3);
  EXPECT_EQ(xr, ref.xres);
  // An empty name counts as no name.
  w = ref.w, h = ref.h, bpp = 3;
  EXPECT_EQ(j.read("", bytes, size, pixels.data(), &w, &h, &bpp, &xr, &yr), JPG_OK);

  // A buffer stated smaller (or of another depth) than the picture is never written.
  for (auto [sw, sh, sb] : {std::tuple{ref.w - 1, ref.h, 3}, std::tuple{ref.w, ref.h - 1, 3}, std::tuple{ref.w, ref.h, 1},
                            std::tuple{0, 0, 0}}) {
    std::vector<uint8_t> small(static_cast<size_t>(std::max(1, sw * sh * sb)), 0x33);
    w = sw, h = sh, bpp = sb;
    EXPECT_EQ(j.read(nullptr, bytes, size, small.data(), &w, &h, &bpp, &xr, &yr), JPG_ERR_SIZE);
    for (uint8_t v : small) ASSERT_EQ(v, 0x33);
  }
  w = ref.w, h = ref.h, bpp = 3;
  EXPECT_EQ(j.read(nullptr, bytes, 0, pixels.data(), &w, &h, &bpp, &xr, &yr), JPG_ERR_ARGS);
  EXPECT_EQ(j.read(nullptr, nullptr, size, pixels.data(), &w, &h, &bpp, &xr, &yr), JPG_ERR_ARGS);
  EXPECT_EQ(j.read(nullptr, bytes, size, pixels.data(), nullptr, &h, &bpp, &xr, &yr), JPG_ERR_ARGS);
}

TEST(JpegCodec, WritesReadBackWithTheirResolution) {
  Jpeg j;
  const RefPicture src = LoadRef("jpg_baseline");
  std::vector<uint8_t> rgb(static_cast<size_t>(src.width) * src.height * 3);
  for (size_t i = 0; i < rgb.size(); ++i) rgb[i] = static_cast<uint8_t>(src.samples[i]);
  const std::string dir = MakeTempDir("jpeg-write");

  const std::string best = dir + "/best.jpg";
  ASSERT_EQ(j.write(best.c_str(), rgb.data(), src.width, src.height, 96, 72, 100), JPG_OK);
  const Decoded d = DecodeFile(j, best);
  ASSERT_EQ(d.result, JPG_OK);
  EXPECT_EQ(d.w, src.width);
  EXPECT_EQ(d.h, src.height);
  EXPECT_EQ(d.bpp, 3);
  EXPECT_EQ(d.xres, 96);
  EXPECT_EQ(d.yres, 72);
  double sum = 0;
  for (size_t i = 0; i < rgb.size(); ++i) sum += std::abs(static_cast<int>(d.pixels[i]) - rgb[i]);
  EXPECT_LT(sum / static_cast<double>(rgb.size()), 3.0);  // colour is stored at half resolution

  // Without both resolutions none is stored; quality is held to 1..100; lower quality is smaller.
  const std::string low = dir + "/low.jpg";
  ASSERT_EQ(j.write(low.c_str(), rgb.data(), src.width, src.height, 96, 0, -5), JPG_OK);
  EXPECT_EQ(DecodeFile(j, low).xres, 0);
  EXPECT_LT(ReadFile(low).size(), ReadFile(best).size());
  const std::string over = dir + "/over.jpg";
  ASSERT_EQ(j.write(over.c_str(), rgb.data(), src.width, src.height, 0, 0, 1000), JPG_OK);
  EXPECT_EQ(DecodeFile(j, over).pixels, d.pixels);

  // A one-pixel picture.
  const std::string dot = dir + "/dot.jpg";
  const uint8_t red[3] = {255, 0, 0};
  ASSERT_EQ(j.write(dot.c_str(), red, 1, 1, 0, 0, 90), JPG_OK);
  const Decoded one = DecodeFile(j, dot);
  ASSERT_EQ(one.result, JPG_OK);
  EXPECT_EQ(one.w, 1);
  EXPECT_GT(one.pixels[0], 240);
}

TEST(JpegCodec, RefusesBadWrites) {
  Jpeg j;
  const uint8_t px[12] = {};
  const std::string dir = MakeTempDir("jpeg-bad-write");
  const std::string name = dir + "/x.jpg";
  EXPECT_EQ(j.write(name.c_str(), px, 0, 2, 0, 0, 85), JPG_ERR_ARGS);
  EXPECT_EQ(j.write(name.c_str(), px, 2, -1, 0, 0, 85), JPG_ERR_ARGS);
  EXPECT_EQ(j.write(name.c_str(), px, 70000, 1, 0, 0, 85), JPG_ERR_ARGS);
  EXPECT_EQ(j.write(name.c_str(), nullptr, 2, 2, 0, 0, 85), JPG_ERR_ARGS);
  EXPECT_EQ(j.write(nullptr, px, 2, 2, 0, 0, 85), JPG_ERR_ARGS);
  EXPECT_EQ(j.write((dir + "/missing/x.jpg").c_str(), px, 2, 2, 0, 0, 85), JPG_ERR_OPEN);
  EXPECT_TRUE(ReadFile(name).empty());
  int32_t w, h, b, xr, yr;
  EXPECT_EQ(j.info((dir + "/none.jpg").c_str(), &w, &h, &b, &xr, &yr), JPG_ERR_OPEN);
  EXPECT_EQ(j.info(nullptr, &w, &h, &b, &xr, &yr), JPG_ERR_ARGS);
}

// Cut-off and damaged files: every outcome is a clean result code, and a cut-off one is a failure.
TEST(JpegCodec, DamagedStreamsFailCleanly) {
  Jpeg j;
  const std::string dir = MakeTempDir("jpeg-damaged");
  for (const char* name : {"jpg_baseline", "jpg_progressive", "jpg_cmyk"}) {
    SCOPED_TRACE(name);
    const std::string good = ReadFile(MediaPath(std::string("pictures/") + name + ".jpg"));
    const std::string path = dir + "/" + name + ".jpg";
    for (size_t len : {size_t{0}, size_t{2}, size_t{20}, size_t{200}, good.size() / 2, good.size() - 3}) {
      WriteFile(path, good.substr(0, len));
      const Decoded d = DecodeFile(j, path);
      EXPECT_NE(d.result, JPG_OK) << "cut at " << len;
    }
    std::mt19937 rng(7);
    for (int round = 0; round < 60; ++round) {
      std::string bad = good;
      for (int k = 0; k < 4; ++k) {
        const size_t at = 2 + rng() % (bad.size() - 2);
        bad[at] = static_cast<char>(rng());
      }
      WriteFile(path, bad);
      const Decoded d = DecodeFile(j, path);  // any result, as long as nothing breaks
      if (d.result == JPG_OK) {
        EXPECT_EQ(d.pixels.size(), static_cast<size_t>(d.w) * d.h * d.bpp);
      }
      const auto* bytes = reinterpret_cast<const uint8_t*>(bad.data());
      if (d.result != -3 && d.w > 0 && d.h > 0 && d.bpp > 0) {
        std::vector<uint8_t> pixels(static_cast<size_t>(d.w) * d.h * d.bpp);
        int32_t w = d.w, h = d.h, b = d.bpp, xr, yr;
        j.read(nullptr, bytes, static_cast<int32_t>(bad.size()), pixels.data(), &w, &h, &b, &xr, &yr);
      }
    }
  }
}

}  // namespace
}  // namespace tavelo::test
