// SGI unit: fixtures of ImageMagick and netpbm against FFmpeg's and netpbm's decode, round trips,
// the run-length row encoder, header rules and damaged files.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "core/services/memory.h"
#include "formats/units/ff_sgi.h"
#include "tests/formats/own_pictures_util.h"

namespace tavelo {
namespace {

using test::Bytes;
using test::ErrPair;
using test::TryWork;

// A hand-made SGI file: header fields, then body (tables and rows, or planes).
std::string SgiFile(int storage, int bpc, int dimension, int x, int y, int z, const std::string& body, int colormap = 0) {
  std::string h(512, '\0');
  auto be16 = [&](size_t at, int v) {
    h[at] = static_cast<char>(v >> 8);
    h[at + 1] = static_cast<char>(v);
  };
  be16(0, 474);
  h[2] = static_cast<char>(storage);
  h[3] = static_cast<char>(bpc);
  be16(4, dimension);
  be16(6, x);
  be16(8, y);
  be16(10, z);
  h[107] = static_cast<char>(colormap);
  return h + body;
}

std::string Be32(uint32_t v) {
  return std::string{static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8), static_cast<char>(v)};
}

ErrPair Decode(const std::string& file, Qimg& img) {
  return TryWork([&] { SGIDecode_(Bytes(file), static_cast<int64_t>(file.size()), img); });
}

TEST(SgiFixtures, DecodeLikeFFmpegAndNetpbm) {
  const int32_t memAtStart = MemCount();  // what earlier work left is not this test's
  for (const test::Fixture& f : test::ReadManifest("sgi")) {
    SCOPED_TRACE(f.Name);
    Qimg img;
    ASSERT_EQ(TryWork([&] { SGILoad(test::MediaPath("sgi/" + f.Name), img); }), (ErrPair{0, 0}));
    const bool gray = f.Refs[0].first.rfind("gray", 0) == 0;
    const bool alpha = f.Refs[0].first.rfind("rgba", 0) == 0;
    EXPECT_EQ(img.Bpp, gray ? 8 : alpha ? 32 : 24);
    for (const auto& [layout, file] : f.Refs) {
      SCOPED_TRACE(file);
      EXPECT_EQ(test::CompareWithRef(img, layout, test::ReadFile(test::MediaPath("sgi/" + file))), "");
    }
    ImgFree(img);
  }
  EXPECT_EQ(MemCount(), memAtStart);
}

TEST(SgiFixtures, GreyLoadsWithGreyPaletteAndDimensionRule) {
  // ImageMagick writes grey files with dimension 2; the zsize in the header then does not count.
  std::string file = test::ReadFile(test::MediaPath("sgi/im-gray-raw.sgi"));
  ASSERT_EQ(file[5], 2);
  Qimg img;
  ASSERT_EQ(Decode(file, img), (ErrPair{0, 0}));
  EXPECT_EQ(img.Bpp, 8);
  for (int i = 0; i < 256; ++i) ASSERT_EQ(img.Palette[3 * i + 1], i);
  file[11] = 3;  // a zsize of 3 is still one channel with dimension 2
  Qimg again;
  ASSERT_EQ(Decode(file, again), (ErrPair{0, 0}));
  EXPECT_EQ(again.Bpp, 8);
  ImgFree(img);
  ImgFree(again);
}

TEST(SgiDecode, TwoChannelsLoadAsGreyWithAlpha) {
  // 2 x 1 pixels, grey plane then alpha plane, two-byte samples: the high byte counts.
  const std::string planes = std::string("\x10\x99\xF0\x01", 4) + std::string("\x80\x00\x20\xFF", 4);
  Qimg img;
  ASSERT_EQ(Decode(SgiFile(0, 2, 3, 2, 1, 2, planes), img), (ErrPair{0, 0}));
  ASSERT_EQ(img.Bpp, 32);
  const std::vector<uint8_t> want = {0x10, 0x10, 0x10, 0x80, 0xF0, 0xF0, 0xF0, 0x20};
  EXPECT_EQ(std::vector<uint8_t>(img.Data, img.Data + 8), want);
  ImgFree(img);
}

TEST(SgiDecode, RowsRunBottomUpAndChannelsGoToTheirBytes) {
  // 1 x 2 pixels, 4 channels, plain: bottom row first in each plane.
  const std::string planes("\x01\x02" "\x03\x04" "\x05\x06" "\x07\x08", 8);
  Qimg img;
  ASSERT_EQ(Decode(SgiFile(0, 1, 3, 1, 2, 4, planes), img), (ErrPair{0, 0}));
  ASSERT_EQ(img.Bpp, 32);
  // Top row = file row 1: R 2, G 4, B 6, A 8 as B, G, R, A.
  const std::vector<uint8_t> want = {6, 4, 2, 8, 5, 3, 1, 7};
  EXPECT_EQ(std::vector<uint8_t>(img.Data, img.Data + 8), want);
  ImgFree(img);
}

// A one-row, one-channel run-length file whose row is the given packets.
std::string RleRow(const std::string& packets, int width, uint32_t start = 520, int64_t length = -1) {
  return SgiFile(1, 1, 2, width, 1, 1, Be32(start) + Be32(length < 0 ? static_cast<uint32_t>(packets.size()) : static_cast<uint32_t>(length)) + packets);
}

TEST(SgiDecode, RunLengthRowsAreCheckedAgainstTheFile) {
  const int32_t memAtStart = MemCount();  // what earlier work left is not this test's
  Qimg img;
  // Literal 2, run of 3 x 9, end: 5 samples.
  ASSERT_EQ(Decode(RleRow(std::string("\x82\x01\x02\x03\x09\x00", 6), 5), img), (ErrPair{0, 0}));
  EXPECT_EQ(std::vector<uint8_t>(img.Data, img.Data + 5), (std::vector<uint8_t>{1, 2, 9, 9, 9}));
  // A stated length beyond the end of the file.
  EXPECT_EQ(Decode(RleRow(std::string("\x82\x01\x02\x03\x09\x00", 6), 5, 520, 0xFFFFFFF0u), img), (ErrPair{7, 3}));
  // A row start beyond the end of the file.
  EXPECT_EQ(Decode(RleRow(std::string("\x82\x01\x02\x03\x09\x00", 6), 5, 0xFFFFFF00u), img), (ErrPair{7, 3}));
  // A row that ends before the picture's width.
  EXPECT_EQ(Decode(RleRow(std::string("\x82\x01\x02\x00", 4), 5), img), (ErrPair{7, 3}));
  // A literal packet that claims more bytes than the row holds.
  EXPECT_EQ(Decode(RleRow(std::string("\x85\x01\x02", 3), 5), img), (ErrPair{7, 3}));
  ImgFree(img);
  EXPECT_EQ(MemCount(), memAtStart);
}

TEST(SgiDecode, HeaderRules) {
  Qimg img;
  std::string good = SgiFile(0, 1, 3, 1, 1, 3, "abc");
  EXPECT_EQ(Decode(good, img), (ErrPair{0, 0}));
  std::string bad = good;
  bad[1] = 0;
  EXPECT_EQ(Decode(bad, img), (ErrPair{7, 2}));  // magic
  EXPECT_EQ(Decode(SgiFile(0, 3, 3, 1, 1, 3, "abc"), img), (ErrPair{7, 1}));          // 3 bytes a sample
  EXPECT_EQ(Decode(SgiFile(2, 1, 3, 1, 1, 3, "abc"), img), (ErrPair{7, 1}));          // storage 2
  EXPECT_EQ(Decode(SgiFile(0, 1, 3, 1, 1, 5, "abcde"), img), (ErrPair{7, 1}));        // 5 channels
  EXPECT_EQ(Decode(SgiFile(0, 1, 4, 1, 1, 3, "abc"), img), (ErrPair{7, 1}));          // dimension 4
  EXPECT_EQ(Decode(SgiFile(0, 1, 3, 1, 1, 3, "abc", 1), img), (ErrPair{7, 1}));       // colour map
  EXPECT_EQ(Decode(SgiFile(0, 1, 3, 2, 1, 3, "abc"), img), (ErrPair{6, 3}));          // planes cut short
  EXPECT_EQ(Decode(good.substr(0, 100), img), (ErrPair{6, 3}));                       // header cut short
  EXPECT_EQ(Decode(SgiFile(1, 1, 3, 1, 300, 3, ""), img), (ErrPair{6, 3}));           // tables cut short
  EXPECT_EQ(Decode(SgiFile(0, 1, 3, 0, 1, 3, ""), img), (ErrPair{5, 5}));             // no width
  ImgFree(img);
}

TEST(SgiEncode, RowEncoderPacketsAndRoom) {
  std::vector<uint8_t> out(700);
  const std::vector<uint8_t> same(300, 7);
  ASSERT_EQ(SGIEncodeRow_(same.data(), 300, 1, out.data()), 7);
  EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + 7), (std::vector<uint8_t>{126, 7, 126, 7, 48, 7, 0}));
  // Literal stretches are cut at 125 bytes.
  std::vector<uint8_t> ramp(300);
  for (int i = 0; i < 300; ++i) ramp[i] = static_cast<uint8_t>(i);
  const int32_t n = SGIEncodeRow_(ramp.data(), 300, 1, out.data());
  EXPECT_EQ(n, 300 + 3 + 1);
  EXPECT_EQ(out[0], 0x80 + 125);
  EXPECT_EQ(out[126], 0x80 + 125);
  EXPECT_EQ(out[252], 0x80 + 50);
  // A single sample needs 3 bytes; the writer's buffer of 2 x width + 2 holds every row: a
  // literal sample between runs of two is the worst case.
  EXPECT_EQ(SGIEncodeRow_(ramp.data(), 1, 1, out.data()), 3);
  std::vector<uint8_t> worst;
  for (int i = 0; i < 100; ++i) worst.insert(worst.end(), {static_cast<uint8_t>(i), 200, 200});
  EXPECT_LE(SGIEncodeRow_(worst.data(), 300, 1, out.data()), 2 * 300 + 2);
  // The stride picks one channel out of pixels.
  const uint8_t pixels[] = {1, 9, 9, 2, 9, 9, 2, 9, 9};
  ASSERT_EQ(SGIEncodeRow_(pixels, 3, 3, out.data()), 5);
  EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + 5), (std::vector<uint8_t>{0x81, 1, 2, 2, 0}));
}

