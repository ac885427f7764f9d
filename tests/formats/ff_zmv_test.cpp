// The ZMV unit over files from the test writer: every picture and sample comes back exactly as
// written (BEST, FAST, prediction, palettes, key-frame intervals, strips behind the record, a
// chain of sound blocks), seeks go through the key frames, and damaged files are refused with an
// error instead of a crash (also under ASan and UBSan).
#include "formats/units/ff_zmv.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "codecs/zmvcodec/zmvcodec.h"
#include "core/services/errors.h"
#include "core/services/files.h"
#include "core/services/memory.h"
#include "core/services/monitor.h"
#include "formats/conform.h"
#include "formats/ff_codec_libs.h"
#include "platform/dynlib/dynlib.h"
#include "tests/formats/format_fixture.h"
#include "tests/formats/zmv_writer.h"
#include "tests/support/test_env.h"

namespace tavelo {
namespace {

using test::ZmvBuildFile;
using test::ZmvFileImage;
using test::ZmvFrame;
using test::ZmvMovie;

struct Outcome {
  int32_t cls = 0;
  int32_t code = 0;
};

// Runs unit work in a frame that stops the unwinding and reports the error it ended with.
template <class Work>
Outcome Try(Work&& work) {
  Outcome o;
  o.cls = MonitoredNoRaise(work);
  o.code = GetErrorCode();
  ClearError();
  return o;
}

// Pictures with a still background, a block that moves and a patch that changes every frame.
std::vector<uint8_t> Picture(int32_t w, int32_t h, int32_t bpp, int32_t i) {
  std::vector<uint8_t> p(static_cast<size_t>(w) * h * bpp);
  std::mt19937 rng(static_cast<uint32_t>(1000 + i));
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x)
      for (int32_t c = 0; c < bpp; ++c) {
        uint8_t v = static_cast<uint8_t>((x * 5 + y * 3 + c * 40) / 4);
        const bool block = x >= (i * 3) % (w - 8) && x < (i * 3) % (w - 8) + 8 && y >= 4 && y < 12;
        const bool patch = x >= w - 6 && y >= h - 5;
        if (block) v = static_cast<uint8_t>(200 + c);
        if (patch) v = static_cast<uint8_t>(rng());
        p[(static_cast<size_t>(y) * w + x) * bpp + c] = v;
      }
  return p;
}

ZmvMovie Movie(int32_t w, int32_t h, int32_t bpp, int32_t flags, int32_t key, int32_t frames) {
  ZmvMovie m;
  m.width = w;
  m.height = h;
  m.bytesPerPixel = bpp;
  m.flags = flags;
  m.keyInterval = key;
  m.fps = 12.5;
  m.stripRows = 8;
  for (int32_t i = 0; i < frames; ++i) {
    ZmvFrame f;
    f.pixels = Picture(w, h, bpp, i);
    m.frames.push_back(std::move(f));
  }
  return m;
}

std::string Save(const ZmvFileImage& image, const std::string& name = "movie.zmv") {
  const std::string path = test::MakeTempDir("zmv") + "/" + name;
  test::WriteFile(path, image.bytes);
  return path;
}

std::vector<uint8_t> Pixels(const Qimg& img) {
  return std::vector<uint8_t>(img.Data, img.Data + static_cast<size_t>(img.Width) * img.Height * img.BytesPP);
}

class ZmvTest : public test::FormatTest {
 protected:
  void SetUp() override {
    FormatTest::SetUp();
    baseline_ = MemCount();
    filesBaseline_ = FCount();
  }
  void TearDown() override {
    ImgFree(img_);
    SndFree(snd_);
    // Every buffer of the unit is gone after its close.
    EXPECT_EQ(MemCount(), baseline_);
    EXPECT_EQ(FCount(), filesBaseline_);
    FFFreeCodecLib(clZmv);
    FormatTest::TearDown();
  }
  void Open(const std::string& path) {
    const Outcome o = Try([&] { ZMVOpen(h_, path); });
    ASSERT_EQ(o.cls, 0) << o.code;
  }
  void Close() {
    ASSERT_EQ(Try([&] { ZMVClose(h_); }).cls, 0);
  }
  Outcome Load(int32_t frame) { return Try([&] { ZMVImgLoad(h_, img_, frame); }); }
  void ExpectFrame(const ZmvMovie& m, int32_t frame) {
    const Outcome o = Load(frame);
    ASSERT_EQ(o.cls, 0) << "frame " << frame << " code " << o.code;
    ASSERT_EQ(img_.Width, m.width);
    ASSERT_EQ(img_.Height, m.height);
    ASSERT_EQ(img_.BytesPP, m.bytesPerPixel);
    EXPECT_EQ(Pixels(img_), m.frames[static_cast<size_t>(frame - 1)].pixels) << "frame " << frame;
    EXPECT_EQ(h_.NextFrame, frame);
  }

