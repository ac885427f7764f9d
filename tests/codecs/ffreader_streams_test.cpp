// The shared reader on the MPEG, Ogg and Windows Media files of the codec libraries: streams whose
// packets need more than their positions and timestamps to be found again (parsed MPEG program
// and elementary streams, several packets in one Ogg page or ASF packet), pictures without display
// times, and sound whose length only decoding tells (Vorbis, WMA, an MP3 whose encoder delay is
// longer than one frame, or whose padding spans its last two frames).
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "ffreader/ff_reader.h"
#include "tests/support/test_env.h"

extern "C" {
#include <libavutil/log.h>
}

namespace tavelo::ffreader {
namespace {

const int kQuiet = (av_log_set_level(AV_LOG_QUIET), 0);

std::string Path(const char* file) { return test::MediaPath(std::string("codec_movies/") + file); }

// FFmpeg's own decode of the first stream of a kind, raw ("bgr24" pictures or s16le sound).
std::string FFmpegDecode(const std::string& path, bool video) {
  const std::string cmd = "ffmpeg -v error -nostdin -i '" + path + "' " +
                          (video ? "-map 0:v:0 -fps_mode passthrough -f rawvideo -pix_fmt bgr24 -"
                                 : "-map 0:a:0 -f s16le -acodec pcm_s16le -");
  std::string out;
  FILE* pipe = popen(cmd.c_str(), "r");
  if (pipe == nullptr) {
    ADD_FAILURE() << "cannot run ffmpeg";
    return out;
  }
  char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, pipe)) > 0) out.append(buf, n);
  const int status = pclose(pipe);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "ffmpeg failed on " << path << " (is it installed?)";
  return out;
}

std::unique_ptr<Reader> Open(const std::string& path, bool video, bool audio) {
  OpenOptions o;
  o.Video = video;
  o.Audio = audio;
  std::string error;
  auto r = Reader::Open(path, o, &error);
  EXPECT_NE(r, nullptr) << path << ": " << error;
  return r;
}

TEST(FFReaderStreams, PicturesOfParsedStreamsAreFoundAgainAfterSeeks) {
  for (const char* file : {"mpeg1.mpg", "mpeg2.mpg", "raw.m2v", "ip.m2v", "dvd.vob", "theora.ogv", "wmv2.wmv"}) {
    SCOPED_TRACE(file);
    auto r = Open(Path(file), true, false);
    ASSERT_NE(r, nullptr);
    const int w = r->Video().Width, h = r->Video().Height;
    const size_t bytes = static_cast<size_t>(w) * h * 3;
    const std::string ref = FFmpegDecode(Path(file), true);
    ASSERT_EQ(ref.size(), bytes * static_cast<size_t>(r->Video().FrameCount));
    std::vector<std::vector<uint8_t>> seq;
    for (int64_t i = 0; i < r->Video().FrameCount; ++i) {
      std::vector<uint8_t> b(bytes);
      ASSERT_TRUE(r->ReadFrame(i, b.data(), w * 3)) << i;
      int worst = 0;
      for (size_t k = 0; k < bytes; ++k)
        worst = std::max(worst, std::abs(b[k] - static_cast<uint8_t>(ref[i * bytes + k])));
      EXPECT_LE(worst, 1) << "frame " << i;
      seq.push_back(std::move(b));
    }
    // Each frame from a reader that has read nothing else: found by a seek alone.
    for (int64_t i = 0; i < r->Video().FrameCount; i += 5) {
      auto fresh = Open(Path(file), true, false);
      std::vector<uint8_t> b(bytes);
      ASSERT_TRUE(fresh->ReadFrame(i, b.data(), w * 3)) << i;
      EXPECT_EQ(b, seq[static_cast<size_t>(i)]) << "frame " << i;
    }
  }
}

