#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "core/services/errors.h"
#include "core/services/files.h"
#include "core/services/memory.h"
#include "formats/conform.h"
#include "formats/ff_tables.h"
#include "formats/units/ff_flc.h"
#include "tests/formats/anim_test_util.h"
#include "tests/formats/ffmpeg_frames.h"
#include "tests/formats/flic_writer.h"
#include "tests/formats/format_fixture.h"

namespace tavelo {
namespace {

using test::FlicChunk;
using test::FlicFrame;
using test::FlicOptions;
using test::Outcome;

class Flic : public test::FormatTest {
 protected:
  // What the test process tracks already (a test run in one process shares the tables).
  void SetUp() override {
    test::FormatTest::SetUp();
    mem0_ = MemCount();
    files0_ = FCount();
  }
  int32_t mem0_ = 0, files0_ = 0;
  std::string Write(const std::string& name, const std::string& bytes) {
    if (dir_.empty()) dir_ = test::MakeTempDir("flic");
    const std::string path = dir_ + "/" + name;
    test::WriteFile(path, bytes);
    return path;
  }
  std::string dir_;
};

// An animation: a gradient background, a box that moves, a stripe that changes colour, and a
// palette that changes every third frame.
std::vector<FlicFrame> Animation(int32_t w, int32_t h, int32_t count, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<FlicFrame> frames;
  FlicFrame f;
  f.Pixels.resize(static_cast<size_t>(w) * h);
  for (int i = 0; i < 256; ++i) {
    f.Rgb[3 * i] = static_cast<uint8_t>(i);
    f.Rgb[3 * i + 1] = static_cast<uint8_t>(255 - i);
    f.Rgb[3 * i + 2] = static_cast<uint8_t>(i * 5);
  }
  for (int32_t k = 0; k < count; ++k) {
    for (int32_t y = 0; y < h; ++y)
      for (int32_t x = 0; x < w; ++x) f.Pixels[static_cast<size_t>(y) * w + x] = static_cast<uint8_t>((x + y) / 3);
    const int32_t bx = (k * 5) % std::max(1, w - 8), by = (k * 3) % std::max(1, h - 6);
    for (int32_t y = by; y < std::min(h, by + 6); ++y)
      for (int32_t x = bx; x < std::min(w, bx + 8); ++x) f.Pixels[static_cast<size_t>(y) * w + x] = 200;
    for (int32_t x = 0; x < w; ++x) f.Pixels[static_cast<size_t>(h / 2) * w + x] = static_cast<uint8_t>(rng() % 256);
    f.Pixels[static_cast<size_t>(h - 1) * w + (w - 1)] = static_cast<uint8_t>(k * 17);  // the last pixel
    if (k % 3 == 2)
      for (int i = 10 + k; i < 40 + k; ++i) f.Rgb[3 * i] = static_cast<uint8_t>(rng());
    frames.push_back(f);
  }
  return frames;
}

std::vector<std::vector<uint8_t>> ReadAllIndices(FlcHandle& flc) {
  std::vector<std::vector<uint8_t>> out;
  Qimg img;
  for (int32_t f = 1; f <= flc.Frames; ++f) {
    FLCLoad(flc, img, f);
    out.push_back(test::Indices(img));
  }
  ImgFree(img);
  return out;
}

TEST(FlicPieces, FrameRatesFromTheSpeed) {
  EXPECT_DOUBLE_EQ(FLCFrameRate_(5, "/a/b/anim.fli"), 14.0);
  EXPECT_DOUBLE_EQ(FLCFrameRate_(5, "/a/b/ANIM.FLI"), 14.0);
  EXPECT_DOUBLE_EQ(FLCFrameRate_(66, "/a/b/anim.flc"), 15.2);
  EXPECT_DOUBLE_EQ(FLCFrameRate_(66, "/a/b.fli/anim"), 15.2) << "a point in a folder name is no extension";
  EXPECT_DOUBLE_EQ(FLCFrameRate_(0, "x.flc"), 0.0);
  EXPECT_DOUBLE_EQ(FLCFrameRate_(-4, "x.flc"), 0.0);
}

TEST(FlicPieces, PalettePacketsSkipFromWhereTheLastEnded) {
  // Two packets: skip 0, 16 colours; skip 16, 16 colours: entries 0-15 and 32-47.
  std::string body = {2, 0, 0, 16};
  for (int i = 0; i < 16; ++i) body += {static_cast<char>(i), 1, 2};
  body += {16, 16};
  for (int i = 0; i < 16; ++i) body += {static_cast<char>(100 + i), 3, 4};
  uint8_t pal[768];
  std::memset(pal, 0xEE, sizeof pal);
  FLCGetPal_(reinterpret_cast<const uint8_t*>(body.data()), static_cast<int64_t>(body.size()), pal, false);
  for (int i = 0; i < 16; ++i) {
    EXPECT_EQ(pal[3 * i + 2], i);  // red
    EXPECT_EQ(pal[3 * i + 1], 1);
    EXPECT_EQ(pal[3 * i], 2);  // blue
    EXPECT_EQ(pal[3 * (16 + i)], 0xEE) << "entries 16-31 are untouched";
    EXPECT_EQ(pal[3 * (32 + i) + 2], 100 + i);
  }
  EXPECT_EQ(pal[3 * 48], 0xEE);
  // 64 levels are multiplied by 4.
  const std::string six = {1, 0, 0, 1, 63, 1, 10};
  FLCGetPal_(reinterpret_cast<const uint8_t*>(six.data()), 7, pal, true);
  EXPECT_EQ(pal[2], 252);
  EXPECT_EQ(pal[1], 4);
  EXPECT_EQ(pal[0], 40);
}

TEST(FlicPieces, PalettePacketsStopAtTheLastEntry) {
  // Skip 250, then 10 colours: only 250-255 exist. Then a packet beyond the table entirely, and
  // a count of 0 (256 colours) with too little data.
  std::string body = {3, 0, static_cast<char>(250), 10};
  for (int i = 0; i < 10; ++i) body += {9, 9, 9};
  body += {static_cast<char>(255), 5};
  for (int i = 0; i < 5; ++i) body += {7, 7, 7};
  body += {0, 0, 1, 2};
  std::vector<uint8_t> pal(768 + 64, 0);
  FLCGetPal_(reinterpret_cast<const uint8_t*>(body.data()), static_cast<int64_t>(body.size()), pal.data(), false);
  EXPECT_EQ(pal[3 * 255], 9);
  EXPECT_EQ(pal[3 * 249], 0);
  for (size_t i = 768; i < pal.size(); ++i) EXPECT_EQ(pal[i], 0) << "nothing past the table";
}

TEST(FlicPieces, DeltaLinesAndPacketsAreClippedToTheLineAndFrame) {
  const int32_t w = 6, h = 3;
  std::vector<uint8_t> frame(static_cast<size_t>(w) * h + 16, 0);
  // Word delta: one line with a run of 5 words (10 pixels) from column 2, then a skip of 40
  // lines and another line (past the frame).
  const std::string flc = {2, 0, 1, 0, 2, static_cast<char>(-5), 7, 8, static_cast<char>(0xD8), static_cast<char>(0xFF),
                           1, 0, 0, 1, 9, 9};
  FLCunCmps_(flcDeltaFlc, reinterpret_cast<const uint8_t*>(flc.data()), static_cast<int64_t>(flc.size()), frame.data(),
             w, h);
  EXPECT_EQ((std::vector<uint8_t>(frame.begin(), frame.begin() + 6)), (std::vector<uint8_t>{0, 0, 7, 8, 7, 8}));
  EXPECT_EQ(frame[6], 0) << "the run does not spill into the next line";
  for (size_t i = static_cast<size_t>(w) * h; i < frame.size(); ++i) EXPECT_EQ(frame[i], 0);
  // Byte delta: start at line 2 of 3, three lines claimed, a literal of 20 bytes from column 4.
  std::string fli = {2, 0, 3, 0, 1, 4, 20};
  for (int i = 0; i < 20; ++i) fli += static_cast<char>(50 + i);
  fli += {1, 0, static_cast<char>(-100), 33};
  FLCunCmps_(flcDeltaFli, reinterpret_cast<const uint8_t*>(fli.data()), static_cast<int64_t>(fli.size()), frame.data(),
             w, h);
  EXPECT_EQ(frame[2 * 6 + 4], 50);
  EXPECT_EQ(frame[2 * 6 + 5], 51);
  EXPECT_EQ(frame[2 * 6 + 3], 0);
  for (size_t i = static_cast<size_t>(w) * h; i < frame.size(); ++i) EXPECT_EQ(frame[i], 0);
  // Byte run: a run of 100 in a line of 6, then literal bytes for the next line, then the data ends.
  const std::string brun = {0, 100, 5, 0, static_cast<char>(-3), 1, 2, 3};
  FLCunCmps_(flcByteRun, reinterpret_cast<const uint8_t*>(brun.data()), static_cast<int64_t>(brun.size()), frame.data(),
             w, h);
  EXPECT_EQ((std::vector<uint8_t>(frame.begin(), frame.begin() + 9)), (std::vector<uint8_t>{5, 5, 5, 5, 5, 5, 1, 2, 3}));
  for (size_t i = static_cast<size_t>(w) * h; i < frame.size(); ++i) EXPECT_EQ(frame[i], 0);
  // The last-pixel opcode of the word delta.
  const std::string last = {1, 0, 0x2A, static_cast<char>(0x80), 0, 0};
  FLCunCmps_(flcDeltaFlc, reinterpret_cast<const uint8_t*>(last.data()), 6, frame.data(), w, h);
  EXPECT_EQ(frame[5], 0x2A);
}

TEST(FlicPieces, LiteralPacketsCutShortWriteTheirWholeUnitsAndStop) {
  // Each kind's literal packet promises more than the data holds: the whole words (word delta)
  // or bytes there are written, clipped to the line, and decoding ends there.
  struct Case {
    int32_t Type;
    std::string Data;
    std::vector<uint8_t> Frame;  // the 6 x 2 frame afterwards (it starts as 0xEE everywhere)
  };
  const uint8_t E = 0xEE;
  const Case cases[] = {
      // Word delta, one line, one packet: skip 1, 3 words of which 2 and a half are there.
      {flcDeltaFlc, {1, 0, 1, 0, 1, 3, 1, 2, 3, 4, 5}, {E, 1, 2, 3, 4, E, E, E, E, E, E, E}},
      // The same from column 4: the words there run past the line and are cut at its end.
      {flcDeltaFlc, {1, 0, 1, 0, 4, 3, 1, 2, 3, 4, 5}, {E, E, E, E, 1, 2, E, E, E, E, E, E}},
      // Byte delta from line 1: skip 2, 5 bytes of which 3 are there.
      {flcDeltaFli, {1, 0, 1, 0, 1, 2, 5, 7, 8, 9}, {E, E, E, E, E, E, E, E, 7, 8, 9, E}},
      // Byte delta: a literal of 9 from column 3 is cut at the line's end, the next line untouched.
      {flcDeltaFli, {0, 0, 1, 0, 1, 3, 9, 1, 2, 3, 4, 5, 6, 7, 8, 9}, {E, E, E, 1, 2, 3, E, E, E, E, E, E}},
      // Byte run: a run of 2, then a literal of 6 with 3 bytes there.
      {flcByteRun, {0, 2, 4, static_cast<char>(-6), 1, 2, 3}, {4, 4, 1, 2, 3, E, E, E, E, E, E, E}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.Type) + ": " + std::to_string(c.Data.size()));
    std::vector<uint8_t> frame(12 + 16, E);
    FLCunCmps_(c.Type, reinterpret_cast<const uint8_t*>(c.Data.data()), static_cast<int64_t>(c.Data.size()), frame.data(),
               6, 2);
    EXPECT_EQ(std::vector<uint8_t>(frame.begin(), frame.begin() + 12), c.Frame);
    for (size_t i = 12; i < frame.size(); ++i) EXPECT_EQ(frame[i], E) << "nothing past the frame";
  }
}

TEST_F(Flic, FramesDecodeAsWrittenForEveryChunkKind) {
  for (bool fli : {false, true}) {
    const int32_t w = 33, h = 21;
    auto frames = Animation(w, h, 8, 9);
    frames[5].Pixels.assign(frames[5].Pixels.size(), 0);  // for the black chunk
    FlicOptions opts;
    opts.Fli = fli;
    opts.Kinds = {FlicChunk::Auto, FlicChunk::Auto, FlicChunk::Copy, FlicChunk::DeltaFli,
                  FlicChunk::DeltaFlc, FlicChunk::Black, FlicChunk::ByteRun, FlicChunk::Auto};
    opts.PrefixChunk = true;
    const std::string path = Write(fli ? "k.fli" : "k.flc", test::WriteFlic(w, h, frames, opts));
    FlcHandle flc;
    ASSERT_EQ(Outcome([&] { FLCOpen(flc, path); }).first, 0);
    EXPECT_EQ(flc.Frames, 8);
    const auto got = ReadAllIndices(flc);
    for (size_t i = 0; i < frames.size(); ++i) EXPECT_EQ(got[i], frames[i].Pixels) << "frame " << i + 1;
    FLCClose(flc);
  }
}

TEST_F(Flic, GoingBackDecodesFromTheFirstFrameAgain) {
  const std::string path = Write("back.flc", test::WriteFlic(40, 30, Animation(40, 30, 9, 4), {}));
  FlcHandle flc;
  FLCOpen(flc, path);
  const auto forward = ReadAllIndices(flc);
  Qimg img;
  FLCLoad(flc, img, 7);
  EXPECT_EQ(flc.Current, 7);
  FLCLoad(flc, img, 3);
  EXPECT_EQ(flc.Current, 3);
  EXPECT_EQ(test::Indices(img), forward[2]);
  for (int32_t f : {9, 1, 5, 5, 2, 8}) {
    FLCLoad(flc, img, f);
    EXPECT_EQ(test::Indices(img), forward[static_cast<size_t>(f - 1)]) << f;
  }
  // Frames outside 1..count.
  EXPECT_EQ(Outcome([&] { FLCLoad(flc, img, 0); }), test::Err(ecMovie, 1));
  EXPECT_EQ(Outcome([&] { FLCLoad(flc, img, 10); }), test::Err(ecMovie, 1));
  FLCLoad(flc, img, 9);
  EXPECT_EQ(Outcome([&] { FLCLoadNext(flc, img, false); }), test::Err(ecFlic, 1));
  EXPECT_EQ(ErrorText(ecFlic, 1), "End of FLIC movie reached.");
  ImgFree(img);
  FLCClose(flc);
  EXPECT_EQ(MemCount(), mem0_);
  EXPECT_EQ(FCount(), files0_);
}

TEST_F(Flic, PaletteChunksMarkTheirFrames) {
  const std::string path = Write("pal.flc", test::WriteFlic(16, 8, Animation(16, 8, 6, 1), {}));
  FlcHandle flc;
  FLCOpen(flc, path);
  Qimg img;
  std::vector<int32_t> marks;
  for (int32_t f = 1; f <= 6; ++f) {
    FLCLoadNext(flc, img, false);
    marks.push_back(flc.PalChanged);
  }
  EXPECT_EQ(marks, (std::vector<int32_t>{-1, 0, -1, 0, 0, -1}));
  ImgFree(img);
  FLCClose(flc);
}

TEST_F(Flic, InfoAndRates) {
  FlicOptions opts;
  opts.Fli = true;
  opts.Speed = 5;
  FFInfoRec info;
  FLCInfo(Write("a.fli", test::WriteFlic(20, 10, Animation(20, 10, 3, 2), opts)), info);
  EXPECT_EQ(info.FormatId, fidFLIC);
  EXPECT_DOUBLE_EQ(info.Video.FrameRate, 14.0);
  EXPECT_EQ(info.Video.Frames, 3);
  EXPECT_EQ(info.Video.Width, 20);
  EXPECT_EQ(info.Video.Height, 10);
  EXPECT_EQ(info.Video.Bpp, 8);
  EXPECT_EQ(info.Video.OrigBpp, 8);
  EXPECT_EQ(info.Video.BytesPP, 1);
  EXPECT_EQ(info.Video.CodecName, "RLE + pixel difference from previous frame");
  EXPECT_EQ(info.Video.HasVideo, -1);
  EXPECT_EQ(info.Video.VideoSupported, -1);
  EXPECT_GT(info.FileSize, 128.0);
  opts.Fli = false;
  opts.Speed = 66;
  FFInfoRec info2;
  FLCInfo(Write("a.flc", test::WriteFlic(20, 10, Animation(20, 10, 3, 2), opts)), info2);
  EXPECT_DOUBLE_EQ(info2.Video.FrameRate, 15.2);
  EXPECT_EQ(MemCount(), mem0_);
}

TEST_F(Flic, DamagedChunksAreInvalidNotEndless) {
  const std::string good = test::WriteFlic(16, 8, Animation(16, 8, 3, 3), {});
  FlcHandle flc;
  Qimg img;
  // The last frame chunk claims more bytes than remain.
  {
    std::string bad = good;
    // Find the third frame chunk: walk the chunks.
    size_t pos = 128;
    for (int i = 0; i < 2; ++i) pos += static_cast<uint8_t>(bad[pos]) | (static_cast<uint8_t>(bad[pos + 1]) << 8);
    bad[pos + 2] = 1;  // +65536 bytes
    FLCOpen(flc, Write("long.flc", bad));
    EXPECT_EQ(Outcome([&] { FLCLoad(flc, img, 2); }).first, 0);
    EXPECT_EQ(Outcome([&] { FLCLoad(flc, img, 3); }), test::Err(ecImage, 2));
    EXPECT_EQ(ErrorText(ecImage, 2), "Invalid image format.");
    FLCClose(flc);
  }
  // A chunk of size 0 would never move on.
  {
    std::string bad = good;
    std::memset(&bad[128], 0, 4);
    FLCOpen(flc, Write("zero.flc", bad));
    EXPECT_EQ(Outcome([&] { FLCLoad(flc, img, 1); }), test::Err(ecImage, 2));
    FLCClose(flc);
  }
  // A sub-chunk of size 0, and one that runs past its frame.
  for (uint32_t size : {0u, 5u, 100000u}) {
    std::string frame = test::FlicFrameChunk({test::FlicSubChunk(13, "")});
    frame[16] = static_cast<char>(size & 0xFF);
    frame[17] = static_cast<char>((size >> 8) & 0xFF);
    frame[18] = static_cast<char>((size >> 16) & 0xFF);
    std::string bad = test::FlicHeader(false, 1, 16, 8, 0, 0) + frame;
    FLCOpen(flc, Write("sub.flc", bad));
    EXPECT_EQ(Outcome([&] { FLCLoad(flc, img, 1); }), test::Err(ecImage, 2)) << size;
    FLCClose(flc);
  }
  // Headers: wrong magic, too short, no size.
  std::string magic = good;
  magic[4] = 0x13;
  EXPECT_EQ(Outcome([&] { FLCOpen(flc, Write("m.flc", magic)); }), test::Err(ecImage, 2));
  EXPECT_EQ(Outcome([&] { FLCOpen(flc, Write("s.flc", good.substr(0, 100))); }), test::Err(ecImage, 2));
  std::string nosize = good;
  nosize[8] = nosize[9] = 0;
  EXPECT_EQ(Outcome([&] { FLCOpen(flc, Write("n.flc", nosize)); }), test::Err(ecImage, 2));
  EXPECT_EQ(flc.File, 0);
  ImgFree(img);
  EXPECT_EQ(MemCount(), mem0_);
  EXPECT_EQ(FCount(), files0_);
}

TEST_F(Flic, AFinalChunkShortOnlyOfItsPaddingByteReads) {
  // A 3 x 3 copy frame: 9 pixel bytes make a 15-byte sub-chunk and a 31-byte frame chunk, which
  // the writer counts as 32 with its padding byte and then leaves that byte out of the file.
  const std::vector<uint8_t> px = {1, 2, 3, 4, 5, 6, 7, 8, 9};
  const std::string copy = test::FlicSubChunk(16, std::string(px.begin(), px.end()));
  struct Case {
    const char* what;
    uint32_t claimed;    // the frame chunk's size field
    uint32_t subClaimed;  // the copy sub-chunk's size field
    bool reads;
  };
  for (const Case& c : {Case{"only the padding byte missing", 32, 15, true},
                        Case{"a sub-chunk byte missing", 32, 16, false},
                        Case{"two bytes past the end", 33, 15, false}}) {
    SCOPED_TRACE(c.what);
    std::string frame = test::FlicFrameChunk({copy});
    frame[0] = static_cast<char>(c.claimed);
    frame[16] = static_cast<char>(c.subClaimed);
    const std::string file = test::FlicHeader(false, 1, 3, 3, 0, 0) + frame;
    FlcHandle flc;
    Qimg img;
    FLCOpen(flc, Write("pad.flc", file));
    const auto outcome = Outcome([&] { FLCLoad(flc, img, 1); });
    if (c.reads) {
      ASSERT_EQ(outcome.first, 0);
      EXPECT_EQ(test::Indices(img), px);
    } else {
      EXPECT_EQ(outcome, test::Err(ecImage, 2));
    }
    ImgFree(img);
    FLCClose(flc);
  }
  EXPECT_EQ(MemCount(), mem0_);
  EXPECT_EQ(FCount(), files0_);
}

// Opens and reads every frame, forward and then from the start again. Never crashes or hangs.
int32_t ReadEverything(const std::string& path) {
  int32_t failures = 0;
  FlcHandle flc;
  if (Outcome([&] { FLCOpen(flc, path); }).first != 0) return 1;
  Qimg img;
  for (int32_t f = 1; f <= flc.Frames; ++f)
    if (Outcome([&] { FLCLoadNext(flc, img, false); }).first != 0) ++failures;
  if (flc.Frames > 0 && Outcome([&] { FLCLoad(flc, img, 1); }).first != 0) ++failures;
  ImgFree(img);
  FLCClose(flc);
  return failures;
}

TEST_F(Flic, TruncatedAndCorruptedFilesGiveErrorsNeverACrash) {
  for (bool fli : {false, true}) {
    FlicOptions opts;
    opts.Fli = fli;
    const std::string whole = test::WriteFlic(23, 17, Animation(23, 17, 5, 8), opts);
    for (size_t n = 0; n < whole.size(); n += 3) {
      const int32_t failures = ReadEverything(Write("cut.flc", whole.substr(0, n)));
      EXPECT_GT(failures, 0) << "cut at " << n;
    }
    std::mt19937 rng(99);
    for (int round = 0; round < 300; ++round) {
      std::string bad = whole;
      const int flips = 1 + static_cast<int>(rng() % 6);
      for (int i = 0; i < flips; ++i) bad[128 + rng() % (bad.size() - 128)] = static_cast<char>(rng());
      ReadEverything(Write("bad.flc", bad));
    }
  }
  EXPECT_EQ(MemCount(), mem0_);
  EXPECT_EQ(FCount(), files0_);
}

// ---------------------------------------------------------------------------------------------
// Against FFmpeg's flic decoder

// FFmpeg widens 64-level palettes by repeating the top bits; we multiply by 4.
uint32_t Widened(uint8_t v, bool sixBit) { return sixBit ? v | (v >> 6) : v; }

void ExpectSameAsFFmpeg(const std::string& path, bool sixBit) {
  SCOPED_TRACE(path);
  test::RefFrames ref;
  std::string why;
  ASSERT_TRUE(test::FFmpegDecodeAll(path, ref, why)) << why;
  ASSERT_EQ(ref.PixFmt, "pal8");
  FlcHandle flc;
  ASSERT_EQ(Outcome([&] { FLCOpen(flc, path); }).first, 0);
  ASSERT_EQ(static_cast<size_t>(flc.Frames), ref.Indices.size());
  Qimg img;
  for (int32_t f = 1; f <= flc.Frames; ++f) {
    ASSERT_EQ(Outcome([&] { FLCLoadNext(flc, img, false); }).first, 0);
    const auto& idx = ref.Indices[static_cast<size_t>(f - 1)];
    const auto ours = test::Indices(img);
    ASSERT_EQ(ours.size(), idx.size());
    for (size_t k = 0; k < ours.size(); ++k)
      ASSERT_EQ(ours[k], idx[k]) << "frame " << f << " pixel (" << k % flc.Width << "," << k / flc.Width << ")";
    const auto& pal = ref.Palettes[static_cast<size_t>(f - 1)];
    for (int i = 0; i < 256; ++i) {
      const uint32_t ours = (Widened(img.Palette[3 * i + 2], sixBit) << 16) | (Widened(img.Palette[3 * i + 1], sixBit) << 8) |
                            Widened(img.Palette[3 * i], sixBit);
      ASSERT_EQ(ours, pal[static_cast<size_t>(i)] & 0xFFFFFF) << "frame " << f << " entry " << i;
    }
  }
  ImgFree(img);
  FLCClose(flc);
}

TEST_F(Flic, FilesFromOurWriterDecodeLikeFFmpegsFlicDecoder) {
  for (bool fli : {false, true}) {
    for (int32_t w : {64, 37}) {
      FlicOptions opts;
      opts.Fli = fli;
      opts.Speed = fli ? 5 : 66;
      const int32_t h = 29;
      auto frames = Animation(w, h, 12, static_cast<uint32_t>(w));
      frames[7].Pixels.assign(frames[7].Pixels.size(), 0);
      if (w % 2 == 1) {
        // FFmpeg puts the word delta's last-pixel opcode at the end of its padded row, outside
        // the picture; the last column stays unchanged here (our own tests cover the opcode).
        for (auto& f : frames)
          for (int32_t y = 0; y < h; ++y) f.Pixels[static_cast<size_t>(y) * w + (w - 1)] = static_cast<uint8_t>(y);
      }
      opts.Kinds.assign(12, FlicChunk::Auto);
      // FFmpeg reads the rows of a copy chunk at 4-byte strides; the documented layout (and ours)
      // packs them: the two agree where the width is a multiple of 4.
      opts.Kinds[4] = w % 4 == 0 ? FlicChunk::Copy : FlicChunk::Auto;
      opts.Kinds[7] = FlicChunk::Black;
      opts.Kinds[9] = FlicChunk::ByteRun;
      opts.Kinds[10] = fli ? FlicChunk::DeltaFlc : FlicChunk::DeltaFli;
      const std::string name = std::string("ff") + std::to_string(w) + (fli ? ".fli" : ".flc");
      ExpectSameAsFFmpeg(Write(name, test::WriteFlic(w, h, frames, opts)), fli);
    }
  }
}

}  // namespace
}  // namespace tavelo
