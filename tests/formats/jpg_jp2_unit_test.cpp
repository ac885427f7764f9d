// The JPEG and JPEG 2000 units: files made by ImageMagick, netpbm and opj_compress load as the
// libraries' own reference decodes give them; saves pass the options as the units define them
// (quality truncated, rate in ten-thousandths) and read back.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>

#include "codecs/jp2codec/jp2codec.h"
#include "codecs/jpegcodec/jpegcodec.h"
#include "core/services/errors.h"
#include "formats/ff_basic.h"
#include "formats/ff_tables.h"
#include "formats/units/ff_jp2.h"
#include "formats/units/ff_jpg.h"
#include "tests/formats/format_fixture.h"
#include "tests/formats/picture_test_util.h"

namespace tavelo {
namespace {

using test::MaxDiff;
using test::Outcome;
using test::Pic;
using JpgUnit = test::PictureUnitTest;
using Jp2Unit = test::PictureUnitTest;

void MakePicture(Qimg& img, int32_t w, int32_t h, int32_t bpp) {
  _imgalloc_(img, w, h, bpp, __LINE__, "test.picture");
  // Smooth enough for the lossy coders to keep close.
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      for (int c = 0; c < img.BytesPP; ++c)
        img.Data[(static_cast<size_t>(y) * w + x) * img.BytesPP + c] = static_cast<uint8_t>((x + y + c * 60) & 255);
  for (int i = 0; i < 768; ++i) img.Palette[i] = static_cast<uint8_t>(i / 3);
}

double Psnr(const Qimg& a, const Qimg& b) {
  double err = 0;
  for (int64_t i = 0; i < a.Size; ++i) err += std::pow(static_cast<double>(a.Data[i]) - b.Data[i], 2);
  return err == 0 ? 99 : 10 * std::log10(255.0 * 255.0 / (err / static_cast<double>(a.Size)));
}

// ---- JPEG ----

TEST_F(JpgUnit, LoadsLikeTheReferenceDecoder) {
  struct Case {
    const char* Name;
    int32_t Bpp;
    int Tolerance;
  };
  for (const Case& c : {Case{"jpg_baseline", 24, 0}, Case{"jpg_progressive", 24, 0}, Case{"jpg_grey", 8, 0},
                        Case{"jpg_netpbm", 24, 0}, Case{"jpg_cmyk", 24, 1}}) {
    SCOPED_TRACE(c.Name);
    Qimg img;
    ASSERT_EQ(Outcome([&] { JPGLoad(Pic(std::string(c.Name) + ".jpg"), img); }).first, 0) << GetErrorMessage();
    EXPECT_EQ(img.Bpp, c.Bpp);
    const int diff = MaxDiff(img, test::LoadRef(c.Name));
    EXPECT_GE(diff, 0);
    EXPECT_LE(diff, c.Tolerance);
    ImgFree(img);
  }
}

TEST_F(JpgUnit, InfoAndResolution) {
  FFInfoRec info;
  const std::string grey = Pic("jpg_grey.jpg");
  ASSERT_EQ(Outcome([&] { JPGInfo(grey, info); }).first, 0);
  EXPECT_EQ(info.FormatId, fidJPEG);
  EXPECT_EQ(info.Video.Bpp, 8);
  EXPECT_EQ(info.Video.OrigBpp, 8);
  EXPECT_EQ(info.Video.BytesPP, 1);
  EXPECT_EQ(info.Video.Width, 97);
  EXPECT_EQ(info.Video.CodecName, "JFIF 1.02");
  EXPECT_EQ(info.Video.Frames, 1);
  EXPECT_EQ(info.Video.HasVideo, -1);
  EXPECT_EQ(info.FileSize, static_cast<double>(test::ReadFile(grey).size()));
  Qimg img;
  ASSERT_EQ(Outcome([&] { JPGLoad(grey, img); }).first, 0);
  EXPECT_EQ(img.Palette[3 * 77], 77);
  ImgFree(img);
  ASSERT_EQ(Outcome([&] { JPGLoad(Pic("jpg_dpi.jpg"), img); }).first, 0);
  EXPECT_EQ(img.XRes, 300);
  EXPECT_EQ(img.YRes, 300);
  ImgFree(img);
}

TEST_F(JpgUnit, SavePassesTheTruncatedQualityAndResolution) {
  const std::string dir = test::MakeTempDir("jpg-save");
  Qimg src, back;
  MakePicture(src, 50, 30, 24);
  FFVideoOpts opts;
  FFVideoInit(opts, fidJPEG);
  EXPECT_EQ(opts.Quality, 85.0);
  opts.Quality = 85.7;
  opts.XRes = 300;
  opts.YRes = 150;
  ASSERT_EQ(Outcome([&] { JPGSave(dir + "/unit.jpg", src, opts); }).first, 0) << GetErrorMessage();
  // The library itself, given quality 85 and the picture as R, G, B, writes the same file.
  test::CodecLib lib("jpegcodec");
  std::vector<uint8_t> rgb(static_cast<size_t>(src.Size));
  for (int64_t i = 0; i < src.Size; i += 3) rgb[i] = src.Data[i + 2], rgb[i + 1] = src.Data[i + 1], rgb[i + 2] = src.Data[i];
  ASSERT_EQ(lib.Get<jpg_write_file_fn>("jpg_write_file")((dir + "/direct.jpg").c_str(), rgb.data(), 50, 30, 300, 150,
                                                          85),
            JPG_OK);
  EXPECT_EQ(test::ReadFile(dir + "/unit.jpg"), test::ReadFile(dir + "/direct.jpg"));
  ASSERT_EQ(Outcome([&] { JPGLoad(dir + "/unit.jpg", back); }).first, 0);
  EXPECT_EQ(back.XRes, 300);
  EXPECT_EQ(back.YRes, 150);
  EXPECT_GT(Psnr(src, back), 30);
  ImgFree(back);

  // 32 bits: written at 24, the alpha byte dropped; 8 bits through the palette.
  for (int32_t bpp : {32, 8}) {
    Qimg pic;
    MakePicture(pic, 20, 10, bpp);
    ASSERT_EQ(Outcome([&] { JPGSave(dir + "/d.jpg", pic, opts); }).first, 0) << GetErrorMessage();
    ASSERT_EQ(Outcome([&] { JPGLoad(dir + "/d.jpg", back); }).first, 0);
    EXPECT_EQ(back.Bpp, 24);
    ImgFree(back);
    ImgFree(pic);
  }
  FFVideoFree(opts);
  ImgFree(src);
}

// A file cut after its header (a partial download) shows the rows decoded before the cut, with
// the loss as a warning in the trace, baseline and progressive alike.
TEST_F(JpgUnit, ACutOffFileShowsWhatWasDecoded) {
  const std::string dir = test::MakeTempDir("jpg-cut");
  for (const char* name : {"jpg_baseline.jpg", "jpg_progressive.jpg"}) {
    SCOPED_TRACE(name);
    const std::string good = test::ReadFile(Pic(name));
    Qimg whole, img;
    ASSERT_EQ(Outcome([&] { JPGLoad(Pic(name), whole); }).first, 0);
    for (size_t len : {good.size() / 2, good.size() - 2}) {
      test::WriteFile(dir + "/cut.jpg", good.substr(0, len));
      std::pair<int32_t, int32_t> outcome;
      EXPECT_EQ(test::CountWarnings(ecImage, [&] { outcome = Outcome([&] { JPGLoad(dir + "/cut.jpg", img); }); }), 1)
          << len;
      ASSERT_EQ(outcome.first, 0) << len;
      ASSERT_TRUE(ImgAssigned(img));
      ASSERT_EQ(img.Size, whole.Size);
      // A baseline file's first row lies wholly before half its data.
      if (std::string(name) == "jpg_baseline.jpg") {
        EXPECT_EQ(std::memcmp(img.Data, whole.Data, static_cast<size_t>(img.Width) * img.BytesPP), 0) << len;
      }
    }
    ImgFree(img);
    ImgFree(whole);
  }
}

TEST_F(JpgUnit, FailuresKeepTheOldFileAndReport) {
  const std::string dir = test::MakeTempDir("jpg-bad");
  Qimg img;
  EXPECT_EQ(Outcome([&] { JPGLoad(dir + "/missing.jpg", img); }), (std::pair<int32_t, int32_t>{ecImage, 8}));
  const std::string good = test::ReadFile(Pic("jpg_progressive.jpg"));
  test::WriteFile(dir + "/cut.jpg", good.substr(0, 10));
  EXPECT_EQ(Outcome([&] { JPGLoad(dir + "/cut.jpg", img); }), (std::pair<int32_t, int32_t>{ecImage, 8}));
  EXPECT_FALSE(ImgAssigned(img));
  // A picture JPEG cannot hold (wider than 65500) fails in the library; the old file stays.
  test::WriteFile(dir + "/old.jpg", "old contents");
  Qimg wide;
  _imgalloc_(wide, 70000, 1, 24, __LINE__, "test.wide");
  FFVideoOpts opts;
  FFVideoInit(opts, fidJPEG);
  EXPECT_EQ(Outcome([&] { JPGSave(dir + "/old.jpg", wide, opts); }), (std::pair<int32_t, int32_t>{ecImage, 11}));
  EXPECT_EQ(test::ReadFile(dir + "/old.jpg"), "old contents");
  FFVideoFree(opts);
  ImgFree(wide);
}

// ---- JPEG 2000 ----

TEST_F(Jp2Unit, LoadsLikeTheReferenceDecoder) {
  struct Case {
    const char* File;
    int32_t Bpp;
    const char* Codec;
  };
  for (const Case& c : {Case{"jp2_lossless.jp2", 24, "JPEG-2000 JP2 File Format"},
                        Case{"jp2_lossless.j2k", 24, "JPEG-2000 Code Stream"}, Case{"jp2_lossy.jp2", 24, nullptr},
                        Case{"jp2_lossy.j2k", 24, nullptr}, Case{"jp2_grey.j2k", 8, "JPEG-2000 Code Stream"},
                        Case{"jp2_grey16.jp2", 8, nullptr}, Case{"jp2_rgba.jp2", 32, nullptr},
                        Case{"jp2_greyalpha.jp2", 32, nullptr}, Case{"jp2_im.jp2", 24, nullptr},
                        Case{"jp2_netpbm.j2k", 24, "JPEG-2000 Code Stream"}}) {
    SCOPED_TRACE(c.File);
    Qimg img;
    ASSERT_EQ(Outcome([&] { JP2Load(Pic(c.File), img); }).first, 0) << GetErrorMessage();
    EXPECT_EQ(img.Bpp, c.Bpp);
    EXPECT_EQ(MaxDiff(img, test::LoadRef(c.File)), 0);
    if (c.Bpp == 8) {
      EXPECT_EQ(img.Palette[3 * 99 + 1], 99);
    }
    ImgFree(img);
    FFInfoRec info;
    ASSERT_EQ(Outcome([&] { JP2Info(Pic(c.File), info); }).first, 0);
    EXPECT_EQ(info.FormatId, fidJP2);
    EXPECT_EQ(info.Video.Bpp, c.Bpp);
    EXPECT_EQ(info.Video.OrigBpp, c.Bpp);
    if (c.Codec != nullptr) {
      EXPECT_EQ(info.Video.CodecName, c.Codec);
    }
  }
}

TEST_F(Jp2Unit, SaveRateIsTenThousandths) {
  const std::string dir = test::MakeTempDir("jp2-save");
  Qimg src, back;
  MakePicture(src, 64, 48, 24);
  FFVideoOpts opts;
  FFVideoInit(opts, fidJP2);
  EXPECT_EQ(opts.Quality, 1000.0);
  const auto rate = static_cast<int32_t>(opts.Quality);
  ASSERT_EQ(Outcome([&] { JP2Save(dir + "/unit.jp2", src, rate); }).first, 0) << GetErrorMessage();
  // The library, given 0.1 and the same pixels, writes the same file.
  test::CodecLib lib("jp2codec");
  ASSERT_NE(lib.Get<jp2_write_fn>("jp2_write")((dir + "/direct.jp2").c_str(), src.Data, 64, 48, 0.1), 0);
  EXPECT_EQ(test::ReadFile(dir + "/unit.jp2"), test::ReadFile(dir + "/direct.jp2"));
  // The container follows the target's extension even though the file is written under another name first.
  FFInfoRec info;
  ASSERT_EQ(Outcome([&] { JP2Info(dir + "/unit.jp2", info); }).first, 0);
  EXPECT_EQ(info.Video.CodecName, "JPEG-2000 JP2 File Format");
  ASSERT_EQ(Outcome([&] { JP2Load(dir + "/unit.jp2", back); }).first, 0);
  EXPECT_GT(Psnr(src, back), 30);
  ImgFree(back);

  ASSERT_EQ(Outcome([&] { JP2Save(dir + "/exact.jpc", src, 10000); }).first, 0);
  ASSERT_EQ(Outcome([&] { JP2Info(dir + "/exact.jpc", info); }).first, 0);
  EXPECT_EQ(info.Video.CodecName, "JPEG-2000 Code Stream");
  ASSERT_EQ(Outcome([&] { JP2Load(dir + "/exact.jpc", back); }).first, 0);
  ASSERT_EQ(back.Size, src.Size);
  EXPECT_EQ(0, std::memcmp(back.Data, src.Data, static_cast<size_t>(src.Size)));
  ImgFree(back);
  // Nothing is left beside the targets.
  int files = 0;
  for (const auto& e : std::filesystem::directory_iterator(dir)) files += e.is_regular_file() ? 1 : 0;
  EXPECT_EQ(files, 3);

  EXPECT_EQ(Outcome([&] { JP2Save(dir + "/zero.jp2", src, 0); }), (std::pair<int32_t, int32_t>{ecImage, 11}));
  EXPECT_FALSE(std::filesystem::exists(dir + "/zero.jp2"));
  FFVideoFree(opts);
  ImgFree(src);
}

TEST_F(Jp2Unit, DamagedFilesReport) {
  const std::string dir = test::MakeTempDir("jp2-bad");
  Qimg img;
  EXPECT_EQ(Outcome([&] { JP2Load(dir + "/missing.jp2", img); }), (std::pair<int32_t, int32_t>{ecImage, 8}));
  const std::string good = test::ReadFile(Pic("jp2_lossy.jp2"));
  for (size_t len : {size_t{5}, size_t{100}, good.size() / 2}) {
    test::WriteFile(dir + "/cut.jp2", good.substr(0, len));
    EXPECT_EQ(Outcome([&] { JP2Load(dir + "/cut.jp2", img); }), (std::pair<int32_t, int32_t>{ecImage, 8})) << len;
    EXPECT_FALSE(ImgAssigned(img));
  }
}

}  // namespace
}  // namespace tavelo