TEST(FFReaderStreams, SoundLengthsAndSamplesAreFFmpegs) {
  for (const char* file :
       {"vorbis.ogg", "short.oga", "theora.ogv", "tone.wma", "wmv1.wmv", "lsf.mp3", "tone.mp3", "lame_flush.mp3"}) {
    SCOPED_TRACE(file);
    auto r = Open(Path(file), false, true);
    ASSERT_NE(r, nullptr);
    const std::string ref = FFmpegDecode(Path(file), false);
    const int ch = r->Audio().Channels;
    ASSERT_EQ(static_cast<size_t>(r->Audio().SampleCount) * ch * 2, ref.size());
    // Read in runs that end inside packets and pages.
    std::string got;
    std::vector<int16_t> buf(1000 * static_cast<size_t>(ch));
    for (int64_t pos = 0;;) {
      const int64_t n = r->ReadAudio(pos, buf.data(), 1000);
      ASSERT_GE(n, 0) << r->LastError();
      if (n == 0) break;
      got.append(reinterpret_cast<const char*>(buf.data()), static_cast<size_t>(n) * ch * 2);
      pos += n;
    }
    EXPECT_TRUE(got == ref);
  }
}

std::string Mp4Path(const char* file) { return test::MediaPath(std::string("mp4_tables/") + file); }

std::vector<uint8_t> Picture(Reader& r, int64_t n) {
  const auto& v = r.Video();
  std::vector<uint8_t> pixels(static_cast<size_t>(v.Width) * v.Height * 3);
  EXPECT_TRUE(r.ReadFrame(n, pixels.data(), v.Width * 3)) << "frame " << n << ": " << r.LastError();
  return pixels;
}

// MP4 and QuickTime pictures are indexed from the sample tables without reading a packet: the
// index must be the one the packets give, and every picture FFmpeg's, in display order.
TEST(FFReaderStreams, SampleTablesIndexAsThePacketsDo) {
  for (const char* file : {"h264_aac.mp4", "mpeg4_pcm.mov"}) {
    SCOPED_TRACE(file);
    auto tables = Reader::Open(Mp4Path(file), OpenOptions{true, true, false});
    auto scanned = Reader::Open(Mp4Path(file), OpenOptions{true, true, true});
    ASSERT_TRUE(tables && scanned);
    const int64_t frames = tables->Video().FrameCount;
    ASSERT_EQ(frames, scanned->Video().FrameCount);
    EXPECT_EQ(tables->Audio().SampleCount, scanned->Audio().SampleCount);
    for (int64_t n = 0; n < frames; ++n) {
      EXPECT_EQ(tables->IsKeyFrame(n), scanned->IsKeyFrame(n)) << n;
      for (KeySearch way : {KeySearch::AtOrBefore, KeySearch::AtOrAfter})
        EXPECT_EQ(tables->FindKeyFrame(n, way), scanned->FindKeyFrame(n, way)) << n;
    }
    const std::string ref = FFmpegDecode(Mp4Path(file), true);
    const size_t size = static_cast<size_t>(tables->Video().Width) * tables->Video().Height * 3;
    ASSERT_EQ(ref.size(), size * static_cast<size_t>(frames));
    // Backwards, so that every picture is reached by a seek, then forwards.
    for (int64_t n = frames - 1; n >= 0; n -= 3)
      EXPECT_TRUE(std::memcmp(Picture(*tables, n).data(), ref.data() + size * n, size) == 0) << n;
    for (int64_t n = 0; n < frames; ++n)
      EXPECT_TRUE(std::memcmp(Picture(*tables, n).data(), ref.data() + size * n, size) == 0) << n;
  }
}

