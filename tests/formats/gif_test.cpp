#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <random>
#include <thread>

#include "core/services/errors.h"
#include "core/services/files.h"
#include "core/services/memory.h"
#include "formats/conform.h"
#include "formats/ff_codec_libs.h"
#include "formats/ff_tables.h"
#include "formats/units/ff_gif.h"
#include "platform/dynlib/dynlib.h"
#include "tests/formats/anim_test_util.h"
#include "tests/formats/ffmpeg_frames.h"
#include "tests/formats/format_fixture.h"
#include "tests/formats/gif_maker.h"

namespace tavelo {
namespace {

using test::GifFrameSpec;
using test::MakeGif;
using test::Outcome;
using test::SolidFrame;

class Gif : public test::FormatTest {
 protected:
  // What the test process tracks already (a test run in one process shares the tables).
  void SetUp() override {
    test::FormatTest::SetUp();
    mem0_ = MemCount();
    files0_ = FCount();
  }
  int32_t mem0_ = 0, files0_ = 0;
  void TearDown() override {
    GIFDropCacheForTest();
    test::FormatTest::TearDown();
  }
  std::string Write(const std::string& name, const std::string& bytes) {
    if (dir_.empty()) dir_ = test::MakeTempDir("gif");
    const std::string path = dir_ + "/" + name;
    test::WriteFile(path, bytes);
    return path;
  }
  std::string dir_;
};

std::string Media(const std::string& name) { return test::MediaPath("gif/" + name); }

// A 4-colour palette: black, red, green, blue; then yellow, white, grey, purple.
std::vector<uint8_t> Pal8() {
  return {0, 0, 0, 255, 0, 0, 0, 255, 0, 0, 0, 255, 255, 255, 0, 255, 255, 255, 128, 128, 128, 128, 0, 128};
}
constexpr uint32_t kBlack = 0x000000, kRed = 0x0000FF, kGreen = 0x00FF00, kBlue = 0xFF0000, kYellow = 0x00FFFF;

// Reads every slot forward; returns the pictures as colours.
std::vector<std::vector<uint32_t>> ReadAll(const std::string& path) {
  std::vector<std::vector<uint32_t>> frames;
  GifHandle gif;
  GIFOpen(gif, path, false);
  Qimg img;
  for (int32_t f = 1; f <= gif.Frames; ++f) {
    GIFLoadNext(gif, img, nullptr);
    frames.push_back(test::Colours(img));
  }
  ImgFree(img);
  GIFClose(gif);
  return frames;
}

// ---------------------------------------------------------------------------------------------
// The LZW decoder on its own

std::vector<uint8_t> Tables() { return std::vector<uint8_t>(static_cast<size_t>(kGifLzwTableBytes)); }

int32_t Decode(const std::string& packed, std::vector<uint8_t>& out) {
  auto tables = Tables();
  return GIFDecodeLZW_(reinterpret_cast<const uint8_t*>(packed.data()), static_cast<int64_t>(packed.size()), out.data(),
                       static_cast<int64_t>(out.size()), tables.data());
}

TEST(GifLzw, RoundTripsEveryCodeSizeUpToTwelveBitsWithClears) {
  std::mt19937 rng(7);
  // Minimum sizes above 8 occur in real files: their pixels still have 8 bits at most.
  for (int minSize = 1; minSize <= 11; ++minSize) {
    // Noise fills the table quickly: the codes reach 12 bits and the encoder clears.
    std::vector<uint8_t> px(30000);
    const int colours = minSize == 1 ? 2 : 1 << std::min(minSize, 8);
    for (auto& v : px) v = static_cast<uint8_t>(rng() % colours);
    std::vector<uint8_t> out(px.size(), 0xEE);
    ASSERT_EQ(Decode(test::LzwEncode(px, minSize), out), 0) << minSize;
    EXPECT_EQ(out, px) << minSize;
  }
}

TEST(GifLzw, CodesStayAtTwelveBitsUntilAClear) {
  // The encoder never clears once the table is full: every later code is 12 bits wide and no
  // entry is added; the decoder must follow.
  std::mt19937 rng(11);
  std::vector<uint8_t> px(60000);
  for (auto& v : px) v = static_cast<uint8_t>(rng() % 256);
  std::vector<uint8_t> out(px.size());
  ASSERT_EQ(Decode(test::LzwEncode(px, 8, false), out), 0);
  EXPECT_EQ(out, px);
}

TEST(GifLzw, RefusesDamagedStreams) {
  std::vector<uint8_t> out(16);
  test::LzwBits b;
  // Minimum code sizes outside 1..11.
  b.Put(4096, 13);
  EXPECT_EQ(Decode(b.Packed(12), out), 9);
  EXPECT_EQ(Decode(test::LzwBits().Packed(0), out), 9);
  // A code past the next free entry (min 2: clear 4, end 5, next free 6 after the first code).
  test::LzwBits past;
  past.Put(4, 3);
  past.Put(1, 3);
  past.Put(7, 3);
  EXPECT_EQ(Decode(past.Packed(2), out), 9);
  // The first code after a clear that is no root code: nothing to build on.
  test::LzwBits lone;
  lone.Put(4, 3);
  lone.Put(6, 3);
  EXPECT_EQ(Decode(lone.Packed(2), out), 9);
  test::LzwBits loneFirst;  // the same without the clear
  loneFirst.Put(6, 3);
  EXPECT_EQ(Decode(loneFirst.Packed(2), out), 9);
  // Root codes past 255 (minimum size 11: roots up to 2047) are pixels no picture can hold,
  // first after a clear and later in the stream.
  for (int root : {256, 300, 2047}) {
    test::LzwBits wide;
    wide.Put(2048, 12);
    wide.Put(root, 12);
    EXPECT_EQ(Decode(wide.Packed(11), out), 9) << root;
    test::LzwBits later;
    later.Put(2048, 12);
    later.Put(7, 12);
    later.Put(root, 12);
    EXPECT_EQ(Decode(later.Packed(11), out), 9) << root;
  }
  // Output past the picture: a string of 2 pixels where 1 is left.
  std::vector<uint8_t> two(2);
  EXPECT_EQ(Decode(test::LzwEncode({1, 1, 1, 1}, 2), two), 9);
  // A full picture ends the decoding: what follows is not read.
  std::vector<uint8_t> three(3);
  EXPECT_EQ(Decode(test::LzwEncode({1, 2, 3, 1}, 2), three), 0);
  EXPECT_EQ(three, (std::vector<uint8_t>{1, 2, 3}));
  // Data that ends before the picture is full, with and without the terminator.
  std::vector<uint8_t> big(100);
  EXPECT_EQ(Decode(test::LzwEncode({1, 2, 3}, 2), big), 0) << "the end code may come early";
  EXPECT_EQ(Decode(std::string(), big), 9);
}

TEST(GifLzw, DataThatEndsEarlyGivesWhatWasDecoded) {
  // A cut stream: decoding ends where the data does, the pixels so far are kept and counted,
  // the rest is left as it was.
  std::vector<uint8_t> px(100);
  for (size_t i = 0; i < px.size(); ++i) px[i] = static_cast<uint8_t>(i % 3);
  const std::string full = test::LzwEncode(px, 2);
  auto tables = Tables();
  for (size_t cut : {size_t{3}, size_t{6}, full.size() / 2, full.size() - 3}) {
    SCOPED_TRACE(cut);
    std::vector<uint8_t> out(px.size(), 0xEE);
    int64_t produced = -1;
    ASSERT_EQ(GIFDecodeLZW_(reinterpret_cast<const uint8_t*>(full.data()), static_cast<int64_t>(cut), out.data(),
                            static_cast<int64_t>(out.size()), tables.data(), &produced),
              kGifDataEnded);
    ASSERT_GT(produced, 0);
    ASSERT_LT(produced, static_cast<int64_t>(px.size()));
    EXPECT_TRUE(std::equal(out.begin(), out.begin() + produced, px.begin()));
    EXPECT_TRUE(std::all_of(out.begin() + produced, out.end(), [](uint8_t v) { return v == 0xEE; }));
  }
  // A sub-block length that runs past the buffer is the same cut.
  std::string longBlock = full.substr(0, 4);
  longBlock[1] = static_cast<char>(200);
  std::vector<uint8_t> out(px.size());
  EXPECT_EQ(Decode(longBlock, out), kGifDataEnded);
}

TEST(GifLzw, EndCodeLeavesTheRestAsItWas) {
  std::vector<uint8_t> out(6, 0xAA);
  ASSERT_EQ(Decode(test::LzwEncode({1, 2, 3}, 2), out), 0);
  EXPECT_EQ(out, (std::vector<uint8_t>{1, 2, 3, 0xAA, 0xAA, 0xAA}));
}

TEST(GifLzw, InterlacedRowsFollowTheFourPasses) {
  for (int32_t h = 1; h <= 40; ++h) {
    std::vector<int32_t> expected;
    for (int32_t y = 0; y < h; y += 8) expected.push_back(y);
    for (int32_t y = 4; y < h; y += 8) expected.push_back(y);
    for (int32_t y = 2; y < h; y += 4) expected.push_back(y);
    for (int32_t y = 1; y < h; y += 2) expected.push_back(y);
    for (int32_t r = 0; r < h; ++r) EXPECT_EQ(GIFInterlacedRow_(r, h), expected[static_cast<size_t>(r)]) << h << " " << r;
  }
}

TEST(GifSlots, DelaysMakeTheRateAndTheSlots) {
  GifImagePos images[3];
  images[0].Delay = 10;
  images[1].Delay = 20;
  images[2].Delay = 0;
  double rate = 0;
  int64_t frames = 0;
  ASSERT_TRUE(GIFMakeSlots_(images, 3, rate, frames));
  EXPECT_DOUBLE_EQ(rate, 10.0);
  EXPECT_EQ(images[0].Slots, 1);
  EXPECT_EQ(images[1].Slots, 2);
  EXPECT_EQ(images[2].Slots, 1);
  EXPECT_EQ(frames, 4);
  // Halves round to even: 25 / 10 gives 2 slots, 35 / 10 gives 4.
  images[0].Delay = 10;
  images[1].Delay = 25;
  images[2].Delay = 35;
  ASSERT_TRUE(GIFMakeSlots_(images, 3, rate, frames));
  EXPECT_EQ(images[1].Slots, 2);
  EXPECT_EQ(images[2].Slots, 4);
  // Without any delay: no rate, one slot each.
  for (auto& i : images) i.Delay = 0;
  ASSERT_TRUE(GIFMakeSlots_(images, 3, rate, frames));
  EXPECT_EQ(rate, 0.0);
  EXPECT_EQ(frames, 3);
}

// ---------------------------------------------------------------------------------------------
// Files made by hand

std::string ThreeImages(int d1, int d2, int d3) {
  std::vector<GifFrameSpec> f = {SolidFrame(0, 0, 6, 4, 1), SolidFrame(0, 0, 6, 4, 2), SolidFrame(0, 0, 6, 4, 3)};
  f[0].Delay = d1;
  f[1].Delay = d2;
  f[2].Delay = d3;
  return MakeGif(6, 4, Pal8(), 0, f);
}

TEST_F(Gif, SlotsMapToImagesAndFramesOutsideAreRefused) {
  const std::string path = Write("slots.gif", ThreeImages(10, 20, 0));
  GifHandle gif;
  ASSERT_EQ(Outcome([&] { GIFOpen(gif, path, false); }).first, 0);
  EXPECT_EQ(gif.Count, 3);
  EXPECT_EQ(gif.Frames, 4);
  EXPECT_DOUBLE_EQ(gif.FrameRate, 10.0);
  EXPECT_NE(gif.Simple, 0);
  Qimg img;
  const uint32_t expected[] = {kRed, kGreen, kGreen, kBlue};
  // In order, then out of order (the file is Simple: images are decoded directly).
  for (int32_t f : {1, 2, 3, 4, 4, 1, 3, 2}) {
    ASSERT_EQ(Outcome([&] { GIFLoad(gif, img, f, nullptr); }).first, 0) << f;
    EXPECT_EQ(test::Colours(img)[0], expected[f - 1]) << "frame " << f;
    EXPECT_EQ(gif.Delivered, f);
  }
  EXPECT_EQ(Outcome([&] { GIFLoad(gif, img, 0, nullptr); }), test::Err(ecMovie, 1));
  EXPECT_EQ(Outcome([&] { GIFLoad(gif, img, 5, nullptr); }), test::Err(ecMovie, 1));
  // After the refusals the handle still reads on.
  ASSERT_EQ(Outcome([&] { GIFLoad(gif, img, 2, nullptr); }).first, 0);
  ASSERT_EQ(Outcome([&] { GIFLoadNext(gif, img, nullptr); }).first, 0);
  EXPECT_EQ(test::Colours(img)[0], kGreen);
  ASSERT_EQ(Outcome([&] { GIFLoadNext(gif, img, nullptr); }).first, 0);
  EXPECT_EQ(test::Colours(img)[0], kBlue);
  EXPECT_EQ(Outcome([&] { GIFLoadNext(gif, img, nullptr); }), test::Err(ecMovie, 7));
  ImgFree(img);
  GIFClose(gif);
  EXPECT_EQ(MemCount(), mem0_);
  EXPECT_EQ(FCount(), files0_);
}

TEST_F(Gif, FirstOnlyReadsOneImageAndItsRate) {
  GifHandle gif;
  GIFOpen(gif, Write("a.gif", ThreeImages(30, 20, 0)), true);
  EXPECT_EQ(gif.Count, 1);
  EXPECT_EQ(gif.Frames, 1);
  EXPECT_DOUBLE_EQ(gif.FrameRate, 3.0);  // 100 / 30 in whole numbers
  GIFClose(gif);
  GIFOpen(gif, Write("b.gif", ThreeImages(0, 20, 0)), true);
  EXPECT_EQ(gif.FrameRate, 0.0);
  GIFClose(gif);
  FFInfoRec info;
  GIFInfo(Write("c.gif", ThreeImages(10, 20, 0)), info, false);
  EXPECT_EQ(info.Video.Frames, 1);
  FFInfoRec full;
  GIFInfo(Write("c.gif", ThreeImages(10, 20, 0)), full, true);
  EXPECT_EQ(full.FormatId, fidGIF);
  EXPECT_EQ(full.Video.Frames, 4);
  EXPECT_EQ(full.Video.Width, 6);
  EXPECT_EQ(full.Video.Height, 4);
  EXPECT_EQ(full.Video.Bpp, 8);
  EXPECT_EQ(full.Video.OrigBpp, 8);
  EXPECT_EQ(full.Video.BytesPP, 1);
  EXPECT_DOUBLE_EQ(full.Video.FrameRate, 10.0);
  EXPECT_EQ(full.Video.CodecName, "Variable-Length-Code LZW (Lempel-Ziv & Welch)");
  EXPECT_EQ(full.Video.HasVideo, -1);
  EXPECT_EQ(full.Video.VideoSupported, -1);
  EXPECT_EQ(full.FileSize, static_cast<double>(std::filesystem::file_size(dir_ + "/c.gif")));
}

TEST_F(Gif, DisposalTwoFillsWithTheBackgroundAndThreeRestores) {
  // Screen 8 x 6 red; image 2 (green, 3 x 2 at 1,1) is disposed of before image 3 (blue 2 x 2 at
  // 5,3); the background index is 4 (yellow).
  for (int disposal : {2, 3}) {
    std::vector<GifFrameSpec> f = {SolidFrame(0, 0, 8, 6, 1), SolidFrame(1, 1, 3, 2, 2), SolidFrame(5, 3, 2, 2, 3)};
    f[1].Disposal = disposal;
    const auto frames = ReadAll(Write("d.gif", MakeGif(8, 6, Pal8(), 4, f)));
    ASSERT_EQ(frames.size(), 3u);
    const auto& last = frames[2];
    EXPECT_EQ(frames[1][1 * 8 + 1], kGreen);
    EXPECT_EQ(last[1 * 8 + 1], disposal == 2 ? kYellow : kRed) << disposal;
    EXPECT_EQ(last[2 * 8 + 3], disposal == 2 ? kYellow : kRed) << disposal;
    EXPECT_EQ(last[1 * 8 + 4], kRed);
    EXPECT_EQ(last[3 * 8 + 5], kBlue);
    EXPECT_EQ(last[0], kRed);
  }
}

TEST_F(Gif, TransparentPartialImageLetsTheFirstShowThrough) {
  std::vector<GifFrameSpec> f = {SolidFrame(0, 0, 6, 4, 1), SolidFrame(2, 1, 3, 2, 2)};
  f[1].Pixels = {2, 5, 2, 5, 2, 5};  // 5 is transparent
  f[1].Transparent = 5;
  const std::string path = Write("t.gif", MakeGif(6, 4, Pal8(), 0, f));
  GifHandle gif;
  GIFOpen(gif, path, false);
  EXPECT_NE(gif.Partial, 0);
  EXPECT_EQ(gif.Simple, 0);
  Qimg img, alpha;
  GIFLoad(gif, img, 2, &alpha);
  const auto c = test::Colours(img);
  EXPECT_EQ(c[1 * 6 + 2], kGreen);
  EXPECT_EQ(c[1 * 6 + 3], kRed) << "transparent: the first image stays";
  EXPECT_EQ(c[2 * 6 + 2], kRed);
  EXPECT_EQ(c[2 * 6 + 3], kGreen);
  EXPECT_EQ(c[0], kRed);
  // The alpha picture: 8-bit grey; the first image covered the whole screen, so all is opaque.
  ASSERT_EQ(alpha.Bpp, 8);
  ASSERT_EQ(alpha.Width, 6);
  EXPECT_EQ(alpha.Palette[3 * 200], 200);
  for (int i = 0; i < 24; ++i) EXPECT_EQ(alpha.Data[i], 255) << i;
  ImgFree(img);
  ImgFree(alpha);
  GIFClose(gif);
}

TEST_F(Gif, AnImageWhoseDataEndsEarlyShowsIndexZeroForTheRest) {
  // The second image (partial, so decoded through the temporary picture) stops with an end code
  // after 30 of its 64 pixels; its data repeats, so long strings come from the table. The rest
  // of the image is index 0 (black), whatever the decoder wrote ahead; the screen around it stays.
  std::vector<uint8_t> first(30);
  for (size_t i = 0; i < first.size(); ++i) first[i] = static_cast<uint8_t>(1 + i % 3);
  std::vector<GifFrameSpec> f = {SolidFrame(0, 0, 70, 2, 4), SolidFrame(2, 0, 64, 1, 0)};
  f[1].Packed = test::LzwEncode(first, 3);
  const auto frames = ReadAll(Write("early.gif", MakeGif(70, 2, Pal8(), 0, f)));
  ASSERT_EQ(frames.size(), 2u);
  const uint32_t colour[] = {kBlack, kRed, kGreen, kBlue, kYellow};
  for (int x = 0; x < 70; ++x) {
    SCOPED_TRACE(x);
    const uint32_t expect = x < 2 || x >= 66 ? kYellow : (x - 2 < 30 ? colour[first[x - 2]] : kBlack);
    EXPECT_EQ(frames[1][x], expect);
    EXPECT_EQ(frames[1][70 + x], kYellow) << "the second row is not the image's";
  }
}

TEST_F(Gif, TheAlphaPictureShowsWhereNoImageHasDrawn) {
  // A transparent partial image on an empty screen, then one disposed of to the background.
  std::vector<GifFrameSpec> f = {SolidFrame(1, 1, 3, 2, 2), SolidFrame(0, 0, 2, 1, 3), SolidFrame(5, 3, 1, 1, 1)};
  f[0].Pixels = {2, 5, 2, 5, 2, 5};
  f[0].Transparent = 5;
  f[1].Disposal = 2;
  GifHandle gif;
  GIFOpen(gif, Write("alpha.gif", MakeGif(6, 4, Pal8(), 0, f)), false);
  Qimg img, alpha;
  GIFLoadNext(gif, img, &alpha);
  std::vector<uint8_t> expected(24, 0);
  for (int i : {1 * 6 + 1, 1 * 6 + 3, 2 * 6 + 2}) expected[static_cast<size_t>(i)] = 255;
  EXPECT_EQ(std::vector<uint8_t>(alpha.Data, alpha.Data + 24), expected);
  GIFLoadNext(gif, img, &alpha);
  expected[0] = expected[1] = 255;
  EXPECT_EQ(std::vector<uint8_t>(alpha.Data, alpha.Data + 24), expected);
  GIFLoadNext(gif, img, &alpha);
  expected[0] = expected[1] = 0;  // disposed of
  expected[3 * 6 + 5] = 255;
  EXPECT_EQ(std::vector<uint8_t>(alpha.Data, alpha.Data + 24), expected);
  // Going back gives the same.
  GIFLoad(gif, img, 1, &alpha);
  EXPECT_EQ(alpha.Data[0], 0);
  EXPECT_EQ(alpha.Data[1 * 6 + 1], 255);
  GIFClose(gif);
  // A file without transparency is opaque everywhere, even where no image has drawn.
  GIFOpen(gif, Write("opaque.gif", MakeGif(6, 4, Pal8(), 0, {SolidFrame(1, 1, 2, 2, 1)})), false);
  GIFLoadNext(gif, img, &alpha);
  for (int i = 0; i < 24; ++i) EXPECT_EQ(alpha.Data[i], 255) << i;
  ImgFree(img);
  ImgFree(alpha);
  GIFClose(gif);
}

TEST_F(Gif, TransparencyFollowsTheFlagOnly) {
  // Index 2 stored in the extension without the flag: its pixels are drawn.
  std::vector<GifFrameSpec> f = {SolidFrame(0, 0, 4, 2, 1), SolidFrame(0, 0, 4, 2, 2)};
  f[1].TransparentIndexOnly = 2;
  const auto frames = ReadAll(Write("flag.gif", MakeGif(4, 2, Pal8(), 0, f)));
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[1][0], kGreen);
}

TEST_F(Gif, InterlacedImagesOfOneToNineRows) {
  for (int h = 1; h <= 9; ++h) {
    GifFrameSpec f = SolidFrame(0, 0, 3, h, 0);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < 3; ++x) f.Pixels[static_cast<size_t>(y) * 3 + x] = static_cast<uint8_t>((y + x) % 8);
    f.Interlaced = true;
    const std::string path = Write("il.gif", MakeGif(3, h, Pal8(), 0, {f}));
    GifHandle gif;
    GIFOpen(gif, path, false);
    Qimg img;
    GIFLoadNext(gif, img, nullptr);
    EXPECT_EQ(test::Indices(img), f.Pixels) << h << " rows";
    ImgFree(img);
    GIFClose(gif);
    // A partial interlaced image lands on its rows too.
    GifFrameSpec part = f;
    part.Left = 1;
    part.Top = 2;
    const std::string path2 = Write("il2.gif", MakeGif(5, h + 3, Pal8(), 7, {part}));
    GIFOpen(gif, path2, false);
    GIFLoadNext(gif, img, nullptr);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < 3; ++x) EXPECT_EQ(img.Data[(y + 2) * 5 + x + 1], f.Pixels[static_cast<size_t>(y) * 3 + x]);
    EXPECT_EQ(img.Data[0], 7) << "the rest is the background";
    ImgFree(img);
    GIFClose(gif);
  }
}

