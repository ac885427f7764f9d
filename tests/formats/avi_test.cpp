#include "formats/units/ff_avi.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "core/services/errors.h"
#include "core/services/files.h"
#include "core/services/memory.h"
#include "core/services/monitor.h"
#include "core/services/trace.h"
#include "formats/conform.h"
#include "formats/ff_basic.h"
#include "formats/ff_tables.h"
#include "formats/ff_unit.h"
#include "formats/units/ff_avi_names.h"
#include "platform/vfw/vfw.h"
#include "tests/codecs/avi_reference.h"
#include "tests/formats/format_fixture.h"
#include "tests/platform/avi_test_writer.h"
#include "tests/support/test_env.h"

extern "C" {
#include <libavutil/log.h>
}

namespace tavelo {
namespace {

using test::AviFixture;
using test::AviPath;

const int kQuiet = (av_log_set_level(AV_LOG_QUIET), 0);

// ---- Helpers ----

// The picture as top-down B, G, R bytes (palette expanded, the fourth byte of 32-bit pictures
// dropped); a 15-bit picture as its 5-5-5 words.
std::vector<uint8_t> Pixels(const Qimg& img) {
  std::vector<uint8_t> out;
  const int64_t n = static_cast<int64_t>(img.Width) * img.Height;
  for (int64_t i = 0; i < n; ++i) {
    const uint8_t* p = img.Data + i * img.BytesPP;
    switch (img.Bpp) {
      case 8: out.insert(out.end(), &img.Palette[3 * p[0]], &img.Palette[3 * p[0]] + 3); break;
      case 15: out.insert(out.end(), p, p + 2); break;
      default: out.insert(out.end(), p, p + 3); break;
    }
  }
  return out;
}

const AviFixture& Fixture(const std::string& name) {
  return *std::find_if(test::AviFixtures().begin(), test::AviFixtures().end(),
                       [&](const AviFixture& f) { return name == f.Name; });
}

bool IsAvi(const AviFixture& f) { return std::string(f.File).find(".avi") != std::string::npos; }

using test::CountWarnings;

class AviUnit : public test::FormatTest {
 protected:
  void TearDown() override {
    if (loaded_) ConformUnitDone();
    unsetenv("FAKE_DSW_MODE");
    EXPECT_EQ(AviOpenCount(), 0);
    EXPECT_EQ(platform::AviLiveObjects(), 0);
    test::FormatTest::TearDown();
  }
  // The decoder library from folder (the real one, none, or the fake one) and the unit loaded.
  void Load(const std::string& folder) {
    platform::SetLibraryFolder(folder);
    ConformUnitInit();
    loaded_ = true;
  }
  void WithDecoder() {
    Load(TAVELO_CODEC_DIR);
    ASSERT_TRUE(AviDswAvailable());
  }
  void WithoutDecoder() {
    Load(test::MakeTempDir("no_codecs"));
    ASSERT_FALSE(AviDswAvailable());
  }
  void WithFake(const char* mode) {
    setenv("FAKE_DSW_MODE", mode, 1);
    Load(TAVELO_FAKE_DSHOW_DIR);
    ASSERT_TRUE(AviDswAvailable());
  }
  int32_t FakeOpenHandles() {
    auto count = reinterpret_cast<int32_t (*)()>(dlsym(FFCodecLibrary(clDShow).Module, "fake_dsw_open_handles"));
    EXPECT_NE(count, nullptr);
    return count ? count() : -1;
  }

  // Opens into a handle of its own; the error class the open ended with (0 on success).
  int32_t Open(AviHandle& h, const std::string& path) {
    return MonitoredNoRaise([&] { AviOpen(h, path); });
  }

