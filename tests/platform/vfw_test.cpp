#include "platform/vfw/vfw.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fcntl.h>
#include <sys/stat.h>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

#include "base/wave_format.h"
#include "platform/vfw/avi_riff.h"
#include "tests/codecs/avi_reference.h"
#include "tests/platform/avi_test_writer.h"
#include "tests/support/test_env.h"

extern "C" {
#include <libavutil/log.h>
}

namespace tavelo::platform {
namespace {

using test::AviFixture;
using test::AviPath;
using test::TestAviIndex;
using test::TestFcc;

const int kQuiet = (av_log_set_level(AV_LOG_QUIET), 0);

// ---- Helpers ----

struct OpenAvi {
  PAVIFILE file = nullptr;
  PAVISTREAM video = nullptr;
  PAVISTREAM audio = nullptr;
  explicit OpenAvi(const std::string& path) {
    EXPECT_EQ(AVIFileOpen(&file, path.c_str(), OF_READ, nullptr), AVIERR_OK) << path;
    if (!file) return;
    AVIFileGetStream(file, &video, streamtypeVIDEO, 0);
    AVIFileGetStream(file, &audio, streamtypeAUDIO, 0);
  }
  ~OpenAvi() {
    if (video) AVIStreamRelease(video);
    if (audio) AVIStreamRelease(audio);
    if (file) AVIFileRelease(file);
  }
};

BITMAPINFOHEADER Header(const void* dib) {
  BITMAPINFOHEADER h;
  std::memcpy(&h, dib, sizeof h);
  return h;
}

// The picture of a packed DIB (8, 24 or 32 bits) as B, G, R rows, top-down; 16-bit ones as their
// 5-5-5 words, top-down.
std::vector<uint8_t> DibPixels(const void* dib) {
  const BITMAPINFOHEADER h = Header(dib);
  const int w = h.biWidth, height = h.biHeight < 0 ? -h.biHeight : h.biHeight;
  const auto* base = static_cast<const uint8_t*>(dib);
  const uint8_t* table = base + h.biSize;
  const uint8_t* bits = table + (h.biBitCount == 8 ? 4 * (h.biClrUsed ? h.biClrUsed : 256) : 0);
  const int64_t stride = DibRowBytes(h.biBitCount, w);
  const int outBytes = h.biBitCount == 16 ? 2 : 3;
  std::vector<uint8_t> out(static_cast<size_t>(w) * height * outBytes);
  for (int y = 0; y < height; ++y) {
    const uint8_t* row = bits + (h.biHeight > 0 ? height - 1 - y : y) * stride;
    uint8_t* o = &out[static_cast<size_t>(y) * w * outBytes];
    for (int x = 0; x < w; ++x) {
      switch (h.biBitCount) {
        case 8: std::memcpy(o + 3 * x, table + 4 * row[x], 3); break;
        case 16: std::memcpy(o + 2 * x, row + 2 * x, 2); break;
        case 24: std::memcpy(o + 3 * x, row + 3 * x, 3); break;
        case 32: std::memcpy(o + 3 * x, row + 4 * x, 3); break;
      }
    }
  }
  return out;
}

const AviFixture& Fixture(const std::string& name) {
  return *std::find_if(test::AviFixtures().begin(), test::AviFixtures().end(),
                       [&](const AviFixture& f) { return name == f.Name; });
}

std::string TempFile(const std::string& name, const std::string& bytes) {
  static const std::string dir = test::MakeTempDir("vfw");
  const std::string path = dir + "/" + name;
  test::WriteFile(path, bytes);
  return path;
}

// ---- Files and streams ----

TEST(Vfw, DescribesFilesAndStreamsAsFFprobeDoes) {
  for (const auto& f : test::AviFixtures()) {
    if (std::string(f.File).find(".avi") == std::string::npos) continue;
    SCOPED_TRACE(f.Name);
    const auto probe = test::AviProbe(f.Name);
    OpenAvi avi(AviPath(f.File));
    ASSERT_NE(avi.video, nullptr);
    AVIFILEINFOW fi{};
    ASSERT_EQ(AVIFileInfoW(avi.file, &fi, sizeof fi), AVIERR_OK);
    EXPECT_EQ(fi.dwStreams, f.HasSound ? 2u : 1u);
    EXPECT_EQ(fi.dwWidth, 96u);
    AVISTREAMINFOW si{};
    ASSERT_EQ(AVIStreamInfoW(avi.video, &si, sizeof si), AVIERR_OK);
    EXPECT_EQ(si.fccType, streamtypeVIDEO);
    EXPECT_DOUBLE_EQ(static_cast<double>(si.dwRate) / si.dwScale, test::ProbeRate(probe, "r_frame_rate"));
    EXPECT_EQ(AVIStreamLength(avi.video), test::ProbeInt(probe, "nb_frames"));
    EXPECT_EQ(si.dwLength, static_cast<uint32_t>(AVIStreamLength(avi.video)));
    int32_t size = 0;
    ASSERT_EQ(AVIStreamReadFormat(avi.video, 0, nullptr, &size), AVIERR_OK);
    ASSERT_GE(size, 40);
    std::vector<uint8_t> format(static_cast<size_t>(size));
    ASSERT_EQ(AVIStreamReadFormat(avi.video, 0, format.data(), &size), AVIERR_OK);
    const BITMAPINFOHEADER bi = Header(format.data());
    EXPECT_EQ(bi.biWidth, test::ProbeInt(probe, "width"));
    EXPECT_EQ(bi.biHeight < 0 ? -bi.biHeight : bi.biHeight, test::ProbeInt(probe, "height"));
    EXPECT_EQ(avi.audio != nullptr, f.HasSound);
    if (avi.audio) {
      ASSERT_EQ(AVIStreamReadFormat(avi.audio, 0, nullptr, &size), AVIERR_OK);
      ASSERT_GE(size, 18);
      std::vector<uint8_t> wf(static_cast<size_t>(size));
      ASSERT_EQ(AVIStreamReadFormat(avi.audio, 0, wf.data(), &size), AVIERR_OK);
      WAVEFORMATEX w;
      std::memcpy(&w, wf.data(), sizeof w);
      EXPECT_EQ(w.wFormatTag, test::ProbeInt(probe, "audio_codec_tag"));
      EXPECT_EQ(w.nSamplesPerSec, test::ProbeInt(probe, "audio_sample_rate"));
      EXPECT_EQ(w.nChannels, test::ProbeInt(probe, "audio_channels"));
      EXPECT_LE(18 + w.cbSize, size);
    }
  }
}

TEST(Vfw, OpensOnlyAviFilesForReading) {
  PAVIFILE file = reinterpret_cast<PAVIFILE>(1);
  EXPECT_EQ(AVIFileOpen(&file, (test::TempRoot() + "/none.avi").c_str(), OF_READ, nullptr), AVIERR_FILEOPEN);
  EXPECT_EQ(file, nullptr);
  EXPECT_EQ(AVIFileOpen(&file, TempFile("text.avi", "RIFF\x10\0\0\0WAVEfmt ").c_str(), OF_READ, nullptr),
            AVIERR_BADFORMAT);
  EXPECT_EQ(AVIFileOpen(&file, AviPath("mpeg4_pcm.mkv").c_str(), OF_READ, nullptr), AVIERR_BADFORMAT);
  EXPECT_EQ(AVIFileOpen(&file, AviPath("mjpeg.avi").c_str(), OF_WRITE, nullptr), AVIERR_READONLY);
  const CLSID other = {0x12345678, 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}};
  EXPECT_EQ(AVIFileOpen(&file, AviPath("mjpeg.avi").c_str(), OF_READ, &other), REGDB_E_CLASSNOTREG);
  ASSERT_EQ(AVIFileOpen(&file, AviPath("mjpeg.avi").c_str(), OF_READ, &CLSID_AVIFile), AVIERR_OK);
  PAVISTREAM s = nullptr;
  EXPECT_EQ(AVIFileGetStream(file, &s, streamtypeVIDEO, 1), AVIERR_NODATA);
  EXPECT_EQ(AVIFileGetStream(file, &s, streamtypeTEXT, 0), AVIERR_NODATA);
  ASSERT_EQ(AVIFileGetStream(file, &s, 0, 1), AVIERR_OK);  // the second stream of any type
  AVISTREAMINFOW si{};
  AVIStreamInfoW(s, &si, sizeof si);
  EXPECT_EQ(si.fccType, streamtypeAUDIO);
  // The stream keeps its file alive.
  EXPECT_EQ(AVIFileRelease(file), 1u);
  EXPECT_GT(AVIStreamLength(s), 0);
  EXPECT_EQ(AVIStreamRelease(s), 0u);
  EXPECT_EQ(AviLiveObjects(), 0);
  // Released handles are refused.
  EXPECT_EQ(AVIStreamLength(s), -1);
  EXPECT_EQ(AVIFileRelease(file), 0u);
  EXPECT_EQ(AVIFileInfoW(file, nullptr, 0), AVIERR_BADHANDLE);
}

// ---- Raw reads ----

TEST(Vfw, ReadsFixedSizeSoundSamplesAsManyAsFit) {
  OpenAvi avi(AviPath("raw_bgr24.avi"));  // 16-bit stereo PCM: 4-byte samples
  ASSERT_NE(avi.audio, nullptr);
  const auto ref = test::AviReferenceSound("raw_bgr24");
  const int32_t length = AVIStreamLength(avi.audio);
  EXPECT_EQ(length, test::AviReferenceSampleCount("raw_bgr24"));
  std::vector<int16_t> all;
  std::vector<uint8_t> buffer(1001);
  int32_t pos = 0;
  for (;;) {
    int32_t bytes = -1, samples = -1;
    ASSERT_EQ(AVIStreamRead(avi.audio, pos, AVISTREAMREAD_CONVENIENT, buffer.data(), 1001, &bytes, &samples),
              AVIERR_OK);
    if (samples == 0) break;
    EXPECT_EQ(bytes, samples * 4);
    EXPECT_LE(samples, 250);
    all.insert(all.end(), reinterpret_cast<int16_t*>(buffer.data()), reinterpret_cast<int16_t*>(buffer.data() + bytes));
    pos += samples;
  }
  EXPECT_EQ(pos, length);
  EXPECT_TRUE(all == ref);
  int32_t bytes = 0, samples = 0;
  // A count is cut to what fits; room for not one sample is an error that names the size needed.
  EXPECT_EQ(AVIStreamRead(avi.audio, 10, 100, buffer.data(), 40, &bytes, &samples), AVIERR_OK);
  EXPECT_EQ(samples, 10);
  EXPECT_EQ(AVIStreamRead(avi.audio, 10, 100, buffer.data(), 3, &bytes, &samples), AVIERR_BUFFERTOOSMALL);
  EXPECT_EQ(bytes, 4);
  EXPECT_EQ(AVIStreamRead(avi.audio, 10, 7, nullptr, 0, &bytes, &samples), AVIERR_OK);
  EXPECT_EQ(bytes, 28);
  EXPECT_EQ(AVIStreamRead(avi.audio, length - 3, 100, buffer.data(), 1000, &bytes, &samples), AVIERR_OK);
  EXPECT_EQ(samples, 3);
  EXPECT_EQ(AVIStreamRead(avi.audio, length, 100, buffer.data(), 1000, &bytes, &samples), AVIERR_OK);
  EXPECT_EQ(samples, 0);
  EXPECT_EQ(AVIStreamRead(avi.audio, -1, 100, buffer.data(), 1000, &bytes, &samples), AVIERR_BADPARAM);
}

TEST(Vfw, ReadsVariableSizeSamplesWhole) {
  OpenAvi avi(AviPath("mpeg4.avi"));  // MP3: one frame per chunk
  ASSERT_NE(avi.audio, nullptr);
  AVISTREAMINFOW si{};
  AVIStreamInfoW(avi.audio, &si, sizeof si);
  EXPECT_EQ(si.dwSampleSize, 0u);
  int32_t bytes = 0, samples = 0;
  std::vector<uint8_t> buffer(4000);
  ASSERT_EQ(AVIStreamRead(avi.audio, 0, AVISTREAMREAD_CONVENIENT, buffer.data(), 4000, &bytes, &samples), AVIERR_OK);
  EXPECT_GT(samples, 30);
  EXPECT_LE(bytes, 4000);
  // Every chunk is an MPEG audio frame: the data starts with a frame sync.
  EXPECT_EQ(buffer[0], 0xFF);
  EXPECT_EQ(buffer[1] & 0xE0, 0xE0);
  int32_t total = 0;
  for (int32_t pos = 0; pos < AVIStreamLength(avi.audio); pos += samples) {
    ASSERT_EQ(AVIStreamRead(avi.audio, pos, 1000, buffer.data(), 700, &bytes, &samples), AVIERR_OK);
    ASSERT_GT(samples, 0);
    total += samples;
  }
  EXPECT_EQ(total, AVIStreamLength(avi.audio));
  EXPECT_EQ(AVIStreamRead(avi.audio, 0, 1, buffer.data(), 10, &bytes, &samples), AVIERR_BUFFERTOOSMALL);
  EXPECT_GT(bytes, 10);
}

TEST(Vfw, FindsKeyFramesBothWays) {
  for (const char* name : {"mpeg4", "msmpeg4v3", "cinepak", "raw_bgr24"}) {
    SCOPED_TRACE(name);
    OpenAvi avi(AviPath(Fixture(name).File));
    ASSERT_NE(avi.video, nullptr);
    const auto keys = test::AviKeyFrames(name);
    const int32_t length = AVIStreamLength(avi.video);
    for (int32_t n = 0; n < length; ++n) {
      int64_t before = -1, after = -1;
      for (int64_t k : keys) {
        if (k <= n) before = k;
        if (k >= n && after < 0) after = k;
      }
      EXPECT_EQ(AVIStreamFindSample(avi.video, n, FIND_KEY | FIND_PREV), before) << n;
      EXPECT_EQ(AVIStreamFindSample(avi.video, n, FIND_KEY | FIND_NEXT), after) << n;
      EXPECT_EQ(AVIStreamFindSample(avi.video, n, FIND_ANY | FIND_PREV), n);
    }
    EXPECT_EQ(AVIStreamFindSample(avi.video, -1, FIND_KEY | FIND_PREV), -1);
    EXPECT_EQ(AVIStreamFindSample(avi.video, length, FIND_KEY | FIND_NEXT), -1);
    EXPECT_EQ(AVIStreamFindSample(avi.video, length + 50, FIND_KEY | FIND_PREV), keys.back());
    EXPECT_EQ(AVIStreamFindSample(avi.video, 17, FIND_KEY | FIND_FROM_START), 0);
  }
}

// ---- Frame decompression ----

struct DepthCase {
  const char* name;
  int defaultBits;
};

TEST(Vfw, DecompressesEveryFixtureLikeFFmpeg) {
  const DepthCase cases[] = {{"raw_bgr24", 24}, {"raw_pal8", 8},  {"raw_rgb555", 16}, {"raw_bgra", 32},
                             {"mjpeg", 24},     {"mpeg4", 24},    {"msmpeg4v3", 24},  {"msvideo1", 16},
                             {"cinepak", 24},   {"zmbv", 8},      {"mpeg4_aac", 24}};
  for (const auto& c : cases) {
    const AviFixture& f = Fixture(c.name);
    SCOPED_TRACE(c.name);
    OpenAvi avi(AviPath(f.File));
    ASSERT_NE(avi.video, nullptr);
    PGETFRAME gf = AVIStreamGetFrameOpen(avi.video, nullptr);
    ASSERT_NE(gf, nullptr);
    const bool sixteen = c.defaultBits == 16;
    const std::string ref = sixteen ? test::FFmpegDecodePictures(AviPath(f.File), "rgb555le") : test::AviReferenceFrames(c.name);
    const size_t bytes = 96 * 72 * (sixteen ? 2 : 3);
    for (int32_t n = 0; n < AVIStreamLength(avi.video); ++n) {
      void* dib = AVIStreamGetFrame(gf, n);
      ASSERT_NE(dib, nullptr) << n;
      const BITMAPINFOHEADER h = Header(dib);
      EXPECT_EQ(h.biBitCount, c.defaultBits);
      EXPECT_EQ(h.biCompression, BI_RGB);
      EXPECT_EQ(h.biWidth, 96);
      EXPECT_EQ(h.biHeight, 72);  // bottom-up rows
      const auto got = DibPixels(dib);
      const int64_t k = test::AviReferencePicture(c.name, f.File, n);
      ASSERT_LE((k + 1) * bytes, ref.size());
      EXPECT_LE(test::MaxChannelDifference(got.data(), reinterpret_cast<const uint8_t*>(ref.data()) + k * bytes, bytes),
                f.Lossless || sixteen ? 0 : 1)
          << "frame " << n;
    }
    EXPECT_EQ(AVIStreamGetFrame(gf, AVIStreamLength(avi.video)), nullptr);
    EXPECT_EQ(AVIStreamGetFrame(gf, -1), nullptr);
    EXPECT_EQ(AVIStreamGetFrameClose(gf), AVIERR_OK);
  }
  EXPECT_EQ(AviLiveObjects(), 0);
}

TEST(Vfw, DeliversTheDepthAskedFor) {
  OpenAvi avi(AviPath("mpeg4.avi"));
  ASSERT_NE(avi.video, nullptr);
  const std::string ref = test::AviReferenceFrames("mpeg4");
  for (int bits : {24, 32}) {
    BITMAPINFOHEADER want{40, 96, 72, 1, static_cast<uint16_t>(bits), BI_RGB, 0, 0, 0, 0, 0};
    PGETFRAME gf = AVIStreamGetFrameOpen(avi.video, &want);
    ASSERT_NE(gf, nullptr);
    for (int32_t n : {12, 3, 4, 30}) {
      void* dib = AVIStreamGetFrame(gf, n);
      ASSERT_NE(dib, nullptr);
      EXPECT_EQ(Header(dib).biBitCount, bits);
      const size_t bytes = 96 * 72 * 3;
      const int64_t k = test::AviReferencePicture("mpeg4", "mpeg4.avi", n);
      EXPECT_LE(test::MaxChannelDifference(DibPixels(dib).data(), reinterpret_cast<const uint8_t*>(ref.data()) + k * bytes,
                                           bytes),
                1);
    }
    AVIStreamGetFrameClose(gf);
  }
  BITMAPINFOHEADER want{40, 96, 72, 1, 15, BI_RGB, 0, 0, 0, 0, 0};
  PGETFRAME gf = AVIStreamGetFrameOpen(avi.video, &want);
  ASSERT_NE(gf, nullptr);
  EXPECT_EQ(Header(AVIStreamGetFrame(gf, 0)).biBitCount, 16);
  AVIStreamGetFrameClose(gf);
  // A palette cannot be made from colours; a size or compression other than the stream's is
  // refused at once.
  want.biBitCount = 8;
  gf = AVIStreamGetFrameOpen(avi.video, &want);
  ASSERT_NE(gf, nullptr);
  EXPECT_EQ(AVIStreamGetFrame(gf, 0), nullptr);
  AVIStreamGetFrameClose(gf);
  want.biBitCount = 24;
  want.biWidth = 48;
  EXPECT_EQ(AVIStreamGetFrameOpen(avi.video, &want), nullptr);
  want.biWidth = 96;
  want.biCompression = TestFcc("MJPG");
  EXPECT_EQ(AVIStreamGetFrameOpen(avi.video, &want), nullptr);
  want.biCompression = BI_RGB;
  want.biBitCount = 12;
  EXPECT_EQ(AVIStreamGetFrameOpen(avi.video, &want), nullptr);
  EXPECT_EQ(AVIStreamGetFrameOpen(avi.audio, nullptr), nullptr);
}

TEST(Vfw, RandomAccessDecodesTheSamePictures) {
  std::mt19937 rng(3);
  for (const char* name : {"mpeg4", "cinepak", "msvideo1", "zmbv"}) {
    SCOPED_TRACE(name);
    OpenAvi avi(AviPath(Fixture(name).File));
    PGETFRAME seq = AVIStreamGetFrameOpen(avi.video, nullptr);
    PGETFRAME rnd = AVIStreamGetFrameOpen(avi.video, nullptr);
    ASSERT_TRUE(seq && rnd);
    const int32_t length = AVIStreamLength(avi.video);
    std::vector<std::vector<uint8_t>> frames;
    for (int32_t n = 0; n < length; ++n) frames.push_back(DibPixels(AVIStreamGetFrame(seq, n)));
    std::vector<int32_t> order(static_cast<size_t>(length));
    for (int32_t n = 0; n < length; ++n) order[static_cast<size_t>(n)] = n;
    std::shuffle(order.begin(), order.end(), rng);
    order.insert(order.end(), {5, 5, 4, 11, 12, 13, 0});
    for (int32_t n : order) EXPECT_EQ(DibPixels(AVIStreamGetFrame(rnd, n)), frames[static_cast<size_t>(n)]) << n;
    AVIStreamGetFrameClose(seq);
    AVIStreamGetFrameClose(rnd);
  }
}

// A decompressor given back is kept for the next open of the unchanged file, and the read-ahead
// makes one with the first picture: what either delivers is what a fresh one delivers, and only
// for the format it was opened for.
TEST(Vfw, KeptDecompressorsDeliverWhatFreshOnesDo) {
  AVIFileInit();  // decompressors are kept while the interface is in use
  const struct {
    const char* fixture;
    bool ahead;  // the layout read ahead first
    int bits;    // asked for (0: the decoder's own depth), then
    int other;   // asked for once the first is given back
    int own;     // the decoder's own depth
  } cases[] = {{"mpeg4", true, 0, 32, 24},
               {"mpeg4", false, 32, 0, 24},
               {"cinepak", true, 0, 16, 24},
               {"raw_pal8", false, 0, 24, 8},
               {"raw_pal8", true, 24, 0, 8}};
  const std::string path = TempFile("kept.avi", "");
  int version = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.fixture << (c.ahead ? ", read ahead, " : ", ") << c.bits << " bits");
    test::WriteFile(path, test::ReadFile(AviPath(Fixture(c.fixture).File)));
    ++version;
    const struct timespec time[2] = {{1700000000 + version, 0}, {1700000000 + version, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), time, 0), 0);
    if (c.ahead) AviFilePrefetch(path.c_str());
    // Frames read through a new decompressor of the file's picture stream.
    auto frames = [&](OpenAvi& avi, int bits, PGETFRAME* keep) {
      const BITMAPINFOHEADER want{40, 96, 72, 1, static_cast<uint16_t>(bits), BI_RGB, 0, 0, 0, 0, 0};
      PGETFRAME gf = AVIStreamGetFrameOpen(avi.video, bits == 0 ? nullptr : &want);
      std::vector<std::vector<uint8_t>> got;
      for (int32_t n : {0, 5, 2, 11, 0}) {
        void* dib = gf != nullptr ? AVIStreamGetFrame(gf, n) : nullptr;
        if (dib == nullptr) break;
        EXPECT_EQ(Header(dib).biBitCount, bits == 0 ? c.own : bits);
        got.push_back(DibPixels(dib));
      }
      if (keep != nullptr) *keep = gf;
      else if (gf != nullptr) AVIStreamGetFrameClose(gf);
      return got;
    };
    std::vector<std::vector<uint8_t>> first, kept, fresh;
    {
      OpenAvi avi(path);
      first = frames(avi, c.bits, nullptr);  // given back: kept
    }
    {
      OpenAvi avi(path);
      PGETFRAME taken = nullptr;
      kept = frames(avi, c.bits, &taken);
      fresh = frames(avi, c.bits, nullptr);  // opened beside the kept one: a fresh one
      AVIStreamGetFrameClose(taken);
    }
    EXPECT_EQ(first.size(), 5u);
    EXPECT_EQ(first, fresh);
    EXPECT_EQ(kept, fresh);
    // Another format is never served by the one kept.
    OpenAvi avi(path);
    EXPECT_EQ(frames(avi, c.other, nullptr).size(), 5u);
  }
  AVIFileExit();
  EXPECT_EQ(AviLiveObjects(), 0);
}

