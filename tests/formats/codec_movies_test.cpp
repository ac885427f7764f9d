// MPEG, Ogg and Windows Media files made by FFmpeg, read through mpegcodec, oggcodec and wmcodec
// (and, for MPEG-2 pictures, through the dispatcher's search) and checked against FFmpeg itself:
// tavelo-probe's description against ffprobe and FFmpeg's decode, every 10th frame against
// FFmpeg's decode within one level, frames reached by seeking against frames reached by reading,
// and the sound sample for sample, read on and after seeks. Also the MPEG kinds of real program
// streams, the libraries' complete export lists, and damaged files.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "core/services/errors.h"
#include "core/services/monitor.h"
#include "core/services/trace.h"
#include "formats/conform.h"
#include "formats/ff_basic.h"
#include "formats/ff_codec_libs.h"
#include "formats/ff_unit.h"
#include "formats/units/ff_mpg.h"
#include "formats/units/ff_ogg.h"
#include "formats/units/ff_wmv.h"
#include "tests/formats/format_fixture.h"
#include "tests/formats/media_tools.h"
#include "tests/support/test_env.h"

extern "C" {
#include <libavutil/log.h>
}

namespace tavelo {
namespace {

const int kQuiet = (av_log_set_level(AV_LOG_QUIET), 0);

struct Movie {
  const char* file;
  int32_t formatId;
  bool video;
  bool sound;
  const char* videoCodec;  // nullptr: not checked (another unit's name)
  const char* audioCodec;
};

const Movie kMovies[] = {
    {"mpeg1.mpg", fidMPEG, true, true, "MPEG-1", "MPEG-1, Layer-II"},
    {"vcd.mpg", fidMPEG, true, true, "MPEG-VCD", "MPEG-1, Layer-II"},
    // MPEG-2 programme streams and raw MPEG-2 video are the MPEG unit's, with its names.
    {"mpeg2.mpg", fidMPEG, true, true, "MPEG-2", "MPEG-1, Layer-II"},
    {"svcd.mpg", fidMPEG, true, true, "MPEG-SVCD", "MPEG-1, Layer-II"},
    {"dvd.vob", fidMPEG, true, true, "MPEG-DVD", "AC3 compatible"},
    {"raw.m2v", fidMPEG, true, false, "MPEG-2", nullptr},
    {"tone.mp2", fidMPA, false, true, nullptr, "MPEG-1, Layer-II"},
    {"tone.mp3", fidMPA, false, true, nullptr, "MPEG-1, Layer-III (MP3)"},
    {"lsf.mp3", fidMPA, false, true, nullptr, "MPEG-2 LSF, Layer-III (MP3)"},
    {"tone.ac3", fidAC3, false, true, nullptr, "AC3 compatible"},
    {"theora.ogv", fidOGV, true, true, "Theora", "Vorbis"},
    {"vorbis.ogg", fidOGA, false, true, nullptr, "Vorbis"},
    {"wmv1.wmv", fidWMV, true, true, "Windows Media Video", "Windows Media Audio"},
    {"wmv2.wmv", fidWMV, true, true, "Windows Media Video", "Windows Media Audio"},
    {"tone.wma", fidWMA, false, true, nullptr, "Windows Media Audio"},
};

std::string MoviePath(const char* file) { return test::MediaPath(std::string("codec_movies/") + file); }

struct Outcome {
  int32_t cls = 0;
  int32_t code = 0;
  std::string text;
};

template <class Work>
Outcome Try(Work&& work) {
  Outcome o;
  o.cls = MonitoredNoRaise(work);
  o.code = GetErrorCode();
  o.text = GetErrorStoredText();
  ClearError();
  return o;
}

class CodecMovies : public test::FormatTest {
 protected:
  void SetUp() override {
    test::FormatTest::SetUp();
    platform::SetLibraryFolder(TAVELO_CODEC_DIR);
    ConformUnitInit();
    for (int lib : {clMpeg, clOgg, clWm, clDShow})
      ASSERT_TRUE(FFCodecLibReady(lib)) << FFCodecLibrary(lib).FileName << ": " << platform::LastLibraryError();
  }
  void TearDown() override {
    ImgFree(img_);
    SndFree(snd_);
    ConformUnitDone();
    test::FormatTest::TearDown();
  }
  bool Open(const std::string& path, UniInfoRec& info, UniHandle& h) {
    if (!UniInfo(path, info, 0, nullptr, nullptr)) return false;
    return MonitoredNoRaise([&] { UniOpen(h, info); }) == 0;
  }
  std::vector<uint8_t> Frame(UniHandle& h, int32_t n) {
    if (MonitoredNoRaise([&] { UniImgLoad(h, img_, n, 0); }) != 0) {
      ADD_FAILURE() << "frame " << n << ": " << GetErrorMessage();
      ClearError();
      return {};
    }
    EXPECT_EQ(img_.Bpp, 24);
    return std::vector<uint8_t>(img_.Data, img_.Data + img_.Size);
  }
  // count sample frames from pos as 16-bit samples; option 1 continues without a seek.
  std::vector<int16_t> Sound(UniHandle& h, int32_t pos, int32_t count, int32_t option) {
    if (MonitoredNoRaise([&] { UniSndLoad(h, snd_, pos, count, option); }) != 0) {
      ADD_FAILURE() << "sound at " << pos << ": " << GetErrorMessage();
      ClearError();
      return {};
    }
    const auto* s = reinterpret_cast<const int16_t*>(snd_.SndData);
    return std::vector<int16_t>(s, s + static_cast<size_t>(snd_.samples) * snd_.Format.nChannels);
  }