  bool loaded_ = false;
};

std::string CopyToTemp(const std::string& from, const std::string& name, int64_t size = -1) {
  const std::string path = test::MakeTempDir("avi_copy") + "/" + name;
  test::WriteFile(path, test::ReadFile(from));
  if (size >= 0) {
    EXPECT_EQ(truncate(path.c_str(), size), 0);  // sparse: no disk is used
  }
  return path;
}

// ---- Every fixture through the dispatcher ----

// Reads every frame and all the sound through the universal routines and compares them with
// FFmpeg's own decode; the description with ffprobe's.
void CheckFixture(const AviFixture& f, bool decoderPresent) {
  SCOPED_TRACE(f.Name);
  const auto probe = test::AviProbe(f.Name);
  UniInfoRec info;
  ASSERT_TRUE(UniInfo(AviPath(f.File), info, 0, nullptr, nullptr));
  EXPECT_EQ(info.FormatId, fidAVI);
  const FFVideoPart& v = info.Video;
  EXPECT_EQ(v.Width, test::ProbeInt(probe, "width"));
  EXPECT_EQ(v.Height, test::ProbeInt(probe, "height"));
  EXPECT_DOUBLE_EQ(v.FrameRate, test::ProbeRate(probe, "r_frame_rate"));
  const auto pts = test::ReadNumbers(AviPath(std::string(f.Name) + ".pts"));
  EXPECT_EQ(v.Frames, IsAvi(f) ? test::ProbeInt(probe, "nb_frames") : static_cast<int64_t>(pts.size()));
  // Uncompressed 24-bit pictures are left to the decoder library.
  const bool videoReadable = decoderPresent || std::string(f.Name) != "raw_bgr24";
  EXPECT_EQ(v.VideoSupported != 0, videoReadable);
  const bool aac = std::string(f.Name) == "mpeg4_aac";
  const bool soundReadable = f.HasSound && (decoderPresent || !aac);
  EXPECT_EQ(info.Audio.AudioSupported != 0, soundReadable);
  if (f.HasSound) {
    // A sound nobody decodes still shows its stored format.
    const bool pcmKnown = soundReadable;
    EXPECT_EQ(pcmKnown ? info.Audio.SampleRate : info.Audio.SrcFormat.nSamplesPerSec,
              test::ProbeInt(probe, "audio_sample_rate"));
    EXPECT_EQ(pcmKnown ? info.Audio.Channels : info.Audio.SrcFormat.nChannels, test::ProbeInt(probe, "audio_channels"));
    if (IsAvi(f)) {
      EXPECT_EQ(info.Audio.CodecId, test::ProbeInt(probe, "audio_codec_tag"));
    }
  }

  UniHandle h;
  ASSERT_EQ(MonitoredNoRaise([&] { UniOpen(h, info); }), 0) << GetErrorMessage();
  if (videoReadable) {
    const bool fifteen = v.Bpp == 15;
    const std::string ref = fifteen ? test::FFmpegDecodePictures(AviPath(f.File), "rgb555le") : test::AviReferenceFrames(f.Name);
    const size_t bytes = static_cast<size_t>(v.Width) * v.Height * (fifteen ? 2 : 3);
    Qimg img;
    for (int32_t n = 1; n <= v.Frames; ++n) {
      ASSERT_EQ(MonitoredNoRaise([&] { UniImgLoad(h, img, n, 0); }), 0) << "frame " << n << ": " << GetErrorMessage();
      const auto got = Pixels(img);
      ASSERT_EQ(got.size(), bytes);
      const int64_t k = test::AviReferencePicture(f.Name, f.File, n - 1);
      EXPECT_LE(test::MaxChannelDifference(got.data(), reinterpret_cast<const uint8_t*>(ref.data()) + k * bytes, bytes),
                f.Lossless || fifteen ? 0 : 1)
          << "frame " << n;
    }
    ImgFree(img);
  }
  if (soundReadable) {
    const auto ref = test::AviReferenceSound(f.Name);
    const int32_t ch = info.Audio.Channels;
    const int32_t bits = info.Audio.Bits;
    // The decoder library delivers exactly FFmpeg's decode; Video for Windows' MP3 and ADPCM
    // conversions end on whole blocks of their own and may round MP3 differently.
    const bool exactLength = decoderPresent || info.Audio.CodecId == 1;
    if (exactLength) {
      EXPECT_EQ(info.Audio.Samples, test::AviReferenceSampleCount(f.Name));
    }
    std::vector<int16_t> got;
    Qsnd snd;
    for (int32_t pos = 0; pos < info.Audio.Samples;) {
      const int32_t want = 7000 + pos % 3001;
      if (MonitoredNoRaise([&] { UniSndLoad(h, snd, pos, want, pos == 0 ? 0 : 1); }) != 0) break;
      if (snd.samples <= 0) break;
      for (int64_t i = 0; i < int64_t{snd.samples} * ch; ++i)
        got.push_back(bits == 8 ? static_cast<int16_t>((snd.SndData[i] - 128) << 8)
                                : reinterpret_cast<const int16_t*>(snd.SndData)[i]);
      pos += snd.samples;
    }
    ClearError();
    if (exactLength) {
      ASSERT_EQ(got.size(), ref.size());
    } else {
      ASSERT_GE(got.size() + 4096 * ch, ref.size());
    }
    const size_t n = std::min(got.size(), ref.size());
    int worst = 0;
    for (size_t i = 0; i < n; ++i) worst = std::max(worst, std::abs(got[i] - ref[i]));
    EXPECT_LE(worst, info.Audio.CodecId == 0x55 && !decoderPresent ? 1 : 0);
    SndFree(snd);
  }
  MonitoredNoRaise([&] { UniClose(h); });
}

TEST_F(AviUnit, ReadsEveryFixtureWithTheDecoderLibrary) {
  const int32_t memAtStart = MemCount();  // what earlier work left is not this test's
  WithDecoder();
  for (const auto& f : test::AviFixtures()) CheckFixture(f, true);
  EXPECT_EQ(MemCount(), memAtStart);
}

TEST_F(AviUnit, ReadsEveryAviFixtureThroughVideoForWindowsAlone) {
  const int32_t memAtStart = MemCount();  // what earlier work left is not this test's
  WithoutDecoder();
  for (const auto& f : test::AviFixtures()) {
    if (IsAvi(f)) CheckFixture(f, false);
  }
  EXPECT_EQ(MemCount(), memAtStart);
}

// MP3 in AVI read without the decoder library (ffmpeg writes a block alignment of 1152): the
// length is FFmpeg's within one frame, and reading on from the start gives all of it.
TEST_F(AviUnit, Mp3ThroughVideoForWindowsHasItsLength) {
  WithoutDecoder();
  UniInfoRec info;
  ASSERT_TRUE(UniInfo(AviPath("mpeg4.avi"), info, 0, nullptr, nullptr));
  ASSERT_EQ(info.Audio.CodecId, 0x55);
  EXPECT_NEAR(info.Audio.Samples, test::AviReferenceSampleCount("mpeg4"), 1152);
  UniHandle h;
  ASSERT_EQ(MonitoredNoRaise([&] { UniOpen(h, info); }), 0);
  Qsnd snd;
  int64_t total = 0;
  for (int32_t pos = 0; pos < info.Audio.Samples;) {
    ASSERT_EQ(MonitoredNoRaise([&] { UniSndLoad(h, snd, pos, 5000, pos == 0 ? 0 : 1); }), 0);
    if (snd.samples <= 0) break;
    total += snd.samples;
    pos += snd.samples;
  }
  EXPECT_EQ(total, info.Audio.Samples);
  SndFree(snd);
  MonitoredNoRaise([&] { UniClose(h); });
  EXPECT_EQ(MemCount(), 0);
}

// 16-bit samples of a file, as the tool wrote them.
std::vector<int16_t> S16File(const std::string& path) {
  const std::string bytes = test::ReadFile(path);
  std::vector<int16_t> samples(bytes.size() / 2);
  std::memcpy(samples.data(), bytes.data(), samples.size() * 2);
  return samples;
}

// Compressed sound in AVI read without the decoder library: MP3 from LAME at a variable rate
// (frames drawing on the bit reservoir), from shine, and ffmpeg's own low-rate mono; IMA and MS
// ADPCM blocks. The sound after a seek is exactly what reading in order gives there (and FFmpeg's
// decode, MP3 within rounding), at the start, in the middle and near the end.
TEST_F(AviUnit, SoundSeeksThroughVideoForWindowsLandWhereReadingInOrderDoes) {
  WithoutDecoder();
  struct Case {
    std::string file;
    std::vector<int16_t> ref;
    int32_t tag;
    int tolerance;
  } cases[] = {
      {test::MediaPath("mp3_avi/lame_vbr.avi"), S16File(test::MediaPath("mp3_avi/lame_vbr.s16")), 0x55, 1},
      {test::MediaPath("mp3_avi/shine.avi"), S16File(test::MediaPath("mp3_avi/shine.s16")), 0x55, 1},
      {AviPath("mpeg4.avi"), test::AviReferenceSound("mpeg4"), 0x55, 1},
      {AviPath("raw_rgb555.avi"), test::AviReferenceSound("raw_rgb555"), 0x11, 0},
      {AviPath("mjpeg.avi"), test::AviReferenceSound("mjpeg"), 0x02, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    UniInfoRec info;
    ASSERT_TRUE(UniInfo(c.file, info, 0, nullptr, nullptr));
    ASSERT_EQ(info.Audio.CodecId, c.tag);
    const int32_t ch = info.Audio.Channels;
    ASSERT_GT(ch, 0);
    UniHandle h;
    ASSERT_EQ(MonitoredNoRaise([&] { UniOpen(h, info); }), 0);
    ASSERT_FALSE(FFStateOf<AviHandle>(h.Mvi.State).UseDswAudio);
    Qsnd snd;
    std::vector<int16_t> inOrder;
    for (int32_t pos = 0; pos < info.Audio.Samples;) {
      ASSERT_EQ(MonitoredNoRaise([&] { UniSndLoad(h, snd, pos, 6000, pos == 0 ? 0 : 1); }), 0)
          << pos << " of " << info.Audio.Samples << ": " << GetErrorMessage();
      if (snd.samples <= 0) break;
      const auto* p = reinterpret_cast<const int16_t*>(snd.SndData);
      inOrder.insert(inOrder.end(), p, p + int64_t{snd.samples} * ch);
      pos += snd.samples;
    }
    // MP3 comes out whole; the ADPCM conversion ends on whole blocks of its own.
    if (c.tag == 0x55) {
      ASSERT_EQ(inOrder.size(), c.ref.size());
    } else {
      ASSERT_LE(std::abs(static_cast<int64_t>(inOrder.size()) - static_cast<int64_t>(c.ref.size())), 4096 * ch);
    }
    const int32_t n = info.Audio.Samples;
    for (int32_t pos : {1, 1151, n / 3 + 17, n / 2, n - 3000, n - 700}) {
      ASSERT_EQ(MonitoredNoRaise([&] { UniSndLoad(h, snd, pos, 2000, 0); }), 0) << pos;
      ASSERT_EQ(snd.samples, std::min(2000, n - pos)) << pos;
      const auto* p = reinterpret_cast<const int16_t*>(snd.SndData);
      const int64_t at = int64_t{pos} * ch, count = int64_t{snd.samples} * ch;
      EXPECT_TRUE(std::equal(p, p + count, inOrder.begin() + at)) << "a seek to " << pos;
      int worst = 0;
      for (int64_t i = 0; i < count && at + i < static_cast<int64_t>(c.ref.size()); ++i)
        worst = std::max(worst, std::abs(p[i] - c.ref[static_cast<size_t>(at + i)]));
      EXPECT_LE(worst, c.tolerance) << "a seek to " << pos;
      // Reading on continues the run.
      if (pos + snd.samples >= n) continue;
      ASSERT_EQ(MonitoredNoRaise([&] { UniSndLoad(h, snd, pos + snd.samples, 500, 1); }), 0);
      const auto* q = reinterpret_cast<const int16_t*>(snd.SndData);
      EXPECT_TRUE(std::equal(q, q + int64_t{snd.samples} * ch, inOrder.begin() + at + count)) << "on from " << pos;
    }
    SndFree(snd);
    MonitoredNoRaise([&] { UniClose(h); });
  }
  EXPECT_EQ(MemCount(), 0);
}

// Sound reads anywhere (not only in sequence) give FFmpeg's decode there.
TEST_F(AviUnit, SoundReadsAfterSeeksAreExact) {
  WithDecoder();
  std::mt19937 rng(11);
  // (raw_pal8's 8-bit PCM is read by Video for Windows, as stored.)
  for (const char* name : {"mpeg4", "mjpeg", "raw_rgb555"}) {
    SCOPED_TRACE(name);
    AviHandle h;
    ASSERT_EQ(Open(h, AviPath(Fixture(name).File)), 0);
    ASSERT_TRUE(h.UseDswAudio);
    const auto ref = test::AviReferenceSound(name);
    const int32_t ch = h.af.sl.OutFormat.nChannels;
    Qsnd snd;
    std::uniform_int_distribution<int32_t> at(0, h.af.OutputSamples - 1);
    for (int i = 0; i < 12; ++i) {
      const int32_t p = at(rng);
      ASSERT_EQ(MonitoredNoRaise([&] { AviSndLoad(h, snd, p, 2000, 0); }), 0);
      ASSERT_EQ(snd.samples, std::min(2000, h.af.OutputSamples - p));
      EXPECT_TRUE(std::equal(reinterpret_cast<int16_t*>(snd.SndData),
                             reinterpret_cast<int16_t*>(snd.SndData) + snd.samples * ch, ref.begin() + int64_t{p} * ch))
          << "at " << p;
      EXPECT_EQ(h.af.OutputPos, p + snd.samples);
    }
    SndFree(snd);
    AviClose(h);
  }
}

// `tavelo-probe info` reports what ffprobe reports.
TEST_F(AviUnit, ProbeToolAgreesWithFFprobe) {
  for (const auto& f : test::AviFixtures()) {
    SCOPED_TRACE(f.Name);
    FILE* pipe = popen((std::string(TAVELO_PROBE) + " info '" + AviPath(f.File) + "' 2>&1").c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::map<std::string, std::string> out;
    char line[1024];
    while (std::fgets(line, sizeof line, pipe) != nullptr) {
      std::string s(line);
      while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
      const size_t colon = s.find(": ");
      if (colon != std::string::npos) out[s.substr(0, colon)] = s.substr(colon + 2);
    }
    ASSERT_EQ(pclose(pipe), 0);
    const auto probe = test::AviProbe(f.Name);
    EXPECT_EQ(out["width"], probe.at("width"));
    EXPECT_EQ(out["height"], probe.at("height"));
    EXPECT_DOUBLE_EQ(std::stod(out["frame rate"]), test::ProbeRate(probe, "r_frame_rate"));
    const int64_t frames = IsAvi(f) ? test::ProbeInt(probe, "nb_frames")
                                    : static_cast<int64_t>(test::ReadNumbers(AviPath(std::string(f.Name) + ".pts")).size());
    EXPECT_EQ(std::stoll(out["frame count"]), frames);
    EXPECT_EQ(out["video"], "supported");
    if (f.HasSound) {
      EXPECT_EQ(out["audio"], "supported");
      EXPECT_EQ(out["sound rate"], probe.at("audio_sample_rate"));
      EXPECT_EQ(out["sound channels"], probe.at("audio_channels"));
      EXPECT_EQ(std::stoll(out["sound samples"]), test::AviReferenceSampleCount(f.Name));
      if (IsAvi(f)) {
        std::string name;
        AcmGetAudioName(0, static_cast<int32_t>(test::ProbeInt(probe, "audio_codec_tag")), name);
        // The one tag the conversion table does not name (AAC) takes the decoder library's name.
        if (name == "Unknown codec") name = "AAC (Advanced Audio Coding)";
        EXPECT_EQ(out["audio codec"], name);
      }
    } else {
      EXPECT_EQ(out["audio"], "none");
    }
  }
}

// ---- The choice of reader ----

TEST_F(AviUnit, FileOnlyTheDecoderLibraryReads) {
  WithDecoder();
  AviHandle h;
  int warnings = CountWarnings(ecAviSys, [&] { ASSERT_EQ(Open(h, AviPath("mpeg4_pcm.mkv")), 0); });
  EXPECT_EQ(warnings, 2);  // both attempts of Video for Windows
  EXPECT_EQ(h.AviFile, nullptr);
  EXPECT_TRUE(h.UseDswVideo && h.UseDswAudio);
  AviClose(h);
  // Without the library nothing reads it.
  ConformUnitDone();
  loaded_ = false;
  WithoutDecoder();
  EXPECT_EQ(Open(h, AviPath("mpeg4_pcm.mkv")), ecAviSys);
  ClearError();
}

// A picture its own unit describes without error but cannot decode (a BMP holding JPEG data)
// stays that picture when the decoder library describes it too but reads no frame of it.
TEST_F(AviUnit, PicturesTheirOwnUnitCannotDecodeStayPicturesNoReaderCanRead) {
  WithFake("video noread");
  const std::string bmp = test::MakeTempDir("jpeg_bmp") + "/jpeg.bmp";
  std::string header(54, '\0');
  const uint8_t fields[][2] = {{0, 'B'}, {1, 'M'}, {10, 54}, {14, 40}, {18, 8}, {22, 8}, {26, 1}, {28, 24}, {30, 4}};
  for (const auto& f : fields) header[f[0]] = static_cast<char>(f[1]);
  test::WriteFile(bmp, header + "\xFF\xD8\xFF\xE0" + std::string(200, '\x55'));
  UniInfoRec info;
  ASSERT_TRUE(UniInfo(bmp, info, 0, nullptr, nullptr)) << GetErrorMessage();
  EXPECT_EQ(info.FormatId, fidBMP) << info.Description;
  EXPECT_EQ(info.Video.VideoSupported, 0);
  EXPECT_EQ(FakeOpenHandles(), 0);
}

// Pictures their own unit recognises but does not decode (a 1-bit Sun raster here; 12-bit TIFF
// alike) are shown through the decoder library and described as the pictures they are: their
// own format, coding and depth, one frame, no frame rate. So is a one-frame picture of a name
// no unit claims (a portable bitmap).
TEST_F(AviUnit, PicturesOnlyTheDecoderLibraryReadsAreDescribedAsPictures) {
  WithDecoder();
  const std::string dir = test::MakeTempDir("mono");
  const std::string ras = dir + "/two.ras";
  // 8 x 2 at 1 bit: rows of 0xF0 and 0x0F, each padded to 16 bits.
  test::WriteFile(ras, std::string("\x59\xA6\x6A\x95\0\0\0\x08\0\0\0\x02\0\0\0\x01\0\0\0\x04"
                                   "\0\0\0\x01\0\0\0\0\0\0\0\0\xF0\0\x0F\0",
                                   36));
  test::WriteFile(dir + "/two.pbm", std::string("P4\n8 2\n\xF0\x0F", 9));
  UniInfoRec info;
  ASSERT_TRUE(UniInfo(dir + "/two.pbm", info, 0, nullptr, nullptr)) << GetErrorMessage();
  EXPECT_EQ(info.Video.Frames, 1);
  EXPECT_EQ(info.Video.FrameRate, 0.0);
  ASSERT_TRUE(UniInfo(ras, info, 0, nullptr, nullptr)) << GetErrorMessage();
  FFFormatRec row;
  ASSERT_TRUE(FFGetFormatById(row, fidRAS, ffRead));
  EXPECT_EQ(info.Description, row.Description);
  EXPECT_EQ(info.Video.CodecName, "Uncompressed, full frames");
  EXPECT_EQ(info.Video.OrigBpp, 1);
  EXPECT_EQ(info.Video.Frames, 1);
  EXPECT_EQ(info.Video.FrameRate, 0.0);
  UniHandle h;
  ASSERT_EQ(MonitoredNoRaise([&] { UniOpen(h, info); }), 0) << GetErrorMessage();
  Qimg img;
  ASSERT_EQ(MonitoredNoRaise([&] { UniImgLoad(h, img, 1, 0); }), 0) << GetErrorMessage();
  ASSERT_EQ(img.Width, 8);
  ASSERT_EQ(img.Height, 2);
  // Set bits are black: the first row starts black, the second white.
  EXPECT_EQ(img.Data[0], 0);
  EXPECT_EQ(img.Data[static_cast<size_t>(8 * img.BytesPP)], 255);
  ImgFree(img);
  MonitoredNoRaise([&] { UniClose(h); });
}

// A still its own unit refuses (an XPM cut after its values line) is described by the decoder
// library as a one-frame movie that it then cannot read a frame of. Such a description is no
// success: the description fails as the unit did, and no frame read is ever promised.
TEST_F(AviUnit, DamagedStillsAreNotDescribedAsMoviesNoReaderCanRead) {
  WithDecoder();
  const std::string dir = test::MakeTempDir("damaged");
  const std::string xpm = dir + "/cut.xpm";
  test::WriteFile(xpm, "/* XPM */\nstatic char *t[] = {\n\"4 4 2 1\",\n");
  UniInfoRec info;
  EXPECT_FALSE(UniInfo(xpm, info, 0, nullptr, nullptr)) << info.Description << ", " << info.Video.Frames << " frame";
  EXPECT_NE(info.FormatId, fidAVI);
  // The whole file still reads as the XPM it is.
  test::WriteFile(xpm, "/* XPM */\nstatic char *t[] = {\n\"2 1 2 1\",\n\"a c #FF0000\",\n\"b c #0000FF\",\n\"ab\"\n};\n");
  ASSERT_TRUE(UniInfo(xpm, info, 0, nullptr, nullptr)) << GetErrorMessage();
  EXPECT_EQ(info.FormatId, fidXPM);
  // A file the library describes and reads still wins the search (its own unit refused it).
  const std::string renamed = dir + "/movie.xpm";
  test::WriteFile(renamed, test::ReadFile(AviPath("mpeg4_pcm.mkv")));
  ASSERT_TRUE(UniInfo(renamed, info, 0, nullptr, nullptr)) << GetErrorMessage();
  EXPECT_EQ(info.FormatId, fidAVI);
}

// Such a still fails with what its own unit found wrong (the error of that unit's description,
// as the warning), not with "File not exist.": an XPM cut after its values line and an 8-bit
// PCX cut before its palette.
TEST_F(AviUnit, DamagedStillsReportTheirOwnUnitsError) {
  WithDecoder();
  const std::string dir = test::MakeTempDir("damaged_own");
  const std::string pcx = test::ReadFile(test::MediaPath("formats/ff_8.pcx"));
  ASSERT_GT(pcx.size(), 1000u);
  const struct {
    const char* name;
    std::string content;
    int32_t formatId;
  } cases[] = {{"cut.xpm", "/* XPM */\nstatic char *t[] = {\n\"4 4 2 1\",\n", fidXPM},
               {"cut.pcx", pcx.substr(0, 500), fidPCX}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir + "/" + c.name;
    test::WriteFile(path, c.content);
    FFInfoRec own;
    ASSERT_NE(MonitoredNoRaise([&] { FFInfo(path, c.formatId, own, nullptr, nullptr); }), 0);
    const int32_t cls = GetErrorClass(), code = GetErrorCode();
    ClearError();
    ClearWarning();
    UniInfoRec info;
    EXPECT_FALSE(UniInfo(path, info, seqDetect, nullptr, nullptr));
    EXPECT_TRUE(NoError());
    EXPECT_EQ(GetWarningClass(), cls);
    EXPECT_EQ(GetWarningCode(), code);
    EXPECT_NE(ErrorText(GetWarningClass(), GetWarningCode()), "File not exist.");
    ClearWarning();
  }
}

TEST_F(AviUnit, MotionJpegGoesToTheDecoderLibraryWhenThereIsOne) {
  WithDecoder();
  AviHandle h;
  ASSERT_EQ(Open(h, AviPath("mjpeg.avi")), 0);
  EXPECT_TRUE(h.UseDswVideo);
  EXPECT_EQ(h.VideoStream, nullptr);
  AviClose(h);
  ConformUnitDone();
  WithoutDecoder();
  ASSERT_EQ(Open(h, AviPath("mjpeg.avi")), 0);
  EXPECT_FALSE(h.UseDswVideo);
  EXPECT_NE(h.VideoStream, nullptr);
  EXPECT_EQ(h.Bpp, 24);
  AviClose(h);
}

// The picture limit the fuzz targets set reaches both readers: a picture wider than it is taken
// from neither (the GIF target found a GIF too large for its own unit played through the
// decoder library instead).
TEST_F(AviUnit, NeitherReaderTakesAPicturePastThePictureLimit) {
  WithDecoder();
  FFSetPictureSideLimitForTest(8);
  AviHandle h;
  if (Open(h, AviPath("raw_bgr24.avi")) == 0) {
    EXPECT_FALSE(h.UseDswVideo);
    EXPECT_EQ(h.VideoStream, nullptr);
    EXPECT_EQ(h.GetFrame, nullptr);
    AviClose(h);
  }
  ClearError();
  FFSetPictureSideLimitForTest(0);
  ASSERT_EQ(Open(h, AviPath("raw_bgr24.avi")), 0);
  EXPECT_TRUE(h.UseDswVideo || h.VideoStream != nullptr);
  AviClose(h);
}

TEST_F(AviUnit, LargeAndUncompressedFilesChooseByTheirSize) {
  WithDecoder();
  struct Case {
    const char* fixture;
    int64_t size;
    bool dsw;
  } cases[] = {
      {"raw_bgra.avi", 1536ll << 20, true},    // uncompressed, above 1 GB
      {"raw_bgra.avi", 900ll << 20, false},    // uncompressed, below
      {"raw_bgra.avi", -1, false},
      {"cinepak.avi", 2200ll << 20, true},     // anything above 2 GB
      {"cinepak.avi", 1536ll << 20, false},
      {"raw_bgr24.avi", -1, true},             // uncompressed 24-bit, any size
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.fixture) + " " + std::to_string(c.size));
    const std::string path = CopyToTemp(AviPath(c.fixture), "big.avi", c.size);
    AviHandle h;
    ASSERT_EQ(Open(h, path), 0) << GetErrorMessage();
    EXPECT_EQ(h.UseDswVideo != 0, c.dsw);
    EXPECT_EQ(h.FrameCount, 30);
    Qimg img;
    EXPECT_EQ(MonitoredNoRaise([&] { AviImgLoad(h, img, 30); }), 0);
    ImgFree(img);
    AviClose(h);
    unlink(path.c_str());
  }
  ConformUnitDone();
  WithoutDecoder();
  AviHandle h;
  ASSERT_EQ(Open(h, AviPath("raw_bgr24.avi")), 0);
  FFInfoRec info;
  AviClose(h);
  AviInfo(AviPath("raw_bgr24.avi"), info);
  EXPECT_TRUE(info.Video.HasVideo);
  EXPECT_FALSE(info.Video.VideoSupported);
  EXPECT_EQ(info.Video.CodecName, "Full frames, uncompressed");
}

TEST_F(AviUnit, EqualSoundScoresChooseTheDecoderLibrary) {
  WithDecoder();
  AviHandle h;
  // 16-bit PCM: Video for Windows and the library deliver the same format.
  const int warnings = CountWarnings(ecAvi, [&] { ASSERT_EQ(Open(h, AviPath("raw_bgr24.avi")), 0); });
  EXPECT_TRUE(h.UseDswAudio);
  EXPECT_EQ(h.AudioStream, nullptr);
  EXPECT_EQ(warnings, 1);
  AviClose(h);
}

TEST_F(AviUnit, BetterSoundFromVideoForWindowsWins) {
  WithFake("audio8k");  // the library offers 8000 Hz mono only
  AviHandle h;
  ASSERT_EQ(Open(h, AviPath("raw_bgr24.avi")), 0);
  EXPECT_TRUE(h.DswAudioOk);
  EXPECT_FALSE(h.UseDswAudio);
  ASSERT_NE(h.AudioStream, nullptr);
  Qsnd snd;
  ASSERT_EQ(MonitoredNoRaise([&] { AviSndLoad(h, snd, 100, 50, 0); }), 0);
  const auto ref = test::AviReferenceSound("raw_bgr24");
  EXPECT_TRUE(std::equal(reinterpret_cast<int16_t*>(snd.SndData), reinterpret_cast<int16_t*>(snd.SndData) + 100,
                         ref.begin() + 200));
  SndFree(snd);
  AviClose(h);
  EXPECT_EQ(FakeOpenHandles(), 0);
}

TEST_F(AviUnit, SoundWithoutAnAudioConverterFallsToTheLibrary) {
  WithDecoder();
  AviHandle h;
  ASSERT_EQ(Open(h, AviPath("mpeg4_aac.avi")), 0);
  EXPECT_TRUE(h.UseDswAudio);
  AviClose(h);
  ConformUnitDone();
  WithoutDecoder();
  const int warnings = CountWarnings(ecAvi, [&] { ASSERT_EQ(Open(h, AviPath("mpeg4_aac.avi")), 0); });
  EXPECT_EQ(warnings, 1);
  EXPECT_EQ(h.AudioStream, nullptr);
  EXPECT_FALSE(h.UseDswAudio);
  Qsnd snd;
  EXPECT_EQ(MonitoredNoRaise([&] { AviSndLoad(h, snd, 0, 100, 0); }), ecAvi);
  EXPECT_EQ(GetErrorCode(), 3);
  ClearError();
  AviClose(h);
  FFInfoRec info;
  AviInfo(AviPath("mpeg4_aac.avi"), info);
  EXPECT_TRUE(info.Audio.HasAudio);
  EXPECT_FALSE(info.Audio.AudioSupported);
  EXPECT_EQ(info.Audio.CodecId, 0xFF);
}

TEST_F(AviUnit, PicturesTheLibraryCannotDescribeStayWithVideoForWindows) {
  WithFake("video noframes audio44k");
  AviHandle h;
  ASSERT_EQ(Open(h, AviPath("mpeg4.avi")), 0);
  EXPECT_FALSE(h.DswVideoOk);
  EXPECT_FALSE(h.UseDswVideo);
  EXPECT_NE(h.VideoStream, nullptr);
  AviClose(h);
  // Uncompressed 24-bit pictures that the library cannot describe are read by nobody.
  FFInfoRec info;
  AviInfo(AviPath("raw_bgr24.avi"), info);
  EXPECT_FALSE(info.Video.VideoSupported);
  EXPECT_EQ(FakeOpenHandles(), 0);
}

// ---- Frames, key frames and sound positions ----

TEST_F(AviUnit, FrameNumbersAndTheEndOfTheMovie) {
  WithoutDecoder();
  AviHandle h;
  ASSERT_EQ(Open(h, AviPath("cinepak.avi")), 0);
  const std::string ref = test::AviReferenceFrames("cinepak");
  const size_t bytes = 96 * 72 * 3;
  Qimg img;
  ASSERT_EQ(MonitoredNoRaise([&] { AviImgLoad(h, img, 5); }), 0);
  EXPECT_EQ(h.CurrentFrame, 5);
  // Frame 0 reads the next one.
  ASSERT_EQ(MonitoredNoRaise([&] { AviImgLoad(h, img, 0); }), 0);
  EXPECT_EQ(h.CurrentFrame, 6);
  EXPECT_LE(test::MaxChannelDifference(Pixels(img).data(), reinterpret_cast<const uint8_t*>(ref.data()) + 5 * bytes, bytes), 1);
  ASSERT_EQ(MonitoredNoRaise([&] { AviImgLoad(h, img, 30); }), 0);
  // Past the last frame, by number or as "the next one", is an error of its own.
  EXPECT_EQ(MonitoredNoRaise([&] { AviImgLoad(h, img, 0); }), ecAvi);
  EXPECT_EQ(GetErrorCode(), 1);
  EXPECT_EQ(MonitoredNoRaise([&] { AviImgLoad(h, img, 31); }), ecAvi);
  EXPECT_EQ(GetErrorCode(), 1);
  EXPECT_EQ(MonitoredNoRaise([&] { AviImgLoad(h, img, -1); }), ecAvi);
  ClearError();
  ASSERT_EQ(MonitoredNoRaise([&] { AviImgLoad(h, img, 1); }), 0);
  ImgFree(img);
  AviClose(h);
}

TEST_F(AviUnit, KeyFramesFromVideoForWindowsBothWays) {
  WithoutDecoder();
  for (const char* name : {"mpeg4", "msmpeg4v3", "cinepak"}) {
    SCOPED_TRACE(name);
    AviHandle h;
    ASSERT_EQ(Open(h, AviPath(Fixture(name).File)), 0);
    ASSERT_FALSE(h.UseDswVideo);
    const auto keys = test::AviKeyFrames(name);  // from 0
    for (int32_t f = 1; f <= h.FrameCount; ++f) {
      int32_t before = 1, after = 1;
      for (int64_t k : keys)
        if (k + 1 < f) before = static_cast<int32_t>(k + 1);
      for (int64_t k : keys)
        if (k + 1 >= f) {
          after = static_cast<int32_t>(k + 1);
          break;
        }
      EXPECT_EQ(AviNearestKeyFrame(h, f, -1), before) << f;
      EXPECT_EQ(AviNearestKeyFrame(h, f, 1), after) << f;
    }
    // Positions outside the movie are taken as its first or last frame.
    EXPECT_EQ(AviNearestKeyFrame(h, -4, 1), 1);
    EXPECT_EQ(AviNearestKeyFrame(h, 1000, -1), AviNearestKeyFrame(h, h.FrameCount, -1));
    AviClose(h);
  }
}

TEST_F(AviUnit, KeyFramesOfTheLibraryArePlainFrameNumbers) {
  WithFake("video");
  const std::string junk = test::MakeTempDir("junk") + "/junk.avi";
  test::WriteFile(junk, std::string(3000, 'x'));
  AviHandle h;
  ASSERT_EQ(Open(h, junk), 0);  // Video for Windows fails, the library opens it
  ASSERT_TRUE(h.UseDswVideo);
  EXPECT_EQ(h.FrameCount, 5);
  EXPECT_EQ(h.Bpp, 24);
  EXPECT_EQ(AviNearestKeyFrame(h, 1, -1), 1);
  EXPECT_EQ(AviNearestKeyFrame(h, 3, 1), 3);
  EXPECT_EQ(AviNearestKeyFrame(h, 9, -1), 5);
  Qimg img;
  ASSERT_EQ(MonitoredNoRaise([&] { AviImgLoad(h, img, 3); }), 0);
  EXPECT_EQ(img.Width, 32);
  EXPECT_EQ(img.Data[100], 21);
  ImgFree(img);
  AviClose(h);
}

TEST_F(AviUnit, SoundReadsAtTheEnd) {
  WithDecoder();
  AviHandle h;
  ASSERT_EQ(Open(h, AviPath("raw_pal8.avi")), 0);
  const int32_t total = h.af.OutputSamples;
  Qsnd snd;
  ASSERT_EQ(MonitoredNoRaise([&] { AviSndLoad(h, snd, total - 100, 1000, 0); }), 0);
  EXPECT_EQ(snd.samples, 100);
  EXPECT_EQ(h.af.OutputPos, total);
  // At or past the end: no seek, and once the source is used up a read fails.
  const int32_t source = h.af.sl.SourceRead;
  EXPECT_EQ(MonitoredNoRaise([&] { AviSndLoad(h, snd, total + 500, 1000, 0); }), ecAvi);
  EXPECT_EQ(GetErrorCode(), 3);
  EXPECT_EQ(h.af.sl.SourceRead, source);
  ClearError();
  // A read in sequence after a seek goes on where the last one stopped.
  ASSERT_EQ(MonitoredNoRaise([&] { AviSndLoad(h, snd, 1000, 300, 0); }), 0);
  ASSERT_EQ(MonitoredNoRaise([&] { AviSndLoad(h, snd, 1300, 300, 1); }), 0);
  const auto ref = test::AviReferenceSound("raw_pal8");
  // The 8-bit sound is delivered as stored: FFmpeg's 16-bit decode is each byte less 128, shifted.
  ASSERT_EQ(+snd.Format.wBitsPerSample, 8);
  std::vector<int16_t> got;
  for (int i = 0; i < 300; ++i) got.push_back(static_cast<int16_t>((snd.SndData[i] - 128) * 256));
  EXPECT_TRUE(std::equal(got.begin(), got.end(), ref.begin() + 1300));
  SndFree(snd);
  AviClose(h);
}

// ---- Failures leave nothing behind; a second close changes nothing ----

TEST_F(AviUnit, FailedOpenLeavesNothingOpen) {
  const int32_t filesAtStart = FCount();
  WithFake("video audio44k");
  // Both readers open the file; Video for Windows then finds a picture stream without frames.
  test::TestAviStream v;
  v.Format = test::TestBitmapFormat(16, 16, 8, 0);
  test::TestAviStream a;
  a.Type = test::TestFcc("auds");
  platform::WAVEFORMATEX wf{1, 1, 8000, 8000, 1, 8, 0};
  a.Format.assign(reinterpret_cast<uint8_t*>(&wf), reinterpret_cast<uint8_t*>(&wf) + 18);
  a.SampleSize = 1;
  a.Chunks.push_back(std::vector<uint8_t>(800, 128));
  const std::string path = test::MakeTempDir("empty") + "/noframes.avi";
  test::WriteFile(path, test::WriteTestAvi({v, a}, test::TestAviIndex::Idx1));
  const int32_t blocks = MemCount();
  AviHandle h;
  EXPECT_EQ(Open(h, path), ecAvi);
  EXPECT_EQ(GetErrorCode(), 5);
  ClearError();
  EXPECT_EQ(MemCount(), blocks);
  EXPECT_EQ(AviOpenCount(), 0);
  EXPECT_EQ(platform::AviLiveObjects(), 0);
  EXPECT_EQ(FakeOpenHandles(), 0);
  EXPECT_FALSE(h.Open);
  // Closing what failed to open changes nothing.
  AviClose(h);
  EXPECT_EQ(AviOpenCount(), 0);

  // Through the dispatcher, a file nothing reads leaves the tables as they were.
  ConformUnitDone();
  WithoutDecoder();
  const std::string junk = test::MakeTempDir("junk") + "/junk.avi";
  test::WriteFile(junk, "RIFF\x04\0\0\0AVI junk junk junk");
  UniInfoRec info;
  EXPECT_FALSE(UniInfo(junk, info, 0, nullptr, nullptr));
  UniHandle uh;
  info.FormatId = fidAVI;
  info.Kind = ukMovie;
  info.FileName = junk;
  EXPECT_NE(MonitoredNoRaise([&] { UniOpen(uh, info); }), 0);
  ClearError();
  EXPECT_EQ(MemCount(), blocks);
  EXPECT_EQ(FCount(), filesAtStart);
}

TEST_F(AviUnit, ClosingTwiceLeavesOtherHandlesCounted) {
  const int32_t memAtStart = MemCount();  // what earlier work left is not this test's
  WithDecoder();
  AviHandle a, b;
  ASSERT_EQ(Open(a, AviPath("cinepak.avi")), 0);
  ASSERT_EQ(Open(b, AviPath("mpeg4.avi")), 0);
  EXPECT_EQ(AviOpenCount(), 2);
  AviClose(a);
  AviClose(a);
  EXPECT_EQ(AviOpenCount(), 1);
  Qimg img;
  EXPECT_EQ(MonitoredNoRaise([&] { AviImgLoad(b, img, 4); }), 0);
  ImgFree(img);
  AviClose(b);
  EXPECT_EQ(AviOpenCount(), 0);
  EXPECT_EQ(MemCount(), memAtStart);
}

// ---- Headers with values the unit must not trust ----

TEST_F(AviUnit, StreamScaleOfZeroHasNoRate) {
  WithoutDecoder();
  test::TestAviStream v;
  v.Format = test::TestBitmapFormat(8, 8, 8, 0, std::vector<uint8_t>(768, 7));
  v.Scale = 0;
  v.Rate = 25;
  for (int i = 0; i < 3; ++i) v.Chunks.push_back(std::vector<uint8_t>(64, static_cast<uint8_t>(i)));
  const std::string path = test::MakeTempDir("scale") + "/scale0.avi";
  test::WriteFile(path, test::WriteTestAvi({v}, test::TestAviIndex::Idx1));
  FFInfoRec info;
  ASSERT_EQ(MonitoredNoRaise([&] { AviInfo(path, info); }), 0);
  EXPECT_EQ(info.Video.FrameRate, 0.0);
  EXPECT_EQ(info.Video.Frames, 3);
  EXPECT_TRUE(info.Video.VideoSupported);
}

// A sound header claiming gigabytes a second reads in buffers of sane size.
TEST_F(AviUnit, SoundBufferDoesNotFollowAnAbsurdByteRate) {
  WithoutDecoder();
  for (const char* name : {"mjpeg.avi", "raw_bgr24.avi"}) {  // MS ADPCM, PCM
    SCOPED_TRACE(name);
    std::string bytes = test::ReadFile(AviPath(name));
    const size_t auds = bytes.find("auds");
    const size_t strf = bytes.find("strf", auds);
    ASSERT_NE(strf, std::string::npos);
    const uint32_t rate = 0xFFFFFF00u;
    std::memcpy(&bytes[strf + 8 + 8], &rate, 4);  // nAvgBytesPerSec
    const std::string path = test::MakeTempDir("rate") + "/" + name;
    test::WriteFile(path, bytes);
    AviHandle h;
    ASSERT_EQ(Open(h, path), 0);
    ASSERT_NE(h.AudioStream, nullptr);
    Qsnd snd;
    ASSERT_EQ(MonitoredNoRaise([&] { AviSndLoad(h, snd, 0, 20000, 0); }), 0) << GetErrorMessage();
    EXPECT_EQ(snd.samples, 20000);
    const auto ref = test::AviReferenceSound(std::string(name).substr(0, std::string(name).find('.')));
    EXPECT_TRUE(std::equal(reinterpret_cast<int16_t*>(snd.SndData),
                           reinterpret_cast<int16_t*>(snd.SndData) + 20000 * h.af.sl.OutFormat.nChannels, ref.begin()));
    SndFree(snd);
    AviClose(h);
  }
}

TEST_F(AviUnit, DescribesCodecsByTheirCodes) {
  WithDecoder();
  struct Case {
    const char* file;
    const char* video;
    int32_t id;
  } cases[] = {{"mpeg4.avi", "MPEG-4 part 2", static_cast<int32_t>(test::TestFcc("FMP4"))},
               {"raw_pal8.avi", "Full frames, uncompressed", 0},
               {"msvideo1.avi", "Microsoft Video 1", static_cast<int32_t>(test::TestFcc("MSVC"))}};
  for (const auto& c : cases) {
    FFInfoRec info;
    ASSERT_EQ(MonitoredNoRaise([&] { AviInfo(AviPath(c.file), info); }), 0);
    EXPECT_EQ(info.Video.CodecName, c.video) << c.file;
    EXPECT_EQ(info.Video.CodecId, c.id) << c.file;
  }
}

// What the information window shows: a container that is not AVI by its own name, a codec no
// table names by the decoder library's name, sound by its stored format, never as PCM when it is
// not, 8-bit PCM at 8 bits, and a colour depth the header states (or the decoded one without one).
TEST_F(AviUnit, DescribesWhatItReadsAsWhatItIs) {
  WithDecoder();
  struct Case {
    std::string path;
    const char* format;
    const char* video;
    int32_t origBpp;
    const char* audio;
    int32_t bits;
  } cases[] = {
      {test::MediaPath("mp4_tables/h264_aac.mp4"), "MPEG-4 (read by the decoder library)",
       "H.264 / AVC / MPEG-4 AVC / MPEG-4 part 10", 24, "AAC (Advanced Audio Coding)", 16},
      {AviPath("mpeg4_pcm.mkv"), "Matroska / WebM (read by the decoder library)", "MPEG-4 part 2", 24,
       "PCM, uncompressed", 16},
      {AviPath("mpeg4_aac.avi"), "AVI, Windows Audio Video Interleaved", "MPEG-4 part 2", 24,
       "AAC (Advanced Audio Coding)", 16},
      {AviPath("mjpeg.avi"), "AVI, Windows Audio Video Interleaved", "Motion JPEG", 24, "MS ADPCM", 16},
      {AviPath("raw_pal8.avi"), "AVI, Windows Audio Video Interleaved", "Full frames, uncompressed", 8,
       "PCM, uncompressed", 8},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    UniInfoRec info;
    ASSERT_TRUE(UniInfo(c.path, info, 0, nullptr, nullptr));
    EXPECT_EQ(info.FormatId, fidAVI);
    EXPECT_EQ(info.Description, c.format);
    EXPECT_EQ(info.Video.CodecName, c.video);
    EXPECT_EQ(info.Video.OrigBpp, c.origBpp);
    EXPECT_EQ(info.Audio.CodecName, c.audio);
    EXPECT_EQ(info.Audio.Bits, c.bits);
    EXPECT_TRUE(info.Video.VideoSupported && info.Audio.AudioSupported);
  }
}

TEST(AviBitmapInfo, FillsHeaderAndPalette) {
  platform::BITMAPINFO bi;
  bi.bmiHeader.biClrUsed = 77;
  bi.bmiHeader.biXPelsPerMeter = 5;
  std::vector<uint8_t> pal(768);
  for (int i = 0; i < 768; ++i) pal[static_cast<size_t>(i)] = static_cast<uint8_t>(i * 5);
  FillBitmapInfo_(bi, 7, -3, pal.data(), 8);
  EXPECT_EQ(bi.bmiHeader.biSize, 40u);
  EXPECT_EQ(bi.bmiHeader.biWidth, 7);
  EXPECT_EQ(bi.bmiHeader.biHeight, -3);
  EXPECT_EQ(bi.bmiHeader.biPlanes, 1);
  EXPECT_EQ(bi.bmiHeader.biCompression, platform::BI_RGB);
  EXPECT_EQ(bi.bmiHeader.biClrUsed, 256u);
  EXPECT_EQ(bi.bmiColors[2].rgbBlue, static_cast<uint8_t>(30));
  EXPECT_EQ(bi.bmiColors[2].rgbRed, static_cast<uint8_t>(40));
  EXPECT_EQ(bi.bmiColors[2].rgbReserved, 0);
  FillBitmapInfo_(bi, 7, 3, nullptr, 24);
  EXPECT_EQ(bi.bmiHeader.biSizeImage, 63u);  // no row padding
  EXPECT_EQ(bi.bmiHeader.biClrUsed, 0u);
}

}  // namespace
}  // namespace tavelo

