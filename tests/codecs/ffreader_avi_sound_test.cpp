// MPEG audio in AVI indexed from the file's index: taken that way only where each chunk is one
// whole frame lasting one tick, and then counted and read exactly as the packet scan does.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "ffreader/ff_avi_order.h"
#include "ffreader/ff_packets.h"
#include "ffreader/ff_reader.h"
#include "tests/platform/avi_test_writer.h"
#include "tests/support/test_env.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/log.h>
}

namespace tavelo::ffreader {
namespace {

const int kQuiet = (av_log_set_level(AV_LOG_QUIET), 0);

// The MP3 frames of a fixture (one to a packet, as ffmpeg stores them).
std::vector<std::vector<uint8_t>> Mp3Frames(const std::string& path) {
  std::vector<std::vector<uint8_t>> frames;
  AVFormatContext* fmt = nullptr;
  if (avformat_open_input(&fmt, path.c_str(), nullptr, nullptr) < 0) return frames;
  const int a = av_find_best_stream(fmt, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
  AVPacket* pkt = av_packet_alloc();
  while (a >= 0 && av_read_frame(fmt, pkt) >= 0) {
    if (pkt->stream_index == a) frames.emplace_back(pkt->data, pkt->data + pkt->size);
    av_packet_unref(pkt);
  }
  av_packet_free(&pkt);
  avformat_close_input(&fmt);
  return frames;
}

// How a test file stores the frames.
enum class Layout {
  OneFrameAChunk,
  TwoFramesAChunk,         // the header still says one frame a chunk
  TwoFramesAChunkStated,   // and says two
  CutOffFrames,            // chunks of 300 bytes whatever the frames
  DamagedLastHeader,       // the last frame's sync word overwritten
  CountedInBytes,          // a sample size of 1: timestamps count bytes
  SizePastTheEnd,          // the last chunk's index entry claims 2 GB
  SizeBeyondItsChunk,      // a chunk's index entry claims more than its header
};

// An AVI file of an 8x8 picture stream and MP3 sound (44100 Hz stereo, 1152 samples a frame).
std::string MakeFile(const std::string& dir, Layout layout) {
  static const auto frames = Mp3Frames(test::MediaPath("mp3_avi/lame_vbr.avi"));
  test::TestAviStream sound;
  sound.Type = test::TestFcc("auds");
  // WAVEFORMATEX of MPEG layer 3 and its 12 bytes of extra data.
  sound.Format.resize(30);
  // The demuxer reckons a chunk's ticks from its size by the block alignment: with 2304, chunks
  // of two frames still count one tick each, as the stream header says.
  const bool two = layout == Layout::TwoFramesAChunk || layout == Layout::TwoFramesAChunkStated;
  const uint16_t tag = 0x55, channels = 2, align = two ? 2304 : 1152, extra = 12;
  const uint32_t rate = 44100, bytes = 16000;
  std::memcpy(&sound.Format[0], &tag, 2);
  std::memcpy(&sound.Format[2], &channels, 2);
  std::memcpy(&sound.Format[4], &rate, 4);
  std::memcpy(&sound.Format[8], &bytes, 4);
  std::memcpy(&sound.Format[12], &align, 2);
  std::memcpy(&sound.Format[16], &extra, 2);
  sound.Scale = layout == Layout::TwoFramesAChunkStated ? 2304 : 1152;
  sound.Rate = rate;
  std::vector<uint8_t> all;
  for (const auto& f : frames) all.insert(all.end(), f.begin(), f.end());
  switch (layout) {
    case Layout::TwoFramesAChunk:
    case Layout::TwoFramesAChunkStated:
      for (size_t i = 0; i + 1 < frames.size(); i += 2) {
        sound.Chunks.push_back(frames[i]);
        sound.Chunks.back().insert(sound.Chunks.back().end(), frames[i + 1].begin(), frames[i + 1].end());
      }
      break;
    case Layout::CutOffFrames:
    case Layout::CountedInBytes:
      for (size_t at = 0; at < all.size(); at += 300)
        sound.Chunks.emplace_back(all.begin() + static_cast<ptrdiff_t>(at),
                                  all.begin() + static_cast<ptrdiff_t>(std::min(all.size(), at + 300)));
      if (layout == Layout::CountedInBytes) {
        sound.SampleSize = 1;
        sound.Scale = 1;
        sound.Rate = bytes;
      }
      break;
    default:
      sound.Chunks = frames;
      if (layout == Layout::DamagedLastHeader) std::memset(sound.Chunks.back().data(), 0, 4);
      break;
  }
  test::TestAviStream picture;
  picture.Format = test::TestBitmapFormat(8, 8, 24, 0);
  picture.Rate = 10;
  for (size_t i = 0; i < sound.Chunks.size(); ++i) picture.Chunks.emplace_back(8 * 8 * 3, static_cast<uint8_t>(i));
  std::string bytesOut = test::WriteTestAvi({picture, sound}, test::TestAviIndex::Idx1);
  if (layout == Layout::SizePastTheEnd || layout == Layout::SizeBeyondItsChunk) {
    // The idx1 entries come last, 16 bytes each: the last is the last sound chunk's.
    const size_t entry = layout == Layout::SizePastTheEnd ? bytesOut.size() - 16 : bytesOut.size() - 16 * 5;
    const uint32_t size = layout == Layout::SizePastTheEnd ? 0x7FFFFF00u : 1100u;
    EXPECT_EQ(bytesOut.compare(entry, 4, "01wb"), 0);
    std::memcpy(&bytesOut[entry + 12], &size, 4);
  }
  const std::string path = dir + "/" + std::to_string(static_cast<int>(layout)) + ".avi";
  test::WriteFile(path, bytesOut);
  return path;
}

struct Case {
  const char* name;
  Layout layout;
  bool fromIndex;
};
const Case kCases[] = {
    {"one frame a chunk", Layout::OneFrameAChunk, true},
    {"two frames a chunk", Layout::TwoFramesAChunk, false},
    {"two frames a chunk, stated", Layout::TwoFramesAChunkStated, false},
    {"frames cut across chunks", Layout::CutOffFrames, false},
    {"damaged last frame header", Layout::DamagedLastHeader, false},
    {"counted in bytes", Layout::CountedInBytes, false},
    {"index entry past the end", Layout::SizePastTheEnd, false},
    {"index entry beyond its chunk", Layout::SizeBeyondItsChunk, false},
};

TEST(AviMpegSound, TakenFromTheIndexOnlyWhereEachChunkIsOneWholeFrame) {
  const std::string dir = test::MakeTempDir("avi_mpeg_sound");
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    const std::string path = MakeFile(dir, c.layout);
    Demuxer d;
    std::string error;
    ASSERT_TRUE(d.Open(path, error)) << error;
    const int a = av_find_best_stream(d.Fmt(), AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    ASSERT_GE(a, 0);
    std::vector<AudioEntry> entries;
    EXPECT_EQ(AviMpegSoundFromIndex(path, d.Fmt()->streams[a], entries), c.fromIndex);
    EXPECT_EQ(entries.empty(), !c.fromIndex);
  }
}

// Read whole in runs of odd sizes.
std::vector<int16_t> WholeSound(Reader& r) {
  std::vector<int16_t> got, run(static_cast<size_t>(3000) * r.Audio().Channels);
  for (int64_t pos = 0;;) {
    const int64_t n = r.ReadAudio(pos, run.data(), 1000 + pos % 1777);
    EXPECT_GE(n, 0) << r.LastError();
    if (n <= 0) break;
    got.insert(got.end(), run.begin(), run.begin() + n * r.Audio().Channels);
    pos += n;
  }
  return got;
}

// The sound's length and every sample, read from the start and after seeks, are what the scan
// of the packets gives: on the test files and on MP3 fixtures of three encoders.
TEST(AviMpegSound, CountsAndReadsAsThePacketScan) {
  const std::string dir = test::MakeTempDir("avi_mpeg_sound_reads");
  std::vector<std::string> files = {test::MediaPath("mp3_avi/lame_vbr.avi"), test::MediaPath("mp3_avi/shine.avi"),
                                    test::MediaPath("avi/mpeg4.avi")};
  for (const Case& c : kCases) files.push_back(MakeFile(dir, c.layout));
  for (const std::string& path : files) {
    SCOPED_TRACE(path);
    std::string error;
    auto indexed = Reader::Open(path, OpenOptions{}, &error);
    auto scanned = Reader::Open(path, OpenOptions{true, true, true}, &error);
    ASSERT_NE(scanned, nullptr) << error;
    ASSERT_NE(indexed, nullptr) << error;
    ASSERT_TRUE(indexed->HasAudio());
    EXPECT_EQ(indexed->Audio().SampleCount, scanned->Audio().SampleCount);
    const auto whole = WholeSound(*scanned);
    EXPECT_TRUE(WholeSound(*indexed) == whole);
    const int64_t ch = indexed->Audio().Channels, total = indexed->Audio().SampleCount;
    std::vector<int16_t> got(static_cast<size_t>(500 * ch)), want(got.size());
    for (int64_t p : {total / 2, total - 7, int64_t{1}, total / 3, int64_t{0}}) {
      const int64_t n = indexed->ReadAudio(p, got.data(), 500);
      ASSERT_EQ(n, scanned->ReadAudio(p, want.data(), 500)) << "at " << p;
      EXPECT_TRUE(std::equal(got.begin(), got.begin() + std::max<int64_t>(n, 0) * ch, want.begin())) << "at " << p;
    }
  }
}

}  // namespace
}  // namespace tavelo::ffreader
