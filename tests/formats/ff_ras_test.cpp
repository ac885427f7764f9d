// Sun raster unit: fixtures of ImageMagick, netpbm and FFmpeg against FFmpeg's and netpbm's
// decode, colour maps of every length, the run-length code, round trips and damaged files.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/services/memory.h"
#include "formats/units/ff_ras.h"
#include "tests/formats/own_pictures_util.h"

namespace tavelo {
namespace {

using test::Bytes;
using test::ErrPair;
using test::TryWork;

std::string Be32(uint32_t v) {
  return std::string{static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8), static_cast<char>(v)};
}

std::string RasFile(uint32_t w, uint32_t h, uint32_t depth, uint32_t type, uint32_t mapType, const std::string& map,
                    const std::string& data) {
  return Be32(kRasMagic) + Be32(w) + Be32(h) + Be32(depth) + Be32(static_cast<uint32_t>(data.size())) + Be32(type) +
         Be32(mapType) + Be32(static_cast<uint32_t>(map.size())) + map + data;
}

ErrPair Decode(const std::string& file, Qimg& img) {
  return TryWork([&] { RASDecode_(Bytes(file), static_cast<int64_t>(file.size()), img); });
}

TEST(RasFixtures, DecodeLikeFFmpegAndNetpbm) {
  const int32_t memAtStart = MemCount();  // what earlier work left is not this test's
  for (const test::Fixture& f : test::ReadManifest("sunras")) {
    SCOPED_TRACE(f.Name);
    Qimg img;
    const ErrPair e = TryWork([&] { RASLoad(test::MediaPath("sunras/" + f.Name), img); });
    if (f.Unsupported) {
      EXPECT_EQ(e, (ErrPair{7, 1}));  // 1-bit files are not read
      continue;
    }
    ASSERT_EQ(e, (ErrPair{0, 0}));
    for (const auto& [layout, file] : f.Refs) {
      SCOPED_TRACE(file);
      EXPECT_EQ(test::CompareWithRef(img, layout, test::ReadFile(test::MediaPath("sunras/" + file))), "");
    }
    ImgFree(img);
  }
  EXPECT_EQ(MemCount(), memAtStart);
}

TEST(RasFixtures, ImageMagicksAlphaStaysInTheFourthByte) {
  Qimg img;
  ASSERT_EQ(TryWork([&] { RASLoad(test::MediaPath("sunras/im-main-32.ras"), img); }), (ErrPair{0, 0}));
  ASSERT_EQ(img.Bpp, 32);
  // The source's alpha runs from white (opaque) at the top to black at the bottom.
  EXPECT_EQ(img.Data[3], 255);
  EXPECT_EQ(img.Data[img.Size - 1], 0);
  ImgFree(img);
}

TEST(RasDecode, ColourMapsOfAnyLengthAndKind) {
  Qimg img;
  // Two entries per plane (6 bytes): the data follows right after the short map.
  ASSERT_EQ(Decode(RasFile(2, 1, 8, 1, 1, std::string("\x10\x20\x30\x40\x50\x60", 6), std::string("\x01\x00", 2)), img),
            (ErrPair{0, 0}));
  EXPECT_EQ(std::vector<uint8_t>(img.Data, img.Data + 2), (std::vector<uint8_t>{1, 0}));
  EXPECT_EQ(test::PictureRgba(img, 0, 0).R, 0x20);
  EXPECT_EQ(test::PictureRgba(img, 0, 0).G, 0x40);
  EXPECT_EQ(test::PictureRgba(img, 0, 0).B, 0x60);
  EXPECT_EQ(test::PictureRgba(img, 1, 0).R, 0x10);
  // A map of 300 entries per plane: planes at their stated stride, the first 256 entries used.
  std::string big(900, '\0');
  big[255] = 7, big[300 + 255] = 8, big[600 + 255] = 9;
  ASSERT_EQ(Decode(RasFile(1, 1, 8, 1, 1, big, std::string("\xFF\x00", 2)), img), (ErrPair{0, 0}));
  EXPECT_EQ(test::PictureRgba(img, 0, 0).R, 7);
  EXPECT_EQ(test::PictureRgba(img, 0, 0).G, 8);
  EXPECT_EQ(test::PictureRgba(img, 0, 0).B, 9);
  // A raw map (kind 2) is skipped; without a usable map an 8-bit picture is grey.
  ASSERT_EQ(Decode(RasFile(1, 1, 8, 1, 2, "xyz", std::string("\x42\x00", 2)), img), (ErrPair{0, 0}));
  EXPECT_EQ(img.Data[0], 0x42);
  EXPECT_EQ(test::PictureRgba(img, 0, 0).R, 0x42);
  // A 24-bit file's map is skipped too.
  ASSERT_EQ(Decode(RasFile(1, 1, 24, 1, 1, std::string(6, 'm'), std::string("\x01\x02\x03\x00", 4)), img),
            (ErrPair{0, 0}));
  EXPECT_EQ(std::vector<uint8_t>(img.Data, img.Data + 3), (std::vector<uint8_t>{1, 2, 3}));
  // A map longer than the file.
  std::string cut = RasFile(1, 1, 8, 1, 1, "", "");
  cut.replace(28, 4, Be32(768));
  EXPECT_EQ(Decode(cut, img), (ErrPair{6, 3}));
  ImgFree(img);
}

TEST(RasDecode, PixelOrdersAndPadding) {
  Qimg img;
  // 3-pixel 8-bit rows hold one pad byte.
  ASSERT_EQ(Decode(RasFile(3, 2, 8, 1, 0, "", std::string("\x01\x02\x03\xEE\x04\x05\x06\xEE", 8)), img), (ErrPair{0, 0}));
  EXPECT_EQ(std::vector<uint8_t>(img.Data, img.Data + 6), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6}));
  // A file of exactly unpadded rows is read unpadded.
  ASSERT_EQ(Decode(RasFile(3, 2, 8, 1, 0, "", std::string("\x01\x02\x03\x04\x05\x06", 6)), img), (ErrPair{0, 0}));
  EXPECT_EQ(std::vector<uint8_t>(img.Data, img.Data + 6), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6}));
  // Padded rows cut short are an error, not a picture of shifted rows.
  EXPECT_EQ(Decode(RasFile(3, 3, 8, 1, 0, "", std::string("\x01\x02\x03\xEE\x04\x05\x06\xEE\x07\x08", 10)), img),
            (ErrPair{6, 3}));
  // Type 3 holds R, G, B; type 1 B, G, R; 32-bit pixels are X, B, G, R.
  ASSERT_EQ(Decode(RasFile(1, 1, 24, 3, 0, "", std::string("\x0A\x0B\x0C\x00", 4)), img), (ErrPair{0, 0}));
  EXPECT_EQ(std::vector<uint8_t>(img.Data, img.Data + 3), (std::vector<uint8_t>{0x0C, 0x0B, 0x0A}));
  ASSERT_EQ(Decode(RasFile(1, 1, 32, 1, 0, "", std::string("\x80\x01\x02\x03", 4)), img), (ErrPair{0, 0}));
  EXPECT_EQ(std::vector<uint8_t>(img.Data, img.Data + 4), (std::vector<uint8_t>{1, 2, 3, 0x80}));
  ASSERT_EQ(Decode(RasFile(1, 1, 32, 3, 0, "", std::string("\x80\x01\x02\x03", 4)), img), (ErrPair{0, 0}));
  EXPECT_EQ(std::vector<uint8_t>(img.Data, img.Data + 4), (std::vector<uint8_t>{3, 2, 1, 0x80}));
  ImgFree(img);
}

