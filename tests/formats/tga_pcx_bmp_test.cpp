#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <random>
#include <vector>

#include "core/media/img_basic.h"
#include "core/services/basic.h"
#include "core/services/errors.h"
#include "core/services/memory.h"
#include "core/services/monitor.h"
#include "formats/ff_basic.h"
#include "formats/units/ff_tga_pcx_bmp.h"
#include "tests/formats/ffmpeg_ref.h"
#include "tests/formats/format_fixture.h"
#include "tests/support/test_env.h"

namespace tavelo {
namespace {

using Codecs = test::FormatTest;

std::string Media(const std::string& name) { return test::MediaPath("formats/" + name); }

// Runs work in a no-raise frame and gives the error class and code it ended with.
std::pair<int32_t, int32_t> Outcome(const std::function<void()>& work) {
  MonitoredNoRaise(work);
  return {GetErrorClass(), GetErrorCode()};
}

void Load(int32_t fid, const std::string& path, Qimg& img) {
  switch (fid) {
    case fidTGA: TGALoad_(path, img); break;
    case fidPCX: PCXLoad_(path, img); break;
    default: DIBLoad_(path, img); break;
  }
}

void Save(int32_t fid, const std::string& path, const Qimg& img, int32_t codec = 0) {
  FFVideoOpts opts;
  opts.Codec = codec;
  switch (fid) {
    case fidTGA: TGASave_(path, img, codec != 0); break;
    case fidPCX: PCXSave_(path, img, opts); break;
    default: DIBSave_(path, img, opts); break;
  }
}

std::string Bytes(const std::string& path) { return test::ReadFile(path); }

// A test picture: every pixel different where the depth allows, a full palette for 8 bits.
void MakePicture(Qimg& img, int32_t w, int32_t h, int32_t bpp) {
  _imgalloc_(img, w, h, bpp, __LINE__, "test.picture");
  for (int64_t i = 0; i < img.Size; ++i) img.Data[i] = static_cast<uint8_t>((i * 37 + i / 7) & 0xFF);
  if (bpp == 15)
    for (int64_t i = 1; i < img.Size; i += 2) img.Data[i] &= 0x7F;  // the top bit of a 5-5-5 word is 0
  for (int i = 0; i < 768; ++i) img.Palette[i] = static_cast<uint8_t>(i * 11);
}

bool SamePicture(const Qimg& a, const Qimg& b) {
  if (a.Width != b.Width || a.Height != b.Height || a.Bpp != b.Bpp || a.Size != b.Size) return false;
  if (std::memcmp(a.Data, b.Data, a.Size) != 0) return false;
  return a.Bpp != 8 || a.Palette == b.Palette;
}

// "" when FFmpeg decodes the file to the same picture, else what differs (or why it could not).
std::string DifferenceFromFFmpeg(const std::string& path, const Qimg& img) {
  test::RefPicture ref;
  std::string why;
  if (!test::FFmpegDecode(path, ref, why)) return "FFmpeg: " + why;
  return test::CompareWithRef(img, ref);
}

struct RealFile {
  const char* Name;
  int32_t Fid;
  int32_t Bpp;  // the depth we deliver
};

const RealFile kRealFiles[] = {
    {"nb_rgb_raw.tga", fidTGA, 24},  {"nb_rgb_rle.tga", fidTGA, 24},    {"nb_cmap_raw.tga", fidTGA, 8},
    {"nb_cmap_rle.tga", fidTGA, 8},  {"nb_grey_raw.tga", fidTGA, 8},    {"nb_grey_rle.tga", fidTGA, 8},
    {"ff_bgr24_raw.tga", fidTGA, 24}, {"ff_bgr24_rle.tga", fidTGA, 24}, {"ff_bgra_rle.tga", fidTGA, 32},
    {"ff_rgb555_raw.tga", fidTGA, 15}, {"ff_rgb555_rle.tga", fidTGA, 15}, {"ff_gray_rle.tga", fidTGA, 8},
    {"ff_pal8_raw.tga", fidTGA, 8},  {"ff_pal8_rle.tga", fidTGA, 8},
    {"nb_24.pcx", fidPCX, 24},       {"nb_8.pcx", fidPCX, 8},           {"nb_4planes.pcx", fidPCX, 8},
    {"nb_4packed.pcx", fidPCX, 8},   {"nb_1.pcx", fidPCX, 8},           {"ff_24.pcx", fidPCX, 24},
    {"ff_8.pcx", fidPCX, 8},         {"ff_1.pcx", fidPCX, 8},
    {"im_24.bmp", fidBMP, 24},       {"im_8.bmp", fidBMP, 8},           {"im_8_rle.bmp", fidBMP, 8},
    {"im_4.bmp", fidBMP, 8},         {"im_1.bmp", fidBMP, 8},           {"im_v5_24.bmp", fidBMP, 24},
    {"im_os2_24.bmp", fidBMP, 24},   {"im_os2_8.bmp", fidBMP, 8},       {"nb_24.bmp", fidBMP, 24},
    {"nb_8.bmp", fidBMP, 8},         {"nb_4.bmp", fidBMP, 8},           {"nb_os2_8.bmp", fidBMP, 8},
    {"ff_32.bmp", fidBMP, 32},       {"ff_555.bmp", fidBMP, 15},        {"ff_565.bmp", fidBMP, 16},
    {"ff_8.bmp", fidBMP, 8},         {"ff_1.bmp", fidBMP, 8},
};

TEST_F(Codecs, RealEncoderFilesDecodeLikeFFmpeg) {
  for (const RealFile& file : kRealFiles) {
    SCOPED_TRACE(file.Name);
    const std::string path = Media(file.Name);
    Qimg img;
    ASSERT_EQ(Outcome([&] { Load(file.Fid, path, img); }).first, 0) << GetErrorMessage();
    EXPECT_EQ(img.Bpp, file.Bpp);
    EXPECT_EQ(img.Width, 37);
    EXPECT_EQ(img.Height, 23);
    test::RefPicture ref;
    std::string why;
    ASSERT_TRUE(test::FFmpegDecode(path, ref, why)) << why;
    EXPECT_EQ(test::CompareWithRef(img, ref), "");
    // The comparison sees a change of one colour.
    if (img.Bpp == 8)
      img.Palette[3 * img.Data[img.Size / 2]] ^= 0x18;
    else
      img.Data[img.Size / 2] ^= 0x18;
    EXPECT_NE(test::CompareWithRef(img, ref), "");
    ImgFree(img);
  }
}

TEST_F(Codecs, FixturesCoverBothTgaOriginsAndBmpHeaders) {
  // netpbm writes TGA rows bottom-up, FFmpeg top-down (descriptor bit 0x20).
  EXPECT_EQ(Bytes(Media("nb_rgb_raw.tga"))[17] & 0x20, 0);
  EXPECT_EQ(Bytes(Media("ff_bgr24_raw.tga"))[17] & 0x20, 0x20);
  EXPECT_EQ(Bytes(Media("im_os2_24.bmp"))[14], 12);   // core header
  EXPECT_EQ(Bytes(Media("im_v5_24.bmp"))[14], 124);   // V5 header
  EXPECT_EQ(Bytes(Media("im_8_rle.bmp"))[30], 1);     // RLE8
  EXPECT_EQ(Bytes(Media("ff_565.bmp"))[30], 3);       // bit fields
  // The 1-bit files hold both of their colours in quantity, and the two differ.
  for (const RealFile& file : kRealFiles) {
    const std::string name = file.Name;
    if (name.find("_1.") == std::string::npos) continue;
    SCOPED_TRACE(name);
    Qimg img;
    ASSERT_EQ(Outcome([&] { Load(file.Fid, Media(name), img); }).first, 0);
    int64_t ones = 0;
    for (int64_t i = 0; i < img.Size; ++i) ones += img.Data[i] == 1 ? 1 : 0;
    EXPECT_GT(ones, img.Size / 10);
    EXPECT_LT(ones, img.Size * 9 / 10);
    EXPECT_NE(std::memcmp(img.Palette.data(), img.Palette.data() + 3, 3), 0);
    ImgFree(img);
  }
}

// The rows of a bottom-up BMP turned into a top-down file (negative height): no tool here writes
// one, so the test makes it from a file an encoder wrote.
std::string TopDownCopy(const std::string& bmp) {
  std::string out = bmp;
  const auto le32 = [&](size_t at) {
    return static_cast<int32_t>(static_cast<uint8_t>(out[at]) | (static_cast<uint8_t>(out[at + 1]) << 8) |
                                (static_cast<uint8_t>(out[at + 2]) << 16) | (static_cast<uint8_t>(out[at + 3]) << 24));
  };
  const int32_t offBits = le32(10), width = le32(18), height = le32(22);
  const int32_t depth = static_cast<uint8_t>(out[28]);
  const int32_t stride = ((width * depth + 31) / 32) * 4;
  for (int32_t r = 0; r < height; ++r)
    out.replace(offBits + static_cast<size_t>(r) * stride, stride, bmp, offBits + static_cast<size_t>(height - 1 - r) * stride,
                stride);
  const uint32_t neg = static_cast<uint32_t>(-height);
  for (int i = 0; i < 4; ++i) out[22 + i] = static_cast<char>((neg >> (8 * i)) & 0xFF);
  return out;
}

TEST_F(Codecs, TopDownBmpReadsTheSamePicture) {
  const std::string dir = test::MakeTempDir("bmp");
  for (const char* name : {"im_24.bmp", "nb_8.bmp", "im_4.bmp", "im_1.bmp", "ff_32.bmp"}) {
    SCOPED_TRACE(name);
    const std::string path = dir + "/td_" + name;
    test::WriteFile(path, TopDownCopy(Bytes(Media(name))));
    Qimg top, bottom;
    ASSERT_EQ(Outcome([&] { DIBLoad_(path, top); }).first, 0) << GetErrorMessage();
    ASSERT_EQ(Outcome([&] { DIBLoad_(Media(name), bottom); }).first, 0);
    EXPECT_TRUE(SamePicture(top, bottom));
    EXPECT_EQ(DifferenceFromFFmpeg(path, top), "");
    ImgFree(top);
    ImgFree(bottom);
  }
}

TEST_F(Codecs, InfoDescribesTheFiles) {
  FFInfoRec info;
  ASSERT_EQ(Outcome([&] { TGAInfo(Media("ff_rgb555_rle.tga"), info); }).first, 0);
  EXPECT_EQ(info.FormatId, fidTGA);
  EXPECT_EQ(info.Video.OrigBpp, 16);  // a 16-bit TGA is delivered as 15 bits
  EXPECT_EQ(info.Video.Bpp, 15);
  EXPECT_EQ(info.Video.Frames, 1);
  EXPECT_EQ(info.Video.VideoSupported, -1);
  EXPECT_DOUBLE_EQ(info.FileSize, static_cast<double>(Bytes(Media("ff_rgb555_rle.tga")).size()));
  info = FFInfoRec();
  ASSERT_EQ(Outcome([&] { PCXInfo(Media("nb_4planes.pcx"), info); }).first, 0);
  EXPECT_EQ(info.Video.OrigBpp, 4);
  EXPECT_EQ(info.Video.Bpp, 8);
  EXPECT_EQ(info.Video.CodecId, 0);  // PCX leaves it 0 although every file is packed
  EXPECT_EQ(info.Video.CodecName, "Run Length Encoding (RLE)");
  info = FFInfoRec();
  ASSERT_EQ(Outcome([&] { DIBInfo(Media("im_8_rle.bmp"), info); }).first, 0);
  EXPECT_EQ(info.Video.CodecId, 1);
  EXPECT_EQ(info.Video.BytesPP, 1);
}

TEST_F(Codecs, SaveLoadRoundTripsAreExact) {
  const std::string dir = test::MakeTempDir("roundtrip");
  struct Trip {
    int32_t Fid;
    int32_t Codec;
    int32_t Bpp;
    int32_t Stored;  // the depth the file holds it in
  };
  const Trip trips[] = {
      {fidTGA, 0, 8, 8},   {fidTGA, 1, 8, 8},   {fidTGA, 0, 15, 15}, {fidTGA, 1, 15, 15}, {fidTGA, 1, 24, 24},
      {fidTGA, 0, 32, 32}, {fidTGA, 1, 32, 32}, {fidPCX, 0, 8, 8},   {fidPCX, 0, 24, 24}, {fidBMP, 0, 8, 8},
      {fidBMP, 0, 15, 15}, {fidBMP, 0, 24, 24}, {fidBMP, 0, 32, 32},
  };
  for (const Trip& t : trips) {
    for (int32_t w : {1, 2, 3, 37, 300}) {
      SCOPED_TRACE(std::to_string(t.Fid) + "/" + std::to_string(t.Codec) + "/" + std::to_string(t.Bpp) + " w" +
                   std::to_string(w));
      Qimg img, back;
      MakePicture(img, w, 5, t.Bpp);
      if (w == 300)  // long runs: whole rows of one pixel
        for (int64_t i = 0; i < img.Size / 2; ++i) img.Data[i] = 7;
      const char* ext = t.Fid == fidTGA ? ".tga" : (t.Fid == fidPCX ? ".pcx" : ".bmp");
      const std::string path = dir + "/rt" + std::to_string(t.Fid) + "_" + std::to_string(t.Codec) + ext;
      ASSERT_EQ(Outcome([&] { Save(t.Fid, path, img, t.Codec); }).first, 0) << GetErrorMessage();
      ASSERT_EQ(Outcome([&] { Load(t.Fid, path, back); }).first, 0) << GetErrorMessage();
      EXPECT_EQ(back.Bpp, t.Stored);
      EXPECT_TRUE(SamePicture(img, back));
      // Other readers read our files the same way.
      test::RefPicture ref;
      std::string why;
      ASSERT_TRUE(test::FFmpegDecode(path, ref, why)) << why;
      EXPECT_EQ(test::CompareWithRef(back, ref), "");
      ImgFree(img);
      ImgFree(back);
    }
  }
}

TEST_F(Codecs, WritersConvertToTheirSaveDepths) {
  const std::string dir = test::MakeTempDir("depths");
  Qimg img, back, expect;
  MakePicture(img, 9, 4, 16);
  ASSERT_EQ(Outcome([&] { ImgConvBpp(img, expect, 24); }).first, 0);
  for (int32_t fid : {fidTGA, fidPCX, fidBMP}) {
    const std::string path = dir + "/d" + std::to_string(fid);
    ASSERT_EQ(Outcome([&] { Save(fid, path, img); }).first, 0);
    ASSERT_EQ(Outcome([&] { Load(fid, path, back); }).first, 0);
    EXPECT_EQ(back.Bpp, 24) << fid;
    EXPECT_TRUE(SamePicture(back, expect)) << fid;
  }
  // A 15-bit picture is written with depth 16 (and reads back as 15 bits).
  Qimg p15;
  MakePicture(p15, 4, 4, 15);
  ASSERT_EQ(Outcome([&] { TGASave_(dir + "/p15.tga", p15, false); }).first, 0);
  EXPECT_EQ(static_cast<uint8_t>(Bytes(dir + "/p15.tga")[16]), 16);
  ASSERT_EQ(Outcome([&] { DIBSave_(dir + "/p15.bmp", p15, FFVideoOpts()); }).first, 0);
  EXPECT_EQ(static_cast<uint8_t>(Bytes(dir + "/p15.bmp")[28]), 16);
  ImgFree(img);
  ImgFree(back);
  ImgFree(expect);
  ImgFree(p15);
}

TEST_F(Codecs, TgaRunOf300EqualPixelsIsThreeRunPackets) {
  const std::string dir = test::MakeTempDir("tga");
  Qimg img;
  _imgalloc_(img, 300, 1, 24, __LINE__, "test");
  FillMem(img.Data, img.Size, 0x5A);
  ASSERT_EQ(Outcome([&] { TGASave_(dir + "/run.tga", img, true); }).first, 0);
  const std::string bytes = Bytes(dir + "/run.tga");
  ASSERT_EQ(bytes.size(), 18u + 3 * 4);
  EXPECT_EQ(static_cast<uint8_t>(bytes[2]), 10);  // true colour, run-length
  EXPECT_EQ(static_cast<uint8_t>(bytes[18]), 128 + 127);
  EXPECT_EQ(static_cast<uint8_t>(bytes[22]), 128 + 127);
  EXPECT_EQ(static_cast<uint8_t>(bytes[26]), 128 + 43);
  ImgFree(img);
}

TEST_F(Codecs, ResolutionsTravelThroughBmpAndPcx) {
  const std::string dir = test::MakeTempDir("res");
  Qimg img, back;
  MakePicture(img, 3, 3, 24);
  FFVideoOpts opts;
  opts.XRes = 96;
  opts.YRes = 300;
  ASSERT_EQ(Outcome([&] { DIBSave_(dir + "/r.bmp", img, opts); }).first, 0);
  const std::string bmp = Bytes(dir + "/r.bmp");
  EXPECT_EQ(static_cast<uint8_t>(bmp[38]) | (static_cast<uint8_t>(bmp[39]) << 8), 3780);  // 96 dpi
  ASSERT_EQ(Outcome([&] { DIBLoad_(dir + "/r.bmp", back); }).first, 0);
  EXPECT_EQ(back.XRes, 96);
  EXPECT_EQ(back.YRes, 300);
  ASSERT_EQ(Outcome([&] { PCXSave_(dir + "/r.pcx", img, opts); }).first, 0);
  ASSERT_EQ(Outcome([&] { PCXLoad_(dir + "/r.pcx", back); }).first, 0);
  EXPECT_EQ(back.XRes, 96);
  EXPECT_EQ(back.YRes, 300);
  ImgFree(img);
  ImgFree(back);
}

TEST_F(Codecs, WritersRefuseSidesBeyond65535AndKeepTheOldFile) {
  const std::string dir = test::MakeTempDir("big");
  Qimg img;
  MakePicture(img, 65536, 1, 8);
  for (const char* name : {"/big.tga", "/big.pcx"}) {
    const std::string path = dir + name;
    test::WriteFile(path, "old contents");
    const auto r = Outcome([&] { Save(name[5] == 't' ? fidTGA : fidPCX, path, img); });
    EXPECT_EQ(r.first, ecImage);
    EXPECT_EQ(r.second, 11);
    EXPECT_EQ(Bytes(path), "old contents");
  }
  ImgFree(img);
  // A save that fails part-way (a missing folder) leaves nothing behind either.
  Qimg small;
  MakePicture(small, 2, 2, 24);
  EXPECT_EQ(Outcome([&] { Save(fidBMP, dir + "/no/such/x.bmp", small); }).first, ecFile);
  ImgFree(small);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), std::filesystem::directory_iterator()), 2);
}