// Sound indexed from the sample tables: the encoder delay the first packet skips is not counted,
// and the samples are FFmpeg's, read in runs (PCM also after seeks; AAC is not bit-exact after a
// seek, as elsewhere).
TEST(FFReaderStreams, SoundFromSampleTablesIsFFmpegs) {
  for (const char* file : {"tone.m4a", "h264_aac.mp4", "mpeg4_pcm.mov"}) {
    SCOPED_TRACE(file);
    auto r = Open(Mp4Path(file), false, true);
    ASSERT_NE(r, nullptr);
    const std::string ref = FFmpegDecode(Mp4Path(file), false);
    const int ch = r->Audio().Channels;
    ASSERT_EQ(static_cast<size_t>(r->Audio().SampleCount) * ch * 2, ref.size());
    std::string got;
    std::vector<int16_t> buf(3000 * static_cast<size_t>(ch));
    for (int64_t pos = 0;;) {
      const int64_t n = r->ReadAudio(pos, buf.data(), 3000);
      ASSERT_GE(n, 0) << r->LastError();
      if (n == 0) break;
      got.append(reinterpret_cast<const char*>(buf.data()), static_cast<size_t>(n) * ch * 2);
      pos += n;
    }
    EXPECT_TRUE(got == ref);
    if (std::string(file) != "mpeg4_pcm.mov") continue;
    for (int64_t pos : {int64_t{70000}, int64_t{0}, int64_t{33333}, r->Audio().SampleCount - 2000}) {
      const int64_t n = r->ReadAudio(pos, buf.data(), 2000);
      ASSERT_EQ(n, 2000) << pos << ": " << r->LastError();
      EXPECT_TRUE(std::memcmp(buf.data(), ref.data() + pos * ch * 2, static_cast<size_t>(n) * ch * 2) == 0) << pos;
    }
  }
}

// A second reader over the same index reads nothing to be made (here: the file is gone by then)
// and reads on its own; two of them work on two threads.
TEST(FFReaderStreams, ASharedReaderTakesTheIndexAndDecodesOnItsOwn) {
  const std::string copy = test::TempRoot() + "/shared.mp4";
  ASSERT_EQ(std::system(("cp '" + Mp4Path("h264_aac.mp4") + "' '" + copy + "'").c_str()), 0);
  auto first = Reader::Open(copy, {});
  ASSERT_NE(first, nullptr);
  std::rename(copy.c_str(), (copy + ".moved").c_str());
  auto gone = first->Share();
  ASSERT_NE(gone, nullptr);
  EXPECT_EQ(gone->Video().FrameCount, first->Video().FrameCount);
  EXPECT_EQ(gone->Audio().SampleCount, first->Audio().SampleCount);
  std::vector<uint8_t> pixels(static_cast<size_t>(gone->Video().Width) * gone->Video().Height * 3);
  EXPECT_FALSE(gone->ReadFrame(0, pixels.data(), gone->Video().Width * 3));

  std::rename((copy + ".moved").c_str(), copy.c_str());
  auto second = first->Share();
  ASSERT_NE(second, nullptr);
  const int64_t frames = first->Video().FrameCount;
  std::vector<std::vector<uint8_t>> a(static_cast<size_t>(frames)), b(a.size());
  std::thread other([&] {
    for (int64_t n = frames - 1; n >= 0; --n) b[static_cast<size_t>(n)] = Picture(*second, n);
  });
  for (int64_t n = 0; n < frames; ++n) a[static_cast<size_t>(n)] = Picture(*first, n);
  other.join();
  EXPECT_TRUE(a == b);
}