TEST(RasDecode, HeaderRules) {
  Qimg img;
  std::string bad = RasFile(1, 1, 24, 1, 0, "", "abcd");
  bad[0] = 0;
  EXPECT_EQ(Decode(bad, img), (ErrPair{7, 2}));
  EXPECT_EQ(Decode(RasFile(8, 1, 1, 1, 0, "", "ab"), img), (ErrPair{7, 1}));      // 1 bit
  EXPECT_EQ(Decode(RasFile(1, 1, 16, 1, 0, "", "ab"), img), (ErrPair{7, 1}));     // 16 bits
  EXPECT_EQ(Decode(RasFile(1, 1, 24, 4, 0, "", "abcd"), img), (ErrPair{7, 1}));   // type 4
  EXPECT_EQ(Decode(RasFile(0, 1, 24, 1, 0, "", ""), img), (ErrPair{5, 5}));       // no width
  EXPECT_EQ(Decode(RasFile(0xFFFFFFFFu, 0xFFFFFFFFu, 24, 2, 0, "", "\x80\xFF\x01"), img), (ErrPair{5, 5}));
  EXPECT_EQ(Decode(RasFile(1, 1, 24, 1, 0, "", "").substr(0, 20), img), (ErrPair{6, 3}));
  ImgFree(img);
}