// What is kept for the next open (decompressors with their descriptors, the read-ahead threads)
// goes when the last user of the interface leaves it.
TEST(Vfw, NothingIsKeptOnceTheLastUserExits) {
  auto count = [](const char* folder) {
    return std::distance(std::filesystem::directory_iterator(folder), std::filesystem::directory_iterator{});
  };
  const std::string path = TempFile("exit.avi", test::ReadFile(AviPath("mpeg4.avi")));
  const auto files = count("/proc/self/fd"), threads = count("/proc/self/task");
  AVIFileInit();
  for (int open = 0; open < 2; ++open) {
    AviFilePrefetch(path.c_str());
    OpenAvi avi(path);
    PGETFRAME gf = AVIStreamGetFrameOpen(avi.video, nullptr);
    ASSERT_NE(AVIStreamGetFrame(gf, 3), nullptr);
    AVIStreamGetFrameClose(gf);
  }
  EXPECT_GT(count("/proc/self/fd"), files);  // a decompressor is kept, with its descriptor
  AVIFileExit();
  EXPECT_EQ(count("/proc/self/fd"), files);
  EXPECT_EQ(count("/proc/self/task"), threads);
}

// ---- Files of our own writer: MS-RLE, bottom-up rows, OpenDML, idx1 only, no index ----