namespace tavelo {
namespace {

// Files of our own writer (MS-RLE, which no tool here encodes; rows bottom-up; OpenDML in three
// parts): the probe tool says what ffprobe says, and every frame is the picture written.
TEST_F(AviUnit, OurOwnFilesThroughTheDispatcher) {
  WithDecoder();
  const std::string dir = test::MakeTempDir("own");
  struct OwnFile {
    std::string path;
    std::vector<std::vector<uint8_t>> pictures;  // what each frame must show, as Pixels() gives it
  };
  std::vector<OwnFile> files;
  {
    const test::IndexedMovie m;
    OwnFile f{dir + "/msrle.avi", {}};
    test::WriteFile(f.path, test::MsRleFile(m, test::TestAviIndex::Idx1));
    for (size_t n = 0; n < m.frames.size(); ++n) f.pictures.push_back(m.Bgr(n));
    files.push_back(std::move(f));
  }
  for (int bits : {16, 24}) {
    const std::string ref = bits == 16 ? test::ReadFile(AviPath("raw_rgb555.rgb555")) : test::AviReferenceFrames("raw_bgr24");
    const int bpp = bits / 8;
    const size_t bytes = 96 * 72 * static_cast<size_t>(bpp);
    test::TestAviStream v;
    v.Format = test::TestBitmapFormat(96, 72, static_cast<uint16_t>(bits), 0);
    v.Rate = 12;
    OwnFile f{dir + "/bottom_up" + std::to_string(bits) + ".avi", {}};
    for (size_t n = 0; n < 30; ++n) {
      std::vector<uint8_t> chunk;
      for (int y = 71; y >= 0; --y)
        chunk.insert(chunk.end(), ref.begin() + n * bytes + y * 96 * bpp, ref.begin() + n * bytes + (y + 1) * 96 * bpp);
      v.Chunks.push_back(std::move(chunk));
      f.pictures.emplace_back(ref.begin() + n * bytes, ref.begin() + (n + 1) * bytes);
    }
    // The 24-bit one in three RIFF parts with OpenDML indexes only.
    test::WriteFile(f.path, test::WriteTestAvi({v}, bits == 24 ? test::TestAviIndex::OpenDml : test::TestAviIndex::Idx1, 11));
    files.push_back(std::move(f));
  }
  for (const OwnFile& f : files) {
    SCOPED_TRACE(f.path);
    const auto probe = test::FFprobeValues(f.path);
    FILE* pipe = popen((std::string(TAVELO_PROBE) + " info '" + f.path + "' 2>&1").c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::map<std::string, std::string> out;
    char line[1024];
    while (std::fgets(line, sizeof line, pipe) != nullptr) {
      std::string s(line);
      while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
      const size_t colon = s.find(": ");
      if (colon != std::string::npos) out[s.substr(0, colon)] = s.substr(colon + 2);
    }
    ASSERT_EQ(pclose(pipe), 0);
    EXPECT_EQ(out["width"], probe.at("width"));
    EXPECT_EQ(out["height"], probe.at("height"));
    EXPECT_EQ(out["frame count"], probe.at("nb_frames"));
    EXPECT_DOUBLE_EQ(std::stod(out["frame rate"]), test::ProbeRate(probe, "r_frame_rate"));

    UniInfoRec info;
    ASSERT_TRUE(UniInfo(f.path, info, 0, nullptr, nullptr));
    ASSERT_TRUE(info.Video.VideoSupported);
    UniHandle h;
    ASSERT_EQ(MonitoredNoRaise([&] { UniOpen(h, info); }), 0);
    Qimg img;
    for (int32_t n = info.Video.Frames; n >= 1; --n) {
      ASSERT_EQ(MonitoredNoRaise([&] { UniImgLoad(h, img, n, 0); }), 0) << n;
      EXPECT_TRUE(Pixels(img) == f.pictures[static_cast<size_t>(n - 1)]) << "frame " << n;
    }
    ImgFree(img);
    MonitoredNoRaise([&] { UniClose(h); });
  }
}

// Cut and damaged files through the dispatcher, with and without the decoder library: every
// call answers (with an error or with data), and nothing stays allocated or open.
TEST_F(AviUnit, DamagedFilesLeaveNothingBehind) {
  const int32_t memAtStart = MemCount();  // what earlier work left is not this test's
  std::mt19937 rng(21);
  for (bool decoder : {true, false}) {
    SCOPED_TRACE(decoder);
    if (decoder) {
      WithDecoder();
    } else {
      ConformUnitDone();
      WithoutDecoder();
    }
    const std::string dir = test::MakeTempDir("damaged");
    for (const char* name : {"mpeg4.avi", "mjpeg.avi", "raw_pal8.avi", "msvideo1.avi", "raw_rgb555.avi"}) {
      const std::string whole = test::ReadFile(AviPath(name));
      for (int variant = 0; variant < 8; ++variant) {
        std::string bytes = whole;
        if (variant < 3) {
          bytes.resize(bytes.size() * (variant + 1) / 4);
        } else {
          std::uniform_int_distribution<size_t> at(0, bytes.size() - 4);
          for (int i = 0; i < 10 * variant; ++i) {
            const size_t p = at(rng);
            if (i % 4 == 0) std::memset(&bytes[p], 0xFF, 4);
            else bytes[p] = static_cast<char>(rng());
          }
        }
        const std::string path = dir + "/" + std::to_string(variant) + name;
        test::WriteFile(path, bytes);
        UniInfoRec info;
        if (!UniInfo(path, info, 0, nullptr, nullptr)) continue;
        UniHandle h;
        if (MonitoredNoRaise([&] { UniOpen(h, info); }) == 0) {
          Qimg img;
          Qsnd snd;
          for (int32_t n = info.Video.Frames; n >= 1; n -= 4) MonitoredNoRaise([&] { UniImgLoad(h, img, n, 0); });
          for (int32_t p = 0; p < info.Audio.Samples && p < 200000; p += 9000)
            MonitoredNoRaise([&] { UniSndLoad(h, snd, p, 3000, 0); });
          ImgFree(img);
          SndFree(snd);
          MonitoredNoRaise([&] { UniClose(h); });
        }
        ClearError();
        EXPECT_EQ(MemCount(), memAtStart) << path;
        EXPECT_EQ(AviOpenCount(), 0) << path;
        EXPECT_EQ(platform::AviLiveObjects(), 0) << path;
      }
    }
  }
}

}  // namespace
}  // namespace tavelo