TEST_F(Gif, ImagesPartlyOffTheScreenAreClipped) {
  // Image 2 reaches 5 pixels past the right and bottom edges and is disposed of with the
  // background; image 3 with disposal 3 lies partly off the screen too.
  std::vector<GifFrameSpec> f = {SolidFrame(0, 0, 8, 6, 1), SolidFrame(5, 4, 8, 7, 2), SolidFrame(6, 5, 9, 9, 3),
                                 SolidFrame(0, 0, 2, 2, 4), SolidFrame(200, 100, 4, 4, 3)};
  f[1].Disposal = 2;
  f[2].Disposal = 3;
  const auto frames = ReadAll(Write("off.gif", MakeGif(8, 6, Pal8(), 0, f)));
  ASSERT_EQ(frames.size(), 5u);
  EXPECT_EQ(frames[1][5 * 8 + 7], kGreen);
  EXPECT_EQ(frames[1][3 * 8 + 7], kRed);
  EXPECT_EQ(frames[2][5 * 8 + 7], kBlue);
  EXPECT_EQ(frames[2][4 * 8 + 5], kBlack) << "image 2's area went back to the background";
  EXPECT_EQ(frames[3][5 * 8 + 7], kBlack) << "image 3's area restored";
  EXPECT_EQ(frames[4], frames[3]) << "an image wholly off the screen changes nothing";
}