TEST(Vfw, DecodesMsRleFromOurOwnWriter) {
  const test::IndexedMovie m;
  const std::string path = TempFile("msrle.avi", test::MsRleFile(m, TestAviIndex::Idx1));
  // The writer is checked by FFmpeg's own decoder first.
  const std::string ff = test::FFmpegDecodePictures(path, "bgr24");
  const size_t bytes = static_cast<size_t>(m.width) * m.height * 3;
  ASSERT_EQ(ff.size(), bytes * m.frames.size());
  for (size_t n = 0; n < m.frames.size(); ++n)
    EXPECT_EQ(std::memcmp(ff.data() + n * bytes, m.Bgr(n).data(), bytes), 0) << "FFmpeg, frame " << n;

  OpenAvi avi(path);
  ASSERT_NE(avi.video, nullptr);
  EXPECT_EQ(AVIStreamLength(avi.video), 20);
  EXPECT_EQ(AVIStreamFindSample(avi.video, 13, FIND_KEY | FIND_PREV), 10);
  EXPECT_EQ(AVIStreamFindSample(avi.video, 13, FIND_KEY | FIND_NEXT), 15);
  PGETFRAME gf = AVIStreamGetFrameOpen(avi.video, nullptr);
  ASSERT_NE(gf, nullptr);
  for (size_t n : {0, 1, 2, 3, 7, 19, 18, 6, 11, 10, 4}) {
    void* dib = AVIStreamGetFrame(gf, static_cast<int32_t>(n));
    ASSERT_NE(dib, nullptr);
    ASSERT_EQ(Header(dib).biBitCount, 8);
    EXPECT_EQ(DibPixels(dib), m.Bgr(n)) << "frame " << n;
    // The indices themselves, bottom-up rows of 64 bytes.
    const uint8_t* rows = static_cast<const uint8_t*>(dib) + 40 + 1024;
    EXPECT_EQ(std::memcmp(rows, &m.frames[n][static_cast<size_t>(47) * 64], 64), 0);
  }
  AVIStreamGetFrameClose(gf);
}