  Qimg img_;
  Qsnd snd_;
};

TEST_F(CodecMovies, ProbeToolAgreesWithFFprobe) {
  for (const Movie& m : kMovies) {
    SCOPED_TRACE(m.file);
    const std::string path = MoviePath(m.file);
    const auto out = test::ProbeInfo(path);
    ASSERT_FALSE(out.empty());
    EXPECT_EQ(out.at("format id"), std::to_string(m.formatId));
    EXPECT_EQ(out.at("failed"), "no");
    if (m.video) {
      EXPECT_EQ(out.at("video"), "supported");
      EXPECT_EQ(out.at("width"), test::FFprobeValue(path, "v", "width"));
      EXPECT_EQ(out.at("height"), test::FFprobeValue(path, "v", "height"));
      EXPECT_EQ(out.at("frame count"), test::FFprobeValue(path, "v", "count_frames"));
      EXPECT_EQ(out.at("bits"), "24");
      const std::string rate = test::FFprobeValue(path, "v", "r_frame_rate");
      const size_t slash = rate.find('/');
      ASSERT_NE(slash, std::string::npos);
      EXPECT_NEAR(std::stod(out.at("frame rate")), std::stod(rate.substr(0, slash)) / std::stod(rate.substr(slash + 1)),
                  1e-6);
      if (m.videoCodec != nullptr) {
        EXPECT_EQ(out.at("video codec"), m.videoCodec);
      }
    } else {
      EXPECT_EQ(out.at("video"), "none");
    }
    if (m.sound) {
      EXPECT_EQ(out.at("audio"), "supported");
      EXPECT_EQ(out.at("sound rate"), test::FFprobeValue(path, "a", "sample_rate"));
      const std::string channels = test::FFprobeValue(path, "a", "channels");
      EXPECT_EQ(out.at("sound channels"), channels);
      EXPECT_EQ(out.at("sound bits"), "16");
      const size_t samples = test::FFmpegSamples(path).size() / static_cast<size_t>(std::stoi(channels));
      EXPECT_EQ(out.at("sound samples"), std::to_string(samples));
      if (m.audioCodec != nullptr) {
        EXPECT_EQ(out.at("audio codec"), m.audioCodec);
      }
    } else {
      EXPECT_EQ(out.at("audio"), "none");
    }
  }
}

TEST_F(CodecMovies, EveryTenthFrameMatchesFFmpegAndSeeksMatchReading) {
  for (const Movie& m : kMovies) {
    if (!m.video) continue;
    SCOPED_TRACE(m.file);
    const std::string path = MoviePath(m.file);
    UniInfoRec info;
    UniHandle h;
    ASSERT_TRUE(Open(path, info, h));
    const int32_t frames = info.Video.Frames;
    const int64_t bytes = int64_t{info.Video.Width} * info.Video.Height * 3;
    const auto ref = test::FFmpegFrames(path, "bgr24", bytes);
    ASSERT_EQ(static_cast<int32_t>(ref.size()), frames);
    for (int32_t n = 1; n <= frames; n += 10) {
      const std::vector<uint8_t> ours = Frame(h, n);
      ASSERT_EQ(ours.size(), ref[n - 1].size());
      int worst = 0;
      for (size_t i = 0; i < ours.size(); ++i) worst = std::max(worst, std::abs(ours[i] - ref[n - 1][i]));
      EXPECT_LE(worst, 1) << "frame " << n;
    }
    // Every frame read in order, then some reached by seeking back and forth.
    std::vector<std::vector<uint8_t>> inOrder;
    for (int32_t n = 1; n <= frames; ++n) inOrder.push_back(Frame(h, n));
    std::mt19937 rng(7);
    for (int k = 0; k < 12; ++k) {
      const int32_t n = 1 + static_cast<int32_t>(rng() % static_cast<uint32_t>(frames));
      EXPECT_EQ(Frame(h, n), inOrder[n - 1]) << "frame " << n << " reached by a seek";
      EXPECT_EQ(h.CurrentFrame, n);
    }
    UniClose(h);
  }
}

TEST_F(CodecMovies, SoundMatchesFFmpegReadOnAndAfterSeeks) {
  for (const Movie& m : kMovies) {
    if (!m.sound) continue;
    SCOPED_TRACE(m.file);
    const std::string path = MoviePath(m.file);
    UniInfoRec info;
    UniHandle h;
    ASSERT_TRUE(Open(path, info, h));
    const std::vector<int16_t> ref = test::FFmpegSamples(path);
    const int32_t ch = info.Audio.Channels;
    ASSERT_GT(ch, 0);
    ASSERT_EQ(static_cast<size_t>(info.Audio.Samples) * ch, ref.size());
    std::vector<int16_t> all;
    for (int32_t pos = 0, option = 0; pos < info.Audio.Samples; option = 1) {
      const std::vector<int16_t> run = Sound(h, pos, 7000, option);
      if (run.empty()) break;
      all.insert(all.end(), run.begin(), run.end());
      pos += static_cast<int32_t>(run.size()) / ch;
      EXPECT_EQ(h.CurrentSample, pos);
    }
    EXPECT_EQ(all, ref);
    std::mt19937 rng(3);
    for (int k = 0; k < 8; ++k) {
      const int32_t pos = static_cast<int32_t>(rng() % static_cast<uint32_t>(info.Audio.Samples));
      const std::vector<int16_t> run = Sound(h, pos, 3000, 0);
      const size_t n = std::min(run.size(), ref.size() - static_cast<size_t>(pos) * ch);
      ASSERT_GT(n, 0u);
      // After a seek the decoder starts afresh: floating-point decoders (MPEG audio) may round
      // a sample the other way.
      int worst = 0;
      for (size_t i = 0; i < n; ++i) worst = std::max(worst, std::abs(run[i] - ref[static_cast<size_t>(pos) * ch + i]));
      EXPECT_LE(worst, 1) << "sound at " << pos;
    }
    UniClose(h);
  }
}

TEST_F(CodecMovies, MpegKindsOfProgramStreams) {
  struct Case {
    const char* file;
    const char* kind;
    int32_t supported;
    const char* sound;
    int32_t maxBytes;
  };
  const Case cases[] = {
      {"mpeg1.mpg", "MPEG-1", -1, "MPEG-1, Layer-II", 0},  // a variable rate states no maximum
      {"vcd.mpg", "MPEG-VCD", -1, "MPEG-1, Layer-II", 1150000 / 8 + 224000 / 8},
      {"mpeg2.mpg", "MPEG-2", -1, "MPEG-1, Layer-II", 104857200 / 8 + 192000 / 8},
      {"svcd.mpg", "MPEG-SVCD", -1, "MPEG-1, Layer-II", 2400000 / 8 + 224000 / 8},
      {"dvd.vob", "MPEG-DVD", -1, "AC3 compatible", 6000000 / 8 + 448000 / 8},
      {"raw.m2v", "MPEG-2", -1, nullptr, 104857200 / 8},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    FFInfoRec info;
    ASSERT_EQ(Try([&] { MpgInfo(MoviePath(c.file), info, nullptr, nullptr); }).cls, 0);
    EXPECT_EQ(info.FormatId, fidMPEG);
    EXPECT_EQ(info.Video.CodecName, c.kind);
    EXPECT_EQ(info.Video.VideoSupported, c.supported);
    EXPECT_EQ(info.MaxBytesPerSec, c.maxBytes);
    if (c.sound != nullptr) {
      EXPECT_EQ(info.Audio.CodecName, c.sound);
      EXPECT_EQ(info.Audio.AudioSupported, -1);
    } else {
      EXPECT_EQ(info.Audio.HasAudio, 0);
    }
  }
  // An MPEG-2 movie opens with its pictures and its sound.
  MpgHandle h{};
  ASSERT_EQ(Try([&] { MpgOpen(h, MoviePath("svcd.mpg"), 0, nullptr, nullptr); }).cls, 0);
  EXPECT_EQ(h.VideoOpen, -1);
  EXPECT_EQ(h.AudioOpen, -1);
  EXPECT_GT(h.FrameCount, 0);
  ASSERT_EQ(Try([&] { MpgImgLoad(h, img_, 1); }).cls, 0);
  EXPECT_EQ(img_.Width, 480);
  ASSERT_EQ(Try([&] { MpgSndLoad(h, snd_, 1000, 500, 0); }).cls, 0);
  EXPECT_EQ(snd_.samples, 500);
  MpgClose(h, 0, 0, 0);
}

TEST_F(CodecMovies, FilesThatAreNotTheLibrariesOwn) {
  // A missing file is the MPEG library's message; Ogg and Windows Media cannot open it.
  const std::string missing = test::MakeTempDir("missing") + "/none.mpg";
  FFInfoRec info;
  Outcome o = Try([&] { MpgInfo(missing, info, nullptr, nullptr); });
  EXPECT_EQ(o.cls, ecText);
  EXPECT_EQ(o.text, "Cannot open file " + missing + ".");
  UniInfoRec uni;
  EXPECT_FALSE(UniInfo(missing, uni, 0, nullptr, nullptr));
  ClearWarning();
  OggHandle ogg{};
  EXPECT_EQ(Try([&] { OggOpen(ogg, missing); }).code, 6);
  WmvHandle wmv{};
  EXPECT_EQ(Try([&] { WmvOpen(wmv, missing); }).code, 6);
  // Each library keeps to its own containers, whatever FFmpeg could read.
  EXPECT_EQ(Try([&] { OggOpen(ogg, MoviePath("wmv1.wmv")); }).code, 6);
  EXPECT_EQ(Try([&] { WmvOpen(wmv, MoviePath("theora.ogv")); }).code, 6);
  ASSERT_EQ(Try([&] { MpgInfo(MoviePath("theora.ogv"), info, nullptr, nullptr); }).cls, 0);
  EXPECT_EQ(info.Video.HasVideo, 0);
  EXPECT_EQ(info.Audio.HasAudio, 0);
}

TEST_F(CodecMovies, OggKeyFramesAreFFprobes) {
  const std::string path = MoviePath("theora.ogv");
  const test::ToolRun run = test::RunTool("ffprobe -v error -select_streams v:0 -show_entries frame=key_frame -of csv=p=0 " +
                                          test::ShellQuote(path));
  ASSERT_EQ(run.Status, 0);
  std::vector<int32_t> keys;  // frame numbers from 1
  int32_t n = 0;
  for (char c : run.Out)
    if (c == '0' || c == '1') {
      ++n;
      if (c == '1') keys.push_back(n);
    }
  ASSERT_GT(keys.size(), 2u);
  UniInfoRec info;
  UniHandle h;
  ASSERT_TRUE(Open(path, info, h));
  ASSERT_EQ(n, info.Video.Frames);
  for (int32_t f = 1; f <= n; ++f) {
    // Back: the last key frame at or before the frame. On: the first one after it.
    const auto back = std::upper_bound(keys.begin(), keys.end(), f);
    const int32_t before = back == keys.begin() ? 1 : *(back - 1);
    EXPECT_EQ(UniNearestKeyFrame(h, f, -1), before) << f;
    const auto on = std::lower_bound(keys.begin(), keys.end(), f + 1);
    EXPECT_EQ(UniNearestKeyFrame(h, f, 1), on == keys.end() ? 1 : *on) << f;
  }
  UniClose(h);
}

TEST_F(CodecMovies, ReadsPastTheEndAndRefusedSeeks) {
  UniInfoRec info;
  UniHandle h;
  ASSERT_TRUE(Open(MoviePath("theora.ogv"), info, h));
  OggHandle& ogg = FFStateOf<OggHandle>(h.Mvi.State);
  ASSERT_EQ(Try([&] { OggImgLoad(ogg, img_, info.Video.Frames); }).cls, 0);
  // The frame after the last one is an error, not a picture of whatever the buffer held.
  Outcome o = Try([&] { OggImgLoad(ogg, img_, 0); });
  EXPECT_EQ(o.cls, ecMovie);
  EXPECT_EQ(o.code, 9);
  EXPECT_NE(ogg.ReadFailed, 0);
  // Sound past the end: nothing, and no error.
  ASSERT_EQ(Try([&] { OggSndLoad(ogg, snd_, info.Audio.Samples + 10, 100, 0); }).cls, 0);
  EXPECT_EQ(snd_.samples, 0);
  UniClose(h);

  ASSERT_TRUE(Open(MoviePath("wmv2.wmv"), info, h));
  WmvHandle& wmv = FFStateOf<WmvHandle>(h.Mvi.State);
  const std::string log = test::MakeTempDir("trace") + "/trace.txt";
  SetTraceFile(log);
  TraceStart("test");
  o = Try([&] { WmvSndLoad(wmv, snd_, 1000000, 10); });
  TraceStop();
  EXPECT_EQ(o.cls, ecMovie);
  EXPECT_EQ(o.code, 7);
  EXPECT_NE(test::ReadFile(log).find("WMV audio seek failed, sample 1,000,000 of 131,072"), std::string::npos);
  o = Try([&] { WmvImgLoad(wmv, img_, 0); });
  EXPECT_EQ(o.code, 7);
  o = Try([&] { WmvImgLoad(wmv, img_, info.Video.Frames + 1); });
  EXPECT_EQ(o.code, 1);
  UniClose(h);
}

TEST_F(CodecMovies, LibrariesBindEveryExportAndWithdrawTheirFormatsWithoutOne) {
  for (int lib : {clMpeg, clOgg, clWm, clCine}) {
    const FFCodecLib& l = FFCodecLibrary(lib);
    for (int32_t i = 0; i < l.ExportCount; ++i) EXPECT_NE(FFCodecProc(lib, i), nullptr) << l.Exports[i];
  }
  // Nothing here writes Windows Media: both rows leave the save table only.
  FFFormatRec row;
  EXPECT_TRUE(FFGetFormatById(row, fidWMV, ffRead));
  EXPECT_TRUE(FFGetFormatById(row, fidWMA, ffRead));
  FFBeforeWriteTable();
  EXPECT_FALSE(FFGetFormatById(row, fidWMV, ffWrite));
  EXPECT_FALSE(FFGetFormatById(row, fidWMA, ffWrite));
  EXPECT_FALSE(FFCanSave(fidWMV));

  // The real mpegcodec bound under a list that names one encoder export it lacks.
  ConformUnitDone();
  FFResetCodecLibsForTest();
  FFRestoreTablesForTest();
  FFCodecLib& mpeg = FFCodecLibrary(clMpeg);
  const char* const* saved = mpeg.Exports;
  std::vector<const char*> names(saved, saved + mpeg.ExportCount);
  names.back() = "ffmpeg_audio_set_samplerate";
  mpeg.Exports = names.data();
  FFLoadCodecLib(clMpeg);
  mpeg.Exports = saved;
  EXPECT_FALSE(FFCodecLibReady(clMpeg));
  EXPECT_NE(mpeg.Module, nullptr);  // loaded until shut-down
  for (int32_t id : {fidMPEG, fidMP4, fidMPA, fidAC3, fidMPEGX}) {
    EXPECT_FALSE(FFGetFormatById(row, id, ffRead)) << id;
    EXPECT_FALSE(FFGetFormatById(row, id, ffWrite)) << id;
  }
  EXPECT_EQ(FFGetFormatId("/a/b.mp3", ffRead), kNoFormat);
  FFFreeCodecLib(clMpeg);
  ConformUnitInit();
}

TEST_F(CodecMovies, MpegLibraryReadsHostileHeadsSafely) {
  // The library's own look at a file's first bytes (type, sequence header, pack walk, ID3 tag)
  // on short files of start codes and noise.
  auto getType = reinterpret_cast<mpg_get_type_t>(FFCodecProc(clMpeg, 8));
  auto videoInfo = reinterpret_cast<mpg_video_info_t>(FFCodecProc(clMpeg, 3));
  auto audioInfo = reinterpret_cast<mpg_audio_info_t>(FFCodecProc(clMpeg, 13));
  ASSERT_TRUE(getType && videoInfo && audioInfo);
  const std::string path = test::MakeTempDir("hostile") + "/head.mpg";
  using namespace std::string_literals;
  const std::string starts[] = {"\x00\x00\x01\xBA\x44"s, "\x00\x00\x01\xBA\x21"s, "\x00\x00\x01\xB3"s,
                                "ID3\x03\x00\x00\x7F\x7F\x7F\x7F"s, "ID3\x04\x00\x10\x00\x00\x00\x02"s,
                                "RIFF\x00\x00\x00\x00\x43\x44XA"s, "\xFF\xFB\x90\x00"s, "\x0B\x77"s};
  std::mt19937 rng(9);
  for (int round = 0; round < 400; ++round) {
    std::string bytes = starts[round % 8];
    const size_t extra = rng() % 3000;
    for (size_t i = 0; i < extra; ++i) {
      switch (rng() % 8) {
        case 0: bytes += std::string("\x00\x00\x01", 3) + static_cast<char>(0xB0 + rng() % 16); break;
        case 1: bytes += std::string("\x00\x00\x01\xBA", 4); break;
        case 2: bytes += std::string(rng() % 20, '\0'); break;
        default: bytes += static_cast<char>(rng()); break;
      }
    }
    test::WriteFile(path, bytes);
    getType(path.c_str());
    int32_t v[9];
    uint8_t extraBytes[8];
    videoInfo(path.c_str(), &v[0], &v[1], extraBytes, &v[2], &v[3], &v[4], &v[5], &v[6], &v[7], &v[8], nullptr,
              nullptr);
    MpgAudioInfo ai;
    audioInfo(path.c_str(), &ai, nullptr, nullptr);
  }
}

TEST_F(CodecMovies, DamagedFilesFailWithoutHarm) {
  const std::string dir = test::MakeTempDir("damaged");
  std::mt19937 rng(5);
  for (const Movie& m : kMovies) {
    SCOPED_TRACE(m.file);
    const std::string good = test::ReadFile(MoviePath(m.file));
    ASSERT_FALSE(good.empty());
    const std::string path = dir + "/" + m.file;
    for (int round = 0; round < 6; ++round) {
      std::string bytes = good;
      if (round % 2 == 0) {
        bytes.resize(rng() % bytes.size());
      } else {
        // The headers and the first packets, where the libraries look for their marks.
        const size_t span = std::min<size_t>(bytes.size(), 16384);
        for (int k = 0; k < 24; ++k) bytes[rng() % span] = static_cast<char>(rng());
      }
      test::WriteFile(path, bytes);
      UniInfoRec info;
      if (!UniInfo(path, info, 0, nullptr, nullptr)) {
        ClearWarning();
        continue;
      }
      UniHandle h;
      if (MonitoredNoRaise([&] { UniOpen(h, info); }) != 0) {
        ClearError();
        continue;
      }
      for (int32_t f : {1, info.Video.Frames / 2, info.Video.Frames})
        if (f >= 1) MonitoredNoRaise([&] { UniImgLoad(h, img_, f, 0); });
      if (info.Audio.Samples > 0) {
        MonitoredNoRaise([&] { UniSndLoad(h, snd_, 0, 5000, 0); });
        MonitoredNoRaise([&] { UniSndLoad(h, snd_, info.Audio.Samples / 2, 5000, 0); });
      }
      ClearError();
      UniClose(h);
    }
  }
}

}  // namespace
}  // namespace tavelo