// A file whose images depend on each other: partial, transparent, every disposal.
std::string Tangled() {
  std::vector<GifFrameSpec> f;
  std::mt19937 rng(3);
  for (int i = 0; i < 9; ++i) {
    const int w = 3 + static_cast<int>(rng() % 10), h = 2 + static_cast<int>(rng() % 8);
    GifFrameSpec s = SolidFrame(static_cast<int>(rng() % 12), static_cast<int>(rng() % 9), w, h, 0);
    for (auto& v : s.Pixels) v = static_cast<uint8_t>(rng() % 8);
    s.Disposal = i % 4;
    s.Delay = 10 * (1 + i % 3);
    if (i % 2 == 1) s.Transparent = 3;
    if (i == 0) s = SolidFrame(0, 0, 16, 12, 5);
    f.push_back(s);
  }
  return MakeGif(16, 12, Pal8(), 6, f);
}

TEST_F(Gif, SeekingBackwardGivesThePicturesOfReadingForward) {
  for (const std::string& bytes : {Tangled(), ThreeImages(10, 20, 0)}) {
    const std::string path = Write("seek.gif", bytes);
    const auto forward = ReadAll(path);
    GifHandle gif;
    GIFOpen(gif, path, false);
    ASSERT_EQ(static_cast<size_t>(gif.Frames), forward.size());
    Qimg img;
    std::vector<int32_t> order;
    for (int32_t f = gif.Frames; f >= 1; --f) order.push_back(f);
    std::mt19937 rng(5);
    for (int i = 0; i < 30; ++i) order.push_back(1 + static_cast<int32_t>(rng() % gif.Frames));
    for (int32_t f : order) {
      GIFLoad(gif, img, f, nullptr);
      EXPECT_EQ(test::Colours(img), forward[static_cast<size_t>(f - 1)]) << "frame " << f;
    }
    ImgFree(img);
    GIFClose(gif);
  }
}

