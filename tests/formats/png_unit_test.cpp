// The PNG unit: files made by netpbm and ImageMagick load as libpng's own reference decode gives
// them (16-bit samples stripped to their high byte), saves read back and decode the same with an
// independent reader, damaged files fail cleanly, and two files are handled at once on two threads.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <random>
#include <thread>

#include "core/services/errors.h"
#include "formats/ff_basic.h"
#include "formats/ff_tables.h"
#include "formats/units/ff_png.h"
#include "tests/formats/picture_test_util.h"

namespace tavelo {
namespace {

using test::MaxDiff;
using test::Outcome;
using test::Pic;
using test::Samples;
using PngUnit = test::PictureUnitTest;

struct Case {
  const char* Name;
  int32_t Bpp;
};

TEST_F(PngUnit, LoadsLikeTheReferenceDecoder) {
  for (const Case& c : {Case{"png_rgb", 24}, Case{"png_interlaced", 24}, Case{"png_phys", 24}, Case{"png_palette", 8},
                        Case{"png_grey1", 8}, Case{"png_grey2", 8}, Case{"png_grey4", 8}, Case{"png_grey8", 8},
                        Case{"png_grey16", 8}, Case{"png_rgb16", 24}, Case{"png_rgba", 32},
                        Case{"png_greyalpha", 32}}) {
    SCOPED_TRACE(c.Name);
    Qimg img;
    ASSERT_EQ(Outcome([&] { PNGLoad(Pic(std::string(c.Name) + ".png"), img); }).first, 0) << GetErrorMessage();
    EXPECT_EQ(img.Bpp, c.Bpp);
    EXPECT_EQ(MaxDiff(img, test::LoadRef(c.Name), Samples::High), 0);
    ImgFree(img);
  }
}

TEST_F(PngUnit, LowDepthGreyGetsThePaletteOfItsOwnDepth) {
  Qimg img;
  ASSERT_EQ(Outcome([&] { PNGLoad(Pic("png_grey1.png"), img); }).first, 0);
  // Black and white, not the first two steps of an 8-bit ramp.
  EXPECT_EQ(img.Palette[0], 0);
  EXPECT_EQ(img.Palette[3], 255);
  EXPECT_EQ(img.Palette[5], 255);
  for (int64_t i = 0; i < img.Size; ++i) ASSERT_LE(img.Data[i], 1);
  ImgFree(img);
  ASSERT_EQ(Outcome([&] { PNGLoad(Pic("png_grey4.png"), img); }).first, 0);
  EXPECT_EQ(img.Palette[3 * 15], 255);
  EXPECT_EQ(img.Palette[3 * 1], 17);
  ImgFree(img);
}

TEST_F(PngUnit, InfoDescribesWhatALoadDelivers) {
  struct InfoCase {
    const char* Name;
    int32_t OrigBpp, Bpp;
  };
  for (const InfoCase& c : {InfoCase{"png_rgb16", 48, 24}, InfoCase{"png_grey1", 1, 8}, InfoCase{"png_grey16", 16, 8},
                            InfoCase{"png_greyalpha", 16, 32}, InfoCase{"png_rgba", 32, 32},
                            InfoCase{"png_palette", 8, 8}}) {
    SCOPED_TRACE(c.Name);
    FFInfoRec info;
    const std::string path = Pic(std::string(c.Name) + ".png");
    ASSERT_EQ(Outcome([&] { PNGInfo(path, info); }).first, 0);
    EXPECT_EQ(info.FormatId, fidPNG);
    EXPECT_EQ(info.FileSize, static_cast<double>(test::ReadFile(path).size()));
    EXPECT_EQ(info.Video.Width, 61);
    EXPECT_EQ(info.Video.Height, 43);
    EXPECT_EQ(info.Video.OrigBpp, c.OrigBpp);
    EXPECT_EQ(info.Video.Bpp, c.Bpp);
    EXPECT_EQ(info.Video.BytesPP, c.Bpp / 8);
    EXPECT_EQ(info.Video.Frames, 1);
    EXPECT_EQ(info.Video.CodecName, "Deflate compression (modified LZ77)");
    EXPECT_EQ(info.Video.HasVideo, -1);
  }
}

// The value of the pHYs chunk of a PNG file: x per unit, y per unit, unit; all 0 without one.
std::array<uint32_t, 3> PhysOf(const std::string& bytes) {
  const size_t at = bytes.find("pHYs");
  if (at == std::string::npos || at + 13 > bytes.size()) return {0, 0, 0};
  auto be = [&](size_t i) {
    const auto* p = reinterpret_cast<const uint8_t*>(bytes.data()) + i;
    return static_cast<uint32_t>(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3];
  };
  return {be(at + 4), be(at + 8), static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + 12]))};
}