void FillPattern(Qimg& img, int32_t w, int32_t h, int32_t bpp) {
  ImgAlloc(img, w, h, bpp);
  for (int64_t i = 0; i < img.Size; ++i) img.Data[i] = static_cast<uint8_t>((i * 37 + i / 7) % 256 < 128 ? 200 : i * 13);
}

TEST(SgiRoundTrip, ExactAtNarrowAndWideSizes) {
  const int32_t memAtStart = MemCount();  // what earlier work left is not this test's
  const std::string dir = test::MakeTempDir("sgi");
  for (int32_t bpp : {24, 32})
    for (int32_t w : {1, 2, 3, 300})
      for (int32_t codec : {0, 1}) {
        SCOPED_TRACE("bpp " + std::to_string(bpp) + " width " + std::to_string(w) + " codec " + std::to_string(codec));
        Qimg src, back;
        FillPattern(src, w, 5, bpp);
        const std::string name = dir + "/t.sgi";
        ASSERT_EQ(TryWork([&] { SGIWritePrepared_(name, src, codec); }), (ErrPair{0, 0}));
        ASSERT_EQ(TryWork([&] { SGILoad(name, back); }), (ErrPair{0, 0}));
        ASSERT_EQ(back.Bpp, bpp);
        EXPECT_EQ(std::vector<uint8_t>(back.Data, back.Data + back.Size), std::vector<uint8_t>(src.Data, src.Data + src.Size));
        ImgFree(src);
        ImgFree(back);
      }
  EXPECT_EQ(MemCount(), memAtStart);
}