TEST_F(Gif, TheCacheSparesTheSecondScanAndNoticesAChangedFile) {
  const std::string path = Write("cache.gif", Tangled());
  const int32_t before = GIFScanCountForTest();
  GifHandle a, b;
  GIFOpen(a, path, false);
  GIFOpen(b, path, false);
  EXPECT_EQ(GIFScanCountForTest(), before + 1) << "the same unchanged file is scanned once";
  EXPECT_EQ(b.Frames, a.Frames);
  EXPECT_NE(b.Pos, a.Pos) << "each handle has its own copy";
  // The copies are deep: closing one leaves the other whole.
  const auto forward = ReadAll(path);
  GIFClose(a);
  Qimg img;
  for (int32_t f = 1; f <= b.Frames; ++f) {
    GIFLoad(b, img, f, nullptr);
    EXPECT_EQ(test::Colours(img), forward[static_cast<size_t>(f - 1)]);
  }
  GIFClose(b);
  // Another file under the same name: size and time differ, so it is scanned again.
  test::WriteFile(path, ThreeImages(10, 20, 0));
  GIFOpen(a, path, false);
  EXPECT_EQ(a.Frames, 4);
  GIFClose(a);
  // The same size, only the time differs.
  test::WriteFile(path, ThreeImages(10, 30, 0));
  std::filesystem::last_write_time(path, std::filesystem::last_write_time(path) + std::chrono::seconds(3));
  GIFOpen(a, path, false);
  EXPECT_EQ(a.Frames, 5);
  GIFClose(a);
  // Names differ by case only: two files on this system, two scans.
  const std::string upper = Write("CACHE.gif", ThreeImages(10, 30, 0));
  std::filesystem::last_write_time(upper, std::filesystem::last_write_time(path));
  const int32_t scans = GIFScanCountForTest();
  GIFOpen(a, upper, false);
  EXPECT_EQ(GIFScanCountForTest(), scans + 1);
  GIFClose(a);
  ImgFree(img);
  EXPECT_EQ(MemCount(), mem0_);
}