TEST(RasLoad, FilesLoadAsTheirBytesDecode) {
  // The load reads the header, the map and the pixels of a file by themselves (plain rows
  // straight into the picture); every outcome and every pixel must be what decoding the whole
  // file from memory gives.
  std::string bigMap(900, '\0');
  bigMap[255] = 7, bigMap[300 + 255] = 8, bigMap[600 + 255] = 9;
  std::string wide;
  for (int i = 0; i < 600 * 3; ++i) wide += static_cast<char>(i * 7);
  std::string badMagic = RasFile(1, 1, 24, 1, 0, "", "abcd");
  badMagic[0] = 0;
  std::string longMap = RasFile(1, 1, 8, 1, 1, "", "");
  longMap.replace(28, 4, Be32(768));
  const std::vector<std::string> files = {
      RasFile(2, 1, 8, 1, 1, std::string("\x10\x20\x30\x40\x50\x60", 6), std::string("\x01\x00", 2)),
      RasFile(1, 1, 8, 1, 1, bigMap, std::string("\xFF\x00", 2)),
      RasFile(1, 1, 8, 1, 2, "xyz", std::string("\x42\x00", 2)),
      RasFile(1, 1, 8, 1, 1, "ab", std::string("\x42\x00", 2)),  // a map too short for one entry
      RasFile(1, 1, 24, 1, 1, std::string(6, 'm'), std::string("\x01\x02\x03\x00", 4)),
      RasFile(3, 2, 8, 1, 0, "", std::string("\x01\x02\x03\xEE\x04\x05\x06\xEE", 8)),
      RasFile(3, 2, 8, 1, 0, "", std::string("\x01\x02\x03\x04\x05\x06", 6)),
      RasFile(3, 3, 8, 1, 0, "", std::string("\x01\x02\x03\xEE\x04\x05\x06\xEE\x07\x08", 10)),
      RasFile(200, 3, 24, 1, 0, "", wide),
      RasFile(200, 3, 24, 3, 0, "", wide),
      RasFile(150, 3, 32, 1, 0, "", wide),
      RasFile(150, 3, 32, 3, 0, "", wide),
      RasFile(3, 2, 8, 2, 1, std::string("\x10\x20\x30", 3), std::string("\x80\x07\x05", 3)),
      RasFile(3, 2, 8, 2, 0, "", std::string("\x80\x03", 2)),  // run-length data cut short
      badMagic,
      RasFile(1, 1, 24, 4, 0, "", "abcd"),
      RasFile(0, 1, 24, 1, 0, "", ""),
      longMap,
      RasFile(1, 1, 24, 1, 0, "", "").substr(0, 20),
  };
  const std::string path = test::MakeTempDir("ras") + "/f.ras";
  for (size_t i = 0; i < files.size(); ++i) {
    SCOPED_TRACE(i);
    test::WriteFile(path, files[i]);
    Qimg fromMemory, fromFile;
    const ErrPair expect = Decode(files[i], fromMemory);
    ASSERT_EQ(TryWork([&] { RASLoad(path, fromFile); }), expect);
    if (expect.cls == 0) {
      ASSERT_EQ(fromFile.Size, fromMemory.Size);
      EXPECT_EQ(fromFile.Bpp, fromMemory.Bpp);
      EXPECT_EQ(0, std::memcmp(fromFile.Data, fromMemory.Data, static_cast<size_t>(fromFile.Size)));
      EXPECT_EQ(fromFile.Palette, fromMemory.Palette);
    }
    ImgFree(fromMemory);
    ImgFree(fromFile);
  }
}

