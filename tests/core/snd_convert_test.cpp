// Stored sound formats converted to 16-bit PCM through the conversion context and SndLoad, the
// way the WAV and AVI units read them, checked against FFmpeg's own decode of the same files.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/media/snd_basic.h"
#include "core/services/errors.h"
#include "core/services/memory.h"
#include "core/services/monitor.h"
#include "tests/core/snd_test_wav.h"
#include "tests/support/test_env.h"

namespace tavelo {
namespace {

using namespace platform;

// Hands out the data chunk in runs of a fixed size, reporting whole blocks as the source
// consumed, like the WAV unit's reader.
struct ChunkSource {
  const test::WavFile* wav = nullptr;
  size_t pos = 0;
  size_t chunk = 0;
};

void ReadChunk(void* source, void*& buffer, int32_t /*wanted*/, int32_t& dataBytes, int32_t& sourceBytes) {
  auto* s = static_cast<ChunkSource*>(source);
  const size_t n = std::min(s->chunk, s->wav->data.size() - s->pos);
  dataBytes = static_cast<int32_t>(n);
  sourceBytes = static_cast<int32_t>(n / s->wav->Format()->nBlockAlign);
  if (n == 0) return;
  _memalloc_(buffer, static_cast<int64_t>(n), __LINE__, "Test.ReadChunk.buffer", mkResizable);
  std::memcpy(buffer, s->wav->data.data() + s->pos, n);
  s->pos += n;
}

// Reads the whole file through SndLoad in runs of `frames`; the reader hands `chunk` bytes.
std::vector<int16_t> DecodeAll(const test::WavFile& wav, const WAVEFORMATEX& pcm, size_t chunk, int32_t frames) {
  std::vector<int16_t> all;
  ChunkSource src{&wav, 0, chunk};
  AcmConvCtx ctx;
  SndLoadState state;
  Qsnd snd;
  const int32_t errorClass = MonitoredNoRaise([&] {
    state.InFormat = const_cast<WAVEFORMATEX*>(wav.Format());
    state.InFormatSize = static_cast<int32_t>(wav.fmt.size());
    state.OutFormat = pcm;
    state.SourceTotal = static_cast<int32_t>(wav.data.size() / wav.Format()->nBlockAlign);
    state.ConvData = AcmConvertInit(ctx, wav.Format(), static_cast<int32_t>(wav.fmt.size()), &pcm, sizeof pcm, 0, 0,
                                    nullptr);
    for (int guard = 0; guard < 100000; ++guard) {
      SndLoad(&src, ctx, state, snd, frames, ReadChunk);
      const auto* p = reinterpret_cast<const int16_t*>(snd.SndData);
      all.insert(all.end(), p, p + snd.samples * pcm.nChannels);
      if (snd.samples == 0) break;
    }
    EXPECT_TRUE(state.EndFlag);
    AcmConvertDone(ctx);
    SndFree(snd);
  });
  EXPECT_EQ(errorClass, 0) << GetErrorMessage();
  return all;
}

struct Fixture {
  const char* name;
  uint16_t tag;
  int maxDiff;  // 0: bit-exact against FFmpeg's decode
};

class StoredFormatToPcm : public ::testing::TestWithParam<Fixture> {};

TEST_P(StoredFormatToPcm, MatchesFfmpegDecode) {
  const Fixture& fx = GetParam();
  const std::string base = test::MediaPath(std::string("sound/") + fx.name);
  const test::WavFile wav = test::ReadWav(base + ".wav");
  ASSERT_GE(wav.fmt.size(), 18u);
  const WAVEFORMATEX& in = *wav.Format();
  ASSERT_EQ(in.wFormatTag, fx.tag);
  const std::vector<int16_t> reference = test::ReadS16(base + ".s16");
  const long expectedFrames = std::atol(test::ReadFile(base + ".samples").c_str());
  ASSERT_GT(expectedFrames, 0);
  ASSERT_EQ(reference.size(), static_cast<size_t>(expectedFrames) * in.nChannels);

  // The suggestion keeps rate and channels and asks for 16 bits.
  WAVEFORMATEX pcm{};
  pcm.wFormatTag = WAVE_FORMAT_PCM;
  ASSERT_EQ(acmFormatSuggest(nullptr, &in, &pcm, sizeof pcm, ACM_FORMATSUGGESTF_WFORMATTAG), MMSYSERR_NOERROR);
  EXPECT_EQ(pcm.wBitsPerSample, 16);
  EXPECT_EQ(pcm.nChannels, in.nChannels);
  EXPECT_EQ(pcm.nSamplesPerSec, in.nSamplesPerSec);
  ASSERT_TRUE(SndWaveFmtPCMCheck(pcm));

  // The length a reader announces comes from the stream size of the data: exact for the block
  // codecs (all whole blocks), within one frame for MPEG audio (a byte stream), whose length is
  // estimated from the byte rate.
  const bool mpeg = in.wFormatTag == WAVE_FORMAT_MPEG || in.wFormatTag == WAVE_FORMAT_MPEGLAYER3;
  HACMSTREAM has = nullptr;
  ASSERT_EQ(acmStreamOpen(&has, nullptr, &in, &pcm, nullptr, 0, 0, ACM_STREAMOPENF_NONREALTIME), MMSYSERR_NOERROR);
  uint32_t outBytes = 0;
  const uint32_t whole =
      static_cast<uint32_t>(mpeg ? wav.data.size() : wav.data.size() / in.nBlockAlign * in.nBlockAlign);
  ASSERT_EQ(acmStreamSize(has, whole, &outBytes, ACM_STREAMSIZEF_SOURCE), MMSYSERR_NOERROR);
  EXPECT_EQ(acmStreamClose(has, 0), MMSYSERR_NOERROR);
  const long announced = static_cast<long>(outBytes / pcm.nBlockAlign);
  if (mpeg)
    EXPECT_NEAR(announced, expectedFrames, 1152);
  else
    EXPECT_EQ(announced, expectedFrames);

  const int32_t mem0 = MemCount();
  // A reader of one second at a time (the WAV unit) and one of four seconds (the AVI unit), which
  // hands the conversion more than its buffers were first sized for.
  for (size_t seconds : {1u, 4u}) {
    SCOPED_TRACE(testing::Message() << seconds << " s per read");
    const std::vector<int16_t> got = DecodeAll(wav, pcm, seconds * in.nAvgBytesPerSec, 3000);
    ASSERT_EQ(static_cast<long>(got.size() / in.nChannels), expectedFrames);
    size_t mismatches = 0;
    int worst = 0;
    for (size_t i = 0; i < got.size(); ++i) {
      const int d = std::abs(int{got[i]} - int{reference[i]});
      if (d > 0) ++mismatches;
      worst = std::max(worst, d);
    }
    if (fx.maxDiff == 0)
      EXPECT_EQ(mismatches, 0u) << "first samples differ from FFmpeg's decode";
    else
      EXPECT_LE(worst, fx.maxDiff);
    EXPECT_EQ(MemCount(), mem0) << "tracked blocks left behind";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Files, StoredFormatToPcm,
    ::testing::Values(Fixture{"ima_ffmpeg", WAVE_FORMAT_IMA_ADPCM, 0}, Fixture{"ima_sox", WAVE_FORMAT_IMA_ADPCM, 0},
                      Fixture{"msadpcm_ffmpeg", WAVE_FORMAT_ADPCM, 0}, Fixture{"msadpcm_sox", WAVE_FORMAT_ADPCM, 0},
                      Fixture{"alaw", WAVE_FORMAT_ALAW, 0}, Fixture{"mulaw", WAVE_FORMAT_MULAW, 0},
                      Fixture{"gsm_ffmpeg", WAVE_FORMAT_GSM610, 0}, Fixture{"gsm_sox", WAVE_FORMAT_GSM610, 0},
                      Fixture{"mp3_stereo", WAVE_FORMAT_MPEGLAYER3, 1},
                      Fixture{"mp3_mono22k", WAVE_FORMAT_MPEGLAYER3, 1}, Fixture{"mp2", WAVE_FORMAT_MPEG, 1},
                      Fixture{"float", WAVE_FORMAT_IEEE_FLOAT, 0}),
    [](const ::testing::TestParamInfo<Fixture>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tavelo