TEST_F(Gif, TwoReadersAtOnce) {
  const std::string path = Write("two.gif", Tangled());
  const std::string other = Write("three.gif", ThreeImages(10, 20, 0));
  const auto forward = ReadAll(path);
  const auto forward2 = ReadAll(other);
  std::atomic<int> mismatches{0};
  auto reader = [&](const std::string& p, const std::vector<std::vector<uint32_t>>& expected) {
    for (int round = 0; round < 20; ++round) {
      GIFDropCacheForTest();
      if (ReadAll(p) != expected) ++mismatches;
    }
  };
  std::thread t1(reader, path, std::cref(forward));
  std::thread t2(reader, other, std::cref(forward2));
  std::thread t3(reader, path, std::cref(forward));
  t1.join();
  t2.join();
  t3.join();
  EXPECT_EQ(mismatches.load(), 0);
}

TEST_F(Gif, HeadersAndEmptyFilesAreRefused) {
  GifHandle gif;
  EXPECT_EQ(Outcome([&] { GIFOpen(gif, Write("x.gif", "GIF88a" + std::string(7, '\0')), false); }),
            test::Err(ecImage, 2));
  EXPECT_EQ(Outcome([&] { GIFOpen(gif, Write("x.gif", "PNG89a" + std::string(7, '\0')), false); }),
            test::Err(ecImage, 2));
  EXPECT_EQ(Outcome([&] { GIFOpen(gif, Write("x.gif", "GIF89a"), false); }), test::Err(ecImage, 2));
  EXPECT_EQ(Outcome([&] { GIFOpen(gif, Write("x.gif", MakeGif(4, 4, Pal8(), 0, {})), false); }),
            test::Err(ecImage, 2))
      << "no image";
  EXPECT_EQ(Outcome([&] { GIFOpen(gif, dir_ + "/missing.gif", false); }).first, ecFile);
  EXPECT_EQ(gif.Pos, nullptr);
  EXPECT_EQ(gif.File, 0);
  EXPECT_EQ(MemCount(), mem0_);
  EXPECT_EQ(FCount(), files0_);
}