TEST(RasRle, DecoderFollowsTheStreamOverPadBytes) {
  std::vector<uint8_t> out(6, 0xEE);
  // 3-byte rows, stride 4: a run of 5 covers row 0, its pad and two bytes of row 1.
  const uint8_t stream[] = {0x80, 4, 9, 0x80, 0, 0x07, 0x00};
  ASSERT_TRUE(RasDecodeRle(stream, sizeof stream, out.data(), 3, 4, 2));
  EXPECT_EQ(out, (std::vector<uint8_t>{9, 9, 9, 9, 0x80, 7}));
  // The stream ends before the last row's pad byte.
  EXPECT_FALSE(RasDecodeRle(stream, sizeof stream - 1, out.data(), 3, 4, 2));
  // A run longer than the picture stops at its end.
  const uint8_t longRun[] = {0x80, 255, 1};
  ASSERT_TRUE(RasDecodeRle(longRun, sizeof longRun, out.data(), 3, 4, 1));
  // Escapes cut after 0x80 or after the count.
  const uint8_t cut1[] = {0x80};
  const uint8_t cut2[] = {0x80, 3};
  EXPECT_FALSE(RasDecodeRle(cut1, 1, out.data(), 3, 4, 1));
  EXPECT_FALSE(RasDecodeRle(cut2, 2, out.data(), 3, 4, 1));
}

TEST(RasRle, EncoderRunsAndEscapes) {
  std::vector<uint8_t> out(700);
  const std::vector<uint8_t> same(300, 5);
  ASSERT_EQ(RasEncodeRow(300, out.data(), same.data()), 6);
  EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + 6), (std::vector<uint8_t>{0x80, 255, 5, 0x80, 43, 5}));
  const uint8_t mixed[] = {0x80, 1, 2, 2, 0x80, 0x80};
  ASSERT_EQ(RasEncodeRow(6, out.data(), mixed), 9);
  EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + 9), (std::vector<uint8_t>{0x80, 0, 1, 0x80, 1, 2, 0x80, 1, 0x80}));
  // The worst case, lone 0x80 bytes, takes two bytes each.
  const std::vector<uint8_t> escapes = {0x80, 0x7F, 0x80, 0x7F};
  EXPECT_EQ(RasEncodeRow(4, out.data(), escapes.data()), 6);
}

void FillPattern(Qimg& img, int32_t w, int32_t h, int32_t bpp) {
  ImgAlloc(img, w, h, bpp);
  for (int64_t i = 0; i < img.Size; ++i) img.Data[i] = static_cast<uint8_t>(i % 11 < 6 ? 0x80 : i * 29);
  for (int i = 0; i < 768; ++i) img.Palette[i] = static_cast<uint8_t>(i * 7);
}

TEST(RasRoundTrip, ExactAtNarrowAndWideSizes) {
  const int32_t memAtStart = MemCount();  // what earlier work left is not this test's
  const std::string dir = test::MakeTempDir("ras");
  for (int32_t bpp : {8, 24, 32})
    for (int32_t w : {1, 2, 3, 300})
      for (int32_t compress : {0, 1}) {
        SCOPED_TRACE("bpp " + std::to_string(bpp) + " width " + std::to_string(w) + " rle " + std::to_string(compress));
        Qimg src, back;
        FillPattern(src, w, 4, bpp);
        const std::string name = dir + "/t.ras";
        ASSERT_EQ(TryWork([&] { RASWritePrepared_(name, src, compress); }), (ErrPair{0, 0}));
        ASSERT_EQ(TryWork([&] { RASLoad(name, back); }), (ErrPair{0, 0}));
        ASSERT_EQ(back.Bpp, bpp);
        EXPECT_EQ(std::vector<uint8_t>(back.Data, back.Data + back.Size), std::vector<uint8_t>(src.Data, src.Data + src.Size));
        if (bpp == 8) {
          EXPECT_EQ(back.Palette, src.Palette);
        }
        ImgFree(src);
        ImgFree(back);
      }
  EXPECT_EQ(MemCount(), memAtStart);
}