// ---- Hostile headers ----

std::string TgaHeader(int type, int mapType, int mapFirst, int mapLen, int mapBits, int w, int h, int depth,
                      int desc) {
  std::string s(18, '\0');
  s[1] = static_cast<char>(mapType);
  s[2] = static_cast<char>(type);
  s[3] = static_cast<char>(mapFirst & 255);
  s[4] = static_cast<char>(mapFirst >> 8);
  s[5] = static_cast<char>(mapLen & 255);
  s[6] = static_cast<char>(mapLen >> 8);
  s[7] = static_cast<char>(mapBits);
  s[12] = static_cast<char>(w & 255);
  s[13] = static_cast<char>(w >> 8);
  s[14] = static_cast<char>(h & 255);
  s[15] = static_cast<char>(h >> 8);
  s[16] = static_cast<char>(depth);
  s[17] = static_cast<char>(desc);
  return s;
}

std::pair<int32_t, int32_t> LoadBytes(int32_t fid, const std::string& bytes) {
  const std::string path = test::MakeTempDir("hostile") + "/f";
  test::WriteFile(path, bytes);
  Qimg img;
  const auto r = Outcome([&] { Load(fid, path, img); });
  ImgFree(img);
  return r;
}

using Err = std::pair<int32_t, int32_t>;