// Opens a file and reads every slot; gives the number of failures. Never crashes or hangs.
int32_t ReadEverything(const std::string& path, bool firstOnly) {
  int32_t failures = 0;
  GifHandle gif;
  if (Outcome([&] { GIFOpen(gif, path, firstOnly); }).first != 0) return 1;
  Qimg img, alpha;
  for (int32_t f = 1; f <= gif.Frames; ++f)
    if (Outcome([&] { GIFLoadNext(gif, img, &alpha); }).first != 0) ++failures;
  // Backward once as well: the rewind after a failure.
  if (gif.Frames > 0 && Outcome([&] { GIFLoad(gif, img, 1, &alpha); }).first != 0) ++failures;
  ImgFree(img);
  ImgFree(alpha);
  GIFClose(gif);
  return failures;
}

TEST_F(Gif, TruncatedFilesGiveErrorsNeverACrash) {
  for (const char* name : {"anim-im.gif", "dispose.gif", "interlaced.gif", "transparent.gif"}) {
    const std::string whole = test::ReadFile(Media(name));
    ASSERT_FALSE(whole.empty()) << name;
    // Where the last image's data begins: cuts after it show that image as far as it goes.
    GifHandle gif;
    GIFOpen(gif, Media(name), false);
    const int64_t lastData = gif.Pos[gif.Count - 1].DataPos;
    const int64_t lastEnd = gif.Pos[gif.Count - 1].DataEnd;
    GIFClose(gif);
    const size_t step = whole.size() > 3000 ? 7 : 1;
    for (size_t n = 0; n < whole.size(); n += step) {
      const std::string path = Write("cut.gif", whole.substr(0, n));
      GIFDropCacheForTest();
      const int32_t failures = ReadEverything(path, false) + ReadEverything(path, true);
      const int64_t cut = static_cast<int64_t>(n);
      if (cut < 13) {
        EXPECT_GT(failures, 0) << name << " cut at " << n;
      }
      if (cut > lastData + 1 && cut < lastEnd - 4) {
        EXPECT_EQ(failures, 0) << name << " cut at " << n;
      }
    }
    EXPECT_EQ(MemCount(), mem0_);
    EXPECT_EQ(FCount(), files0_);
  }
}

// A still cut short: FFmpeg's decode of the whole file as far as the data went, the background
// after that, and the loss as a warning.
TEST_F(Gif, ACutStillShowsWhatItsDataHolds) {
  for (const char* name : {"static.gif", "logo.gif"}) {
    SCOPED_TRACE(name);
    test::RefFrames ref;
    std::string why;
    ASSERT_TRUE(test::FFmpegDecodeAll(Media(name), ref, why)) << why;
    const std::string whole = test::ReadFile(Media(name));
    const std::string path = Write("cut.gif", whole.substr(0, whole.size() * 6 / 10));
    GIFDropCacheForTest();
    GifHandle gif;
    ASSERT_EQ(Outcome([&] { GIFOpen(gif, path, false); }).first, 0);
    ASSERT_GE(gif.Background, 0);
    const uint8_t* bg = gif.Palette + 3 * gif.Background;
    const uint32_t background = bg[2] | (bg[1] << 8) | (bg[0] << 16);
    Qimg img;
    int32_t failed = -1;
    EXPECT_EQ(test::CountWarnings(ecImage, [&] { failed = Outcome([&] { GIFLoadNext(gif, img, nullptr); }).first; }), 1);
    ASSERT_EQ(failed, 0) << GetErrorMessage();
    const std::vector<uint32_t> got = test::Colours(img);
    const std::vector<uint32_t>& full = ref.Pixels[0];
    ASSERT_EQ(got.size(), full.size());
    size_t same = 0;
    while (same < got.size() && got[same] == (full[same] & 0xFFFFFF)) ++same;
    // Most of what the first 60 % of the data holds is there, and nothing but background after it.
    EXPECT_GT(same, got.size() / 4);
    EXPECT_LT(same, got.size());
    for (size_t i = same; i < got.size(); ++i) ASSERT_EQ(got[i], background) << "pixel " << i;
    ImgFree(img);
    GIFClose(gif);
  }
}

TEST_F(Gif, CorruptedFilesGiveErrorsNeverACrash) {
  std::mt19937 rng(1234);
  for (const char* name : {"anim-im.gif", "dispose.gif", "anim-ff.gif", "local.gif"}) {
    const std::string whole = test::ReadFile(Media(name));
    ASSERT_FALSE(whole.empty()) << name;
    for (int round = 0; round < 60; ++round) {
      std::string bad = whole;
      const int flips = 1 + static_cast<int>(rng() % 8);
      // The screen size (bytes 6 to 9) stays: a huge screen is a valid file, only a slow one.
      for (int i = 0; i < flips; ++i) {
        const size_t at = rng() % bad.size();
        if (at < 6 || at >= 10) bad[at] = static_cast<char>(rng());
      }
      const std::string path = Write("bad.gif", bad);
      GIFDropCacheForTest();
      ReadEverything(path, false);
      ReadEverything(path, true);
    }
  }
  // A screen at the 16-bit limits: a picture past 2e9 bytes is refused at the open.
  std::string huge = MakeGif(4, 4, Pal8(), 0, {SolidFrame(0, 0, 4, 4, 1)});
  huge[6] = huge[7] = huge[8] = huge[9] = '\xFF';
  GifHandle gif;
  EXPECT_EQ(Outcome([&] { GIFOpen(gif, Write("huge.gif", huge), false); }), test::Err(ecImage, 4));

  EXPECT_EQ(MemCount(), mem0_);
  EXPECT_EQ(FCount(), files0_);
}