TEST(RasRoundTrip, OddRowsKeepTheirPadByteAndOthersReadUs) {
  const std::string dir = test::MakeTempDir("ras-ff");
  for (int32_t compress : {0, 1}) {
    Qimg src;
    FillPattern(src, 3, 2, 8);
    const std::string name = dir + "/odd.ras";
    ASSERT_EQ(TryWork([&] { RASWritePrepared_(name, src, compress); }), (ErrPair{0, 0}));
    const std::string file = test::ReadFile(name);
    if (!compress) {
      EXPECT_EQ(file.size(), 32u + 768u + 2u * 4u);  // 3-byte rows, stride 4
    }
    const std::string raw = dir + "/odd.raw";
    ASSERT_EQ(std::system(("ffmpeg -v error -y -i " + name + " -f rawvideo -pix_fmt rgb24 " + raw).c_str()), 0)
        << "ffmpeg is needed (scripts/install-deps.sh)";
    EXPECT_EQ(test::CompareWithRef(src, "rgb", test::ReadFile(raw)), "");
    ASSERT_EQ(std::system(("rasttopnm " + name + " 2>/dev/null | pamtopnm > " + dir + "/odd.ppm").c_str()), 0)
        << "netpbm is needed (scripts/install-deps.sh)";
    const std::string ppm = test::ReadFile(dir + "/odd.ppm");
    EXPECT_EQ(test::CompareWithRef(src, "rgb", ppm.substr(ppm.size() - 18)), "");
    ImgFree(src);
  }
}

TEST(RasHostile, TruncatedFixturesFailAndDamagedOnesNeverCrash) {
  const int32_t memAtStart = MemCount();  // what earlier work left is not this test's
  for (const test::Fixture& f : test::ReadManifest("sunras")) {
    if (f.Unsupported) continue;
    SCOPED_TRACE(f.Name);
    const std::string file = test::ReadFile(test::MediaPath("sunras/" + f.Name));
    const int64_t size = static_cast<int64_t>(file.size());
    // A plain file needs no pad byte after its last row, and a file of exactly the unpadded rows
    // reads as such: cuts there lose nothing, or cannot be told from a real file.
    auto be32 = [&](int at) {
      return static_cast<int64_t>(static_cast<uint8_t>(file[at])) << 24 | static_cast<uint8_t>(file[at + 1]) << 16 |
             static_cast<uint8_t>(file[at + 2]) << 8 | static_cast<uint8_t>(file[at + 3]);
    };
    const int64_t r = be32(4) * be32(12) / 8, s = (r + 1) & ~1, h = be32(8), data = 32 + be32(28);
    const bool plain = be32(20) != 2;
    for (int64_t cut : {int64_t{0}, int64_t{20}, int64_t{31}, int64_t{32}, int64_t{40}, size / 2, size * 3 / 4, size - 2,
                        size - 1}) {
      if (cut < 0 || cut >= size) continue;
      if (plain && (cut >= data + s * (h - 1) + r || cut == data + r * h)) continue;
      Qimg img;
      EXPECT_NE(Decode(file.substr(0, static_cast<size_t>(cut)), img), (ErrPair{0, 0})) << "cut at " << cut;
      ImgFree(img);
    }
    int n = 0;
    for (const std::string& bad : test::Corrupted(file, 60, 23, 0)) {
      Qimg img;
      if (Decode(bad, img) == ErrPair{0, 0}) {
        EXPECT_GT(img.Width * img.Height, 0) << "variant " << n;
      }
      ImgFree(img);
      ++n;
    }
    EXPECT_EQ(MemCount(), memAtStart);
  }
}

}  // namespace
}  // namespace tavelo