TEST_F(Codecs, TgaHeadersAreChecked) {
  EXPECT_EQ(LoadBytes(fidTGA, TgaHeader(4, 0, 0, 0, 0, 2, 2, 24, 0) + std::string(12, 'x')), Err(7, 2));
  // A colour map whose first index + length passes 256.
  EXPECT_EQ(LoadBytes(fidTGA, TgaHeader(1, 1, 200, 100, 24, 2, 2, 8, 0) + std::string(300 + 4, 'x')), Err(7, 4));
  // Depths and map entries the format does not have.
  EXPECT_EQ(LoadBytes(fidTGA, TgaHeader(2, 0, 0, 0, 0, 2, 2, 12, 0) + std::string(12, 'x')), Err(7, 1));
  EXPECT_EQ(LoadBytes(fidTGA, TgaHeader(2, 0, 0, 0, 0, 2, 2, 8, 0) + std::string(12, 'x')), Err(7, 1));
  EXPECT_EQ(LoadBytes(fidTGA, TgaHeader(1, 1, 0, 2, 8, 2, 2, 8, 0) + std::string(6, 'x')), Err(7, 1));
  EXPECT_EQ(LoadBytes(fidTGA, TgaHeader(1, 0, 0, 0, 0, 2, 2, 8, 0) + std::string(6, 'x')), Err(7, 1));
  EXPECT_EQ(LoadBytes(fidTGA, TgaHeader(2, 0, 0, 0, 0, 0, 2, 24, 0)), Err(7, 4));  // no width
  // Raw data shorter than the picture, and run-length data far too short for it.
  EXPECT_EQ(LoadBytes(fidTGA, TgaHeader(2, 0, 0, 0, 0, 2, 2, 24, 0) + std::string(11, 'x')), Err(6, 3));
  EXPECT_EQ(LoadBytes(fidTGA, TgaHeader(10, 0, 0, 0, 0, 200, 200, 24, 0) + "\x81\1\2\3"), Err(7, 9));
  EXPECT_EQ(LoadBytes(fidTGA, std::string(10, '\0')), Err(6, 3));
}

