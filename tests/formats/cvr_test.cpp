// The Cine unit over files from the test writer, through the dispatcher and tavelo-probe: grey
// and colour frames as FFmpeg's cine demuxer decodes them, mosaic frames coloured by BayDecode
// into 24-bit pictures, the stored picture settings applied in their order, frames read in any
// order, and every failure reported (also for damaged files, under ASan and UBSan).
#include "formats/units/ff_cvr.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "core/media/impress.h"
#include "core/services/errors.h"
#include "core/services/monitor.h"
#include "formats/conform.h"
#include "formats/ff_codec_libs.h"
#include "formats/units/ff_bay.h"
#include "tests/formats/cine_writer.h"
#include "tests/formats/format_fixture.h"
#include "tests/formats/media_tools.h"
#include "tests/support/test_env.h"

namespace tavelo {
namespace {

using test::CineMovie;

struct Outcome {
  int32_t cls = 0;
  int32_t code = 0;
};

template <class Work>
Outcome Try(Work&& work) {
  Outcome o;
  o.cls = MonitoredNoRaise(work);
  o.code = GetErrorCode();
  ClearError();
  return o;
}

std::vector<uint8_t> Samples(int32_t w, int32_t h, int32_t bytes, int32_t frame) {
  std::vector<uint8_t> s(static_cast<size_t>(w) * h * bytes);
  std::mt19937 rng(static_cast<uint32_t>(5 + frame));
  for (size_t i = 0; i < s.size(); ++i) s[i] = static_cast<uint8_t>((i * 3 + frame * 17 + (rng() & 31)) & 0xFF);
  return s;
}

CineMovie Movie(int32_t w, int32_t h, int32_t bitCount, int32_t compression, uint32_t cfa, int32_t frames) {
  CineMovie m;
  m.width = w;
  m.height = h;
  m.bitCount = bitCount;
  m.compression = compression;
  m.cfa = cfa;
  m.frameRate = 500;
  for (int32_t i = 0; i < frames; ++i) m.frames.push_back(Samples(w, h, bitCount / 8, i));
  return m;
}

std::vector<uint8_t> Bytes(const Qimg& img) { return std::vector<uint8_t>(img.Data, img.Data + img.Size); }

class CineUnit : public test::FormatTest {
 protected:
  void SetUp() override {
    test::FormatTest::SetUp();
    platform::SetLibraryFolder(TAVELO_CODEC_DIR);
    ConformUnitInit();
    ASSERT_TRUE(FFCodecLibReady(clCine)) << platform::LastLibraryError();
    dir_ = test::MakeTempDir("cine");
  }
  void TearDown() override {
    ImgFree(img_);
    ImgFree(ref_);
    ConformUnitDone();
    test::FormatTest::TearDown();
  }
  std::string Write(const std::string& name, const CineMovie& m) {
    const std::string path = dir_ + "/" + name;
    test::CineWrite(path, m);
    return path;
  }
  // Opens a described file; false when the open fails.
  bool Open(const std::string& path, UniInfoRec& info, UniHandle& h) {
    if (!UniInfo(path, info, 0, nullptr, nullptr)) return false;
    return MonitoredNoRaise([&] { UniOpen(h, info); }) == 0;
  }
  // The picture the unit makes of a mosaic before any setting: BayDecode's colours.
  void Coloured(const std::vector<uint8_t>& mosaic, int32_t w, int32_t h, int32_t pattern) {
    ImgAlloc(ref_, w, h, 24);
    BayDecode(mosaic.data(), ref_.Data, w, 1, pattern, h);
  }

