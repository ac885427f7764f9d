// Ogg files count their pictures and samples from the granule positions of their last pages at
// open, and walk their packets beside the reader: the counts, the key frames and what reads give
// must be those of the walk made at open (the scan option), for every kind of Ogg file; files
// whose pages cannot give the counts (chained, cut off, other codecs) are walked at open.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "ffreader/ff_ogg_ends.h"
#include "ffreader/ff_reader.h"
#include "tests/support/test_env.h"

extern "C" {
#include <libavutil/crc.h>
#include <libavutil/log.h>
}

namespace tavelo::ffreader {
namespace {

const int kQuiet = (av_log_set_level(AV_LOG_QUIET), 0);

std::string Dir() {
  static const std::string dir = [] {
    const std::string d = test::TempRoot() + "/ogg_counts";
    EXPECT_EQ(std::system(("mkdir -p '" + d + "'").c_str()), 0);
    return d;
  }();
  return dir;
}

std::string Make(const std::string& name, const std::string& args) {
  const std::string out = Dir() + "/" + name;
  const std::string cmd = "ffmpeg -v error -nostdin -y " + args + " '" + out + "'";
  EXPECT_EQ(std::system(cmd.c_str()), 0) << cmd;
  return out;
}

std::vector<uint8_t> Frame(Reader& r, int64_t n) {
  std::vector<uint8_t> px(static_cast<size_t>(r.Video().Width) * r.Video().Height * 3);
  EXPECT_TRUE(r.ReadFrame(n, px.data(), r.Video().Width * 3)) << n << ": " << r.LastError();
  return px;
}

std::vector<int16_t> Sound(Reader& r, int64_t pos, int64_t n) {
  std::vector<int16_t> s(static_cast<size_t>(n * r.Audio().Channels));
  const int64_t got = r.ReadAudio(pos, s.data(), n);
  EXPECT_EQ(got, n) << pos << ": " << r.LastError();
  return s;
}

TEST(FFOggCounts, CountsFromTheLastPagesAreThoseOfTheWalk) {
  struct Case {
    std::string file;
    bool fromPages;  // the counts come from the pages (else the packets are walked at open)
  };
  const std::string av = "-f lavfi -i testsrc=s=96x64:r=25:d=3.1 -f lavfi -i sine=f=440:r=44100:d=3.3 ";
  std::vector<Case> cases = {
      {test::MediaPath("codec_movies/theora.ogv"), true},
      {test::MediaPath("codec_movies/vorbis.ogg"), true},
      {Make("pictures.ogv", "-f lavfi -i testsrc=s=80x48:r=12:d=1.25 -c:v libtheora -g 7"), true},
      {Make("both.ogv", av + "-c:v libtheora -g 30 -c:a libvorbis -ac 1"), true},
      // Streams that start later than 0.
      {Make("late.ogv", av + "-c:v libtheora -c:a libvorbis -output_ts_offset 0.6"), true},
      {Make("mono.ogg", "-f lavfi -i sine=f=300:r=8000:d=1.3 -c:a libvorbis -q:a 0"), true},
      // Sound within its first page, whose last packet is shorter than what the page cuts off.
      {Make("tiny.ogg", "-f lavfi -i sine=f=300:r=8000:d=0.2 -c:a libvorbis"), true},
      {Make("flac.oga", "-f lavfi -i sine=f=300:r=22050:d=1.1 -c:a flac"), false},
  };
  // Cut off (no last page), and chained.
  const std::string cut = Dir() + "/cut.ogv", chain = Dir() + "/chain.ogg";
  ASSERT_EQ(std::system(("head -c -2500 '" + cases[3].file + "' > '" + cut + "'").c_str()), 0);
  ASSERT_EQ(std::system(("cat '" + cases[5].file + "' '" + cases[1].file + "' > '" + chain + "'").c_str()), 0);
  cases.push_back({cut, false});
  cases.push_back({chain, false});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    std::string error;
    auto open = Reader::Open(c.file, OpenOptions{}, &error);
    auto walked = Reader::Open(c.file, OpenOptions{true, true, true}, &error);
    ASSERT_TRUE(open && walked) << error;
    EXPECT_EQ(open->CountsFromContainer(), c.fromPages);
    EXPECT_FALSE(walked->CountsFromContainer());
    ASSERT_EQ(open->HasVideo(), walked->HasVideo());
    ASSERT_EQ(open->HasAudio(), walked->HasAudio());
    if (open->HasVideo()) {
      const int64_t frames = walked->Video().FrameCount;
      ASSERT_EQ(open->Video().FrameCount, frames);
      EXPECT_EQ(open->Video().FrameRate, walked->Video().FrameRate);
      for (int64_t n = 0; n < frames; ++n) {
        EXPECT_EQ(open->IsKeyFrame(n), walked->IsKeyFrame(n)) << n;
        EXPECT_EQ(open->FindKeyFrame(n, KeySearch::AtOrAfter), walked->FindKeyFrame(n, KeySearch::AtOrAfter)) << n;
      }
      EXPECT_TRUE(Frame(*open, frames - 1) == Frame(*walked, frames - 1));
      EXPECT_TRUE(Frame(*open, frames / 2) == Frame(*walked, frames / 2));
    }
    if (open->HasAudio()) {
      const int64_t samples = walked->Audio().SampleCount;
      ASSERT_EQ(open->Audio().SampleCount, samples);
      EXPECT_TRUE(Sound(*open, samples - 300, 300) == Sound(*walked, samples - 300, 300));
    }
  }
}

// A granule position counts frames from its key frame number and offset; one that no count can
// come from (a forged end page) gives -1, not an overflowed count.
TEST(FFOggCounts, TheoraGranulesGiveFrameCountsOrNone) {
  struct Case {
    int64_t granule;
    int shift;
    uint32_t version;
    int64_t frames;
  } cases[] = {
      {(int64_t{40} << 6) | 9, 6, 0x030201, 49},
      {(int64_t{40} << 6) | 9, 6, 0x030200, 50},
      {0, 6, 0x030200, 1},
      {INT64_MAX, 0, 0x030200, -1},
      {INT64_MAX, 0, 0x030201, INT64_MAX},
      {-5, 6, 0x030201, -1},
      {7, 32, 0x030201, -1},
  };
  for (const Case& c : cases)
    EXPECT_EQ(TheoraFramesThrough(c.granule, c.shift, c.version), c.frames) << c.granule << " " << c.shift;
}

// A tail strewn with false page starts ("OggS" every 5 bytes, each claiming a page of about 7 KB
// that fits) is given up on, not checksummed at every byte (gigabytes of work): the counts then
// come from the walk.
TEST(FFOggCounts, FalsePageStartsInTheTailAreNotChecksummedWithoutEnd) {
  const std::string file = Dir() + "/false_pages.ogg";
  std::string bytes = test::ReadFile(test::MediaPath("codec_movies/vorbis.ogg"));
  for (int i = 0; i < (2 << 20) / 5; ++i) bytes.append("OggS\0", 5);
  FILE* f = std::fopen(file.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
  std::fclose(f);
  OggEnds ends;
  EXPECT_FALSE(ReadOggEnds(file, int64_t{2} << 20, ends));
}

// An Ogg page of stream serial: sequence number, flags (1: it continues a packet) and lacing
// values; packet bytes count up from first.
std::string Page(uint32_t serial, uint32_t sequence, uint8_t flags, const std::vector<uint8_t>& laces, uint8_t first) {
  std::string p("OggS\0", 5);
  p += static_cast<char>(flags);
  p.append(8, '\x10');  // granule position
  for (const uint32_t v : {serial, sequence, 0u})
    for (int i = 0; i < 4; ++i) p += static_cast<char>(v >> (8 * i));
  p += static_cast<char>(laces.size());
  size_t body = 0;
  for (const uint8_t l : laces) {
    p += static_cast<char>(l);
    body += l;
  }
  for (size_t i = 0; i < body; ++i) p += static_cast<char>(first + i);
  const AVCRC* crc = av_crc_get_table(AV_CRC_32_IEEE);
  const uint32_t sum = av_crc(crc, 0, reinterpret_cast<const uint8_t*>(p.data()), p.size());
  for (int i = 0; i < 4; ++i) p[22 + i] = static_cast<char>(sum >> (24 - 8 * i));
  return p;
}

// The packets of one stream put together from the pages of the file's tail: packets that span
// pages, a packet begun before the first page taken is left out, pages of another stream in
// between; a page missing or a packet left open at the end are told.
TEST(FFOggCounts, PacketsFromTheTailPages) {
  struct Case {
    int from;                 // the first page taken (0-2: A, B, D)
    uint32_t lastSequence;    // of page D (6: one missing)
    uint8_t lastLace;         // D's last lacing value (255: its packet goes on)
    bool ok, open;
    std::vector<int64_t> sizes;
    std::vector<int> ends;    // the page each ends on
  } cases[] = {
      {0, 5, 7, true, false, {5, 765, 3, 7}, {0, 1, 2, 2}},
      {1, 5, 7, true, false, {3, 7}, {2, 2}},
      {2, 5, 7, true, false, {3, 7}, {2, 2}},
      {0, 5, 255, true, true, {5, 765, 3}, {0, 1, 2}},
      {0, 6, 7, false, false, {}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.from);
    const std::string pages[] = {Page(7, 3, 1, {255, 10, 5, 255}, 0), Page(7, 4, 1, {255, 255, 0}, 50),
                                 Page(9, 1, 0, {40}, 0), Page(7, c.lastSequence, 0, {3, c.lastLace}, 90)};
    const std::string file = Dir() + "/tail_pages.ogg";
    FILE* f = std::fopen(file.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    int64_t offsets[3] = {}, at = 0;
    for (int i = 0; i < 4; ++i) {
      if (i != 2) offsets[i < 2 ? i : 2] = at;
      at += static_cast<int64_t>(pages[i].size());
      std::fwrite(pages[i].data(), 1, pages[i].size(), f);
    }
    std::fclose(f);
    OggEnds ends;
    ASSERT_TRUE(ReadOggEnds(file, 1 << 16, ends));
    std::vector<OggTailPacket> packets;
    bool open = false;
    ASSERT_EQ(OggTailPackets(ends, 7, offsets[c.from], packets, open), c.ok);
    if (!c.ok) continue;
    EXPECT_EQ(open, c.open);
    ASSERT_EQ(packets.size(), c.sizes.size());
    for (size_t i = 0; i < packets.size(); ++i) {
      EXPECT_EQ(packets[i].Size, c.sizes[i]) << i;
      EXPECT_EQ(packets[i].EndPage, offsets[c.ends[i]]) << i;
      EXPECT_EQ(packets[i].HeadSize, std::min<int64_t>(c.sizes[i], 8)) << i;
    }
    // Each packet's first byte: the bytes of the pages count up from 0, 50 and 90 (byte 265 of A
    // is 9).
    if (c.from == 0) {
      EXPECT_EQ(std::vector<int>({packets[0].Head[0], packets[1].Head[0], packets[2].Head[0]}),
                std::vector<int>({9, 14, 90}));
    }
  }
}

// Several megabytes of noise, walked in two parts.
const std::string& Noisy() {
  static const std::string file = Make("noisy.ogv",
                                       "-f lavfi -i testsrc2=s=320x240:r=25:d=3,noise=alls=30:allf=t "
                                       "-f lavfi -i sine=f=440:r=44100:d=3 -c:v libtheora -q:v 8 -g 20 -c:a libvorbis");
  return file;
}

// A reader opened while the packets are walked reads the start of the file before the walk ends
// (over the index of its first part), may be shared and read by two threads at once, goes on past
// that part, and may be closed before the walk ends. (A file of several megabytes: noise.)
TEST(FFOggCounts, ReadersOfAFileBeingWalked) {
  const std::string& file = Noisy();
  for (int round = 0; round < 3; ++round) Reader::Open(file, OpenOptions{});  // closed at once
  auto walked = Reader::Open(file, OpenOptions{true, true, true});
  auto first = Reader::Open(file, OpenOptions{});
  ASSERT_TRUE(walked && first);
  ASSERT_TRUE(first->CountsFromContainer());
  auto second = first->Share();
  ASSERT_NE(second, nullptr);
  const int64_t frames = first->Video().FrameCount;
  std::vector<std::vector<uint8_t>> a(6), b(6);
  std::thread other([&] {
    for (int64_t n = 5; n >= 0; --n) b[static_cast<size_t>(n)] = Frame(*second, n);
  });
  for (int64_t n = 0; n < 6; ++n) a[static_cast<size_t>(n)] = Frame(*first, n);
  const std::vector<int16_t> sound = Sound(*first, 0, 4000);
  other.join();
  for (int64_t n = 0; n < 6; ++n) {
    EXPECT_TRUE(a[static_cast<size_t>(n)] == Frame(*walked, n)) << n;
    EXPECT_TRUE(b[static_cast<size_t>(n)] == a[static_cast<size_t>(n)]) << n;
  }
  EXPECT_TRUE(sound == Sound(*walked, 0, 4000));
  for (const int64_t n : {frames - 1, int64_t{2}, frames / 2})
    EXPECT_TRUE(Frame(*first, n) == Frame(*walked, n)) << n;
  const int64_t samples = walked->Audio().SampleCount;
  EXPECT_TRUE(Sound(*second, samples - 500, 500) == Sound(*walked, samples - 500, 500));
  EXPECT_TRUE(Sound(*second, 100, 500) == Sound(*walked, 100, 500));
}

// Playing on from the start of a file being walked (pictures and the sound beside them, in
// order) goes on across the switch from the index of the file's first part to the full one:
// the decoding started once per stream is never started again, and every picture and sample is
// that of the walk made at open.
TEST(FFOggCounts, PlayingOnAcrossTheEndOfTheWalkDoesNotStartAgain) {
  auto walked = Reader::Open(Noisy(), OpenOptions{true, true, true});
  auto playing = Reader::Open(Noisy(), OpenOptions{});
  ASSERT_TRUE(walked && playing);
  ASSERT_TRUE(playing->CountsFromContainer());
  const int64_t frames = playing->Video().FrameCount;
  const int64_t samples = playing->Audio().SampleCount;
  const int64_t perFrame = samples / frames + 1;
  int64_t pos = 0;
  for (int64_t n = 0; n < frames; ++n) {
    ASSERT_TRUE(Frame(*playing, n) == Frame(*walked, n)) << n;
    const int64_t count = std::min(perFrame, samples - pos);
    if (count <= 0) continue;
    ASSERT_TRUE(Sound(*playing, pos, count) == Sound(*walked, pos, count)) << pos;
    pos += count;
  }
  EXPECT_EQ(pos, samples);
  // One run of pictures, one of sound.
  EXPECT_EQ(playing->Seeks(), 2);
}

}  // namespace
}  // namespace tavelo::ffreader