// A TGA file made here: no encoder at hand writes colour maps of 15, 16 or 32 bits, maps that
// start above index 0 or rows stored right to left. Pixels are given top-down, left to right
// (8-bit indices, or 2- or 3-byte true colour), and stored in the order the descriptor says.
std::string CraftedTga(int w, int h, int depth, int mapFirst, int mapLen, int mapBits, bool rle, bool topDown,
                       bool rightToLeft, const std::string& map, const std::string& pixels) {
  const int bytes = (depth + 7) / 8;
  const int type = (mapBits != 0 ? 1 : 2) + (rle ? 8 : 0);
  std::string s = TgaHeader(type, mapBits != 0 ? 1 : 0, mapFirst, mapLen, mapBits, w, h, depth,
                            (topDown ? 0x20 : 0) | (rightToLeft ? 0x10 : 0));
  s += map;
  for (int r = 0; r < h; ++r) {
    const int y = topDown ? r : h - 1 - r;
    std::string row;
    for (int c = 0; c < w; ++c) {
      const int x = rightToLeft ? w - 1 - c : c;
      row += pixels.substr(static_cast<size_t>((y * w + x) * bytes), static_cast<size_t>(bytes));
    }
    if (!rle) {
      s += row;
      continue;
    }
    // Runs of equal neighbours, literals of the rest (packets stay inside the row).
    for (int i = 0; i < w;) {
      int n = 1;
      while (i + n < w && n < 128 && row.compare(static_cast<size_t>((i + n) * bytes), bytes, row, static_cast<size_t>(i * bytes), bytes) == 0) ++n;
      if (n > 1) {
        s += static_cast<char>(0x80 | (n - 1));
        s += row.substr(static_cast<size_t>(i * bytes), static_cast<size_t>(bytes));
      } else {
        s += '\0';
        s += row.substr(static_cast<size_t>(i * bytes), static_cast<size_t>(bytes));
      }
      i += n;
    }
  }
  return s;
}

// Colour maps of every entry size, starting at index 0 and above it, and rows stored right to
// left (mapped and true colour, both vertical orders, raw and run-length) decode as FFmpeg does.
TEST_F(Codecs, CraftedColourMapsAndRowOrdersDecodeLikeFFmpeg) {
  struct Craft {
    const char* Name;
    int Depth, MapFirst, MapLen, MapBits;
    bool Rle, TopDown, RightToLeft;
  };
  const Craft crafts[] = {
      {"map16", 8, 0, 40, 16, false, false, false},     {"map15_first7_rle", 8, 7, 40, 15, true, true, false},
      {"map32_first3_rtl", 8, 3, 40, 32, false, false, true}, {"map24_first200_rtl_rle", 8, 200, 56, 24, true, true, true},
      {"map16_first100_rtl", 8, 100, 40, 16, true, false, true}, {"rgb24_rtl", 24, 0, 0, 0, false, true, true},
      {"rgb555_rtl_rle", 16, 0, 0, 0, true, false, true}};
  const int w = 13, h = 7;
  std::mt19937 random(26);
  const std::string dir = test::MakeTempDir("crafted");
  for (const Craft& c : crafts) {
    SCOPED_TRACE(c.Name);
    std::string map;
    const int entry = (c.MapBits + 7) / 8;
    for (int i = 0; i < c.MapLen * entry; ++i) map += static_cast<char>(random() & 255);
    std::string pixels;
    const int bytes = c.Depth / 8;
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        // Distinct colours along each row (so a mirror shows), one flat row (so runs occur).
        const int k = y == 2 ? 5 : (x * 3 + y * 5) % std::max(c.MapLen, 1);
        if (c.MapBits != 0) {
          pixels += static_cast<char>(c.MapFirst + k);
        } else {
          for (int b = 0; b < bytes; ++b) pixels += static_cast<char>((k * 37 + x * 11 + b * 101 + (y == 2 ? 0 : y)) & 255);
          if (bytes == 2) pixels.back() = static_cast<char>(pixels.back() & 0x7F);
        }
      }
    const std::string path = dir + "/" + c.Name + ".tga";
    test::WriteFile(path, CraftedTga(w, h, c.Depth, c.MapFirst, c.MapLen, c.MapBits, c.Rle, c.TopDown, c.RightToLeft,
                                     map, pixels));
    Qimg img;
    ASSERT_EQ(Outcome([&] { TGALoad_(path, img); }).first, 0) << GetErrorMessage();
    test::RefPicture ref;
    std::string why;
    ASSERT_TRUE(test::FFmpegDecode(path, ref, why)) << why;
    EXPECT_EQ(test::CompareWithRef(img, ref), "");
    ImgFree(img);
  }
}

TEST_F(Codecs, TgaRunsAreClippedToThePicture) {
  // A run of 128 pixels and a literal of 4 into a 2 x 2 picture: the first four pixels count.
  const std::string path = test::MakeTempDir("tga") + "/clip.tga";
  test::WriteFile(path, TgaHeader(10, 0, 0, 0, 0, 2, 2, 24, 0x20) + "\xFF\x10\x20\x30" + "\x03" + std::string(12, '\x77'));
  Qimg img;
  ASSERT_EQ(Outcome([&] { TGALoad_(path, img); }).first, 0);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(img.Data[3 * i], 0x10);
  test::WriteFile(path, TgaHeader(10, 0, 0, 0, 0, 2, 2, 24, 0x20) + "\x01\1\1\1\2\2\2" + "\x03" + std::string(12, '\x77'));
  ASSERT_EQ(Outcome([&] { TGALoad_(path, img); }).first, 0);
  EXPECT_EQ(img.Data[0], 1);
  EXPECT_EQ(img.Data[3], 2);
  EXPECT_EQ(img.Data[6], 0x77);
  EXPECT_EQ(img.Data[9], 0x77);
  ImgFree(img);
}

