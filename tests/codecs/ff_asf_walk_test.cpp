// Windows Media files take their counts at open from the headers of their data packets and walk
// their packets beside the reader: the counts and key frames must be those of the walk made at
// open (the scan option); files the header walk does not follow are walked at open; damaged
// headers never make the walk read outside a packet.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "ffreader/ff_asf_walk.h"
#include "ffreader/ff_reader.h"
#include "tests/codecs/ffmpeg_made.h"
#include "tests/support/test_env.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/log.h>
}

namespace tavelo::ffreader {
namespace {

const int kQuiet = (av_log_set_level(AV_LOG_QUIET), 0);

std::string Make(const std::string& name, const std::string& args) { return test::FFmpegMade("asf_walk", name, args); }

std::string Dir() { return test::TempRoot() + "/asf_walk"; }

std::string Fixture(const char* file) { return test::MediaPath(std::string("codec_movies/") + file); }

// The header walk over the file's first picture and sound streams, as the reader asks for it
// (in parts: that many, 0 as the walk chooses).
AsfWalk Walk(const std::string& path, AsfCounts& counts, int parts = 0) {
  AVFormatContext* fmt = nullptr;
  if (avformat_open_input(&fmt, path.c_str(), nullptr, nullptr) < 0) return AsfWalk::NotPlain;
  avformat_find_stream_info(fmt, nullptr);
  const int v = av_find_best_stream(fmt, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  const int a = av_find_best_stream(fmt, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
  WmaCount sound;
  const bool wma = a >= 0 && sound.Start(fmt->streams[a]->codecpar);
  const auto walk = StartAsfObjectWalk(path, parts);
  const AsfWalk r = (a >= 0 && !wma) || walk == nullptr
                        ? AsfWalk::NotPlain
                        : walk->Count(v >= 0 ? fmt->streams[v]->id : 0, a >= 0 ? fmt->streams[a]->id : 0,
                                      a >= 0 ? &sound : nullptr, counts);
  avformat_close_input(&fmt);
  return r;
}

// The reader's counts and key frames are the scan's (or both fail to open).
void SameAsScan(const std::string& path, bool fromHeaders) {
  std::string e1, e2;
  auto counted = Reader::Open(path, OpenOptions{true, true, false}, &e1);
  auto scanned = Reader::Open(path, OpenOptions{true, true, true}, &e2);
  ASSERT_EQ(counted == nullptr, scanned == nullptr) << e1 << " / " << e2;
  if (counted == nullptr) return;
  EXPECT_EQ(counted->CountsFromContainer(), fromHeaders);
  ASSERT_EQ(counted->HasVideo(), scanned->HasVideo());
  ASSERT_EQ(counted->HasAudio(), scanned->HasAudio());
  EXPECT_EQ(counted->Audio().SampleCount, scanned->Audio().SampleCount);
  EXPECT_EQ(counted->Video().FrameRate, scanned->Video().FrameRate);
  const int64_t frames = counted->Video().FrameCount;
  ASSERT_EQ(frames, scanned->Video().FrameCount);
  for (int64_t n = 0; n < frames; ++n) {
    EXPECT_EQ(counted->IsKeyFrame(n), scanned->IsKeyFrame(n)) << n;
    EXPECT_EQ(counted->FindKeyFrame(n, KeySearch::AtOrAfter), scanned->FindKeyFrame(n, KeySearch::AtOrAfter)) << n;
  }
  if (frames > 0) {
    const auto& v = counted->Video();
    std::vector<uint8_t> a(static_cast<size_t>(v.Width) * v.Height * 3), b(a.size());
    EXPECT_TRUE(counted->ReadFrame(frames - 1, a.data(), v.Width * 3)) << counted->LastError();
    EXPECT_TRUE(scanned->ReadFrame(frames - 1, b.data(), v.Width * 3));
    EXPECT_EQ(a, b);
  }
}

TEST(FFAsfWalk, CountsFromThePacketHeadersAreThoseOfTheScan) {
  struct Case {
    std::string file;
    AsfWalk walk;
  };
  const std::string av = "-f lavfi -i testsrc=s=96x64:r=25:d=2.2 -f lavfi -i sine=f=440:r=22050:d=2.5 ";
  std::vector<Case> cases = {
      {Fixture("wmv1.wmv"), AsfWalk::Counted},
      {Fixture("wmv2.wmv"), AsfWalk::Counted},
      {Fixture("tone.wma"), AsfWalk::Counted},
      {Make("pictures.wmv", "-f lavfi -i testsrc=s=96x64:r=12:d=1.5 -c:v wmv2 -g 7"), AsfWalk::Counted},
      // Small packets: pictures spread over many packets.
      {Make("small.wmv", av + "-c:v wmv2 -c:a wmav2 -ac 1 -packet_size 512"), AsfWalk::Counted},
      // Any picture codec is counted by its objects; sound other than WMA is not counted here.
      {Make("mpeg4.asf", av + "-c:v mpeg4 -c:a wmav1"), AsfWalk::Counted},
      {Make("mp3.asf", av + "-c:v wmv2 -c:a libmp3lame"), AsfWalk::NotPlain},
  };
  // Cut off: fewer packets than the data object says.
  const std::string cut = Dir() + "/cut.wmv";
  ASSERT_EQ(std::system(("head -c -4000 '" + Fixture("wmv2.wmv") + "' > '" + cut + "'").c_str()), 0);
  cases.push_back({cut, AsfWalk::NotPlain});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    AsfCounts counts;
    EXPECT_EQ(Walk(c.file, counts), c.walk);
    SameAsScan(c.file, c.walk == AsfWalk::Counted);
  }
}

// The walk in parts joins them where objects run across: whatever the split, the answer and the
// counts are those of one part, also where packets come out of order or a payload is cut.
TEST(FFAsfWalk, PartsJoinToTheCountOfOneWalk) {
  const std::string av = "-f lavfi -i testsrc=s=96x64:r=25:d=2.2 -f lavfi -i sine=f=440:r=22050:d=2.5 ";
  const std::string small = Make("small.wmv", av + "-c:v wmv2 -c:a wmav2 -ac 1 -packet_size 512");
  std::FILE* in = std::fopen(small.c_str(), "rb");
  ASSERT_NE(in, nullptr);
  std::vector<uint8_t> file(1 << 20);
  file.resize(std::fread(file.data(), 1, file.size(), in));
  std::fclose(in);
  const size_t first = static_cast<size_t>(file[16] | (file[17] << 8)) + 50;
  const size_t packets = (file.size() - first) / 512;
  ASSERT_GT(packets, 40u);
  const auto write = [&](const std::string& name, const std::vector<uint8_t>& bytes) {
    const std::string path = Dir() + "/" + name;
    std::FILE* out = std::fopen(path.c_str(), "wb");
    EXPECT_NE(out, nullptr);
    std::fwrite(bytes.data(), 1, bytes.size(), out);
    std::fclose(out);
    return path;
  };
  // Two packets in the middle of the file swapped; a payload's stream number cleared at the
  // packet where a split in two parts falls (the next part then begins inside its object).
  std::vector<uint8_t> swapped = file;
  std::swap_ranges(swapped.begin() + static_cast<ptrdiff_t>(first + packets / 3 * 512),
                   swapped.begin() + static_cast<ptrdiff_t>(first + (packets / 3 + 1) * 512),
                   swapped.begin() + static_cast<ptrdiff_t>(first + (packets / 3 + 1) * 512));
  std::vector<uint8_t> cleared = file;
  cleared[first + packets / 2 * 512 + 12] &= 0x80;
  struct Case {
    std::string file;
    AsfWalk walk;
  };
  const std::vector<Case> cases = {
      {small, AsfWalk::Counted},
      {Fixture("wmv2.wmv"), AsfWalk::Counted},
      {write("swapped.wmv", swapped), AsfWalk::NotPlain},
      {write("cleared.wmv", cleared), AsfWalk::NotPlain},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    AsfCounts one;
    ASSERT_EQ(Walk(c.file, one, 1), c.walk);
    for (int parts : {2, 3, 5, 8, 13, 64, 100000}) {
      SCOPED_TRACE(parts);
      AsfCounts counts;
      EXPECT_EQ(Walk(c.file, counts, parts), c.walk);
      EXPECT_EQ(counts.Pictures, one.Pictures);
      EXPECT_EQ(counts.Samples, one.Samples);
    }
  }
}

// Byte offsets of the first data packet of wmv2.wmv (made by FFmpeg's muxer: error correction,
// then two payloads of the sound and the picture stream).
struct Damage {
  const char* what;
  int64_t at;  // from the first packet (negative: from the data object's start, -50)
  std::vector<uint8_t> bytes;
};

TEST(FFAsfWalk, DamagedHeadersAreRefusedWithoutReadingPastThePacket) {
  const std::string src = Fixture("wmv2.wmv");
  std::FILE* f = std::fopen(src.c_str(), "rb");
  ASSERT_NE(f, nullptr);
  std::vector<uint8_t> file(1 << 20);
  file.resize(std::fread(file.data(), 1, file.size(), f));
  std::fclose(f);
  ASSERT_GT(file.size(), 2000u);
  const int64_t header = static_cast<int64_t>(file[16]) | (static_cast<int64_t>(file[17]) << 8);
  const int64_t first = header + 50;
  const std::vector<Damage> table = {
      {"payload length past the packet", 27, {0xFF, 0xFF}},
      {"63 payloads", 11, {0x80 | 63}},
      {"no payloads", 11, {0x80}},
      {"replicated data past the packet", 18, {0xFF}},
      {"compressed payload", 18, {0x01}},
      {"object larger than the file", 19, {0xFF, 0xFF, 0xFF, 0x7F}},
      {"packet length past the packet", 3, {0x61, 0x5d, 0xFF, 0xFF, 0xFF, 0xFF}},
      {"error correction of another kind", 0, {0x92}},
      {"offset into an object not begun", 14, {0x10}},
      {"more packets than the file holds", -10, {0xFF, 0xFF, 0xFF}},
  };
  const std::string path = test::MakeTempDir("asf_damaged") + "/damaged.wmv";
  for (const Damage& d : table) {
    SCOPED_TRACE(d.what);
    std::vector<uint8_t> bad = file;
    for (size_t i = 0; i < d.bytes.size(); ++i) bad[static_cast<size_t>(first + d.at) + i] = d.bytes[i];
    f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(bad.data(), 1, bad.size(), f);
    std::fclose(f);
    AsfCounts counts;
    EXPECT_EQ(Walk(path, counts), AsfWalk::NotPlain);
    SameAsScan(path, false);
  }
  // A payload of stream 0 (no stream) in a file without sound: nothing asks the missing sound's
  // count about it, and it is passed by.
  {
    const std::string pictures = Make("pictures.wmv", "-f lavfi -i testsrc=s=96x64:r=12:d=1.5 -c:v wmv2 -g 7");
    std::FILE* in = std::fopen(pictures.c_str(), "rb");
    ASSERT_NE(in, nullptr);
    std::vector<uint8_t> bad(1 << 20);
    bad.resize(std::fread(bad.data(), 1, bad.size(), in));
    std::fclose(in);
    const size_t stream = static_cast<size_t>(bad[16] | (bad[17] << 8)) + 50 + 12;
    ASSERT_GT(bad.size(), stream);
    ASSERT_EQ(bad[stream] & 0x7F, 1);
    bad[stream] = 0x80;
    f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(bad.data(), 1, bad.size(), f);
    std::fclose(f);
    AsfCounts counts;
    EXPECT_EQ(Walk(path, counts), AsfWalk::Counted);
    SameAsScan(path, true);  // (the demuxer passes such a payload by too)
  }
  // Every byte of the first two packets' headers, set to each of a few values: whatever the walk
  // answers, it reads inside the packet (the sanitizers watch).
  f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  std::fwrite(file.data(), 1, file.size(), f);
  std::fclose(f);
  f = std::fopen(path.c_str(), "r+b");
  ASSERT_NE(f, nullptr);
  int counted = 0;
  for (int64_t packet = 0; packet < 2; ++packet) {
    for (int64_t i = 0; i < 40; ++i) {
      const int64_t at = first + packet * 3200 + i;
      for (uint8_t v : {0x00, 0x01, 0x3F, 0x80, 0xFF}) {
        std::fseek(f, at, SEEK_SET);
        std::fputc(v, f);
        std::fflush(f);
        AsfCounts counts;
        counted += Walk(path, counts) == AsfWalk::Counted;
      }
      std::fseek(f, at, SEEK_SET);
      std::fputc(file[static_cast<size_t>(at)], f);
      std::fflush(f);
    }
  }
  std::fclose(f);
  // (Bytes the count does not depend on, the send times and most of the sound's bytes, leave it.)
  EXPECT_GT(counted, 0);
}

}  // namespace
}  // namespace tavelo::ffreader