  std::string dir_;
  Qimg img_;
  Qimg ref_;
};

TEST_F(CineUnit, GammaSettingsBrightenAndDarkenAlike) {
  EXPECT_EQ(CvrGamma_(0), 0.0);
  EXPECT_DOUBLE_EQ(CvrGamma_(50), 1.5);
  EXPECT_DOUBLE_EQ(CvrGamma_(-50), 1 / 1.5);
  EXPECT_DOUBLE_EQ(CvrGamma_(100), 2.0);
  EXPECT_DOUBLE_EQ(CvrGamma_(-100), 0.5);
  EXPECT_EQ(CvrCodecName_(0), "");
  EXPECT_EQ(CvrCodecName_(1), "JPEG encoded");
  EXPECT_EQ(CvrCodecName_(2), "VRI encoded");
  EXPECT_EQ(CvrCodecName_(3), "VRI-V6 encoded");
  EXPECT_EQ(CvrCodecName_(4), "Bayer encoded");
  EXPECT_EQ(CvrCodecName_(255), "");
}

TEST_F(CineUnit, PlainFramesAreFFmpegsDecode) {
  struct Case {
    const char* name;
    int32_t bitCount;
    bool topDown;
    const char* ffFormat;
    int32_t bpp;
  };
  for (const Case& c : {Case{"grey.cine", 8, false, "gray", 8}, Case{"bgr.cine", 24, true, "bgr24", 24},
                        Case{"bgr48.cine", 48, false, "bgr24", 24}}) {
    SCOPED_TRACE(c.name);
    CineMovie m = Movie(31, 17, c.bitCount, 0, 0, 12);
    m.topDown = c.topDown;
    const std::string path = Write(c.name, m);
    UniInfoRec info;
    UniHandle h;
    ASSERT_TRUE(Open(path, info, h));
    EXPECT_EQ(info.FormatId, fidCINE);
    EXPECT_EQ(info.Kind, ukMovie);
    EXPECT_EQ(info.Description, "CINE, Vision Research Cine");
    EXPECT_EQ(info.Video.Bpp, c.bpp);
    EXPECT_EQ(info.Video.OrigBpp, c.bitCount);
    EXPECT_EQ(info.Video.CodecName, "Uncompressed, full frames");
    EXPECT_EQ(info.Video.Frames, 12);
    EXPECT_DOUBLE_EQ(info.Video.FrameRate, 500.0);
    EXPECT_EQ(info.Audio.HasAudio, 0);
    // The grey reference is FFmpeg's own grey; 48-bit colour is compared with FFmpeg's 8-bit one.
    const auto ref = test::FFmpegFrames(path, c.ffFormat, int64_t{31} * 17 * c.bpp / 8);
    ASSERT_EQ(ref.size(), 12u);
    for (int32_t f : {1, 2, 7, 12, 3}) {
      ASSERT_EQ(MonitoredNoRaise([&] { UniImgLoad(h, img_, f, 0); }), 0) << f;
      EXPECT_EQ(img_.Bpp, c.bpp);
      EXPECT_EQ(h.CurrentFrame, f);
      EXPECT_NE(h.KeyFrame, 0);
      if (c.bitCount == 48) {
        // FFmpeg rounds 16 bits to 8 where the library cuts: at most one level apart.
        for (int32_t i = 0; i < img_.Size; ++i)
          ASSERT_LE(std::abs(img_.Data[i] - ref[f - 1][i]), 1) << "frame " << f << " byte " << i;
      } else {
        EXPECT_EQ(Bytes(img_), ref[f - 1]) << "frame " << f;
      }
      if (c.bpp == 8) {
        EXPECT_EQ(img_.Palette[3 * 200], 200);
        EXPECT_EQ(img_.Palette[3 * 200 + 2], 200);
      }
    }
    EXPECT_EQ(UniNearestKeyFrame(h, 9, -1), 9);
    UniClose(h);
  }
}

TEST_F(CineUnit, MosaicFramesAreColouredIntoTwentyFourBits) {
  struct Case {
    const char* name;
    uint32_t cfa;
    int32_t bitCount;
    int32_t pattern;
    const char* codecName;
  };
  for (const Case& c : {Case{"bayer.cine", 3, 8, bayGBRG, "Bayer encoded"},
                        Case{"bayer16.cine", 3, 16, bayGBRG, "Bayer encoded"},
                        Case{"vri.cine", 1, 8, bayCine5, "VRI encoded"},
                        Case{"vri6.cine", 2, 8, bayCine6, "VRI-V6 encoded"}}) {
    SCOPED_TRACE(c.name);
    CineMovie m = Movie(24, 14, c.bitCount, 2, c.cfa, 4);
    m.realBpp = c.bitCount == 16 ? 12 : 8;
    if (c.bitCount == 16)
      for (auto& f : m.frames)
        for (size_t i = 1; i < f.size(); i += 2) f[i] &= 0x0F;  // 12 significant bits
    const std::string path = Write(c.name, m);
    UniInfoRec info;
    UniHandle h;
    ASSERT_TRUE(Open(path, info, h));
    EXPECT_EQ(info.Video.Bpp, 24);
    EXPECT_EQ(info.Video.BytesPP, 3);
    EXPECT_EQ(info.Video.OrigBpp, c.bitCount);
    EXPECT_EQ(info.Video.CodecName, c.codecName);
    // The mosaic the unit colours: FFmpeg's where it reads the pattern, else the writer's own.
    std::vector<std::vector<uint8_t>> mosaics;
    if (c.cfa == 3) {
      const auto ref = test::FFmpegFrames(path, c.bitCount == 8 ? "bayer_gbrg8" : "bayer_gbrg16le",
                                          int64_t{24} * 14 * c.bitCount / 8);
      ASSERT_EQ(ref.size(), 4u);
      for (const auto& f : ref) {
        if (c.bitCount == 8) {
          mosaics.push_back(f);
        } else {
          std::vector<uint8_t> top(f.size() / 2);
          for (size_t i = 0; i < top.size(); ++i) top[i] = f[2 * i + 1];
          mosaics.push_back(top);
        }
      }
    } else {
      mosaics = m.frames;
    }
    for (int32_t f : {4, 1, 3}) {
      ASSERT_EQ(MonitoredNoRaise([&] { UniImgLoad(h, img_, f, 0); }), 0) << f;
      EXPECT_EQ(img_.Bpp, 24);
      Coloured(mosaics[f - 1], 24, 14, c.pattern);
      EXPECT_EQ(Bytes(img_), Bytes(ref_)) << "frame " << f;
    }
    UniClose(h);
  }
}

TEST_F(CineUnit, StoredSettingsApplyInTheirOrder) {
  CineMovie m = Movie(20, 12, 24, 0, 0, 2);
  m.topDown = true;
  m.saturation = 1.4f;
  m.gamma = -30;
  m.brightness = 12;
  m.contrast = 25;
  const std::string path = Write("settings.cine", m);
  UniInfoRec info;
  UniHandle h;
  ASSERT_TRUE(Open(path, info, h));
  ASSERT_EQ(MonitoredNoRaise([&] { UniImgLoad(h, img_, 2, 0); }), 0);
  ImgAlloc(ref_, 20, 12, 24);
  std::memcpy(ref_.Data, m.frames[1].data(), m.frames[1].size());
  ImgSaturation(ref_, ref_, 40);
  ImgGamma(ref_, ref_, 1 / 1.3, 1 / 1.3, 1 / 1.3);
  ImgBrightness(ref_, ref_, 12, 12, 12);
  ImgContrast(ref_, ref_, 25, 25, 25);
  EXPECT_EQ(Bytes(img_), Bytes(ref_));
  UniClose(h);

  // A grey picture is adjusted through its palette: the values stay the stored ones.
  CineMovie grey = Movie(9, 5, 8, 0, 0, 1);
  grey.topDown = true;
  grey.brightness = 50;
  const std::string greyPath = Write("grey_settings.cine", grey);
  ASSERT_TRUE(Open(greyPath, info, h));
  ASSERT_EQ(MonitoredNoRaise([&] { UniImgLoad(h, img_, 1, 0); }), 0);
  EXPECT_EQ(Bytes(img_), grey.frames[0]);
  EXPECT_EQ(img_.Palette[0], 127);
  EXPECT_EQ(img_.Palette[3 * 200], 255);
  UniClose(h);
}

TEST_F(CineUnit, ProbeToolAgreesWithFFprobe) {
  CineMovie m = Movie(40, 30, 16, 2, 3, 21);
  m.realBpp = 16;
  m.frameRate = 1200;
  const std::string path = Write("probe.cine", m);
  const auto out = test::ProbeInfo(path);
  EXPECT_EQ(out.at("format id"), "20");
  EXPECT_EQ(out.at("width"), test::FFprobeValue(path, "v", "width"));
  EXPECT_EQ(out.at("height"), test::FFprobeValue(path, "v", "height"));
  EXPECT_EQ(out.at("frame count"), test::FFprobeValue(path, "v", "count_frames"));
  EXPECT_EQ(test::FFprobeValue(path, "v", "r_frame_rate"), "1200/1");
  EXPECT_EQ(out.at("frame rate"), "1200.000000");
  EXPECT_EQ(out.at("video codec"), "Bayer encoded");
  EXPECT_EQ(out.at("bits"), "24");
  EXPECT_EQ(out.at("audio"), "none");
}

TEST_F(CineUnit, FailuresAreReported) {
  // A pattern the unit has no colours for is not supported by it; the dispatcher's search then
  // finds the AVI unit's decoder library, which reads it.
  CineMovie flipped = Movie(8, 8, 8, 2, 4, 2);
  const std::string flippedPath = Write("flipped.cine", flipped);
  FFInfoRec own;
  ASSERT_EQ(Try([&] { CvrInfo(flippedPath, own); }).cls, 0);
  EXPECT_EQ(own.Video.HasVideo, -1);
  EXPECT_EQ(own.Video.VideoSupported, 0);
  UniInfoRec info;
  ASSERT_TRUE(UniInfo(flippedPath, info, 0, nullptr, nullptr));
  EXPECT_EQ(info.FormatId, fidAVI);
  CvrHandle h{};
  ASSERT_EQ(Try([&] { CvrOpen(h, flippedPath); }).cls, 0);
  Outcome o = Try([&] { CvrLoad(h, img_, 1); });
  EXPECT_EQ(o.cls, ecMovie);
  EXPECT_EQ(o.code, 5);
  CvrClose(h);

  // JPEG frames are described, and every read fails.
  const std::string jpegPath = Write("jpeg.cine", Movie(8, 8, 8, 1, 0, 2));
  ASSERT_TRUE(UniInfo(jpegPath, info, 0, nullptr, nullptr));
  EXPECT_EQ(info.Video.CodecName, "JPEG encoded");
  ASSERT_EQ(Try([&] { CvrOpen(h, jpegPath); }).cls, 0);
  o = Try([&] { CvrLoad(h, img_, 1); });
  EXPECT_EQ(o.cls, ecMovie);
  EXPECT_EQ(o.code, 9);
  CvrClose(h);

  // A seek outside the file and a frame whose data is gone.
  CineMovie m = Movie(8, 6, 8, 0, 0, 3);
  const std::string path = Write("frames.cine", m);
  ASSERT_EQ(Try([&] { CvrOpen(h, path); }).cls, 0);
  o = Try([&] { CvrLoad(h, img_, 0); });
  EXPECT_EQ(o.code, 9);
  o = Try([&] { CvrLoad(h, img_, 4); });
  EXPECT_EQ(o.code, 9);
  std::filesystem::resize_file(path, static_cast<uintmax_t>(test::CineLayoutOf(m).frameOffsets[2]) + 10);
  o = Try([&] { CvrLoad(h, img_, 3); });
  EXPECT_EQ(o.cls, ecMovie);
  EXPECT_EQ(o.code, 9);
  ASSERT_EQ(Try([&] { CvrLoad(h, img_, 2); }).cls, 0);
  CvrClose(h);

  // A file that is gone by the time it opens.
  ASSERT_TRUE(UniInfo(path, info, 0, nullptr, nullptr));
  std::filesystem::remove(path);
  UniHandle uh;
  EXPECT_EQ(MonitoredNoRaise([&] { UniOpen(uh, info); }), ecMovie);
  EXPECT_EQ(GetErrorCode(), 6);
  ClearError();
}

TEST_F(CineUnit, DamagedFilesFailWithoutHarm) {
  CineMovie m = Movie(16, 10, 8, 2, 1, 3);
  const std::vector<uint8_t> good = test::CineBuild(m);
  const int64_t headers = test::CineLayoutOf(m).frameOffsets[0] + 8;
  const std::string path = dir_ + "/damaged.cine";
  std::mt19937 rng(11);
  for (int round = 0; round < 300; ++round) {
    std::vector<uint8_t> b = good;
    if (round % 3 == 0) {
      b.resize(rng() % b.size());
    } else {
      for (int k = 0; k < 3; ++k) b[rng() % static_cast<uint32_t>(headers)] = static_cast<uint8_t>(rng());
    }
    test::WriteFile(path, std::string(b.begin(), b.end()));
    UniInfoRec info;
    if (!UniInfo(path, info, 0, nullptr, nullptr)) continue;
    UniHandle h;
    if (MonitoredNoRaise([&] { UniOpen(h, info); }) != 0) {
      ClearError();
      continue;
    }
    for (int32_t f = 1; f <= info.Video.Frames && f <= 4; ++f) MonitoredNoRaise([&] { UniImgLoad(h, img_, f, 0); });
    ClearError();
    UniClose(h);
  }
}

}  // namespace
}  // namespace tavelo
