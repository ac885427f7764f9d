// dshowcodec.so as the AVI unit binds it: loaded by file, its seven C exports resolved by name.
#include "codecs/dshowcodec/dshowcodec.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/codecs/avi_reference.h"
#include "tests/support/test_env.h"

namespace tavelo {
namespace {

using platform::WAVEFORMATEX;

class DshowCodec : public ::testing::Test {
 protected:
  void SetUp() override {
    lib_ = dlopen((std::string(TAVELO_CODEC_DIR) + "/dshowcodec.so").c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib_, nullptr) << dlerror();
    Bind(videoOpen, "dsw_video_open");
    Bind(videoInfo, "dsw_video_info");
    Bind(videoRead, "dsw_video_read");
    Bind(audioOpen, "dsw_audio_open");
    Bind(audioInfo, "dsw_audio_info");
    Bind(audioRead, "dsw_audio_read");
    Bind(close, "dsw_close");
  }
  void TearDown() override {
    if (lib_) dlclose(lib_);
  }
  template <class F>
  void Bind(F& f, const char* name) {
    f = reinterpret_cast<F>(dlsym(lib_, name));
    ASSERT_NE(f, nullptr) << name;
  }

  void* lib_ = nullptr;
  dsw_video_open_t videoOpen = nullptr;
  dsw_video_info_t videoInfo = nullptr;
  dsw_video_read_t videoRead = nullptr;
  dsw_audio_open_t audioOpen = nullptr;
  dsw_audio_info_t audioInfo = nullptr;
  dsw_audio_read_t audioRead = nullptr;
  dsw_close_t close = nullptr;
};

TEST_F(DshowCodec, ExportsOnlyItsSevenCalls) {
  // The FFmpeg reader inside stays private: nothing of it can bind to another copy.
  EXPECT_EQ(dlsym(lib_, "_ZN6tavelo8ffreader6Reader4OpenERKNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEERKNS0_11OpenOptionsEPS7_"),
            nullptr);
  EXPECT_EQ(dlsym(lib_, "_ZN6tavelo8ffreader7DecoderD1Ev"), nullptr);
}

TEST_F(DshowCodec, DeliversFramesAsTopDownBgr24) {
  int32_t status = -1;
  void* h = videoOpen(test::AviPath("mjpeg.avi").c_str(), &status);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(status, 0);
  int32_t w = 0, hgt = 0, bits = 0, frames = 0;
  double rate = 0;
  videoInfo(h, &w, &hgt, &bits, &frames, &rate);
  EXPECT_EQ(w, 96);
  EXPECT_EQ(hgt, 72);
  EXPECT_EQ(bits, 24);
  EXPECT_EQ(frames, 30);
  EXPECT_DOUBLE_EQ(rate, 12.0);
  const std::string ref = test::AviReferenceFrames("mjpeg");
  std::vector<uint8_t> pixels(96 * 72 * 3);
  for (int32_t n : {0, 29, 7, 8, 3}) {
    ASSERT_NE(videoRead(h, pixels.data(), n), 0) << n;
    EXPECT_LE(test::MaxChannelDifference(pixels.data(), reinterpret_cast<const uint8_t*>(ref.data()) + n * pixels.size(),
                                         pixels.size()),
              1)
        << n;
  }
  EXPECT_EQ(videoRead(h, pixels.data(), 30), 0);
  EXPECT_EQ(videoRead(h, pixels.data(), -1), 0);
  EXPECT_EQ(videoRead(h, nullptr, 0), 0);
  close(h);
}

TEST_F(DshowCodec, DeliversSixteenBitSoundASecondAtATime) {
  int32_t status = -1;
  void* h = audioOpen(test::AviPath("mpeg4.avi").c_str(), &status);  // MP3, 22050 Hz mono
  ASSERT_NE(h, nullptr);
  WAVEFORMATEX stored{}, delivered{};
  int32_t count = 0;
  audioInfo(h, &stored, &delivered, &count);
  EXPECT_EQ(stored.wFormatTag, platform::WAVE_FORMAT_MPEGLAYER3);
  EXPECT_EQ(stored.nSamplesPerSec, 22050u);
  EXPECT_EQ(stored.nAvgBytesPerSec, 4000u);  // 32 kbit/s
  EXPECT_EQ(delivered.wFormatTag, platform::WAVE_FORMAT_PCM);
  EXPECT_EQ(delivered.nChannels, 1);
  EXPECT_EQ(delivered.nSamplesPerSec, 22050u);
  EXPECT_EQ(delivered.wBitsPerSample, 16);
  EXPECT_EQ(delivered.nBlockAlign, 2);
  EXPECT_EQ(delivered.nAvgBytesPerSec, 44100u);
  EXPECT_EQ(count, test::AviReferenceSampleCount("mpeg4"));

  const auto ref = test::AviReferenceSound("mpeg4");
  std::vector<int16_t> all;
  std::vector<int16_t> buffer(delivered.nAvgBytesPerSec / 2 + 64, 0x5A5A);
  int32_t pos = 0;
  for (;;) {
    int32_t samples = -1, bytes = -1;
    ASSERT_NE(audioRead(h, buffer.data(), pos, &samples, &bytes), 0);
    EXPECT_LE(bytes, static_cast<int32_t>(delivered.nAvgBytesPerSec));
    EXPECT_EQ(bytes, samples * 2);
    // Nothing past what it reports.
    EXPECT_EQ(buffer[delivered.nAvgBytesPerSec / 2 + 1], 0x5A5A);
    if (samples == 0) break;
    all.insert(all.end(), buffer.begin(), buffer.begin() + samples);
    pos += samples;
  }
  EXPECT_EQ(pos, count);
  EXPECT_TRUE(all == ref);
  close(h);
}

TEST_F(DshowCodec, RefusesFilesAndHandlesItCannotUse) {
  int32_t status = 0;
  EXPECT_EQ(videoOpen((test::TempRoot() + "/none.avi").c_str(), &status), nullptr);
  EXPECT_NE(status, 0);
  EXPECT_EQ(videoOpen(nullptr, &status), nullptr);
  EXPECT_EQ(audioOpen(test::AviPath("cinepak.avi").c_str(), &status), nullptr);  // no sound
  EXPECT_NE(status, 0);

  void* v = videoOpen(test::AviPath("cinepak.avi").c_str(), nullptr);
  ASSERT_NE(v, nullptr);
  // A picture handle is not a sound handle.
  int32_t samples = 7, bytes = 7;
  std::vector<int16_t> buffer(100000);
  EXPECT_EQ(audioRead(v, buffer.data(), 0, &samples, &bytes), 0);
  EXPECT_EQ(samples, 0);
  WAVEFORMATEX stored{}, delivered{};
  int32_t count = 5;
  audioInfo(v, &stored, &delivered, &count);
  EXPECT_EQ(count, 0);
  close(v);
  // Closed: every call fails quietly, a second close does nothing.
  int32_t w = 1, hgt = 1, bits = 1, frames = 1;
  double rate = 1;
  videoInfo(v, &w, &hgt, &bits, &frames, &rate);
  EXPECT_EQ(frames, 0);
  EXPECT_EQ(videoRead(v, buffer.data(), 0), 0);
  close(v);
  close(nullptr);
}

}  // namespace
}  // namespace tavelo