TEST_F(Codecs, TgaPacketsThatCrossRowsLandInBothRowsOfABottomUpPicture) {
  // 3 x 2 pixels, 8-bit grey, rows stored bottom-up (descriptor 0): the first stored row is the
  // picture's last.
  struct Case {
    std::string Packets;
    std::vector<uint8_t> Picture;  // top row first
  };
  const Case cases[] = {
      // A run of 4 crosses from the first stored row into the second; a literal of 2 ends it.
      {"\x83\x0A" "\x01\x0B\x0C", {10, 11, 12, 10, 10, 10}},
      // A literal of 4 crosses rows between two runs of 1.
      {std::string("\x80\x01") + "\x03\x02\x03\x04\x05" + "\x80\x06", {4, 5, 6, 1, 2, 3}},
      // One run fills the picture and goes on past it.
      {"\xFF\x09", {9, 9, 9, 9, 9, 9}},
  };
  const std::string path = test::MakeTempDir("tga") + "/cross.tga";
  for (bool bottomUp : {true, false}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::to_string(bottomUp) + ": " + std::to_string(c.Packets.size()));
      test::WriteFile(path, TgaHeader(11, 0, 0, 0, 0, 3, 2, 8, bottomUp ? 0 : 0x20) + c.Packets);
      Qimg img;
      ASSERT_EQ(Outcome([&] { TGALoad_(path, img); }).first, 0) << GetErrorMessage();
      std::vector<uint8_t> expect = c.Picture;
      if (!bottomUp) std::swap_ranges(expect.begin(), expect.begin() + 3, expect.begin() + 3);
      EXPECT_EQ(std::vector<uint8_t>(img.Data, img.Data + 6), expect);
      ImgFree(img);
    }
  }
}

TEST_F(Codecs, PicturesOfManyBlocksOfRowsReadLikeFFmpeg) {
  // Uncompressed rows are read in blocks of whole rows: pictures of several blocks, the last one
  // short, with and without row gaps, both row orders.
  const std::string dir = test::MakeTempDir("blocks");
  // Run-length data is read in blocks too, its packets running over their ends.
  struct Big {
    int32_t Fid;
    int32_t W, H, Bpp;
    int32_t Codec = 0;
  };
  for (const Big& b : {Big{fidBMP, 1001, 300, 24}, Big{fidBMP, 1001, 333, 8}, Big{fidBMP, 700, 211, 32},
                       Big{fidTGA, 1001, 300, 24}, Big{fidTGA, 999, 301, 8}, Big{fidTGA, 1001, 300, 24, 1},
                       Big{fidTGA, 777, 403, 32, 1}, Big{fidTGA, 999, 301, 8, 1}}) {
    SCOPED_TRACE(std::to_string(b.Fid) + " " + std::to_string(b.W) + "x" + std::to_string(b.H) + "x" +
                 std::to_string(b.Bpp) + " codec " + std::to_string(b.Codec));
    Qimg img, back;
    MakePicture(img, b.W, b.H, b.Bpp);
    const std::string path = dir + (b.Fid == fidTGA ? "/big.tga" : "/big.bmp");
    ASSERT_EQ(Outcome([&] { Save(b.Fid, path, img, b.Codec); }).first, 0) << GetErrorMessage();
    // Loaded into a record that holds another picture of the size: every byte is replaced.
    MakePicture(back, b.W, b.H, b.Bpp);
    std::memset(back.Data, 0xA5, static_cast<size_t>(back.Size));
    ASSERT_EQ(Outcome([&] { Load(b.Fid, path, back); }).first, 0) << GetErrorMessage();
    EXPECT_TRUE(SamePicture(img, back));
    EXPECT_EQ(DifferenceFromFFmpeg(path, back), "");
    if (b.Codec != 0) {
      // Cut after 60 % of its data: the rows stored first (the picture's last, bottom-up) are
      // there, the rows stored last are black, the loss logged.
      const std::string bytes = Bytes(path);
      test::WriteFile(path, bytes.substr(0, bytes.size() * 6 / 10));
      int32_t failed = -1;
      EXPECT_EQ(test::CountWarnings(ecImage, [&] { failed = Outcome([&] { Load(b.Fid, path, back); }).first; }), 1);
      ASSERT_EQ(failed, 0) << GetErrorMessage();
      const int64_t row = static_cast<int64_t>(b.W) * back.BytesPP;
      EXPECT_EQ(0, std::memcmp(back.Data + (b.H - 1) * row, img.Data + (b.H - 1) * row, static_cast<size_t>(row)));
      EXPECT_TRUE(std::all_of(back.Data, back.Data + row, [](uint8_t v) { return v == 0; }));
    }
    ImgFree(img);
    ImgFree(back);
  }
  // A top-down BMP of the same kind (negative height) reads the same picture.
  Qimg img, back;
  MakePicture(img, 1001, 300, 24);
  const std::string path = dir + "/down.bmp";
  ASSERT_EQ(Outcome([&] { Save(fidBMP, path, img); }).first, 0);
  test::WriteFile(path, TopDownCopy(Bytes(path)));
  ASSERT_EQ(Outcome([&] { Load(fidBMP, path, back); }).first, 0) << GetErrorMessage();
  EXPECT_TRUE(SamePicture(img, back));
  ImgFree(img);
  ImgFree(back);
}

std::string PcxHeader(int bits, int planes, int xmin, int ymin, int xmax, int ymax, int lineBytes, int enc = 1) {
  std::string s(128, '\0');
  s[0] = 10;
  s[1] = 5;
  s[2] = static_cast<char>(enc);
  s[3] = static_cast<char>(bits);
  auto put16 = [&](int at, int v) {
    s[at] = static_cast<char>(v & 255);
    s[at + 1] = static_cast<char>((v >> 8) & 255);
  };
  put16(4, xmin);
  put16(6, ymin);
  put16(8, xmax);
  put16(10, ymax);
  s[65] = static_cast<char>(planes);
  put16(66, lineBytes);
  return s;
}

TEST_F(Codecs, PcxHeadersAreChecked) {
  EXPECT_EQ(LoadBytes(fidPCX, std::string(1, '\x0B') + std::string(200, 'x')), Err(7, 2));
  EXPECT_EQ(LoadBytes(fidPCX, PcxHeader(8, 1, 10, 0, 5, 3, 2) + std::string(900, 'x')), Err(7, 4));  // xmax < xmin
  EXPECT_EQ(LoadBytes(fidPCX, PcxHeader(8, 1, 0, 9, 5, 3, 6) + std::string(900, 'x')), Err(7, 4));   // ymax < ymin
  // An 8-bit file shorter than header + one data byte + marker + palette.
  EXPECT_EQ(LoadBytes(fidPCX, PcxHeader(8, 1, 0, 0, 1, 1, 2) + std::string(768, '\0')), Err(7, 4));
  // A line shorter than the row, and variants the reader does not know.
  EXPECT_EQ(LoadBytes(fidPCX, PcxHeader(8, 1, 0, 0, 9, 1, 4) + std::string(900, '\0')), Err(7, 4));
  EXPECT_EQ(LoadBytes(fidPCX, PcxHeader(8, 2, 0, 0, 1, 1, 2) + std::string(900, '\0')), Err(7, 1));
  EXPECT_EQ(LoadBytes(fidPCX, PcxHeader(8, 1, 0, 0, 1, 1, 2, 0) + std::string(900, '\0')), Err(7, 1));
  // A palette without its marker byte, and packed data that ends before the picture does.
  EXPECT_EQ(LoadBytes(fidPCX, PcxHeader(8, 1, 0, 0, 1, 1, 2) + std::string(4, '\1') + "\x0B" + std::string(768, '\0')),
            Err(7, 9));
  EXPECT_EQ(LoadBytes(fidPCX, PcxHeader(8, 3, 0, 0, 99, 99, 100) + "\xC2\x01"), Err(7, 9));
}

