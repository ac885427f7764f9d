// The picture units behind the still-picture routines: ImgSave and ImgSaveEx pick them by the
// file name (with each format's default options), ImgLoad reads what they wrote, alpha included.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>

#include "core/services/errors.h"
#include "formats/conform.h"
#include "formats/ff_basic.h"
#include "formats/ff_tables.h"
#include "tests/formats/picture_test_util.h"

namespace tavelo {
namespace {

using test::Outcome;
using PictureDispatch = test::PictureUnitTest;

void MakePicture(Qimg& img, int32_t w, int32_t h, int32_t bpp) {
  _imgalloc_(img, w, h, bpp, __LINE__, "test.picture");
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      for (int c = 0; c < img.BytesPP; ++c)
        img.Data[(static_cast<size_t>(y) * w + x) * img.BytesPP + c] = static_cast<uint8_t>((x * 2 + y + c * 70) & 255);
}

TEST_F(PictureDispatch, SavesAndLoadsByName) {
  const std::string dir = test::MakeTempDir("dispatch");
  Qimg src;
  MakePicture(src, 40, 30, 32);
  struct Case {
    const char* Name;
    int32_t Bpp;  // as it loads back
    bool Exact;
  };
  for (const Case& c : {Case{"a.png", 32, true}, Case{"a.tif", 32, true}, Case{"a.tiff", 32, true},
                        Case{"a.jpg", 24, false}, Case{"a.jpeg", 24, false}, Case{"a.jp2", 24, false},
                        Case{"a.jpc", 24, false}}) {
    SCOPED_TRACE(c.Name);
    const std::string path = dir + "/" + c.Name;
    int32_t size = 0;
    ASSERT_EQ(Outcome([&] { size = ImgSave(path, src); }).first, 0) << GetErrorMessage();
    EXPECT_EQ(size, static_cast<int32_t>(test::ReadFile(path).size()));
    EXPECT_GT(size, 0);
    Qimg back, alpha;
    ASSERT_EQ(Outcome([&] { ImgLoad(path, back, kNoFormat, &alpha); }).first, 0) << GetErrorMessage();
    EXPECT_EQ(back.Bpp, c.Bpp);
    EXPECT_EQ(back.Width, 40);
    ASSERT_TRUE(ImgAssigned(alpha));
    for (int i = 0; i < 40 * 30; ++i) ASSERT_EQ(alpha.Data[i], c.Bpp == 32 ? src.Data[4 * i + 3] : 255) << i;
    if (c.Exact) {
      EXPECT_EQ(0, std::memcmp(back.Data, src.Data, static_cast<size_t>(src.Size)));
    }
    ImgFree(back);
    ImgFree(alpha);
  }
  ImgFree(src);
}

// A disk that fills up during a save (here: a file-size limit on this process, which fails the
// writes past it as a full disk does): every format reports the failure and the good file of the
// same name stays as it was, with no temporary file left beside it.
TEST_F(PictureDispatch, ASaveOnAFullDiskFailsAndKeepsTheOldFile) {
  const std::string dir = test::MakeTempDir("full_disk");
  FFLoadCodecLib(clXpm);
  Qimg good, big;
  MakePicture(good, 8, 6, 24);
  MakePicture(big, 320, 240, 24);
  std::mt19937 noise(7);  // no format packs it into the space left
  for (int64_t i = 0; i < big.Size; ++i) big.Data[i] = static_cast<uint8_t>(noise());
  std::signal(SIGXFSZ, SIG_IGN);
  for (const char* name : {"a.tga", "a.pcx", "a.bmp", "a.jpg", "a.png", "a.tif", "a.sgi", "a.ras", "a.ppm", "a.xpm",
                           "a.jp2"}) {
    SCOPED_TRACE(name);
    const std::string path = dir + "/" + name;
    ASSERT_EQ(Outcome([&] { ImgSave(path, good); }).first, 0) << GetErrorMessage();
    const std::string before = test::ReadFile(path);
    ASSERT_FALSE(before.empty());
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    rlimit full = old;
    full.rlim_cur = 2048;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &full), 0);
    int32_t size = -1;
    const int32_t failed = Outcome([&] { size = ImgSave(path, big); }).first;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &old), 0);
    EXPECT_NE(failed, 0) << "reported as saved, size " << size;
    EXPECT_EQ(test::ReadFile(path), before);
    size_t entries = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir)) ++entries;
    EXPECT_EQ(entries, 1u) << "something was left beside the file";
    std::filesystem::remove(path);
  }
  ImgFree(good);
  ImgFree(big);
}

TEST_F(PictureDispatch, Jpeg2000QualityIsTheRate) {
  const std::string dir = test::MakeTempDir("dispatch-jp2");
  Qimg src, back;
  MakePicture(src, 40, 30, 24);
  FFVideoOpts opts;
  FFVideoInit(opts, fidJP2);
  opts.Quality = 10000.9;  // the integer part: lossless
  int32_t size = 0;
  ASSERT_EQ(Outcome([&] { size = ImgSaveEx(dir + "/exact.jp2", src, opts); }).first, 0) << GetErrorMessage();
  EXPECT_GT(size, 0);
  ASSERT_EQ(Outcome([&] { ImgLoad(dir + "/exact.jp2", back, kNoFormat, nullptr); }).first, 0);
  EXPECT_EQ(0, std::memcmp(back.Data, src.Data, static_cast<size_t>(src.Size)));
  ImgFree(back);
  // The default (1000: a tenth of the size) is smaller, on a picture that does not pack well.
  for (int64_t i = 0; i < src.Size; ++i) src.Data[i] = static_cast<uint8_t>((i * 2654435761u) >> 13);
  opts.Quality = 10000;
  ASSERT_EQ(Outcome([&] { ImgSaveEx(dir + "/exact.jp2", src, opts); }).first, 0);
  ASSERT_EQ(Outcome([&] { ImgSave(dir + "/default.jp2", src); }).first, 0);
  EXPECT_LT(test::ReadFile(dir + "/default.jp2").size() * 5, test::ReadFile(dir + "/exact.jp2").size());
  FFVideoFree(opts);
  ImgFree(src);
}

}  // namespace
}  // namespace tavelo