// Raw rows written bottom-up (the classic layout) read the same as ffmpeg's top-down ones.
TEST(Vfw, ReadsRawRowsInBothOrders) {
  for (int bits : {16, 24}) {
    SCOPED_TRACE(bits);
    const std::string ref = bits == 16 ? test::ReadFile(AviPath("raw_rgb555.rgb555")) : test::AviReferenceFrames("raw_bgr24");
    const int bpp = bits / 8;
    const size_t bytes = 96 * 72 * static_cast<size_t>(bpp);
    ASSERT_EQ(ref.size(), 30 * bytes);
    for (bool bottomUp : {true, false}) {
      test::TestAviStream v;
      v.Format = test::TestBitmapFormat(96, bottomUp ? 72 : -72, static_cast<uint16_t>(bits), BI_RGB);
      v.Rate = 12;
      for (size_t n = 0; n < 30; ++n) {
        std::vector<uint8_t> chunk;
        for (int y = 0; y < 72; ++y) {
          const int src = bottomUp ? 71 - y : y;
          chunk.insert(chunk.end(), ref.begin() + n * bytes + src * 96 * bpp, ref.begin() + n * bytes + (src + 1) * 96 * bpp);
        }
        v.Chunks.push_back(std::move(chunk));
      }
      const std::string path = TempFile(std::string(bottomUp ? "up" : "down") + std::to_string(bits) + ".avi",
                                        test::WriteTestAvi({v}, TestAviIndex::Idx1));
      if (bits == 24) {
        EXPECT_EQ(test::FFmpegDecodePictures(path, "bgr24"), ref);
      }
      OpenAvi avi(path);
      PGETFRAME gf = AVIStreamGetFrameOpen(avi.video, nullptr);
      ASSERT_NE(gf, nullptr);
      for (int32_t n : {0, 29, 13}) {
        void* dib = AVIStreamGetFrame(gf, n);
        ASSERT_NE(dib, nullptr);
        EXPECT_EQ(Header(dib).biBitCount, bits);
        const auto got = DibPixels(dib);
        EXPECT_EQ(std::memcmp(got.data(), ref.data() + n * bytes, bytes), 0) << n;
      }
      AVIStreamGetFrameClose(gf);
    }
  }
}