  ZmvHandle h_{};
  Qimg img_;
  Qsnd snd_;
  int32_t baseline_ = 0;
  int32_t filesBaseline_ = 0;
};

TEST_F(ZmvTest, BestMovieWithKeyFramesEveryTen) {
  ZmvMovie m = Movie(48, 30, 3, 0, 10, 25);
  // Some strips stored, some coded.
  m.frames[3].strips = {{8, true}, {8, false}, {14, true}};
  const std::string path = Save(ZmvBuildFile(m));
  Open(path);
  EXPECT_EQ(h_.Frames, 25);
  EXPECT_EQ(h_.BitsPP, 24);
  for (int32_t f = 1; f <= 25; ++f) ExpectFrame(m, f);
  // Random access goes through the key frames.
  for (int32_t f : {17, 3, 25, 11, 12, 10, 1, 21}) ExpectFrame(m, f);
  // Key frames: K = 10, frame 15 with the read position before frame 11.
  ExpectFrame(m, 5);
  EXPECT_EQ(ZMVNearestKeyFrame(h_, 15, -1), 11);
  EXPECT_EQ(ZMVNearestKeyFrame(h_, 15, 1), 21);
  EXPECT_EQ(ZMVNearestKeyFrame(h_, 11, -1), 1);
  EXPECT_EQ(ZMVNearestKeyFrame(h_, 25, 1), 21);  // clamped to the last frame's key frame
  Close();
}

TEST_F(ZmvTest, FastSixteenBitMovieWithOnlyTheFirstKeyFrame) {
  const ZmvMovie m = Movie(40, 24, 2, 1, 0, 12);
  const ZmvFileImage image = ZmvBuildFile(m);
  const std::string path = Save(image);
  Open(path);
  EXPECT_EQ(ZMVNearestKeyFrame(h_, 9, -1), 1);
  EXPECT_EQ(ZMVNearestKeyFrame(h_, 9, 1), 1);
  for (int32_t f = 1; f <= 6; ++f) ExpectFrame(m, f);

  // Playing on must not go back to frame 1: with frame 1's record destroyed, frames 7 .. 12
  // still decode from the picture at hand, while going back needs frame 1 and fails.
  std::string damaged = image.bytes;
  const int64_t at = image.recordOffset[0];
  for (int i = 0; i < 16; ++i) damaged[static_cast<size_t>(at + i)] = '\x7F';
  {
    int32_t f = 0;
    ASSERT_EQ(FOpen(f, path, fmWrite), 0);
    FWrite(f, damaged.data(), static_cast<int64_t>(damaged.size()));
    FClose(f);
  }
  for (int32_t f = 7; f <= 12; ++f) ExpectFrame(m, f);
  ExpectFrame(m, 12);  // asked again: the picture already holds it
  EXPECT_EQ(Load(3).cls, ecMovie);
  Close();
}

TEST_F(ZmvTest, PredictedMovieWithStoredStrips) {
  ZmvMovie m = Movie(33, 21, 3, 2, 5, 14);
  m.frames[2].strips = {{5, false}, {9, true}, {7, false}};
  m.frames[6].strips = {{21, true}};
  const std::string path = Save(ZmvBuildFile(m));
  Open(path);
  for (int32_t f = 1; f <= 14; ++f) ExpectFrame(m, f);
  for (int32_t f : {9, 4, 14, 7, 8, 2}) ExpectFrame(m, f);
  FFInfoRec info;
  ASSERT_EQ(Try([&] { ZMVInfo(path, info); }).cls, 0);
  EXPECT_EQ(info.Video.CodecName, "ZMV BEST-P codec");
  Close();
}

TEST_F(ZmvTest, StripsBehindTheRecordAreReadInBatches) {
  // Noise codes larger than the frame: the strips behind the record need several batches.
  ZmvMovie m = Movie(30, 32, 3, 0, 3, 6);
  std::mt19937 rng(5);
  for (ZmvFrame& f : m.frames) {
    for (auto& b : f.pixels) b = static_cast<uint8_t>(rng());
    f.strips = {{4, false}, {4, false}, {8, false}, {4, true}, {12, false}};
    f.inRecord = 1;
  }
  m.frames[4].inRecord = 0;
  m.frames[5].inRecord = 5;
  const std::string path = Save(ZmvBuildFile(m));
  Open(path);
  for (int32_t f = 1; f <= 6; ++f) ExpectFrame(m, f);
  ExpectFrame(m, 2);
  Close();
}

TEST_F(ZmvTest, PicturesGoBackToTheKeyFrameForAnotherRecord) {
  const ZmvMovie m = Movie(24, 16, 3, 0, 4, 10);
  const std::string path = Save(ZmvBuildFile(m));
  Open(path);
  ExpectFrame(m, 6);
  // A record that did not receive frame 6 gets frame 7 decoded from key frame 5.
  Qimg other;
  ASSERT_EQ(Try([&] { ZMVImgLoad(h_, other, 7); }).cls, 0);
  EXPECT_EQ(Pixels(other), m.frames[6].pixels);
  // And the first record, which last received frame 6, is not taken for frame 7 either.
  ExpectFrame(m, 8);
  ImgFree(other);
  Close();
}

TEST_F(ZmvTest, PalettesOfEightBitMovies) {
  ZmvMovie m = Movie(20, 12, 1, 0, 4, 45);
  auto palette = [](int32_t seed) {
    test::ZmvPalette p;
    for (int i = 0; i < 256; ++i) {
      p.rgb.push_back(static_cast<uint8_t>(i + seed));
      p.rgb.push_back(static_cast<uint8_t>(2 * i));
      p.rgb.push_back(static_cast<uint8_t>(255 - i));
    }
    return p;
  };
  m.frames[0].palettes = {palette(0)};
  m.frames[6].palettes = {palette(77)};
  // Frame 9 changes entries 10 .. 12 only.
  test::ZmvPalette part;
  part.first = 10;
  part.rgb = {1, 2, 3, 4, 5, 6, 7, 8, 9};
  m.frames[8].palettes = {part};
  const std::string path = Save(ZmvBuildFile(m));
  Open(path);

  auto expectPalette = [&](int32_t seed) {
    for (int i = 0; i < 256; ++i) {
      if (i >= 10 && i < 13 && seed < 0) continue;
      const int s = seed < 0 ? 77 : seed;
      EXPECT_EQ(img_.Palette[3 * i], static_cast<uint8_t>(255 - i)) << i;  // B
      EXPECT_EQ(img_.Palette[3 * i + 1], static_cast<uint8_t>(2 * i)) << i;
      EXPECT_EQ(img_.Palette[3 * i + 2], static_cast<uint8_t>(i + s)) << i;
    }
  };
  ExpectFrame(m, 1);
  expectPalette(0);
  EXPECT_TRUE(h_.PalChanged);
  ExpectFrame(m, 2);  // no palette of its own: the search finds frame 1's
  EXPECT_TRUE(h_.PalChanged);
  expectPalette(0);
  for (int32_t f = 3; f <= 8; ++f) ExpectFrame(m, f);
  expectPalette(77);
  ExpectFrame(m, 9);
  expectPalette(-1);
  EXPECT_EQ(img_.Palette[3 * 10], 3);
  EXPECT_EQ(img_.Palette[3 * 12 + 2], 7);

  // After a seek the palette in force is found by searching backwards.
  Qimg fresh;
  ASSERT_EQ(Try([&] { ZMVImgLoad(h_, fresh, 40); }).cls, 0);
  EXPECT_EQ(Pixels(fresh), m.frames[39].pixels);
  EXPECT_TRUE(h_.PalChanged);
  EXPECT_EQ(fresh.Palette[3 * 10], 3);
  EXPECT_EQ(fresh.Palette[3 * 12 + 2], 7);
  ImgFree(fresh);
  Close();
}

// Palette chunks that each set part of the palette, in key and other frames, some overlapping,
// two in one frame; entries 250 .. 255 are never set.
ZmvMovie PartialPaletteMovie(int32_t key, int32_t flags) {
  ZmvMovie m = Movie(20, 12, 1, flags, key, 36);
  auto chunk = [](int32_t first, int32_t count, int32_t seed) {
    test::ZmvPalette p;
    p.first = first;
    for (int32_t i = 0; i < count; ++i) {
      p.rgb.push_back(static_cast<uint8_t>(seed + i));
      p.rgb.push_back(static_cast<uint8_t>(seed * 3 + 2 * i));
      p.rgb.push_back(static_cast<uint8_t>(255 - seed - i));
    }
    return p;
  };
  m.frames[0].palettes = {chunk(0, 128, 1)};
  m.frames[2].palettes = {chunk(128, 122, 2)};
  m.frames[5].palettes = {chunk(10, 20, 3), chunk(25, 10, 4)};
  m.frames[11].palettes = {chunk(100, 60, 5)};
  m.frames[12].palettes = {chunk(0, 5, 6)};
  m.frames[19].palettes = {chunk(200, 50, 7)};
  m.frames[26].palettes = {chunk(15, 1, 8)};
  m.frames[33].palettes = {chunk(60, 70, 9)};
  return m;
}

struct SeenFrame {
  std::vector<uint8_t> pixels;
  QimgPalette palette;
};

TEST_F(ZmvTest, SeeksGiveThePictureAndPaletteOfPlayingInOrder) {
  for (const std::pair<int32_t, int32_t>& keyAndFlags : {std::pair{5, 0}, std::pair{1, 1}, std::pair{7, 0}, std::pair{0, 1}}) {
    const int32_t key = keyAndFlags.first;
    const ZmvMovie m = PartialPaletteMovie(key, keyAndFlags.second);
    Open(Save(ZmvBuildFile(m)));
    // Playing in order into a fresh record.
    std::vector<SeenFrame> inOrder;
    for (int32_t f = 1; f <= 36; ++f) {
      ExpectFrame(m, f);
      inOrder.push_back({Pixels(img_), img_.Palette});
    }
    auto expectAsInOrder = [&](const Qimg& img, int32_t f, const char* how) {
      EXPECT_EQ(Pixels(img), inOrder[static_cast<size_t>(f - 1)].pixels) << how << " K " << key << " frame " << f;
      EXPECT_EQ(img.Palette, inOrder[static_cast<size_t>(f - 1)].palette) << how << " K " << key << " frame " << f;
    };
    // Every frame sought with a fresh record.
    for (int32_t f = 1; f <= 36; ++f) {
      Qimg fresh;
      ASSERT_EQ(Try([&] { ZMVImgLoad(h_, fresh, f); }).cls, 0) << f;
      expectAsInOrder(fresh, f, "fresh record");
      ImgFree(fresh);
    }
    // Backwards, forwards past key frames and within one, into the record that held frame 36;
    // last, playing on across key frame 6 and then on to frame 14 starts at key frame 11 with
    // the palette kept from before frame 6 and frame 6's chunks on top.
    for (int32_t f : {3, 30, 13, 14, 27, 1, 20, 21, 35, 6, 36, 12, 2, 4, 5, 6, 7, 14}) {
      ASSERT_EQ(Load(f).cls, 0) << f;
      expectAsInOrder(img_, f, "seek");
    }
    Close();
  }
}

TEST_F(ZmvTest, SoundOverThreeBlocks) {
  ZmvMovie m = Movie(16, 8, 3, 0, 1, 2);
  m.soundFlags = 4 | 3;  // 16-bit stereo
  m.sampleRate = 11025;
  m.blockSamples = {1000, 1500, 700};
  for (int i = 0; i < 3200 * 4; ++i) m.pcm.push_back(static_cast<uint8_t>(i * 7 + i / 256));
  const std::string path = Save(ZmvBuildFile(m));
  Open(path);
  EXPECT_EQ(+h_.Format.nChannels, 2);
  EXPECT_EQ(+h_.Format.wBitsPerSample, 16);
  EXPECT_EQ(+h_.Format.nBlockAlign, 4);
  EXPECT_EQ(h_.Samples, 3200);
  auto read = [&](int32_t pos, int32_t count, int32_t options) {
    EXPECT_EQ(Try([&] { ZMVSndLoad(h_, snd_, pos, count, options); }).cls, 0);
    return std::vector<uint8_t>(snd_.SndData, snd_.SndData + static_cast<size_t>(snd_.samples) * 4);
  };
  auto pcm = [&](int32_t pos, int32_t count) {
    return std::vector<uint8_t>(m.pcm.begin() + pos * 4, m.pcm.begin() + (pos + count) * 4);
  };
  // Everything at once, from the first block on without a seek.
  EXPECT_EQ(read(0, 5000, 1), pcm(0, 3200));
  EXPECT_EQ(h_.SndPos, 3200);
  // A read across two block boundaries returns the samples of three blocks in order.
  EXPECT_EQ(read(900, 1700, 0), pcm(900, 1700));
  // Sequential reads continue where the last ended.
  EXPECT_EQ(read(2600, 300, 1), pcm(2600, 300));
  EXPECT_EQ(read(2900, 300, 1), pcm(2900, 300));
  // The last block can be reached by a seek, and the end gives 0 samples without an error.
  EXPECT_EQ(read(2700, 100, 0), pcm(2700, 100));
  EXPECT_TRUE(read(3200, 10, 0).empty());
  // A seek outside the sound makes the next read deliver nothing, also a sequential one.
  EXPECT_TRUE(read(5000, 10, 0).empty());
  EXPECT_TRUE(read(5000, 10, 1).empty());
  EXPECT_TRUE(read(-3, 10, 0).empty());
  EXPECT_EQ(read(0, 10, 0), pcm(0, 10));

  FFInfoRec info;
  ASSERT_EQ(Try([&] { ZMVInfo(path, info); }).cls, 0);
  EXPECT_EQ(info.FormatId, 7);
  EXPECT_EQ(info.Audio.Samples, 3200);
  EXPECT_EQ(+info.Audio.PcmFormat.nSamplesPerSec, 11025u);
  EXPECT_EQ(info.Audio.CodecName, "PCM, uncompressed");
  EXPECT_TRUE(info.Audio.AudioSupported);
  EXPECT_EQ(info.Video.Frames, 2);
  EXPECT_EQ(info.Video.CodecName, "ZMV BEST codec");
  EXPECT_DOUBLE_EQ(info.Video.FrameRate, 12.5);
  Close();
}

TEST_F(ZmvTest, SoundChainsThatLoopBackEnd) {
  ZmvMovie m = Movie(16, 8, 3, 0, 1, 1);
  m.soundFlags = 1;  // 8-bit mono
  m.sampleRate = 8000;
  m.blockSamples = {100, 100, 100};
  for (int i = 0; i < 300; ++i) m.pcm.push_back(static_cast<uint8_t>(i));
  ZmvFileImage image = ZmvBuildFile(m);
  // The last block points back at the first.
  test::ZmvPut32(image.bytes, image.soundBlockOffset[2] + 8, static_cast<int32_t>(image.soundBlockOffset[0]));
  const std::string path = Save(image);
  Open(path);
  ASSERT_EQ(Try([&] { ZMVSndLoad(h_, snd_, 0, 10000, 1); }).cls, 0);
  EXPECT_EQ(snd_.samples, 300);
  ASSERT_EQ(Try([&] { ZMVSndLoad(h_, snd_, 300, 10, 1); }).cls, 0);
  EXPECT_EQ(snd_.samples, 0);
  Close();
}

ZmvMovie SoundMovie(std::vector<int32_t> blocks) {
  ZmvMovie m = Movie(16, 8, 3, 0, 1, 1);
  m.soundFlags = 1;  // 8-bit mono: a sample is a byte
  m.sampleRate = 8000;
  m.blockSamples = std::move(blocks);
  int32_t total = 0;
  for (int32_t b : m.blockSamples) total += b;
  for (int32_t i = 0; i < total; ++i) m.pcm.push_back(static_cast<uint8_t>(i * 7 + i / 251));
  return m;
}

TEST_F(ZmvTest, SoundSeeksThroughTheIndexAreSampleExact) {
  // Blocks of no samples among the others; and a chain of thousands of empty blocks, which the
  // index takes whole (one entry per 16 bytes at most).
  std::vector<int32_t> many(3000, 0);
  many.push_back(90);
  for (const std::vector<int32_t>& blocks : {std::vector<int32_t>{0, 70, 0, 0, 130, 1, 99}, many}) {
    const ZmvMovie m = SoundMovie(blocks);
    const ZmvFileImage image = ZmvBuildFile(m);
    Open(Save(image));
    EXPECT_EQ(h_.SndBlocks, static_cast<int32_t>(blocks.size()));
    const int32_t total = static_cast<int32_t>(m.pcm.size());
    for (int32_t pos = 0; pos <= total; pos += 3) {
      ASSERT_EQ(Try([&] { ZMVSndLoad(h_, snd_, pos, 23, 0); }).cls, 0);
      const int32_t n = std::min(23, total - pos);
      ASSERT_EQ(snd_.samples, n) << pos;
      EXPECT_EQ(std::vector<uint8_t>(snd_.SndData, snd_.SndData + n),
                std::vector<uint8_t>(m.pcm.begin() + pos, m.pcm.begin() + pos + n))
          << pos;
      // Reading on from there continues exactly.
      ASSERT_EQ(Try([&] { ZMVSndLoad(h_, snd_, pos + n, 40, 1); }).cls, 0);
      const int32_t more = std::min(40, total - pos - n);
      ASSERT_EQ(snd_.samples, more) << pos;
      EXPECT_EQ(std::vector<uint8_t>(snd_.SndData, snd_.SndData + more),
                std::vector<uint8_t>(m.pcm.begin() + pos + n, m.pcm.begin() + pos + n + more))
          << pos;
    }
    Close();
  }
}

// A damaged chain ends at the block before the damage: it can neither loop nor run past the
// file, and what comes before the damage reads and seeks as in a sound chain.
TEST_F(ZmvTest, SoundChainsThatLoopOrLeaveTheFileEndBeforeTheDamage) {
  const ZmvFileImage good = ZmvBuildFile(SoundMovie({100, 100, 100, 100}));
  const std::vector<int64_t>& block = good.soundBlockOffset;
  const int64_t fileSize = static_cast<int64_t>(good.bytes.size());
  struct Patch {
    int64_t at;
    int64_t value;
  };
  struct Damage {
    const char* what;
    std::vector<Patch> patches;
    int32_t blocks;  // what the index keeps
  };
  // A block header planted inside block 1's data, naming block 2 as its next: sound, if the chain
  // were followed into it.
  const int64_t planted = block[1] + 16 + 50;
  const Damage damages[] = {
      {"a block that names itself next", {{block[2] + 8, block[2]}}, 3},
      {"next block inside the block's own data",
       {{block[1] + 8, planted}, {planted + 8, block[2]}, {planted + 12, 10}},
       2},
      {"next block at the block's last data byte", {{block[1] + 8, block[1] + 16 + 99}}, 2},
      {"next block behind the first", {{block[3] + 8, block[0]}}, 4},
      {"next block past the end of the file", {{block[1] + 8, fileSize + 1000}}, 2},
      {"next block header cut by the end of the file", {{block[1] + 8, fileSize - 8}}, 2},
      {"negative next block", {{block[0] + 8, -16}}, 1},
      {"samples past the end of the file", {{block[2] + 12, 1 << 20}}, 2},
      {"negative samples", {{block[2] + 12, -5}}, 2},
      {"first block past the end of the file", {{52, fileSize}}, 0},
  };
  for (const Damage& d : damages) {
    ZmvFileImage image = good;
    for (const Patch& p : d.patches) test::ZmvPut32(image.bytes, p.at, static_cast<int32_t>(p.value));
    // The sound of the blocks kept, as the damaged file holds it.
    std::vector<uint8_t> pcm;
    for (int32_t b = 0; b < d.blocks; ++b)
      for (int64_t i = 0; i < 100; ++i) pcm.push_back(static_cast<uint8_t>(image.bytes[static_cast<size_t>(block[b] + 16 + i)]));
    Open(Save(image));
    EXPECT_EQ(h_.SndBlocks, d.blocks) << d.what;
    const int32_t kept = 100 * d.blocks;
    ASSERT_EQ(Try([&] { ZMVSndLoad(h_, snd_, 0, 10000, 1); }).cls, 0) << d.what;
    EXPECT_EQ(std::vector<uint8_t>(snd_.SndData, snd_.SndData + snd_.samples), pcm) << d.what;
    ASSERT_EQ(Try([&] { ZMVSndLoad(h_, snd_, kept, 10, 1); }).cls, 0) << d.what;
    EXPECT_EQ(snd_.samples, 0) << d.what;
    if (kept > 0) {
      ASSERT_EQ(Try([&] { ZMVSndLoad(h_, snd_, kept - 30, 50, 0); }).cls, 0) << d.what;
      EXPECT_EQ(std::vector<uint8_t>(snd_.SndData, snd_.SndData + snd_.samples),
                std::vector<uint8_t>(pcm.begin() + kept - 30, pcm.end()))
          << d.what;
    }
    ASSERT_EQ(Try([&] { ZMVSndLoad(h_, snd_, kept, 10, 0); }).cls, 0) << d.what;
    EXPECT_EQ(snd_.samples, 0) << d.what;
    Close();
  }
}

TEST_F(ZmvTest, HeaderRules) {
  ZmvMovie m = Movie(16, 8, 3, 1, 1, 3);
  ZmvFileImage image = ZmvBuildFile(m);
  // Only the first three bytes of the signature count.
  image.bytes[3] = 'x';
  Open(Save(image));
  // K = 1: every frame is a key frame.
  EXPECT_EQ(ZMVNearestKeyFrame(h_, 2, 1), 2);
  ExpectFrame(m, 3);
  Close();

  // A header longer than the fields kept is skipped.
  m.headerSize = 100;
  Open(Save(ZmvBuildFile(m)));
  ExpectFrame(m, 2);
  Close();

  // More frames than the index can address are capped.
  ZmvMovie many = Movie(16, 8, 3, 0, 1, 1);
  many.frameCountField = 70000;
  Open(Save(ZmvBuildFile(many)));
  EXPECT_EQ(h_.Frames, kZmvMaxFrames);
  Close();

  image.bytes[1] = 'Q';
  ZmvHandle bad{};
  const Outcome o = Try([&] { ZMVOpen(bad, Save(image)); });
  EXPECT_EQ(o.cls, ecMovie);
  EXPECT_EQ(o.code, 1);
}

// Found by the fuzz targets: three 32-bit header fields whose product passes even 64 bits are
// refused before the product is formed, and so is a picture too large to make.
TEST_F(ZmvTest, HeaderSidesWhoseProductPasses64BitsAreRefused) {
  ZmvFileImage image = ZmvBuildFile(Movie(16, 8, 3, 0, 1, 2));
  for (const auto& [w, h, bpp] : {std::tuple{0x7FFFFFFF, 0x7FFFFFFF, 0x7FFFFFFF}, std::tuple{0x7FFFFFFF, 0x40000000, 3},
                                  std::tuple{50000, 50000, 1}}) {
    test::ZmvPut32(image.bytes, 12, w);
    test::ZmvPut32(image.bytes, 16, h);
    test::ZmvPut32(image.bytes, 20, bpp);
    ZmvHandle bad{};
    const Outcome o = Try([&] { ZMVOpen(bad, Save(image)); });
    EXPECT_EQ(o.cls, ecMovie) << w << " x " << h << " x " << bpp;
    EXPECT_EQ(o.code, 1);
  }
}

TEST_F(ZmvTest, FrameNumbersOutsideTheMovie) {
  const ZmvMovie m = Movie(16, 8, 3, 0, 1, 3);
  Open(Save(ZmvBuildFile(m)));
  for (int32_t f : {0, -1, 4}) {
    const Outcome o = Load(f);
    EXPECT_EQ(o.cls, ecMovie) << f;
    EXPECT_EQ(o.code, 1) << f;
  }
  ExpectFrame(m, 2);
  Close();
}

TEST_F(ZmvTest, FrameTwoFiftySevenLiesInTheSecondIndexPage) {
  ZmvMovie m = Movie(12, 4, 1, 1, 100, 260);
  const ZmvFileImage image = ZmvBuildFile(m);
  EXPECT_EQ(image.entryOffset[256], image.directoryOffset + 1024 + 3072);
  Open(Save(image));
  ExpectFrame(m, 257);
  EXPECT_EQ(h_.CurPage, 1);
  ExpectFrame(m, 3);
  EXPECT_EQ(h_.CurPage, 0);
  Close();
}

TEST_F(ZmvTest, DamagedFramesAreRefused) {
  const ZmvMovie m = Movie(24, 16, 3, 0, 2, 4);
  const ZmvFileImage good = ZmvBuildFile(m);
  const int64_t rec = good.recordOffset[1];  // frame 2's record
  const int64_t entry = good.entryOffset[1];
  const int64_t firstChunk = rec + 16;
  const int64_t pictureChunk = firstChunk;
  const int64_t table = pictureChunk + 16;
  struct Damage {
    const char* what;
    int64_t at;
    int32_t value;
  };
  const int32_t frameBytes = 24 * 16 * 3;
  const Damage damages[] = {
      {"record larger than the buffer", entry + 4, frameBytes + 8193},
      {"record smaller than its header", entry + 4, 8},
      {"negative record offset", entry, -5},
      {"first chunk outside the record", rec + 4, 1 << 20},
      {"negative chunk count", rec + 8, -1},
      {"chunk header outside", rec + 4, test::ZmvGet32(good.bytes, entry + 4) - 2},
      {"strip count past the record", pictureChunk + 8, 100000},
      {"strips in record above count", pictureChunk + 12, 99},
      {"short strip records", table + 4, 12},
      {"strip rows past the frame", table + 12, 17},
      {"negative rows", table + 12, -1},
      {"strip data past the record", table + 8, 1 << 16},
      {"negative data size", table + 8, -9},
  };
  for (const Damage& d : damages) {
    ZmvFileImage image = good;
    test::ZmvPut32(image.bytes, d.at, d.value);
    ZmvHandle h{};
    Qimg img;
    ASSERT_EQ(Try([&] { ZMVOpen(h, Save(image)); }).cls, 0) << d.what;
    ASSERT_EQ(Try([&] { ZMVImgLoad(h, img, 1); }).cls, 0) << d.what;
    const Outcome o = Try([&] { ZMVImgLoad(h, img, 2); });
    EXPECT_EQ(o.cls, ecMovie) << d.what;
    EXPECT_EQ(o.code, 3) << d.what;
    // A failed load leaves the movie usable: the next load starts again from the key frame.
    ASSERT_EQ(Try([&] { ZMVImgLoad(h, img, 3); }).cls, 0) << d.what;
    EXPECT_EQ(Pixels(img), m.frames[2].pixels) << d.what;
    ImgFree(img);
    ASSERT_EQ(Try([&] { ZMVClose(h); }).cls, 0);
  }

  // Palette chunks naming entries past 255.
  ZmvMovie pal = Movie(12, 4, 1, 0, 1, 2);
  test::ZmvPalette p;
  p.first = 250;
  p.rgb.assign(3 * 6, 9);
  pal.frames[1].palettes = {p};
  ZmvFileImage image = ZmvBuildFile(pal);
  test::ZmvPut32(image.bytes, image.recordOffset[1] + 16 + 12, 251);
  Open(Save(image));
  ExpectFrame(pal, 1);
  const Outcome o = Load(2);
  EXPECT_EQ(o.cls, ecMovie);
  EXPECT_EQ(o.code, 3);
  Close();

  // A cut file is a file error.
  image = ZmvBuildFile(m);
  image.bytes.resize(static_cast<size_t>(good.recordOffset[3] + 20));
  Open(Save(image));
  EXPECT_EQ(Load(4).cls, ecFile);
  Close();
}

TEST_F(ZmvTest, RandomDamageNeverCrashes) {
  ZmvMovie m = Movie(20, 12, 3, 2, 3, 6);
  m.soundFlags = 1;
  m.sampleRate = 8000;
  m.blockSamples = {50, 60};
  m.pcm.assign(110, 7);
  m.frames[1].inRecord = 0;
  const ZmvFileImage good = ZmvBuildFile(m);
  std::mt19937 rng(77);
  const std::string dir = test::MakeTempDir("zmv-random");
  for (int round = 0; round < 300; ++round) {
    std::string bytes = good.bytes;
    const int hits = 1 + static_cast<int>(rng() % 6);
    for (int k = 0; k < hits; ++k) {
      // Header, index and records alike.
      const size_t at = rng() % bytes.size();
      bytes[at] = static_cast<char>(rng());
    }
    const std::string path = dir + "/r.zmv";
    test::WriteFile(path, bytes);
    ZmvHandle h{};
    Qimg img;
    Qsnd snd;
    if (Try([&] { ZMVOpen(h, path); }).cls != 0) continue;
    for (int32_t f : {1, 2, 3, 6, 4}) {
      if (f > h.Frames) break;
      const Outcome o = Try([&] { ZMVImgLoad(h, img, f); });
      EXPECT_TRUE(o.cls == 0 || o.cls == ecMovie || o.cls == ecFile || o.cls == ecMemory) << o.cls;
    }
    Try([&] { ZMVSndLoad(h, snd, 0, 200, 1); });
    Try([&] { ZMVSndLoad(h, snd, 55, 20, 0); });
    ImgFree(img);
    SndFree(snd);
    ASSERT_EQ(Try([&] { ZMVClose(h); }).cls, 0);
  }
}

TEST_F(ZmvTest, NewerFilesGoToTheLibraryWhichRefusesThem) {
  ZmvMovie m = Movie(16, 8, 3, 0, 1, 2);
  m.version = 98;
  const std::string path = Save(ZmvBuildFile(m));
  // Without the library the format is not readable.
  platform::SetLibraryFolder(test::MakeTempDir("no-codecs"));
  ZMVDllLoad();
  EXPECT_FALSE(FFCodecLibReady(clZmv));
  ZmvHandle h{};
  Outcome o = Try([&] { ZMVOpen(h, path); });
  EXPECT_EQ(o.cls, ecMovie);
  EXPECT_EQ(o.code, 5);
  ZMVDllFree();
  FFResetCodecLibsForTest();

  platform::SetLibraryFolder(TAVELO_CODEC_DIR);
  ZMVDllLoad();
  ASSERT_TRUE(FFCodecLibReady(clZmv)) << platform::LastLibraryError();
  ZmvHandle lib{};
  o = Try([&] { ZMVOpen(lib, path); });
  EXPECT_EQ(o.cls, ecMovie);
  EXPECT_EQ(o.code, 5);
  EXPECT_EQ(lib.Lib, nullptr);  // freed, not only forgotten: the sanitizer build's leak check sees it
  FFInfoRec info;
  o = Try([&] { ZMVInfo(path, info); });
  EXPECT_EQ(o.cls, ecMovie);
  EXPECT_EQ(o.code, 5);
  ZMVDllFree();
}

TEST_F(ZmvTest, NewerFileRefusedWhenTheLibraryIsGoneBeforeItsFirstCall) {
  ZmvMovie m = Movie(16, 8, 3, 0, 1, 2);
  m.version = 98;
  const std::string path = Save(ZmvBuildFile(m));
  // The file shows every export at start-up, so loading waits for the first call; by then it is gone.
  const std::string dir = test::MakeTempDir("codecs");
  std::filesystem::copy_file(std::string(TAVELO_CODEC_DIR) + "/zmvcodec.so", dir + "/zmvcodec.so");
  platform::SetLibraryFolder(dir);
  FFDeferCodecLib(clZmv);
  ASSERT_TRUE(FFCodecLibReady(clZmv));
  std::filesystem::remove(dir + "/zmvcodec.so");
  ZmvHandle h{};
  const Outcome o = Try([&] { ZMVOpen(h, path); });
  EXPECT_EQ(o.cls, ecMovie);
  EXPECT_EQ(o.code, 5);
  EXPECT_EQ(h.Lib, nullptr);
}

TEST_F(ZmvTest, ThroughTheDispatcher) {
  ZmvMovie m = Movie(32, 20, 3, 1, 5, 12);
  m.soundFlags = 3;  // 16-bit mono
  m.sampleRate = 22050;
  m.blockSamples = {400, 400, 250};
  for (int i = 0; i < 1050 * 2; ++i) m.pcm.push_back(static_cast<uint8_t>(i * 13));
  const std::string path = Save(ZmvBuildFile(m));
  platform::SetLibraryFolder(TAVELO_CODEC_DIR);
  ConformUnitInit();
  UniInfoRec info;
  ASSERT_TRUE(UniInfo(path, info, 0, nullptr, nullptr));
  EXPECT_EQ(info.FormatId, 7);
  EXPECT_EQ(info.Kind, ukMovie);
  EXPECT_EQ(info.Description, "ZMV, Zoned Motion Video");
  EXPECT_EQ(info.Video.Frames, 12);
  EXPECT_EQ(info.Video.CodecName, "ZMV FAST codec");
  EXPECT_EQ(info.Audio.Samples, 1050);
  EXPECT_DOUBLE_EQ(info.Audio.Duration, 1050.0 / 22050);
  UniHandle h;
  ASSERT_EQ(MonitoredNoRaise([&] { UniOpen(h, info); }), 0);
  for (int32_t f : {1, 2, 3, 9, 4, 12}) {
    ASSERT_EQ(MonitoredNoRaise([&] { UniImgLoad(h, img_, f, 0); }), 0) << f;
    EXPECT_EQ(Pixels(img_), m.frames[static_cast<size_t>(f - 1)].pixels) << f;
    EXPECT_EQ(h.CurrentFrame, f);
  }
  EXPECT_EQ(UniNearestKeyFrame(h, 9, -1), 6);
  ASSERT_EQ(MonitoredNoRaise([&] { UniSndLoad(h, snd_, 0, 2000, 1); }), 0);
  EXPECT_EQ(snd_.samples, 1050);
  EXPECT_EQ(h.CurrentSample, 1050);
  EXPECT_EQ(std::vector<uint8_t>(snd_.SndData, snd_.SndData + 2100), m.pcm);
  ASSERT_EQ(MonitoredNoRaise([&] { UniClose(h); }), 0);
  ConformUnitDone();
}

TEST_F(ZmvTest, CodecPackedPicturesOfMethodSeven) {
  // The library's own contract: param is the byte length of a zlib stream of the whole picture.
  platform::SetLibraryFolder(TAVELO_CODEC_DIR);
  platform::HMODULE module = platform::LoadLibrary("zmvcodec.dll");
  ASSERT_NE(module, nullptr) << platform::LastLibraryError();
  auto decode = reinterpret_cast<zmv_decode_fn>(platform::GetProcAddress(module, "zmv_decode"));
  ASSERT_NE(decode, nullptr);
  for (int32_t bpp : {8, 24, 32}) {
    const int32_t w = 17, h = 5, bytes = w * h * (bpp / 8);
    std::vector<uint8_t> picture(static_cast<size_t>(bytes));
    for (int32_t i = 0; i < bytes; ++i) picture[static_cast<size_t>(i)] = static_cast<uint8_t>(i * 31 / 7);
    uLongf packedSize = compressBound(static_cast<uLong>(bytes));
    std::vector<uint8_t> packed(packedSize);
    ASSERT_EQ(compress2(packed.data(), &packedSize, picture.data(), static_cast<uLong>(bytes), 9), Z_OK);
    packed.resize(packedSize);
    std::vector<uint8_t> out(static_cast<size_t>(bytes), 0);
    EXPECT_EQ(decode(out.data(), packed.data(), w, h, bpp, static_cast<int32_t>(packed.size())), ZMV_OK);
    EXPECT_EQ(out, picture);
    // A stream cut short, a picture of another size, and nonsense arguments are refused.
    EXPECT_EQ(decode(out.data(), packed.data(), w, h, bpp, static_cast<int32_t>(packed.size()) - 3), ZMV_ERR_DATA);
    std::vector<uint8_t> bigger(static_cast<size_t>(bytes) * 2);
    EXPECT_EQ(decode(bigger.data(), packed.data(), w, 2 * h, bpp, static_cast<int32_t>(packed.size())), ZMV_ERR_DATA);
    EXPECT_EQ(decode(out.data(), packed.data(), w, h, 12, static_cast<int32_t>(packed.size())), ZMV_ERR_ARGS);
    EXPECT_EQ(decode(out.data(), packed.data(), 0, h, bpp, static_cast<int32_t>(packed.size())), ZMV_ERR_ARGS);
  }
  // The reading calls answer cleanly on a handle that holds no movie; writing is not offered.
  auto alloc = reinterpret_cast<zmv_handle_alloc_fn>(platform::GetProcAddress(module, "zmv_handle_alloc"));
  auto freeHandle = reinterpret_cast<zmv_handle_free_fn>(platform::GetProcAddress(module, "zmv_handle_free"));
  auto open = reinterpret_cast<zmv_open_fn>(platform::GetProcAddress(module, "zmv_open"));
  auto read = reinterpret_cast<zmv_video_read_fn>(platform::GetProcAddress(module, "zmv_video_read"));
  ASSERT_TRUE(alloc && freeHandle && open && read);
  zmv_lib_handle* h = alloc();
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(open(h, "/nonexistent/movie.zmv"), ZMV_ERR_OPEN);
  uint8_t pixel[4];
  EXPECT_EQ(read(h, pixel), ZMV_ERR_NOT_OPEN);
  freeHandle(h);
  EXPECT_TRUE(platform::FreeLibrary(module));
}

}  // namespace
}  // namespace tavelo