TEST_F(Gif, CorruptImageDataIsReportedAndTheNextImageStillReads) {
  std::vector<GifFrameSpec> f = {SolidFrame(0, 0, 4, 4, 1), SolidFrame(0, 0, 4, 4, 2), SolidFrame(0, 0, 4, 4, 3)};
  test::LzwBits bits;
  bits.Put(256, 9);
  bits.Put(300, 9);  // past the next free entry
  f[1].Packed = bits.Packed(8);
  const std::string path = Write("bad2.gif", MakeGif(4, 4, Pal8(), 0, f));
  GifHandle gif;
  GIFOpen(gif, path, false);
  Qimg img;
  EXPECT_EQ(Outcome([&] { GIFLoadNext(gif, img, nullptr); }).first, 0);
  EXPECT_EQ(Outcome([&] { GIFLoadNext(gif, img, nullptr); }), test::Err(ecImage, 9));
  EXPECT_EQ(Outcome([&] { GIFLoadNext(gif, img, nullptr); }).first, 0);
  EXPECT_EQ(test::Colours(img)[0], kBlue);
  ImgFree(img);
  GIFClose(gif);
  // A minimum code size of 12 in the first image of a fresh record: the record stays empty.
  f[1].Packed.clear();
  f[0].Packed = std::string("\x0C\x01\x00\x00", 4);
  GIFOpen(gif, Write("bad3.gif", MakeGif(4, 4, Pal8(), 0, f)), false);
  Qimg fresh;
  EXPECT_EQ(Outcome([&] { GIFLoadNext(gif, fresh, nullptr); }), test::Err(ecImage, 9));
  EXPECT_EQ(fresh.Data, nullptr);
  GIFClose(gif);
  // An image that claims 65535 x 65535 pixels over a few bytes of data: refused before anything
  // of that size is made.
  GifFrameSpec big = SolidFrame(0, 0, 2, 2, 1);
  big.W = big.H = 65535;
  big.Packed = test::LzwEncode({1, 1, 1, 1}, 2);
  GIFOpen(gif, Write("big.gif", MakeGif(4, 4, Pal8(), 0, {big})), false);
  EXPECT_EQ(Outcome([&] { GIFLoadNext(gif, fresh, nullptr); }), test::Err(ecImage, 9));
  GIFClose(gif);
  EXPECT_EQ(MemCount(), mem0_);
}

// ---------------------------------------------------------------------------------------------
// Against FFmpeg's decoder

// Compares the first slot of every image with FFmpeg's picture of it. Pixels FFmpeg leaves fully
// transparent (nothing drawn there yet) are not compared; a good part must be.
void ExpectSameAsFFmpeg(const std::string& path) {
  SCOPED_TRACE(path);
  test::RefFrames ref;
  std::string why;
  ASSERT_TRUE(test::FFmpegDecodeAll(path, ref, why)) << why;
  GifHandle gif;
  ASSERT_EQ(Outcome([&] { GIFOpen(gif, path, false); }).first, 0);
  ASSERT_EQ(static_cast<size_t>(gif.Count), ref.Pixels.size());
  ASSERT_EQ(gif.Width, ref.Width);
  ASSERT_EQ(gif.Height, ref.Height);
  Qimg img;
  int32_t slot = 1;
  int64_t compared = 0, total = 0;
  for (int32_t i = 0; i < gif.Count; ++i) {
    ASSERT_EQ(Outcome([&] { GIFLoad(gif, img, slot, nullptr); }).first, 0) << "image " << i;
    const auto ours = test::Colours(img);
    const auto& theirs = ref.Pixels[static_cast<size_t>(i)];
    for (size_t k = 0; k < ours.size(); ++k) {
      ++total;
      if ((theirs[k] >> 24) == 0) continue;
      ++compared;
      if (ours[k] != (theirs[k] & 0xFFFFFF)) {
        ADD_FAILURE() << "image " << i << " pixel (" << k % gif.Width << "," << k / gif.Width << "): ours " << std::hex
                      << ours[k] << ", FFmpeg's " << theirs[k];
        break;
      }
    }
    slot += gif.Pos[i].Slots;
  }
  EXPECT_GT(compared, total / 3);
  ImgFree(img);
  GIFClose(gif);
}

TEST_F(Gif, FilesMadeByImageMagickAndFFmpegMatchFFmpegsDecode) {
  for (const char* name : {"static.gif", "interlaced.gif", "interlaced-1x9.gif", "transparent.gif", "anim-im.gif",
                           "dispose.gif", "local.gif", "anim-ff.gif", "anim-ffp.gif", "bench.gif"})
    ExpectSameAsFFmpeg(Media(name));
}

TEST_F(Gif, TheAlphaOfATransparentPictureMatchesFFmpegs) {
  test::RefFrames ref;
  std::string why;
  ASSERT_TRUE(test::FFmpegDecodeAll(Media("transparent.gif"), ref, why)) << why;
  GifHandle gif;
  GIFOpen(gif, Media("transparent.gif"), true);
  Qimg img, alpha;
  GIFLoadNext(gif, img, &alpha);
  ASSERT_EQ(static_cast<size_t>(alpha.Size), ref.Pixels[0].size());
  int32_t clear = 0;
  for (int32_t i = 0; i < alpha.Size; ++i) {
    ASSERT_EQ(alpha.Data[i], ref.Pixels[0][static_cast<size_t>(i)] >> 24) << "pixel " << i;
    clear += alpha.Data[i] == 0 ? 1 : 0;
  }
  EXPECT_GT(clear, 0);
  ImgFree(img);
  ImgFree(alpha);
  GIFClose(gif);
}

