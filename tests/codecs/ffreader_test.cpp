#include "ffreader/ff_reader.h"
#include "ffreader/ff_decode.h"
#include "ffreader/ff_packets.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/codecs/avi_reference.h"
#include "tests/codecs/ffmpeg_made.h"
#include "tests/support/special_files.h"
#include "tests/support/test_env.h"

extern "C" {
#include <libavutil/log.h>
#include <libavutil/mem.h>
}

namespace tavelo::ffreader {
namespace {

// The decoders report every damaged packet of the hostile-input tests; the results are checked.
const int kQuiet = (av_log_set_level(AV_LOG_QUIET), 0);

using test::AviFixture;
using test::AviFixtures;
using test::AviPath;

std::unique_ptr<Reader> OpenFixture(const AviFixture& f, const OpenOptions& options = {}) {
  std::string error;
  auto r = Reader::Open(AviPath(f.File), options, &error);
  EXPECT_NE(r, nullptr) << f.File << ": " << error;
  return r;
}

std::vector<uint8_t> Frame(Reader& r, int64_t n) {
  const auto& v = r.Video();
  std::vector<uint8_t> pixels(static_cast<size_t>(v.Width) * v.Height * 3);
  EXPECT_TRUE(r.ReadFrame(n, pixels.data(), v.Width * 3)) << "frame " << n << ": " << r.LastError();
  return pixels;
}

TEST(FFReader, DescribesEveryFixtureAsFFprobeDoes) {
  for (const auto& f : AviFixtures()) {
    SCOPED_TRACE(f.Name);
    auto r = OpenFixture(f);
    if (!r) continue;
    const auto probe = test::AviProbe(f.Name);
    ASSERT_TRUE(r->HasVideo());
    EXPECT_EQ(r->Video().Width, test::ProbeInt(probe, "width"));
    EXPECT_EQ(r->Video().Height, test::ProbeInt(probe, "height"));
    EXPECT_DOUBLE_EQ(r->Video().FrameRate, test::ProbeRate(probe, "r_frame_rate"));
    // Matroska states no frame count; the decoded pictures count them.
    const int64_t frames = probe.count("nb_frames") && probe.at("nb_frames") != "N/A"
                               ? test::ProbeInt(probe, "nb_frames")
                               : static_cast<int64_t>(test::ReadNumbers(test::AviPath(std::string(f.Name) + ".pts")).size());
    EXPECT_EQ(r->Video().FrameCount, frames);
    EXPECT_EQ(r->HasAudio(), f.HasSound);
    if (f.HasSound) {
      EXPECT_EQ(r->Audio().SampleRate, test::ProbeInt(probe, "audio_sample_rate"));
      EXPECT_EQ(r->Audio().Channels, test::ProbeInt(probe, "audio_channels"));
      EXPECT_EQ(r->Audio().SampleCount, test::AviReferenceSampleCount(f.Name));
    }
  }
}

TEST(FFReader, EveryFrameMatchesFFmpegsDecode) {
  for (const auto& f : AviFixtures()) {
    SCOPED_TRACE(f.Name);
    auto r = OpenFixture(f, OpenOptions{true, false, false});
    if (!r) continue;
    const std::string ref = test::AviReferenceFrames(f.Name);
    const size_t bytes = static_cast<size_t>(r->Video().Width) * r->Video().Height * 3;
    ASSERT_EQ(ref.size() % bytes, 0u);
    const int64_t pictures = static_cast<int64_t>(ref.size() / bytes);
    for (int64_t n = 0; n < r->Video().FrameCount; ++n) {
      const auto got = Frame(*r, n);
      const int64_t k = test::AviReferencePicture(f.Name, f.File, n);
      ASSERT_LT(k, pictures);
      const int diff = test::MaxChannelDifference(got.data(), reinterpret_cast<const uint8_t*>(ref.data()) + k * bytes, bytes);
      EXPECT_LE(diff, f.Lossless ? 0 : 1) << "frame " << n;
    }
  }
}

// Whatever way a frame is reached (forward, backward, jumping across key frames, again), it is
// the same picture.
TEST(FFReader, RandomAccessGivesTheSamePicturesAsSequentialReading) {
  std::mt19937 rng(12);
  for (const char* name : {"mpeg4", "msmpeg4v3", "cinepak", "msvideo1", "zmbv", "mpeg4_pcm"}) {
    SCOPED_TRACE(name);
    const auto& f = *std::find_if(AviFixtures().begin(), AviFixtures().end(),
                                  [&](const AviFixture& x) { return std::string(x.Name) == name; });
    auto seq = OpenFixture(f);
    auto rnd = OpenFixture(f);
    if (!seq || !rnd) continue;
    const int64_t count = seq->Video().FrameCount;
    std::vector<std::vector<uint8_t>> frames;
    for (int64_t n = 0; n < count; ++n) frames.push_back(Frame(*seq, n));
    std::vector<int64_t> order;
    for (int64_t n = 0; n < count; ++n) order.push_back(n);
    std::shuffle(order.begin(), order.end(), rng);
    order.insert(order.end(), {count - 1, count - 1, 0, 5, 4, 3, 7, 6, 13, 12});
    for (int64_t n : order) EXPECT_EQ(Frame(*rnd, n), frames[static_cast<size_t>(n)]) << "frame " << n;
  }
}

// The AVI index read by the demuxer and a scan of every packet describe the same pictures.
TEST(FFReader, ContainerIndexAndPacketScanAgree) {
  for (const auto& f : AviFixtures()) {
    SCOPED_TRACE(f.Name);
    auto indexed = OpenFixture(f, OpenOptions{true, false, false});
    auto scanned = OpenFixture(f, OpenOptions{true, false, true});
    if (!indexed || !scanned) continue;
    ASSERT_EQ(indexed->Video().FrameCount, scanned->Video().FrameCount);
    for (int64_t n = 0; n < indexed->Video().FrameCount; ++n) {
      EXPECT_EQ(indexed->IsKeyFrame(n), scanned->IsKeyFrame(n)) << n;
      if (n % 7 == 0) {
        EXPECT_EQ(Frame(*indexed, n), Frame(*scanned, n)) << n;
      }
    }
  }
}

TEST(FFReader, FindsKeyFramesInBothDirections) {
  for (const char* name : {"mpeg4", "msmpeg4v3", "cinepak", "mjpeg"}) {
    SCOPED_TRACE(name);
    const auto& f = *std::find_if(AviFixtures().begin(), AviFixtures().end(),
                                  [&](const AviFixture& x) { return std::string(x.Name) == name; });
    auto r = OpenFixture(f);
    if (!r) continue;
    const auto keys = test::AviKeyFrames(name);
    ASSERT_FALSE(keys.empty());
    const int64_t count = r->Video().FrameCount;
    for (int64_t n = 0; n < count; ++n) {
      EXPECT_EQ(r->IsKeyFrame(n), std::count(keys.begin(), keys.end(), n) == 1) << n;
      // The nearest key frame each way, worked out from ffprobe's list.
      int64_t before = -1, after = -1;
      for (int64_t k : keys) {
        if (k <= n) before = k;
        if (k >= n && after < 0) after = k;
      }
      EXPECT_EQ(r->FindKeyFrame(n, KeySearch::AtOrBefore), before) << n;
      EXPECT_EQ(r->FindKeyFrame(n, KeySearch::AtOrAfter), after) << n;
    }
    // Positions outside the stream are taken as its first or last frame.
    EXPECT_EQ(r->FindKeyFrame(-5, KeySearch::AtOrAfter), keys.front());
    EXPECT_EQ(r->FindKeyFrame(count + 100, KeySearch::AtOrBefore), keys.back());
  }
}

TEST(FFReader, SoundMatchesFFmpegsDecodeReadInRuns) {
  for (const auto& f : AviFixtures()) {
    if (!f.HasSound) continue;
    SCOPED_TRACE(f.Name);
    auto r = OpenFixture(f, OpenOptions{false, true, false});
    if (!r) continue;
    ASSERT_FALSE(r->HasVideo());
    const auto ref = test::AviReferenceSound(f.Name);
    const int64_t ch = r->Audio().Channels;
    ASSERT_EQ(static_cast<int64_t>(ref.size()), r->Audio().SampleCount * ch);
    std::vector<int16_t> got;
    std::vector<int16_t> run(4000 * ch);
    int64_t pos = 0;
    for (;;) {
      const int64_t n = r->ReadAudio(pos, run.data(), 1234 + pos % 2000);
      ASSERT_GE(n, 0) << r->LastError();
      if (n == 0) break;
      got.insert(got.end(), run.begin(), run.begin() + n * ch);
      pos += n;
    }
    EXPECT_EQ(pos, r->Audio().SampleCount);
    EXPECT_TRUE(got == ref);
    EXPECT_EQ(r->ReadAudio(pos, run.data(), 10), 0);
  }
}

// A read anywhere gives exactly the samples a read from the start gives there, also for
// formats whose packets depend on the ones before (MP3). (Not AAC: its noise substitution draws
// from a generator that only a read from the start rewinds.)
TEST(FFReader, SoundReadsAfterSeeksAreExact) {
  std::mt19937 rng(5);
  for (const char* name : {"mpeg4", "mjpeg", "raw_rgb555", "raw_pal8", "mpeg4_pcm"}) {
    SCOPED_TRACE(name);
    const auto& f = *std::find_if(AviFixtures().begin(), AviFixtures().end(),
                                  [&](const AviFixture& x) { return std::string(x.Name) == name; });
    const int tolerance = 0;
    auto r = OpenFixture(f, OpenOptions{false, true, false});
    if (!r) continue;
    const auto ref = test::AviReferenceSound(name);
    const int64_t ch = r->Audio().Channels;
    const int64_t total = r->Audio().SampleCount;
    std::uniform_int_distribution<int64_t> at(0, total - 1);
    std::vector<int16_t> run(3000 * ch);
    std::vector<int64_t> positions = {total / 2, 0, total - 10, 1, 4000, 3999, 4000};
    for (int i = 0; i < 25; ++i) positions.push_back(at(rng));
    for (int64_t p : positions) {
      const int64_t n = r->ReadAudio(p, run.data(), 3000);
      ASSERT_EQ(n, std::min<int64_t>(3000, total - p)) << "at " << p;
      int worst = 0;
      for (int64_t i = 0; i < n * ch; ++i) worst = std::max(worst, std::abs(run[i] - ref[p * ch + i]));
      EXPECT_LE(worst, tolerance) << "at " << p;
    }
  }
}

TEST(FFReader, ReadingFromTheStartAgainRepeatsTheSound) {
  auto r = OpenFixture(AviFixtures()[10]);  // AAC
  ASSERT_TRUE(r);
  ASSERT_STREQ(AviFixtures()[10].Name, "mpeg4_aac");
  const auto ref = test::AviReferenceSound("mpeg4_aac");
  std::vector<int16_t> run(5000 * 2);
  for (int64_t p : {int64_t{0}, int64_t{60000}, int64_t{0}}) {
    ASSERT_EQ(r->ReadAudio(p, run.data(), 5000), 5000);
    if (p == 0) {
      EXPECT_TRUE(std::equal(run.begin(), run.end(), ref.begin()));
    }
  }
}

// Readers share nothing: a picture reader and a sound reader of one file work on two threads at
// once (as the player's video and audio threads would) and read what they read alone.
TEST(FFReader, ReadersOfOneFileWorkOnTwoThreads) {
  const auto& f = AviFixtures()[5];  // mpeg4: MPEG-4 part 2 pictures, MP3 sound
  auto pictures = OpenFixture(f, OpenOptions{true, false, false});
  auto sound = OpenFixture(f, OpenOptions{false, true, false});
  ASSERT_TRUE(pictures && sound);
  const std::string frames = test::AviReferenceFrames(f.Name);
  const auto ref = test::AviReferenceSound(f.Name);
  int worstPicture = 0;
  bool soundSame = true;
  std::thread video([&] {
    for (int round = 0; round < 3; ++round)
      for (int64_t n = pictures->Video().FrameCount - 1; n >= 0; n -= 2) {
        const auto got = Frame(*pictures, n);
        const size_t bytes = got.size();
        const int64_t k = test::AviReferencePicture(f.Name, f.File, n);
        worstPicture = std::max(worstPicture, test::MaxChannelDifference(got.data(),
                                                  reinterpret_cast<const uint8_t*>(frames.data()) + k * bytes, bytes));
      }
  });
  std::thread audio([&] {
    std::vector<int16_t> run(1500);
    for (int round = 0; round < 3; ++round)
      for (int64_t p = 0; p < sound->Audio().SampleCount; p += 1500 + round * 700) {
        const int64_t n = sound->ReadAudio(p, run.data(), 1500);
        soundSame = soundSame && n > 0 && std::equal(run.begin(), run.begin() + n, ref.begin() + p);
      }
  });
  video.join();
  audio.join();
  EXPECT_LE(worstPicture, 1);
  EXPECT_TRUE(soundSame);
}

TEST(FFReader, RefusesWhatItCannotRead) {
  std::string error;
  EXPECT_EQ(Reader::Open(test::TempRoot() + "/missing.avi", {}, &error), nullptr);
  EXPECT_FALSE(error.empty());
  const std::string junk = test::MakeTempDir("junk") + "/junk.avi";
  test::WriteFile(junk, std::string(5000, '\x55'));
  EXPECT_EQ(Reader::Open(junk, {}, &error), nullptr);
  // A sound-only request on a silent file finds nothing.
  EXPECT_EQ(Reader::Open(AviPath("cinepak.avi"), OpenOptions{false, true, false}, &error), nullptr);

  auto r = Reader::Open(AviPath("mpeg4.avi"), {});
  ASSERT_TRUE(r);
  std::vector<uint8_t> pixels(96 * 72 * 3);
  EXPECT_FALSE(r->ReadFrame(-1, pixels.data(), 96 * 3));
  EXPECT_FALSE(r->ReadFrame(r->Video().FrameCount, pixels.data(), 96 * 3));
  EXPECT_FALSE(r->ReadFrame(0, pixels.data(), 96 * 3 - 1));
  EXPECT_FALSE(r->ReadFrame(0, nullptr, 96 * 3));
  std::vector<int16_t> sound(100);
  EXPECT_EQ(r->ReadAudio(-1, sound.data(), 10), -1);
  EXPECT_EQ(r->ReadAudio(r->Audio().SampleCount + 5, sound.data(), 10), 0);
  EXPECT_TRUE(r->ReadFrame(3, pixels.data(), 96 * 3));
}

// Only regular files are read: a FIFO (or a socket, a device, a folder) is refused at once with
// a clear error instead of waiting for a writer, and a name with a NUL byte is refused too.
TEST(FFReader, RefusesWhatIsNotARegularFile) {
  const std::string dir = test::MakeTempDir("special");
  const std::string fifo = dir + "/clip.avi";
  ASSERT_TRUE(test::MakeFifo(fifo));
  const int sock = test::MakeSocketFile(dir + "/sock.avi");
  ASSERT_GE(sock, 0);
  const std::string real = dir + "/real.avi";
  test::WriteFile(real, test::ReadFile(AviPath("mpeg4.avi")));
  for (const std::string& name : {fifo, dir + "/sock.avi", std::string("/dev/zero"), dir, real + std::string(1, '\0') + "x"}) {
    std::string error;
    std::unique_ptr<Reader> r;
    EXPECT_TRUE(test::EndsWithoutBlocking(fifo, [&] { r = Reader::Open(name, {}, &error); })) << name;
    EXPECT_EQ(r, nullptr) << name;
    EXPECT_EQ(error.rfind("cannot open: ", 0), 0u) << name << ": " << error;
  }
  EXPECT_TRUE(Reader::Open(real, {}));
  ::close(sock);
}

// Files whose first bytes name their container (an ISO file-type box, the ASF header, an Ogg
// page) open by the demuxer's name, not a probe: exactly the demuxer the probe chooses for them
// (not for JPEG 2000 or JPEG XL in such a box).
TEST(FFReader, KnownContainersOpenWithTheDemuxerTheProbeChooses) {
  const std::string dir = test::MakeTempDir("iso");
  const auto head = [&](const char* name, const char* brand) {
    const std::string path = dir + "/" + name;
    test::WriteFile(path, std::string("\0\0\0\x14" "ftyp", 8) + brand + std::string(4000, '\0'));
    return path;
  };
  struct Case {
    std::string file;
    bool named;
  };
  const std::vector<Case> cases = {
      {test::MediaPath("mp4_tables/h264_aac.mp4"), true},
      {test::MediaPath("mp4_tables/mpeg4_pcm.mov"), true},
      {test::MediaPath("mp4_tables/tone.m4a"), true},
      {head("plain.mp4", "isom"), true},
      {head("picture.jp2", "jp2 "), false},
      {head("picture.jxl", "jxl "), false},
      {test::MediaPath("codec_movies/wmv2.wmv"), true},
      {test::MediaPath("codec_movies/tone.wma"), true},
      {test::MediaPath("codec_movies/vorbis.ogg"), true},
      {test::MediaPath("codec_movies/theora.ogv"), true},
      {AviPath("mpeg4.avi"), false},
      {test::MediaPath("codec_movies/mpeg1.mpg"), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    const AVInputFormat* named = FormatByHead(c.file);
    EXPECT_EQ(named != nullptr, c.named);
    AVFormatContext* probed = nullptr;
    if (named == nullptr || avformat_open_input(&probed, c.file.c_str(), nullptr, nullptr) < 0) continue;
    EXPECT_EQ(named, probed->iformat);
    avformat_close_input(&probed);
  }
}

// Cut and damaged files open (or are refused) and read without harm: every frame and sample
// the index promises is either delivered or reported as failed.
TEST(FFReader, TruncatedAndDamagedFilesAreReadSafely) {
  const std::string dir = test::MakeTempDir("damaged");
  std::mt19937 rng(99);
  for (const char* name : {"mpeg4.avi", "mjpeg.avi", "raw_pal8.avi", "zmbv.avi", "mpeg4_pcm.mkv"}) {
    const std::string whole = test::ReadFile(AviPath(name));
    ASSERT_FALSE(whole.empty());
    for (int variant = 0; variant < 6; ++variant) {
      std::string bytes = whole;
      if (variant < 3) {
        bytes.resize(bytes.size() * (variant + 1) / 4);
      } else {
        std::uniform_int_distribution<size_t> at(0, bytes.size() - 1);
        for (int i = 0; i < 40 * variant; ++i) bytes[at(rng)] = static_cast<char>(rng());
      }
      const std::string path = dir + "/" + std::to_string(variant) + "_" + name;
      test::WriteFile(path, bytes);
      SCOPED_TRACE(path);
      auto r = Reader::Open(path, {});
      if (!r) continue;
      if (r->HasVideo()) {
        std::vector<uint8_t> pixels(static_cast<size_t>(r->Video().Width) * r->Video().Height * 3);
        for (int64_t n = r->Video().FrameCount - 1; n >= 0; n -= 3) r->ReadFrame(n, pixels.data(), r->Video().Width * 3);
      }
      if (r->HasAudio()) {
        std::vector<int16_t> sound(static_cast<size_t>(2000) * r->Audio().Channels);
        for (int64_t p = 0; p < r->Audio().SampleCount; p += 1500) r->ReadAudio(p, sound.data(), 2000);
      }
    }
  }
}

// A file cut short while its reader holds it open (a copy still being written, a stick pulled
// out): every read after that fails or reads less, none seeks where the file no longer reaches.
TEST(FFReader, AFileCutShortUnderAnOpenReaderFailsItsReads) {
  const std::string sources[][2] = {
      {"cut.mpg", "-c:v mpeg2video -c:a mp2 -f vob"},
      {"cut.avi", "-c:v mpeg4 -c:a pcm_s16le"},
      {"cut.ogv", "-c:v libtheora -c:a libvorbis"},
  };
  for (const auto& [name, codecs] : sources) {
    SCOPED_TRACE(name);
    const std::string path = test::FFmpegMade(
        "cut_short", name, "-f lavfi -i testsrc=size=160x120:rate=25 -f lavfi -i sine=r=22050 -t 8 " + codecs);
    for (const OpenOptions options : {OpenOptions{true, false, false}, OpenOptions{false, true, false}}) {
      const std::string copy = path + ".copy";
      std::filesystem::copy_file(path, copy, std::filesystem::copy_options::overwrite_existing);
      std::string error;
      auto r = Reader::Open(copy, options, &error);
      ASSERT_NE(r, nullptr) << error;
      if (r->HasAudio()) {
        const int64_t ch = r->Audio().Channels, total = r->Audio().SampleCount;
        std::vector<int16_t> sound(static_cast<size_t>(4000 * ch));
        ASSERT_EQ(r->ReadAudio(0, sound.data(), 4000), 4000);
        std::filesystem::resize_file(copy, 1000);
        for (int64_t p : {total / 2, total - 5000})
          EXPECT_LE(r->ReadAudio(p, sound.data(), 4000), 0) << "at " << p;
      } else {
        std::vector<uint8_t> pixels(static_cast<size_t>(r->Video().Width) * r->Video().Height * 3);
        ASSERT_TRUE(r->ReadFrame(0, pixels.data(), r->Video().Width * 3));
        std::filesystem::resize_file(copy, 1000);
        // Read on in order, the decoder meets the file's new end: the pictures after it fail,
        // no earlier picture stands in for them.
        bool last = true;
        for (int64_t n = 1; n < r->Video().FrameCount; ++n) last = r->ReadFrame(n, pixels.data(), r->Video().Width * 3);
        EXPECT_FALSE(last);
        for (int64_t n : {r->Video().FrameCount / 2, int64_t{1}})
          EXPECT_FALSE(r->ReadFrame(n, pixels.data(), r->Video().Width * 3)) << "frame " << n;
      }
    }
  }
}

// Found by the pnm fuzz target: a picture header of a few bytes made the decoder that probing
// opens allocate the whole picture it claims (over 500 MB) before finding no data for it. The
// reader's pixel limit now holds while the streams are probed, so the memory never grows by it.
TEST(FFReader, ProbingAllocatesNoPictureOnlyAHeaderClaims) {
  // The input as the fuzzer found it (fuzz/crashers/pnm/): PNM headers and a JPEG marker.
  static const char kFound[] =
    "\x50\x33\xff\xff\xff\xff\x0a\x31\x33\x32\x35\x36\xff\xff\xff\xff\x50\x33\x0a\x31\x33\x32\x35\x36"
    "\xff\xff\xff\xff\xff\x50\x34\x0a\x31\x23\x20\x39\x0a\xff\xd8\xfb\xf8\xc0\x78\xe0\x78\xe0\x35\x35"
    "\x20\x30\x20\x30\x20\x32\x35\x35\x20\x30\x20\x30\x20\x32\x35\x35\x20\x30\x20\x30\x20\x32\x35\xff"
    "\x50\x34\x0a\x31\x23\x20\x39\x0a\xff\xd8\xfb\xf8\xc0\x78\xe0\x78\xe0\x35\x35\x20\x30\x20\x30\x20"
    "\x32\x35\x35\x20\x30\x20\x30\x20\x32\x35\x35\x20\x30\x20\x30\x20\x32\x01\x34\x35\x35\x20\x0a";
  const std::string path = test::MakeTempDir("ffreader") + "/found.pnm";
  test::WriteFile(path, std::string(kFound, sizeof kFound - 1));
  auto maxRssKb = [] {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<int64_t>(u.ru_maxrss);
  };
  const int64_t before = maxRssKb();
  std::string error;
  auto r = Reader::Open(path, OpenOptions{}, &error);
  EXPECT_LT(maxRssKb() - before, 200 * 1024) << "kilobytes of memory grew while the file was opened";
}

// Found by the flic fuzz target: FFmpeg's FLIC demuxer allocates the packet a frame chunk claims
// before reading it, so a 2 KB file asked for 1.6 GB. Once a reader has opened, FFmpeg refuses
// any block above the limit, and such a file opens as what it holds.
TEST(FFReader, AChunkClaimingGigabytesAllocatesNothingOfItsSize) {
  std::string flic(128, '\0');
  auto put16 = [](std::string& s, size_t at, uint16_t v) {
    s[at] = static_cast<char>(v & 0xFF);
    s[at + 1] = static_cast<char>(v >> 8);
  };
  auto put32 = [&](std::string& s, size_t at, uint32_t v) {
    put16(s, at, static_cast<uint16_t>(v & 0xFFFF));
    put16(s, at + 2, static_cast<uint16_t>(v >> 16));
  };
  put16(flic, 4, 0xAF12);  // FLC
  put16(flic, 6, 2);       // frames
  put16(flic, 8, 64);      // width
  put16(flic, 10, 48);     // height
  put16(flic, 12, 8);      // depth
  put32(flic, 16, 70);     // milliseconds a frame
  std::string chunk(16, '\0');
  put32(chunk, 0, 0x60000000);  // a frame chunk of 1.5 GB
  put16(chunk, 4, 0xF1FA);
  flic += chunk + std::string(900, '\x55');
  put32(flic, 0, static_cast<uint32_t>(flic.size()));
  const std::string path = test::MakeTempDir("ffreader") + "/huge_chunk.flc";
  test::WriteFile(path, flic);

  std::string error;
  auto r = Reader::Open(path, OpenOptions{}, &error);
  if (r && r->HasVideo()) {
    std::vector<uint8_t> pixels(static_cast<size_t>(r->Video().Width) * r->Video().Height * 3);
    EXPECT_FALSE(r->ReadFrame(0, pixels.data(), r->Video().Width * 3));
  }
  void* big = av_malloc(kMaxLibraryAllocation + 1);
  EXPECT_EQ(big, nullptr);
  av_free(big);
  void* fits = av_malloc(size_t{1} << 20);
  EXPECT_NE(fits, nullptr);
  av_free(fits);
}

// Found by the zmv fuzz target: 1.8 KB of tracker module made the reader render fifteen minutes
// of music while it built its index. Music rendered from modules is not played; a module of a few
// seconds, whatever its name, is refused with a message that says why.
TEST(FFReader, RefusesMusicRenderedFromAModule) {
  std::string mod(1084 + 1024 + 4, '\0');
  mod.replace(0, 4, "tune");
  mod[20 + 23] = 2;   // first sample: two words long
  mod[20 + 25] = 64;  // at full volume
  mod[950] = 1;       // one position in the song, pattern 0
  mod.replace(1080, 4, "M.K.");
  const std::string dir = test::MakeTempDir("ffreader");
  for (const char* name : {"/tune.mod", "/tune.avi"}) {
    test::WriteFile(dir + name, mod);
    std::string error;
    EXPECT_EQ(Reader::Open(dir + name, OpenOptions{}, &error), nullptr) << name;
    EXPECT_NE(error.find("module"), std::string::npos) << error;
  }
}

}  // namespace
}  // namespace tavelo::ffreader