TEST_F(Codecs, PcxRunsStopAtTheEndOfTheScanLine) {
  // A run of 63 in a 2 x 2 picture with 2-byte lines: each line takes its 2 bytes, the rest of
  // the run is dropped and the next line starts with the next code, as other readers do.
  const std::string path = test::MakeTempDir("pcx") + "/clip.pcx";
  std::string data = "\xFF\x05" "\xC2\x09";
  std::string pal(769, '\0');
  pal[0] = 12;
  test::WriteFile(path, PcxHeader(8, 1, 0, 0, 1, 1, 2) + data + pal);
  Qimg img;
  ASSERT_EQ(Outcome([&] { PCXLoad_(path, img); }).first, 0);
  EXPECT_EQ(img.Data[0], 5);
  EXPECT_EQ(img.Data[1], 5);
  EXPECT_EQ(img.Data[2], 9);
  EXPECT_EQ(img.Data[3], 9);
  ImgFree(img);
}

std::string BmpFile(int32_t w, int32_t h, int depth, int compression, const std::string& pixels,
                     const std::string& palette = "") {
  std::string s(54, '\0');
  auto put = [&](int at, uint32_t v, int n) {
    for (int i = 0; i < n; ++i) s[at + i] = static_cast<char>((v >> (8 * i)) & 255);
  };
  s[0] = 'B';
  s[1] = 'M';
  put(2, static_cast<uint32_t>(54 + palette.size() + pixels.size()), 4);
  put(10, static_cast<uint32_t>(54 + palette.size()), 4);
  put(14, 40, 4);
  put(18, static_cast<uint32_t>(w), 4);
  put(22, static_cast<uint32_t>(h), 4);
  put(26, 1, 2);
  put(28, static_cast<uint32_t>(depth), 2);
  put(30, static_cast<uint32_t>(compression), 4);
  return s + palette + pixels;
}

TEST_F(Codecs, BmpHeadersAreChecked) {
  EXPECT_EQ(LoadBytes(fidBMP, "BX" + std::string(100, '\0')), Err(7, 2));
  const std::string pal(1024, '\0');
  // Compressions that are not read: JPEG, PNG, RLE8 and RLE4 at other depths.
  EXPECT_EQ(LoadBytes(fidBMP, BmpFile(4, 4, 8, 2, std::string(64, '\0'), pal)), Err(7, 1));
  EXPECT_EQ(LoadBytes(fidBMP, BmpFile(4, 4, 24, 4, std::string(64, '\0'))), Err(7, 1));
  EXPECT_EQ(LoadBytes(fidBMP, BmpFile(4, 4, 24, 5, std::string(64, '\0'))), Err(7, 1));
  EXPECT_EQ(LoadBytes(fidBMP, BmpFile(4, 4, 24, 1, std::string(64, '\0'))), Err(7, 1));
  EXPECT_EQ(LoadBytes(fidBMP, BmpFile(4, 4, 2, 0, std::string(64, '\0'))), Err(7, 1));
  // Bit fields of a layout that is not ours.
  EXPECT_EQ(LoadBytes(fidBMP, BmpFile(4, 4, 16, 3, std::string(12, '\xFF') + std::string(64, '\0'))), Err(7, 1));
  // Sizes: none, too big for memory, and data shorter than the rows.
  EXPECT_EQ(LoadBytes(fidBMP, BmpFile(0, 4, 24, 0, std::string(64, '\0'))), Err(7, 4));
  EXPECT_EQ(LoadBytes(fidBMP, BmpFile(4, static_cast<int32_t>(0x80000000), 24, 0, std::string(64, '\0'))), Err(7, 4));
  EXPECT_EQ(LoadBytes(fidBMP, BmpFile(60000, 60000, 24, 0, std::string(64, '\0'))), Err(7, 4));
  // 4 rows of 9 bytes, each padded to 12: the last row needs no padding after it.
  EXPECT_EQ(LoadBytes(fidBMP, BmpFile(3, 4, 24, 0, std::string(44, '\0'))), Err(6, 3));
  EXPECT_EQ(LoadBytes(fidBMP, BmpFile(3, 4, 24, 0, std::string(20, '\0'))), Err(6, 3));
  EXPECT_EQ(LoadBytes(fidBMP, BmpFile(3, 4, 24, 0, std::string(45, '\0'))), Err(0, 0));
  std::string badHeader = BmpFile(4, 4, 24, 0, std::string(48, '\0'));
  badHeader[14] = 13;  // header sizes between the core and the information header
  EXPECT_EQ(LoadBytes(fidBMP, badHeader), Err(7, 4));
  badHeader[14] = 40;
  badHeader[26] = 2;  // planes
  EXPECT_EQ(LoadBytes(fidBMP, badHeader), Err(7, 4));
}

// Found by the bmp fuzz target: a negative width made the description multiply row bytes and
// rows past 64 bits. It is no picture; the widest and tallest real sides are described without
// overflow and refused by the load.
TEST_F(Codecs, BmpSidesWhoseProductsPass64BitsGiveErrors) {
  const std::string path = test::MakeTempDir("hostile") + "/f.bmp";
  FFInfoRec info;
  test::WriteFile(path, BmpFile(static_cast<int32_t>(0xF0F0F0F0), -0x7FFFFFFF, 32, 0, std::string(64, '\0')));
  EXPECT_EQ(Outcome([&] { DIBInfo(path, info); }), Err(7, 4));
  EXPECT_EQ(LoadBytes(fidBMP, test::ReadFile(path)), Err(7, 4));
  ClearError();
  test::WriteFile(path, BmpFile(0x7FFFFFFF, -0x7FFFFFFF, 32, 0, std::string(64, '\0')));
  EXPECT_EQ(Outcome([&] { DIBInfo(path, info); }), Err(0, 0));
  EXPECT_EQ(info.Video.Width, 0x7FFFFFFF);
  EXPECT_EQ(info.Video.Height, 0x7FFFFFFF);
  EXPECT_EQ(LoadBytes(fidBMP, test::ReadFile(path)), Err(7, 4));
}