// A file's layout is read once while the file stays the same: written again in place (also within
// one tick of the file system's clock, with the same size: other key frames) it is read again.
TEST(Vfw, AFileWrittenAgainIsReadAgain) {
  const struct {
    size_t frames;
    bool allKeys;
    int32_t keyBefore5;
  } versions[] = {{10, true, 5}, {10, false, 0}, {20, true, 5}, {10, true, 5}};
  const std::string path = TempFile("again.avi", "");
  for (const auto& v : versions) {
    SCOPED_TRACE(testing::Message() << v.frames << " frames, all keys " << v.allKeys);
    test::TestAviStream s;
    // Compressed (as far as the layout knows): only its index marks the key frames.
    s.Format = test::TestBitmapFormat(8, 8, 24, test::TestFcc("XVID"));
    for (size_t n = 0; n < v.frames; ++n) {
      s.Chunks.emplace_back(8 * 8 * 3, static_cast<uint8_t>(n));
      s.Keys.push_back(v.allKeys || n == 0);
    }
    test::WriteFile(path, test::WriteTestAvi({s}, TestAviIndex::Idx1));
    const struct timespec sameTime[2] = {{1700000000, 0}, {1700000000, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), sameTime, 0), 0);
    for (int open = 0; open < 2; ++open) {
      OpenAvi avi(path);
      ASSERT_NE(avi.video, nullptr);
      EXPECT_EQ(AVIStreamLength(avi.video), static_cast<int32_t>(v.frames));
      EXPECT_EQ(AVIStreamFindSample(avi.video, 5, FIND_KEY | FIND_PREV), v.keyBefore5);
    }
  }
}