TEST_F(PngUnit, ResolutionsAreDotsPerInch) {
  Qimg img;
  ASSERT_EQ(Outcome([&] { PNGLoad(Pic("png_phys.png"), img); }).first, 0);
  EXPECT_EQ(img.XRes, 96);  // 3780 per metre
  EXPECT_EQ(img.YRes, 96);
  const std::string dir = test::MakeTempDir("png-phys");
  FFVideoOpts opts;
  FFVideoInit(opts, fidPNG);
  opts.XRes = 96;
  opts.YRes = 300;
  ASSERT_EQ(Outcome([&] { PNGSave(dir + "/dpi.png", img, opts); }).first, 0);
  EXPECT_EQ(PhysOf(test::ReadFile(dir + "/dpi.png")), (std::array<uint32_t, 3>{3780, 11811, 1}));
  opts.YRes = 0;  // both or none
  ASSERT_EQ(Outcome([&] { PNGSave(dir + "/none.png", img, opts); }).first, 0);
  EXPECT_EQ(PhysOf(test::ReadFile(dir + "/none.png")), (std::array<uint32_t, 3>{0, 0, 0}));
  FFVideoFree(opts);
  ImgFree(img);
}

void MakePicture(Qimg& img, int32_t w, int32_t h, int32_t bpp) {
  _imgalloc_(img, w, h, bpp, __LINE__, "test.picture");
  for (int64_t i = 0; i < img.Size; ++i) img.Data[i] = static_cast<uint8_t>((i * 37 + i / 7) & 0xFF);
  for (int i = 0; i < 768; ++i) img.Palette[i] = static_cast<uint8_t>(i * 11);
}

TEST_F(PngUnit, SavesReadBackAndDecodeAlikeElsewhere) {
  const std::string dir = test::MakeTempDir("png-save");
  for (int32_t bpp : {8, 15, 16, 24, 32}) {
    SCOPED_TRACE(bpp);
    Qimg src, back, want;
    MakePicture(src, 37, 11, bpp);
    FFVideoOpts opts;
    FFVideoInit(opts, fidPNG);
    const std::string path = dir + "/p" + std::to_string(bpp) + ".png";
    ASSERT_EQ(Outcome([&] { PNGSave(path, src, opts); }).first, 0) << GetErrorMessage();
    ASSERT_EQ(Outcome([&] { PNGLoad(path, back); }).first, 0) << GetErrorMessage();
    // 15 and 16 bits are saved as 24.
    const int32_t saved = bpp == 15 || bpp == 16 ? 24 : bpp;
    ImgCopy(src, want);
    if (saved != bpp) ImgConvBpp(want, want, saved);
    EXPECT_EQ(back.Bpp, saved);
    ASSERT_EQ(back.Size, want.Size);
    EXPECT_EQ(0, std::memcmp(back.Data, want.Data, static_cast<size_t>(want.Size)));
    if (saved == 8) {
      EXPECT_EQ(back.Palette, want.Palette);
    }
    // netpbm's reader (libpng underneath, without our transformations) sees the same colours.
    EXPECT_EQ(MaxDiff(back, test::ToolDecode("pngtopam", saved == 32 ? "-alphapam" : "", path)), 0);
    FFVideoFree(opts);
    ImgFree(src);
    ImgFree(back);
    ImgFree(want);
  }
}

TEST_F(PngUnit, CompressionLevelComesFromTheOptions) {
  const std::string dir = test::MakeTempDir("png-level");
  Qimg img;
  ASSERT_EQ(Outcome([&] { PNGLoad(Pic("png_rgb.png"), img); }).first, 0);
  FFVideoOpts opts;
  FFVideoInit(opts, fidPNG);
  opts.Codec = 0;
  ASSERT_EQ(Outcome([&] { PNGSave(dir + "/0.png", img, opts); }).first, 0);
  opts.Codec = 9;
  ASSERT_EQ(Outcome([&] { PNGSave(dir + "/9.png", img, opts); }).first, 0);
  EXPECT_GT(test::ReadFile(dir + "/0.png").size(), test::ReadFile(dir + "/9.png").size() + 1000);
  FFVideoFree(opts);
  ImgFree(img);
}

TEST_F(PngUnit, NotAPngFailsBeforeTheLibraryIsSetUp) {
  const std::string dir = test::MakeTempDir("png-not");
  test::WriteFile(dir + "/text.png", "GIF89a, not a PNG at all");
  test::WriteFile(dir + "/short.png", "\x89P");
  Qimg img;
  for (const char* name : {"/text.png", "/short.png"}) {
    const auto out = Outcome([&] { PNGLoad(dir + name, img); });
    EXPECT_EQ(out, (std::pair<int32_t, int32_t>{ecImage, 2})) << name;
    FFInfoRec info;
    EXPECT_EQ(Outcome([&] { PNGInfo(dir + name, info); }), (std::pair<int32_t, int32_t>{ecImage, 2})) << name;
  }
  EXPECT_EQ(Outcome([&] { PNGLoad(dir + "/missing.png", img); }).first, ecFile);
  EXPECT_FALSE(ImgAssigned(img));
}