TEST_F(Codecs, BmpRle8FollowsLineEndsDeltasAndClips) {
  std::string pal(1024, '\0');
  for (int i = 0; i < 256; ++i) pal[4 * i] = static_cast<char>(i);
  // 4 x 3, bottom-up. Row 0 (bottom): a run of 6 (clipped to 4), end of line. Row 1: a literal of
  // 3 (padded), a delta of 0 right 1 down, then on row 2 at x 3: one pixel, end of picture.
  const std::string rle = std::string("\x06\x01\x00\x00", 4) + std::string("\x00\x03\x07\x08\x09\x00", 6) +
                          std::string("\x00\x02\x00\x01", 4) + std::string("\x01\x05\x00\x01", 4);
  const std::string path = test::MakeTempDir("rle") + "/r.bmp";
  test::WriteFile(path, BmpFile(4, 3, 8, 1, rle, pal));
  Qimg img;
  ASSERT_EQ(Outcome([&] { DIBLoad_(path, img); }).first, 0) << GetErrorMessage();
  const uint8_t expect[12] = {0, 0, 0, 5,   // top row (file row 2)
                              7, 8, 9, 0,   // file row 1
                              1, 1, 1, 1};  // bottom row
  EXPECT_EQ(std::memcmp(img.Data, expect, 12), 0);
  // Data that ends before the end of the picture: what it holds, index 0 after it, a warning;
  // a literal that passes the data's end is dropped whole.
  test::WriteFile(path, BmpFile(4, 3, 8, 1, std::string("\x04\x01\x00\x00\x02\x07", 6), pal));
  Err outcome;
  EXPECT_EQ(test::CountWarnings(ecImage, [&] { outcome = Outcome([&] { DIBLoad_(path, img); }); }), 1);
  ASSERT_EQ(outcome, Err(0, 0));
  const uint8_t cut[12] = {0, 0, 0, 0, 7, 7, 0, 0, 1, 1, 1, 1};
  EXPECT_EQ(std::memcmp(img.Data, cut, 12), 0);
  test::WriteFile(path, BmpFile(4, 3, 8, 1, std::string("\x02\x05\x00\x09\x01\x02", 6), pal));
  ASSERT_EQ(Outcome([&] { DIBLoad_(path, img); }), Err(0, 0));
  const uint8_t dropped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 5, 5, 0, 0};
  EXPECT_EQ(std::memcmp(img.Data, dropped, 12), 0);
  ImgFree(img);
}

// Grey with alpha (8 + 8 bits), raw and run-length, both row orders: 32-bit colour with the
// alpha kept.
TEST_F(Codecs, TgaGreyWithAlphaReadsAsColourWithAlpha) {
  const int w = 3, h = 2;
  const std::string pixels("\x10\xFF\x80\x00\x80\x00\xFE\x7F\x01\x02\x01\x02", 12);  // grey, alpha
  for (bool rle : {false, true}) {
    for (bool topDown : {false, true}) {
      SCOPED_TRACE(std::string(rle ? "rle" : "raw") + (topDown ? " top-down" : " bottom-up"));
      std::string file = CraftedTga(w, h, 16, 0, 0, 0, rle, topDown, false, "", pixels);
      file[2] = static_cast<char>(rle ? 11 : 3);
      file[17] = static_cast<char>(file[17] | 8);  // 8 alpha bits
      const std::string path = test::MakeTempDir("tga") + "/ga.tga";
      test::WriteFile(path, file);
      FFInfoRec info;
      ASSERT_EQ(Outcome([&] { TGAInfo(path, info); }), Err(0, 0));
      EXPECT_EQ(info.Video.Bpp, 32);
      EXPECT_EQ(info.Video.OrigBpp, 16);
      EXPECT_NE(info.Video.VideoSupported, 0);
      Qimg img;
      ASSERT_EQ(Outcome([&] { TGALoad_(path, img); }), Err(0, 0));
      ASSERT_EQ(img.Bpp, 32);
      for (int i = 0; i < w * h; ++i) {
        const uint8_t grey = static_cast<uint8_t>(pixels[2 * i]), alpha = static_cast<uint8_t>(pixels[2 * i + 1]);
        EXPECT_EQ(std::vector<uint8_t>(img.Data + 4 * i, img.Data + 4 * i + 4),
                  (std::vector<uint8_t>{grey, grey, grey, alpha}))
            << "pixel " << i;
      }
      ImgFree(img);
    }
  }
}

// A BMP with an information header of 56 bytes (masks of red, green, blue and alpha) and one
// pixel.
std::string BmpWithMasks(int depth, uint32_t r, uint32_t g, uint32_t b, uint32_t a, uint32_t pixel) {
  std::string s(70, '\0');
  auto put = [&](size_t at, uint32_t v, int n) {
    for (int i = 0; i < n; ++i) s[at + i] = static_cast<char>((v >> (8 * i)) & 255);
  };
  s[0] = 'B';
  s[1] = 'M';
  put(2, 74, 4);
  put(10, 70, 4);
  put(14, 56, 4);
  put(18, 1, 4);
  put(22, 1, 4);
  put(26, 1, 2);
  put(28, static_cast<uint32_t>(depth), 2);
  put(30, 3, 4);
  put(54, r, 4);
  put(58, g, 4);
  put(62, b, 4);
  put(66, a, 4);
  std::string px(4, '\0');
  for (int i = 0; i < depth / 8; ++i) px[i] = static_cast<char>((pixel >> (8 * i)) & 255);
  return s + px;
}