// A layout read ahead on its own thread is the one the open takes, while the file stays the same;
// a file written again after it, or one that is no AVI file, is opened as without it.
TEST(Vfw, ALayoutReadAheadServesOnlyTheSameFile) {
  const struct {
    size_t before, after;  // frames when read ahead, and when opened (0: not rewritten)
  } cases[] = {{10, 0}, {10, 20}, {20, 10}};
  const std::string path = TempFile("ahead.avi", "");
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.before << " then " << c.after);
    auto write = [&](size_t frames) {
      test::TestAviStream s;
      s.Format = test::TestBitmapFormat(8, 8, 24, 0);
      for (size_t n = 0; n < frames; ++n) s.Chunks.emplace_back(8 * 8 * 3, static_cast<uint8_t>(n));
      test::WriteFile(path, test::WriteTestAvi({s}, TestAviIndex::Idx1));
    };
    write(c.before);
    AviFilePrefetch(path.c_str());
    if (c.after != 0) write(c.after);
    OpenAvi avi(path);
    ASSERT_NE(avi.video, nullptr);
    EXPECT_EQ(AVIStreamLength(avi.video), static_cast<int32_t>(c.after != 0 ? c.after : c.before));
  }
  const std::string text = TempFile("ahead.txt", "RIFF\x10\0\0\0WAVEfmt ");
  AviFilePrefetch(text.c_str());
  AviFilePrefetch((test::TempRoot() + "/none.avi").c_str());
  PAVIFILE file = nullptr;
  EXPECT_EQ(AVIFileOpen(&file, text.c_str(), OF_READ, nullptr), AVIERR_BADFORMAT);
  EXPECT_EQ(AviLiveObjects(), 0);
}