TEST_F(Gif, HandMadeFilesMatchFFmpegsDecode) {
  ExpectSameAsFFmpeg(Write("tangled.gif", Tangled()));
  std::vector<GifFrameSpec> f = {SolidFrame(0, 0, 8, 6, 1), SolidFrame(1, 1, 3, 2, 2), SolidFrame(5, 3, 2, 2, 3)};
  f[1].Disposal = 3;
  f[2].LocalRgb = {10, 20, 30, 40, 50, 60, 70, 80, 90, 100, 110, 120};
  ExpectSameAsFFmpeg(Write("d3.gif", MakeGif(8, 6, Pal8(), 4, f)));
}

TEST_F(Gif, LocalPalettesOverEarlierPicturesAreComposedInTrueColour) {
  GifHandle gif;
  GIFOpen(gif, Media("local.gif"), false);
  EXPECT_NE(gif.Deep, 0);
  Qimg img;
  GIFLoad(gif, img, 3, nullptr);
  EXPECT_EQ(img.Bpp, 24);
  const auto c = test::Colours(img);
  EXPECT_EQ(c[0], kBlue) << "the second image's blue stays beside the third";
  EXPECT_EQ(c[15 * 40 + 15], 0x008000u) << "ImageMagick's green";
  ImgFree(img);
  GIFClose(gif);
  FFInfoRec info;
  GIFInfo(Media("local.gif"), info, true);
  EXPECT_EQ(info.Video.Bpp, 24);
  EXPECT_EQ(info.Video.BytesPP, 3);
  EXPECT_EQ(info.Video.OrigBpp, 8);
  // One palette for all: 8 bits.
  GIFInfo(Media("anim-ff.gif"), info, true);
  EXPECT_EQ(info.Video.Bpp, 8);
}

// ---------------------------------------------------------------------------------------------
// gifcodec

TEST_F(Gif, TheLibraryBindsTheWritingCallsAndCloseWritesTheFile) {
  platform::SetLibraryFolder(test::BuiltCodecDir());
  GIFDllLoad();
  ASSERT_TRUE(FFCodecLibReady(clGif)) << platform::LastLibraryError();
  FFFormatRec rec;
  EXPECT_TRUE(FFGetFormatById(rec, fidGIF, ffWrite));
  EXPECT_EQ(rec.FormatId, fidGIF);
  // Write a picture through the library, then close it through the unit's close.
  using OpenFn = void* (*)(const char*, bool, int*);
  using ScreenFn = int (*)(void*, int, int, int, int, const void*);
  using ImageFn = int (*)(void*, int, int, int, int, bool, const void*);
  using LineFn = int (*)(void*, uint8_t*, int);
  auto open = reinterpret_cast<OpenFn>(FFCodecProc(clGif, 0));
  auto screen = reinterpret_cast<ScreenFn>(FFCodecProc(clGif, 1));
  auto image = reinterpret_cast<ImageFn>(FFCodecProc(clGif, 2));
  auto line = reinterpret_cast<LineFn>(FFCodecProc(clGif, 3));
  ASSERT_TRUE(open && screen && image && line);
  struct Colour {
    uint8_t R, G, B;
  };
  Colour colours[4] = {{0, 0, 0}, {255, 0, 0}, {0, 255, 0}, {0, 0, 255}};
  struct Map {
    int ColorCount, BitsPerPixel;
    bool SortFlag;
    Colour* Colors;
  } map{4, 2, false, colours};
  const std::string path = Write("written.gif", "");
  int err = 0;
  GifHandle gif;
  gif.WriteHandle = open(path.c_str(), false, &err);
  ASSERT_NE(gif.WriteHandle, nullptr);
  gif.Writing = -1;
  ASSERT_EQ(screen(gif.WriteHandle, 5, 3, 2, 0, &map), 1);
  ASSERT_EQ(image(gif.WriteHandle, 0, 0, 5, 3, false, nullptr), 1);
  uint8_t rows[3][5] = {{0, 1, 2, 3, 0}, {1, 1, 1, 1, 1}, {3, 2, 1, 0, 3}};
  for (auto& r : rows) ASSERT_EQ(line(gif.WriteHandle, r, 5), 1);
  EXPECT_EQ(Outcome([&] { GIFClose(gif); }).first, 0);
  EXPECT_EQ(gif.WriteHandle, nullptr);
  // Our decoder reads what giflib wrote.
  GifHandle in;
  GIFOpen(in, path, false);
  Qimg img;
  GIFLoadNext(in, img, nullptr);
  EXPECT_EQ(test::Indices(img), (std::vector<uint8_t>{0, 1, 2, 3, 0, 1, 1, 1, 1, 1, 3, 2, 1, 0, 3}));
  ImgFree(img);
  GIFClose(in);
  // A close whose write handle is gone is a failed write.
  GifHandle broken;
  broken.Writing = -1;
  EXPECT_EQ(Outcome([&] { GIFClose(broken); }), test::Err(ecMovie, 2));
  GIFDllFree();
}

TEST_F(Gif, WithoutTheLibraryGifStillReadsButLeavesTheWriteTable) {
  platform::SetLibraryFolder(test::MakeTempDir("no-codecs"));
  GIFDllLoad();
  EXPECT_FALSE(FFCodecLibReady(clGif));
  FFFormatRec rec;
  EXPECT_TRUE(FFGetFormatById(rec, fidGIF, ffRead));
  EXPECT_FALSE(FFGetFormatById(rec, fidGIF, ffWrite));
  const auto frames = ReadAll(Write("plays.gif", ThreeImages(10, 20, 0)));
  EXPECT_EQ(frames.size(), 4u);
  GIFDllFree();
}

}  // namespace
}  // namespace tavelo