// Any set of bit-field masks: each channel scaled from its own width to 8 bits.
TEST_F(Codecs, BmpBitFieldsOfAnyMasksAreRead) {
  struct Case {
    const char* name;
    int depth;
    uint32_t r, g, b, a, pixel;
    int32_t bpp;                  // delivered depth
    std::vector<uint8_t> bgra;    // the pixel delivered (B, G, R, and alpha for 32 bits)
  };
  const Case cases[] = {
      {"10-10-10", 32, 0x3FF00000, 0x000FFC00, 0x000003FF, 0, (1023u << 20) | 512u, 24, {128, 0, 255}},
      {"rgba byte order", 32, 0xFF000000, 0x00FF0000, 0x0000FF00, 0x000000FF, 0x11223344, 32, {0x33, 0x22, 0x11, 0x44}},
      {"2-3-1", 16, 0x0300, 0x00E0, 0x0010, 0, (2u << 8) | (5u << 5) | (1u << 4), 24, {255, 182, 170}},
      {"4-4-4-4", 16, 0x0F00, 0x00F0, 0x000F, 0xF000, 0x8F31, 32, {17, 51, 255, 136}},
      {"11-11-10", 32, 0xFFE00000, 0x001FFC00, 0x000003FF, 0, 0xFFFFFFFF, 24, {255, 255, 255}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = test::MakeTempDir("bmp") + "/m.bmp";
    test::WriteFile(path, BmpWithMasks(c.depth, c.r, c.g, c.b, c.a, c.pixel));
    FFInfoRec info;
    ASSERT_EQ(Outcome([&] { DIBInfo(path, info); }), Err(0, 0));
    EXPECT_EQ(info.Video.Bpp, c.bpp);
    EXPECT_NE(info.Video.VideoSupported, 0);
    Qimg img;
    ASSERT_EQ(Outcome([&] { DIBLoad_(path, img); }), Err(0, 0));
    ASSERT_EQ(img.Bpp, c.bpp);
    EXPECT_EQ(std::vector<uint8_t>(img.Data, img.Data + img.BytesPP), c.bgra);
    ImgFree(img);
  }
  // Masks that are no run of bits, or that lie outside a 16-bit pixel, describe no picture.
  EXPECT_EQ(LoadBytes(fidBMP, BmpWithMasks(32, 0x0F0F0000, 0xFF00, 0xFF, 0, 0)), Err(7, 1));
  EXPECT_EQ(LoadBytes(fidBMP, BmpWithMasks(16, 0xF80000, 0x7E0, 0x1F, 0, 0)), Err(7, 1));
}

// 4-bit run-length data: runs alternate the two pixels of their byte, literals take half a byte
// a pixel and are padded to an even count of bytes.
TEST_F(Codecs, BmpRle4FollowsLineEndsDeltasAndClips) {
  std::string pal(64, '\0');
  for (int i = 0; i < 16; ++i) pal[4 * i] = static_cast<char>(i);
  // 6 x 3, bottom-up. Row 0: a run of 8 (clipped to 6), end of line. Row 1: a literal of 5
  // (3 bytes and a padding byte), a delta of 0 right 1 down, then on row 2 at x 5: one pixel,
  // end of picture.
  const std::string rle = std::string("\x08\x12\x00\x00", 4) + std::string("\x00\x05\x78\x9A\xB0\x00", 6) +
                          std::string("\x00\x02\x00\x01", 4) + std::string("\x01\x50\x00\x01", 4);
  const std::string path = test::MakeTempDir("rle") + "/r4.bmp";
  test::WriteFile(path, BmpFile(6, 3, 4, 2, rle, pal));
  Qimg img;
  ASSERT_EQ(Outcome([&] { DIBLoad_(path, img); }), Err(0, 0));
  ASSERT_EQ(img.Bpp, 8);
  const uint8_t expect[18] = {0, 0, 0, 0,  0,  5,   // top row (file row 2)
                              7, 8, 9, 10, 11, 0,   // file row 1
                              1, 2, 1, 2,  1,  2};  // bottom row
  EXPECT_EQ(std::memcmp(img.Data, expect, 18), 0);
  EXPECT_EQ(img.Palette[3 * 9], 9);
  ImgFree(img);
}

// Rows of a picture in the order its file stores them.
const uint8_t* FileRow(const Qimg& img, int32_t r, bool bottomUp) {
  const int32_t y = bottomUp ? img.Height - 1 - r : r;
  return img.Data + static_cast<int64_t>(y) * img.Width * img.BytesPP;
}

// Files cut inside their packed data show what the data holds: in file order the rows of the
// whole file's decode (checked against FFmpeg above), at most one row cut inside, then zeros;
// the loss is a warning, not a failure. Run-length TGA with a 2-byte run cut to a lone byte, a
// run cut to part of its pixel and a literal cut to part of its pixels are among the cuts.
TEST_F(Codecs, CutPackedDataShowsWhatItHolds) {
  struct CutFile {
    const char* Name;
    int32_t Fid;
    bool BottomUp;
  };
  const std::string dir = test::MakeTempDir("cut");
  for (const CutFile& file : {CutFile{"nb_rgb_rle.tga", fidTGA, true}, CutFile{"nb_cmap_rle.tga", fidTGA, true},
                              CutFile{"ff_bgr24_rle.tga", fidTGA, false}, CutFile{"ff_bgra_rle.tga", fidTGA, false},
                              CutFile{"nb_24.pcx", fidPCX, false}, CutFile{"ff_24.pcx", fidPCX, false},
                              CutFile{"nb_4planes.pcx", fidPCX, false}, CutFile{"ff_1.pcx", fidPCX, false},
                              CutFile{"im_8_rle.bmp", fidBMP, true}}) {
    const std::string bytes = Bytes(Media(file.Name));
    Qimg whole, img;
    ASSERT_EQ(Outcome([&] { Load(file.Fid, Media(file.Name), whole); }).first, 0);
    const int64_t rowBytes = static_cast<int64_t>(whole.Width) * whole.BytesPP;
    // Where the packed data begins: after the header (and a TGA's identification and map).
    const auto byte = [&](size_t at) { return static_cast<size_t>(static_cast<uint8_t>(bytes[at])); };
    size_t data = 128;
    if (file.Fid == fidTGA) data = 18 + byte(0) + (byte(5) | byte(6) << 8) * ((byte(7) + 7) / 8);
    if (file.Fid == fidBMP) data = byte(10) | byte(11) << 8;
    for (int tenths : {4, 6, 8}) {
      for (size_t extra = 0; extra < 4; ++extra) {
        const size_t cut = data + (bytes.size() - data) * tenths / 10 + extra;
        SCOPED_TRACE(std::string(file.Name) + " cut at " + std::to_string(cut));
        const std::string path = dir + "/" + file.Name;
        test::WriteFile(path, bytes.substr(0, cut));
        int32_t failed = -1;
        EXPECT_EQ(test::CountWarnings(ecImage, [&] { failed = Outcome([&] { Load(file.Fid, path, img); }).first; }), 1);
        ASSERT_EQ(failed, 0) << GetErrorMessage();
        ASSERT_EQ(img.Size, whole.Size);
        EXPECT_EQ(img.Palette, whole.Palette);
        int32_t r = 0;
        while (r < img.Height && std::memcmp(FileRow(img, r, file.BottomUp), FileRow(whole, r, file.BottomUp),
                                             static_cast<size_t>(rowBytes)) == 0)
          ++r;
        EXPECT_GE(r, img.Height * tenths / 20) << "too few rows shown";
        EXPECT_LT(r, img.Height);
        for (int32_t z = r + 1; z < img.Height; ++z) {
          const uint8_t* row = FileRow(img, z, file.BottomUp);
          ASSERT_TRUE(std::all_of(row, row + rowBytes, [](uint8_t v) { return v == 0; })) << "row " << z;
        }
      }
    }
    ImgFree(img);
    ImgFree(whole);
  }
}

// Truncated copies of every real file are refused, but for cuts inside packed data (shown as far
// as they go, above); copies with bytes changed anywhere load or are refused, but never read or
// write outside their buffers (the sanitizer build checks that).
TEST_F(Codecs, TruncatedAndCorruptedFilesGiveErrorsNotCrashes) {
  const std::string dir = test::MakeTempDir("hostile");
  std::mt19937 random(20261208);
  const int32_t memBefore = MemCount();
  for (const RealFile& file : kRealFiles) {
    SCOPED_TRACE(file.Name);
    const std::string bytes = Bytes(Media(file.Name));
    const std::string path = dir + "/" + file.Name;
    Qimg img;
    for (size_t cut : {size_t{0}, size_t{1}, size_t{2}, size_t{10}, size_t{17}, size_t{30}, size_t{60},
                       size_t{127}, size_t{200}, bytes.size() / 2, bytes.size() - 60}) {
      if (cut >= bytes.size()) continue;
      test::WriteFile(path, bytes.substr(0, cut));
      bool failed = false;
      const int warnings =
          test::CountWarnings(ecImage, [&] { failed = Outcome([&] { Load(file.Fid, path, img); }).first != 0; });
      EXPECT_TRUE(failed || warnings == 1) << "cut at " << cut;
    }
    for (int round = 0; round < 200; ++round) {
      std::string bad = bytes;
      const int changes = 1 + static_cast<int>(random() % 4);
      for (int c = 0; c < changes; ++c) {
        // Most changes hit the headers, where sizes and offsets live.
        const size_t at = random() % 3 == 0 ? random() % bad.size() : random() % std::min<size_t>(bad.size(), 140);
        bad[at] = static_cast<char>(random() & 255);
      }
      test::WriteFile(path, bad);
      Outcome([&] { Load(file.Fid, path, img); });
      if (ImgAssigned(img)) {
        EXPECT_LE(static_cast<int64_t>(img.Width) * img.Height, 2000000000);
      }
    }
    ImgFree(img);
  }
  EXPECT_EQ(MemCount(), memBefore);  // failed loads leave nothing tracked behind
}

}  // namespace
}  // namespace tavelo