// Vorbis in Ogg is counted from its block sizes, without decoding: the count, and every sample
// read in runs and after seeks, must be what decoding gives (FFmpeg's, and the reader's own when
// told to count by decoding). Short and long blocks, mono and many channels, low rates, a sound
// that ends inside its first page, two streams chained one after the other, and sound beside
// pictures.
TEST(FFReaderStreams, VorbisIsCountedAsDecodingCountsIt) {
  const std::string dir = test::TempRoot() + "/vorbis_counts";
  ASSERT_EQ(std::system(("mkdir -p '" + dir + "'").c_str()), 0);
  struct Made {
    const char* name;
    const char* args;
  };
  const Made made[] = {
      {"mono8k.ogg", "-f lavfi -i sine=f=300:r=8000:d=1.3 -c:a libvorbis -q:a 0"},
      {"short.ogg", "-f lavfi -i sine=f=500:r=22050:d=0.05 -c:a libvorbis"},
      {"six.ogg", "-f lavfi -i sine=f=700:r=48000:d=2.2 -ac 6 -c:a libvorbis -q:a 6"},
      {"noise.ogg", "-f lavfi -i anoisesrc=r=32000:d=1.7:a=0.4 -ac 2 -c:a libvorbis -q:a 1"},
      {"second.ogg", "-f lavfi -i sine=f=600:r=32000:d=1.2 -ac 2 -c:a libvorbis -q:a 8"},
  };
  std::vector<std::string> files = {Path("vorbis.ogg"), Path("theora.ogv")};
  for (const Made& m : made) {
    const std::string out = dir + "/" + m.name;
    const std::string cmd = std::string("ffmpeg -v error -nostdin -y ") + m.args + " '" + out + "'";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
    files.push_back(out);
  }
  const std::string chain = dir + "/chain.ogg";
  ASSERT_EQ(std::system(("cat '" + dir + "/noise.ogg' '" + dir + "/second.ogg' > '" + chain + "'").c_str()), 0);
  files.push_back(chain);
  for (const std::string& file : files) {
    SCOPED_TRACE(file);
    auto counted = Reader::Open(file, OpenOptions{false, true, false});
    auto decoded = Reader::Open(file, OpenOptions{false, true, true});
    ASSERT_TRUE(counted && decoded);
    const std::string ref = FFmpegDecode(file, false);
    const int ch = counted->Audio().Channels;
    const size_t frameBytes = static_cast<size_t>(ch) * 2;
    EXPECT_EQ(counted->Audio().SampleCount, decoded->Audio().SampleCount);
    ASSERT_EQ(static_cast<size_t>(counted->Audio().SampleCount) * frameBytes, ref.size());
    const int64_t total = counted->Audio().SampleCount;
    std::vector<int16_t> buf(700 * static_cast<size_t>(ch));
    std::string got;
    for (int64_t pos = 0;;) {
      const int64_t n = counted->ReadAudio(pos, buf.data(), 700);
      ASSERT_GE(n, 0) << counted->LastError();
      if (n == 0) break;
      got.append(reinterpret_cast<const char*>(buf.data()), static_cast<size_t>(n) * frameBytes);
      pos += n;
    }
    EXPECT_TRUE(got == ref);
    // Seeks backwards from the end, landing in every part of the sound.
    for (int64_t pos = total - 700; pos > 0; pos -= total / 7 + 333) {
      const int64_t n = counted->ReadAudio(pos, buf.data(), 700);
      ASSERT_EQ(n, std::min<int64_t>(700, total - pos)) << pos;
      EXPECT_TRUE(std::memcmp(buf.data(), ref.data() + pos * frameBytes, static_cast<size_t>(n) * frameBytes) == 0) << pos;
    }
  }
}

// A program stream has no index: its packets are scanned, and the scan reports how far it got
// and stops when asked to. So does the walk of an ASF file's packet headers.
TEST(FFReaderStreams, AScanReportsItsProgressAndStopsWhenAsked) {
  for (const char* file : {"mpeg2.mpg", "wmv2.wmv"}) {
    SCOPED_TRACE(file);
    const std::string path = Path(file);
    std::vector<std::pair<int64_t, int64_t>> calls;
    auto r = Reader::Open(path, {}, nullptr, [&](int64_t done, int64_t total) {
      calls.emplace_back(done, total);
      return true;
    });
    ASSERT_NE(r, nullptr);
    ASSERT_GE(calls.size(), 2u);
    for (size_t i = 0; i < calls.size(); ++i) {
      EXPECT_GT(calls[i].first, i == 0 ? 0 : calls[i - 1].first);
      EXPECT_LE(calls[i].first, calls[i].second);
    }
    int asked = 0;
    std::string error;
    EXPECT_EQ(Reader::Open(path, {}, &error, [&](int64_t, int64_t) { return ++asked < 2; }), nullptr);
    EXPECT_EQ(error, "cancelled");
    EXPECT_EQ(asked, 2);
  }
}

}  // namespace
}  // namespace tavelo::ffreader