TEST_F(PngUnit, DamagedFilesFailWithLibpngsMessage) {
  const std::string dir = test::MakeTempDir("png-damaged");
  const std::string good = test::ReadFile(Pic("png_rgba.png"));
  const int fds = test::OpenDescriptors();
  Qimg img;
  for (size_t len : {size_t{8}, size_t{30}, size_t{100}, good.size() / 2, good.size() - 13}) {
    test::WriteFile(dir + "/cut.png", good.substr(0, len));
    const auto out = Outcome([&] { PNGLoad(dir + "/cut.png", img); });
    EXPECT_EQ(out.first, ecText) << "cut at " << len;
    EXPECT_FALSE(GetErrorStoredText().empty());
    EXPECT_FALSE(ImgAssigned(img));  // the frame gave the picture back
  }
  // A damaged checksum of the picture data: libpng's CRC check speaks.
  std::string bad = good;
  const size_t idat = bad.find("IDAT");
  const auto* len = reinterpret_cast<const uint8_t*>(bad.data()) + idat - 4;
  const size_t length = static_cast<size_t>(len[0]) << 24 | len[1] << 16 | len[2] << 8 | len[3];
  bad[idat + 4 + length] ^= 0x55;
  test::WriteFile(dir + "/crc.png", bad);
  EXPECT_EQ(Outcome([&] { PNGLoad(dir + "/crc.png", img); }).first, ecText);
  EXPECT_NE(GetErrorStoredText().find("CRC"), std::string::npos) << GetErrorStoredText();
  // Random damage anywhere after the signature: any outcome but a crash or a leak.
  std::mt19937 rng(5);
  for (int round = 0; round < 100; ++round) {
    std::string b = good;
    for (int k = 0; k < 3; ++k) b[8 + rng() % (b.size() - 8)] = static_cast<char>(rng());
    test::WriteFile(dir + "/random.png", b);
    if (Outcome([&] { PNGLoad(dir + "/random.png", img); }).first == 0) ImgFree(img);
  }
  EXPECT_EQ(test::OpenDescriptors(), fds);
}

// Each call reads and writes through its own state: a save on one thread while another thread
// reads PNG files (a screenshot during a PNG sequence) disturbs neither.
TEST_F(PngUnit, ReadsAndWritesOnTwoThreadsAtOnce) {
  const std::string dir = test::MakeTempDir("png-threads");
  const test::RefPicture ref = test::LoadRef("png_rgb");
  std::atomic<int> failures{0};
  auto reader = [&] {
    for (int i = 0; i < 40; ++i) {
      Qimg img;
      if (Outcome([&] { PNGLoad(Pic("png_rgb.png"), img); }).first != 0 || MaxDiff(img, ref) != 0) ++failures;
      ImgFree(img);
    }
  };
  auto writer = [&] {
    Qimg img;
    MakePicture(img, 200, 150, 24);
    FFVideoOpts opts;
    FFVideoInit(opts, fidPNG);
    for (int i = 0; i < 40; ++i) {
      Qimg back;
      const std::string path = dir + "/shot" + std::to_string(i % 3) + ".png";
      if (Outcome([&] { PNGSave(path, img, opts); }).first != 0) ++failures;
      if (Outcome([&] { PNGLoad(path, back); }).first != 0 || std::memcmp(back.Data, img.Data, img.Size) != 0)
        ++failures;
      ImgFree(back);
    }
    FFVideoFree(opts);
    ImgFree(img);
  };
  // Each thread binds the library's calls for itself.
  std::thread a(reader), b(writer), c(reader);
  a.join();
  b.join();
  c.join();
  EXPECT_EQ(failures.load(), 0);
}

TEST_F(PngUnit, WithoutTheLibraryTheFormatIsRefused) {
  FFFreeCodecLib(clPng);
  FFResetCodecLibsForTest();
  platform::SetLibraryFolder(test::MakeTempDir("no-codecs"));
  FFLoadCodecLib(clPng);
  Qimg img;
  EXPECT_EQ(Outcome([&] { PNGLoad(Pic("png_rgb.png"), img); }), (std::pair<int32_t, int32_t>{ecImage, 2}));
  EXPECT_FALSE(FFCanSave(fidPNG));
}

}  // namespace
}  // namespace tavelo