// One movie (the raw BGR24 fixture's frames and sound) written with each kind of index: every
// frame and every sample byte reads back the same.
TEST(Vfw, ReadsOpenDmlIdx1AndUnindexedFilesAlike) {
  const std::string frames = test::AviReferenceFrames("raw_bgr24");
  const auto sound = test::AviReferenceSound("raw_bgr24");
  const size_t bytes = 96 * 72 * 3;
  test::TestAviStream v;
  v.Format = test::TestBitmapFormat(96, -72, 24, BI_RGB);
  v.Rate = 12;
  for (size_t n = 0; n < 30; ++n) v.Chunks.emplace_back(frames.begin() + n * bytes, frames.begin() + (n + 1) * bytes);
  test::TestAviStream a;
  a.Type = test::TestFcc("auds");
  WAVEFORMATEX wf{WAVE_FORMAT_PCM, 2, 44100, 176400, 4, 16, 0};
  a.Format.assign(reinterpret_cast<uint8_t*>(&wf), reinterpret_cast<uint8_t*>(&wf) + 18);
  a.Scale = 4;
  a.Rate = 176400;
  a.SampleSize = 4;
  const size_t perChunk = 3675 * 2;  // samples of one frame, both channels
  for (size_t n = 0; n * perChunk < sound.size(); ++n) {
    const size_t end = std::min(sound.size(), (n + 1) * perChunk);
    a.Chunks.emplace_back(reinterpret_cast<const uint8_t*>(sound.data() + n * perChunk),
                          reinterpret_cast<const uint8_t*>(sound.data() + end));
  }
  struct Variant {
    const char* name;
    TestAviIndex index;
    size_t perRiff;
    AviIndexKind kind;
  } variants[] = {{"odml", TestAviIndex::OpenDml, 11, AviIndexKind::OpenDml},
                  {"odml_idx1", TestAviIndex::OpenDmlAndIdx1, 7, AviIndexKind::OpenDml},
                  {"idx1", TestAviIndex::Idx1, 0, AviIndexKind::Idx1},
                  {"none", TestAviIndex::None, 0, AviIndexKind::Walk}};
  for (const auto& var : variants) {
    SCOPED_TRACE(var.name);
    const std::string path = TempFile(std::string(var.name) + ".avi", test::WriteTestAvi({v, a}, var.index, var.perRiff));
    if (var.index == TestAviIndex::OpenDml) {
      EXPECT_EQ(test::FFmpegDecodePictures(path, "bgr24"), frames);
    }
    const int fd = open(path.c_str(), O_RDONLY);
    AviLayout layout;
    ASSERT_TRUE(ParseAvi(fd, layout, AviParseOptions{}));
    close(fd);
    EXPECT_EQ(layout.Index, var.kind);

    OpenAvi avi(path);
    ASSERT_TRUE(avi.video && avi.audio);
    ASSERT_EQ(AVIStreamLength(avi.video), 30);
    PGETFRAME gf = AVIStreamGetFrameOpen(avi.video, nullptr);
    ASSERT_NE(gf, nullptr);
    for (int32_t n = 0; n < 30; ++n) {
      const auto got = DibPixels(AVIStreamGetFrame(gf, n));
      EXPECT_EQ(std::memcmp(got.data(), frames.data() + n * bytes, bytes), 0) << n;
    }
    AVIStreamGetFrameClose(gf);
    ASSERT_EQ(AVIStreamLength(avi.audio), static_cast<int32_t>(sound.size() / 2));
    std::vector<int16_t> got(sound.size());
    int32_t b = 0, s = 0;
    ASSERT_EQ(AVIStreamRead(avi.audio, 0, AVISTREAMREAD_CONVENIENT, got.data(), static_cast<int32_t>(got.size() * 2), &b, &s),
              AVIERR_OK);
    EXPECT_EQ(s, AVIStreamLength(avi.audio));
    EXPECT_TRUE(got == sound);
  }
  // Without its OpenDML indexes, a split file shows only what its idx1 covers: the first part.
  const std::string split = TempFile("split.avi", test::WriteTestAvi({v, a}, TestAviIndex::OpenDmlAndIdx1, 7));
  const int fd = open(split.c_str(), O_RDONLY);
  AviLayout layout;
  ASSERT_TRUE(ParseAvi(fd, layout, AviParseOptions{false, true}));
  close(fd);
  EXPECT_EQ(layout.Index, AviIndexKind::Idx1);
  EXPECT_EQ(layout.Streams[0].Chunks.size(), 7u);
}