TEST(SgiRoundTrip, FFmpegReadsWhatWeWrite) {
  const std::string dir = test::MakeTempDir("sgi-ff");
  for (int32_t codec : {0, 1}) {
    Qimg src;
    FillPattern(src, 300, 7, 24);
    const std::string name = dir + "/w.sgi";
    ASSERT_EQ(TryWork([&] { SGIWritePrepared_(name, src, codec); }), (ErrPair{0, 0}));
    const std::string raw = dir + "/w.raw";
    ASSERT_EQ(std::system(("ffmpeg -v error -y -i " + name + " -f rawvideo -pix_fmt rgb24 " + raw).c_str()), 0)
        << "ffmpeg is needed (scripts/install-deps.sh)";
    EXPECT_EQ(test::CompareWithRef(src, "rgb", test::ReadFile(raw)), "");
    ImgFree(src);
  }
}

TEST(SgiSave, SizesBeyondTheHeaderAreRefused) {
  Qimg src;
  ImgAlloc(src, 70000, 1, 24);
  const std::string name = test::MakeTempDir("sgi-big") + "/big.sgi";
  EXPECT_EQ(TryWork([&] { SGIWritePrepared_(name, src, 1); }), (ErrPair{7, 11}));
  ImgFree(src);
}

TEST(SgiHostile, TruncatedFixturesFailAndDamagedOnesNeverCrash) {
  const int32_t memAtStart = MemCount();  // what earlier work left is not this test's
  for (const test::Fixture& f : test::ReadManifest("sgi")) {
    SCOPED_TRACE(f.Name);
    const std::string file = test::ReadFile(test::MediaPath("sgi/" + f.Name));
    const int64_t size = static_cast<int64_t>(file.size());
    for (int64_t cut : {int64_t{0}, int64_t{50}, int64_t{107}, int64_t{108}, int64_t{511}, int64_t{600}, size / 2,
                        size * 3 / 4, size - 2, size - 1}) {
      if (cut < 0 || cut >= size) continue;
      Qimg img;
      EXPECT_NE(Decode(file.substr(0, static_cast<size_t>(cut)), img), (ErrPair{0, 0})) << "cut at " << cut;
      ImgFree(img);
    }
    int n = 0;
    for (const std::string& bad : test::Corrupted(file, 60, 17, 0)) {
      Qimg img;
      const ErrPair e = Decode(bad, img);
      if (e == ErrPair{0, 0}) {
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