// ---- Hostile files ----

// Cut short, overwritten at random, or with absurd header values: every call answers without
// reading outside the file or its buffers.
TEST(Vfw, DamagedFilesAreReadSafely) {
  std::mt19937 rng(7);
  std::vector<std::string> sources = {test::ReadFile(AviPath("mpeg4.avi")), test::ReadFile(AviPath("raw_pal8.avi")),
                                      test::ReadFile(AviPath("zmbv.avi")),
                                      test::MsRleFile(test::IndexedMovie(), TestAviIndex::OpenDml)};
  int opened = 0;
  for (size_t si = 0; si < sources.size(); ++si) {
    for (int variant = 0; variant < 12; ++variant) {
      std::string bytes = sources[si];
      if (variant < 4) {
        bytes.resize(bytes.size() * (variant + 1) / 5);
      } else {
        std::uniform_int_distribution<size_t> at(0, bytes.size() - 4);
        for (int i = 0; i < 8 * variant; ++i) {
          const size_t p = at(rng);
          // Aim at sizes and offsets too: whole words of 0xFF or large values.
          if (i % 3 == 0) std::memset(&bytes[p], 0xFF, 4);
          else bytes[p] = static_cast<char>(rng());
        }
      }
      const std::string path = TempFile("bad" + std::to_string(si) + "_" + std::to_string(variant) + ".avi", bytes);
      PAVIFILE file = nullptr;
      if (AVIFileOpen(&file, path.c_str(), OF_READ, nullptr) != AVIERR_OK) continue;
      ++opened;
      AVIFILEINFOW fi{};
      AVIFileInfoW(file, &fi, sizeof fi);
      for (uint32_t type : {streamtypeVIDEO, streamtypeAUDIO}) {
        PAVISTREAM s = nullptr;
        if (AVIFileGetStream(file, &s, type, 0) != AVIERR_OK) continue;
        AVISTREAMINFOW si2{};
        AVIStreamInfoW(s, &si2, sizeof si2);
        int32_t size = 0;
        if (AVIStreamReadFormat(s, 0, nullptr, &size) == AVIERR_OK && size > 0 && size < (1 << 20)) {
          std::vector<uint8_t> f(static_cast<size_t>(size));
          AVIStreamReadFormat(s, 0, f.data(), &size);
        }
        const int32_t length = AVIStreamLength(s);
        std::vector<uint8_t> buffer(1 << 16);
        int32_t b = 0, n = 0;
        for (int32_t p = 0; p < length; p += std::max(1, length / 7))
          AVIStreamRead(s, p, AVISTREAMREAD_CONVENIENT, buffer.data(), static_cast<int32_t>(buffer.size()), &b, &n);
        if (type == streamtypeVIDEO) {
          PGETFRAME gf = AVIStreamGetFrameOpen(s, nullptr);
          if (gf) {
            for (int32_t p = length - 1; p >= 0; p -= 2) AVIStreamGetFrame(gf, p);
            AVIStreamGetFrameClose(gf);
          }
          AVIStreamFindSample(s, length / 2, FIND_KEY | FIND_PREV);
        }
        AVIStreamRelease(s);
      }
      AVIFileRelease(file);
    }
  }
  EXPECT_GT(opened, 10);  // cut files keep what lies before the cut
  EXPECT_EQ(AviLiveObjects(), 0);
}

// A file cut before its index still reads its frames: the movi list is walked.
TEST(Vfw, FileCutBeforeItsIndexIsWalked) {
  std::string bytes = test::ReadFile(AviPath("mjpeg.avi"));
  const size_t idx1 = bytes.rfind("idx1");
  ASSERT_NE(idx1, std::string::npos);
  bytes.resize(idx1);
  OpenAvi avi(TempFile("noindex.avi", bytes));
  ASSERT_NE(avi.video, nullptr);
  EXPECT_EQ(AVIStreamLength(avi.video), 30);
  PGETFRAME gf = AVIStreamGetFrameOpen(avi.video, nullptr);
  ASSERT_NE(gf, nullptr);
  const std::string ref = test::AviReferenceFrames("mjpeg");
  const size_t frameBytes = 96 * 72 * 3;
  EXPECT_LE(test::MaxChannelDifference(DibPixels(AVIStreamGetFrame(gf, 17)).data(),
                                       reinterpret_cast<const uint8_t*>(ref.data()) + 17 * frameBytes, frameBytes),
            1);
  AVIStreamGetFrameClose(gf);
}

}  // namespace
}  // namespace tavelo::platform
