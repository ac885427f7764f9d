#include "platform/acm/acm.h"
#include "platform/acm/acm_codec.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "tests/core/snd_test_wav.h"
#include "tests/support/test_env.h"

namespace tavelo::platform {
namespace {

WAVEFORMATEX Pcm(uint32_t rate, uint16_t channels, uint16_t bits) {
  WAVEFORMATEX f{};
  f.wFormatTag = WAVE_FORMAT_PCM;
  f.nChannels = channels;
  f.nSamplesPerSec = rate;
  f.wBitsPerSample = bits;
  f.nBlockAlign = static_cast<uint16_t>(bits / 8 * channels);
  f.nAvgBytesPerSec = rate * f.nBlockAlign;
  return f;
}

// An open stream with one prepared header over caller-sized buffers.
class Stream {
 public:
  Stream(const WAVEFORMATEX* src, const WAVEFORMATEX& dst, size_t inSize, size_t outSize)
      : in_(inSize), out_(outSize) {
    open_ = acmStreamOpen(&has_, nullptr, src, &dst, nullptr, 0, 0, ACM_STREAMOPENF_NONREALTIME);
    if (open_ != MMSYSERR_NOERROR) return;
    h_.cbStruct = sizeof h_;
    h_.pbSrc = in_.data();
    h_.cbSrcLength = static_cast<uint32_t>(in_.size());
    h_.pbDst = out_.data();
    h_.cbDstLength = static_cast<uint32_t>(out_.size());
    EXPECT_EQ(acmStreamPrepareHeader(has_, &h_, 0), MMSYSERR_NOERROR);
  }
  ~Stream() {
    if (!has_) return;
    h_.cbSrcLength = static_cast<uint32_t>(in_.size());
    h_.cbDstLength = static_cast<uint32_t>(out_.size());
    EXPECT_EQ(acmStreamUnprepareHeader(has_, &h_, 0), MMSYSERR_NOERROR);
    EXPECT_EQ(acmStreamClose(has_, 0), MMSYSERR_NOERROR);
  }
  MMRESULT Opened() const { return open_; }
  // Converts bytes (copied into the source buffer) and returns the output produced.
  std::vector<uint8_t> Convert(const void* bytes, size_t n, uint32_t flags, MMRESULT* result = nullptr) {
    EXPECT_LE(n, in_.size());
    if (n) std::memcpy(in_.data(), bytes, n);
    h_.cbSrcLength = static_cast<uint32_t>(n);
    const MMRESULT r = acmStreamConvert(has_, &h_, flags);
    if (result) *result = r;
    else EXPECT_EQ(r, MMSYSERR_NOERROR);
    EXPECT_TRUE(h_.fdwStatus & ACMSTREAMHEADER_STATUSF_DONE);
    return std::vector<uint8_t>(out_.begin(), out_.begin() + h_.cbDstLengthUsed);
  }
  uint32_t SrcUsed() const { return h_.cbSrcLengthUsed; }
  HACMSTREAM Handle() const { return has_; }
  ACMSTREAMHEADER& Header() { return h_; }

 private:
  HACMSTREAM has_ = nullptr;
  MMRESULT open_ = MMSYSERR_ERROR;
  ACMSTREAMHEADER h_{};
  std::vector<uint8_t> in_, out_;
};

constexpr uint32_t kFirst = ACM_STREAMCONVERTF_START | ACM_STREAMCONVERTF_BLOCKALIGN;

std::vector<int16_t> AsS16(const std::vector<uint8_t>& b) {
  std::vector<int16_t> v(b.size() / 2);
  if (!v.empty()) std::memcpy(v.data(), b.data(), v.size() * 2);
  return v;
}

TEST(AcmPcm, SampleWidths) {
  const int16_t s16[] = {0, 1, -1, 0x7FFF, -0x8000, 0x1234};
  {  // 16 to 8: the high byte, offset to unsigned
    const WAVEFORMATEX a = Pcm(8000, 1, 16), b = Pcm(8000, 1, 8);
    Stream s(&a, b, 64, 64);
    EXPECT_EQ(s.Convert(s16, sizeof s16, kFirst), std::vector<uint8_t>({128, 128, 127, 255, 0, 128 + 0x12}));
  }
  {  // 8 to 16 and 16 to 24 widen by shifting; 24 to 16 and 32 to 16 keep the high bytes
    const WAVEFORMATEX a = Pcm(8000, 1, 8), b = Pcm(8000, 1, 16);
    Stream s(&a, b, 64, 64);
    const uint8_t u8[] = {0, 128, 255};
    EXPECT_EQ(AsS16(s.Convert(u8, 3, kFirst)), std::vector<int16_t>({-0x8000, 0, 0x7F00}));
    const WAVEFORMATEX c = Pcm(8000, 1, 24);
    Stream up(&b, c, 64, 64);
    EXPECT_EQ(up.Convert(s16 + 5, 2, kFirst), std::vector<uint8_t>({0x00, 0x34, 0x12}));
    Stream down(&c, b, 64, 64);
    const uint8_t s24[] = {0xFF, 0x34, 0x12, 0x00, 0x00, 0x80};
    EXPECT_EQ(AsS16(down.Convert(s24, 6, kFirst)), std::vector<int16_t>({0x1234, -0x8000}));
    const WAVEFORMATEX d = Pcm(8000, 1, 32);
    Stream down32(&d, b, 64, 64);
    const int32_t s32[] = {0x12345678, -1};
    EXPECT_EQ(AsS16(down32.Convert(s32, 8, kFirst)), std::vector<int16_t>({0x1234, -1}));
  }
}

TEST(AcmPcm, Channels) {
  const WAVEFORMATEX stereo = Pcm(8000, 2, 16), mono = Pcm(8000, 1, 16);
  Stream down(&stereo, mono, 64, 64);
  const int16_t lr[] = {1000, 3000, -1000, -3000, 0x7FFF, 0x7FFF, 1, 2};
  EXPECT_EQ(AsS16(down.Convert(lr, sizeof lr, kFirst)), std::vector<int16_t>({2000, -2000, 0x7FFF, 1}));
  Stream up(&mono, stereo, 64, 64);
  const int16_t m[] = {5, -7};
  EXPECT_EQ(AsS16(up.Convert(m, sizeof m, kFirst)), std::vector<int16_t>({5, 5, -7, -7}));
  // Two channels to three has no rule: not possible.
  const WAVEFORMATEX three = Pcm(8000, 3, 16);
  HACMSTREAM has = nullptr;
  EXPECT_EQ(acmStreamOpen(&has, nullptr, &stereo, &three, nullptr, 0, 0, 0), ACMERR_NOTPOSSIBLE);
  EXPECT_EQ(has, nullptr);
}

// Converts a ramp in runs of the given sizes, then ends the stream.
std::vector<int16_t> Resample(uint32_t from, uint32_t to, const std::vector<int16_t>& in, const std::vector<size_t>& runs) {
  const WAVEFORMATEX a = Pcm(from, 1, 16), b = Pcm(to, 1, 16);
  Stream s(&a, b, in.size() * 2, in.size() * 2 * to / from + 64);
  std::vector<int16_t> out;
  size_t at = 0;
  uint32_t flags = kFirst;
  for (size_t n : runs) {
    const auto got = AsS16(s.Convert(in.data() + at, n * 2, flags));
    out.insert(out.end(), got.begin(), got.end());
    at += n;
    flags = ACM_STREAMCONVERTF_BLOCKALIGN;
  }
  const auto tail = AsS16(s.Convert(nullptr, 0, ACM_STREAMCONVERTF_END));
  out.insert(out.end(), tail.begin(), tail.end());
  return out;
}

TEST(AcmPcm, RateConversionInterpolatesAcrossCalls) {
  std::vector<int16_t> ramp(1000);
  for (size_t i = 0; i < ramp.size(); ++i) ramp[i] = static_cast<int16_t>(i * 30 - 15000);

  // Doubling: every second output lies halfway; the last position holds the last frame.
  const auto up = Resample(8000, 16000, ramp, {1000});
  ASSERT_EQ(up.size(), 2000u);
  EXPECT_EQ(up[0], -15000);
  EXPECT_EQ(up[1], -14985);
  EXPECT_EQ(up[1998], ramp[999]);
  EXPECT_EQ(up[1999], ramp[999]);
  // Halving takes every second frame.
  const auto down = Resample(16000, 8000, ramp, {1000});
  ASSERT_EQ(down.size(), 500u);
  EXPECT_EQ(down[10], ramp[20]);

  // An odd ratio: ceil(1000 x 8000 / 11025) outputs on the ramp's line, the same whether the
  // source comes in one run or in uneven pieces.
  const auto odd = Resample(11025, 8000, ramp, {1000});
  ASSERT_EQ(odd.size(), (1000u * 8000 + 11024) / 11025);
  for (size_t k = 0; k + 1 < odd.size(); ++k) {
    const double expected = -15000 + 30.0 * k * 11025 / 8000;
    EXPECT_NEAR(odd[k], expected, 1.0) << k;
  }
  EXPECT_EQ(Resample(11025, 8000, ramp, {1, 2, 333, 7, 500, 157}), odd);
  EXPECT_EQ(Resample(8000, 44100, ramp, {3, 997}), Resample(8000, 44100, ramp, {1000}));
}

TEST(AcmPcm, BlockAlignLeavesPartialFramesAndUsesOnlyWhatFits) {
  const WAVEFORMATEX a = Pcm(8000, 2, 16), b = Pcm(8000, 2, 16);
  Stream s(&a, b, 64, 10);  // room for two whole frames of output
  const std::vector<uint8_t> data(30, 0x22);
  EXPECT_EQ(s.Convert(data.data(), 30, kFirst).size(), 8u);
  EXPECT_EQ(s.SrcUsed(), 8u);  // the source taken is what the output could hold
  const std::vector<uint8_t> partial(6, 0x33);
  EXPECT_EQ(s.Convert(partial.data(), 6, ACM_STREAMCONVERTF_BLOCKALIGN).size(), 4u);
  EXPECT_EQ(s.SrcUsed(), 4u);  // one whole frame; the half frame is left for the next call
}

TEST(AcmStream, HeaderRules) {
  const WAVEFORMATEX a = Pcm(8000, 1, 16);
  HACMSTREAM has = nullptr;
  ASSERT_EQ(acmStreamOpen(&has, nullptr, &a, &a, nullptr, 0, 0, ACM_STREAMOPENF_NONREALTIME), MMSYSERR_NOERROR);
  std::vector<uint8_t> in(100), out(100);
  ACMSTREAMHEADER h{};
  h.cbStruct = sizeof h;
  h.pbSrc = in.data();
  h.cbSrcLength = 100;
  h.pbDst = out.data();
  h.cbDstLength = 100;
  EXPECT_EQ(acmStreamConvert(has, &h, 0), ACMERR_UNPREPARED);
  ACMSTREAMHEADER small = h;
  small.cbStruct = 84;  // the 32-bit layout's size is not this header's
  EXPECT_EQ(acmStreamPrepareHeader(has, &small, 0), MMSYSERR_INVALPARAM);
  ASSERT_EQ(acmStreamPrepareHeader(has, &h, 0), MMSYSERR_NOERROR);
  EXPECT_TRUE(h.fdwStatus & ACMSTREAMHEADER_STATUSF_PREPARED);
  h.cbSrcLength = 101;  // longer than prepared
  EXPECT_EQ(acmStreamConvert(has, &h, 0), MMSYSERR_INVALPARAM);
  h.cbSrcLength = 40;
  EXPECT_EQ(acmStreamConvert(has, &h, ACM_STREAMCONVERTF_START | 0x1000), MMSYSERR_INVALFLAG);
  EXPECT_EQ(acmStreamConvert(has, &h, ACM_STREAMCONVERTF_START), MMSYSERR_NOERROR);
  EXPECT_EQ(h.cbSrcLengthUsed, 40u);
  EXPECT_EQ(h.cbDstLengthUsed, 40u);
  // Unprepare wants the prepared lengths back.
  EXPECT_EQ(acmStreamUnprepareHeader(has, &h, 0), MMSYSERR_INVALPARAM);
  h.cbSrcLength = 100;
  EXPECT_EQ(acmStreamUnprepareHeader(has, &h, 0), MMSYSERR_NOERROR);
  EXPECT_EQ(acmStreamUnprepareHeader(has, &h, 0), ACMERR_UNPREPARED);
  EXPECT_EQ(acmStreamClose(has, 0), MMSYSERR_NOERROR);
  // A closed stream's handle is refused, not followed.
  uint32_t size = 0;
  EXPECT_EQ(acmStreamSize(has, 100, &size, ACM_STREAMSIZEF_SOURCE), MMSYSERR_INVALHANDLE);
  EXPECT_EQ(acmStreamClose(has, 0), MMSYSERR_INVALHANDLE);
  EXPECT_EQ(acmStreamPrepareHeader(has, &h, 0), MMSYSERR_INVALHANDLE);
}

TEST(AcmStream, SizesForPcm) {
  const WAVEFORMATEX a = Pcm(22050, 2, 16), b = Pcm(22050, 1, 8);
  HACMSTREAM has = nullptr;
  ASSERT_EQ(acmStreamOpen(&has, nullptr, &a, &b, nullptr, 0, 0, 0), MMSYSERR_NOERROR);
  uint32_t size = 0;
  EXPECT_EQ(acmStreamSize(has, 4002, &size, ACM_STREAMSIZEF_SOURCE), MMSYSERR_NOERROR);
  EXPECT_EQ(size, 1000u);  // whole frames only
  EXPECT_EQ(acmStreamSize(has, 4000, &size, 1), MMSYSERR_NOTSUPPORTED);
  EXPECT_EQ(acmStreamClose(has, 0), MMSYSERR_NOERROR);
}

test::WavFile Fixture(const char* name) { return test::ReadWav(test::MediaPath(std::string("sound/") + name)); }

TEST(AcmCodec, WholeBlocksOnlyAndPartialAtTheEnd) {
  const test::WavFile wav = Fixture("ima_ffmpeg.wav");
  const WAVEFORMATEX& ima = *wav.Format();
  ASSERT_EQ(ima.wFormatTag, WAVE_FORMAT_IMA_ADPCM);
  const WAVEFORMATEX pcm = Pcm(ima.nSamplesPerSec, ima.nChannels, 16);
  const uint32_t block = ima.nBlockAlign;
  const uint32_t perBlock = 1 + (block - 4 * ima.nChannels) * 2 / ima.nChannels;  // 4-bit samples
  {
    Stream s(&ima, pcm, 4 * block, 4 * perBlock * 4);
    ASSERT_EQ(s.Opened(), MMSYSERR_NOERROR);
    const auto out = s.Convert(wav.data.data(), block + block / 2, kFirst);
    EXPECT_EQ(s.SrcUsed(), block);  // the half block waits
    EXPECT_EQ(out.size(), perBlock * pcm.nBlockAlign);
  }
  {
    // Without BLOCKALIGN, the end of the stream decodes a trailing partial block as far as it goes.
    Stream s(&ima, pcm, 4 * block, 4 * perBlock * 4);
    const auto out = s.Convert(wav.data.data(), block + block / 2, ACM_STREAMCONVERTF_START | ACM_STREAMCONVERTF_END);
    EXPECT_EQ(s.SrcUsed(), block + block / 2);
    EXPECT_GT(out.size(), perBlock * pcm.nBlockAlign);
    EXPECT_LT(out.size(), 2 * perBlock * pcm.nBlockAlign);
  }
  {
    // A destination smaller than one block's output: the rest comes out with the next calls.
    Stream whole(&ima, pcm, 2 * block, 4 * perBlock * 4);
    const auto expected = whole.Convert(wav.data.data(), 2 * block, kFirst);
    Stream s(&ima, pcm, 2 * block, 400);
    std::vector<uint8_t> got = s.Convert(wav.data.data(), 2 * block, kFirst);
    EXPECT_EQ(s.SrcUsed(), block);
    EXPECT_EQ(got.size(), 400u);
    size_t offset = s.SrcUsed();
    for (int i = 0; i < 100 && got.size() < expected.size(); ++i) {
      const auto more = s.Convert(wav.data.data() + offset, 2 * block - offset, ACM_STREAMCONVERTF_BLOCKALIGN);
      offset += s.SrcUsed();
      got.insert(got.end(), more.begin(), more.end());
    }
    EXPECT_EQ(got, expected);
    EXPECT_EQ(offset, 2u * block);
  }
}

TEST(AcmCodec, DecodesToOtherWidthsRatesAndChannels) {
  // mu-law at 8000 Hz mono, straight to 8-bit stereo 16000 Hz, against the 16-bit decode.
  const test::WavFile wav = Fixture("mulaw.wav");
  const WAVEFORMATEX& mu = *wav.Format();
  const WAVEFORMATEX pcm16 = Pcm(8000, 1, 16), pcm8 = Pcm(16000, 2, 8);
  Stream a(&mu, pcm16, 4000, 8000);
  Stream b(&mu, pcm8, 4000, 16000);
  const auto ref = AsS16(a.Convert(wav.data.data(), 4000, kFirst));
  const auto got = b.Convert(wav.data.data(), 4000, kFirst);
  ASSERT_EQ(ref.size(), 4000u);
  ASSERT_GE(got.size(), 2 * 2 * 3999u);
  for (size_t i = 0; i < 3999; ++i) {
    EXPECT_EQ(got[4 * i], static_cast<uint8_t>((ref[i] >> 8) + 128)) << i;
    EXPECT_EQ(got[4 * i + 1], got[4 * i]);
  }
}

TEST(AcmCodec, DamagedDataDoesNotStopTheStream) {
  std::mt19937 rng(5);
  std::vector<uint8_t> junk(64 * 1024);
  for (auto& b : junk) b = static_cast<uint8_t>(rng());
  for (const char* name : {"mp3_stereo.wav", "ima_sox.wav", "msadpcm_sox.wav", "gsm_sox.wav", "mp2.wav"}) {
    SCOPED_TRACE(name);
    const test::WavFile wav = Fixture(name);
    WAVEFORMATEX pcm{};
    pcm.wFormatTag = WAVE_FORMAT_PCM;
    ASSERT_EQ(acmFormatSuggest(nullptr, wav.Format(), &pcm, sizeof pcm, ACM_FORMATSUGGESTF_WFORMATTAG), 0u);
    Stream s(wav.Format(), pcm, junk.size(), 4 << 20);
    ASSERT_EQ(s.Opened(), MMSYSERR_NOERROR);
    s.Convert(junk.data(), junk.size(), kFirst);
    s.Convert(nullptr, 0, ACM_STREAMCONVERTF_END);
    // Real data after the junk still decodes.
    const auto out = s.Convert(wav.data.data(), std::min(wav.data.size(), junk.size()), kFirst);
    EXPECT_GT(out.size(), 0u);
  }
}

TEST(AcmFormats, HostileRecordsAreRefused) {
  const WAVEFORMATEX pcm = Pcm(22050, 1, 16);
  auto refused = [&](WAVEFORMATEX f) {
    HACMSTREAM has = nullptr;
    WAVEFORMATEX s{};
    s.wFormatTag = WAVE_FORMAT_PCM;
    const bool noStream = acmStreamOpen(&has, nullptr, &f, &pcm, nullptr, 0, 0, 0) == ACMERR_NOTPOSSIBLE;
    const bool noSuggestion = acmFormatSuggest(nullptr, &f, &s, sizeof s, ACM_FORMATSUGGESTF_WFORMATTAG) == ACMERR_NOTPOSSIBLE;
    if (has) acmStreamClose(has, 0);
    return noStream && noSuggestion;
  };
  WAVEFORMATEX f = Pcm(22050, 2, 16);
  f.nBlockAlign = 3;  // disagrees with the sample width
  EXPECT_TRUE(refused(f));
  EXPECT_TRUE(refused(Pcm(22050, 1, 12)));
  EXPECT_TRUE(refused(Pcm(22050, 0, 16)));
  EXPECT_TRUE(refused(Pcm(0, 1, 16)));
  EXPECT_TRUE(refused(Pcm(50000000, 1, 16)));
  WAVEFORMATEX ima{WAVE_FORMAT_IMA_ADPCM, 2, 22050, 11100, 0, 4, 0};
  EXPECT_TRUE(refused(ima));  // no block alignment
  ima.nBlockAlign = 6;          // shorter than the two channel headers
  EXPECT_TRUE(refused(ima));
  ima.nBlockAlign = 1024;
  ima.wBitsPerSample = 9;
  EXPECT_TRUE(refused(ima));
  WAVEFORMATEX gsm{WAVE_FORMAT_GSM610, 2, 8000, 1625, 65, 0, 0};
  EXPECT_TRUE(refused(gsm));
  WAVEFORMATEX mp3{WAVE_FORMAT_MPEGLAYER3, 2, 44100, 0, 1, 0, 0};
  EXPECT_TRUE(refused(mp3));  // no byte rate to measure it by
  WAVEFORMATEX flt{WAVE_FORMAT_IEEE_FLOAT, 1, 8000, 16000, 2, 16, 0};
  EXPECT_TRUE(refused(flt));
  WAVEFORMATEX unknown = Pcm(8000, 1, 16);
  unknown.wFormatTag = 0x0161;
  EXPECT_TRUE(refused(unknown));

  // The destination must be PCM, and only PCM is suggested.
  const test::WavFile wav = Fixture("ima_ffmpeg.wav");
  HACMSTREAM has = nullptr;
  EXPECT_EQ(acmStreamOpen(&has, nullptr, &pcm, wav.Format(), nullptr, 0, 0, 0), ACMERR_NOTPOSSIBLE);
  WAVEFORMATEX want{};
  want.wFormatTag = WAVE_FORMAT_MPEGLAYER3;
  EXPECT_EQ(acmFormatSuggest(nullptr, wav.Format(), &want, sizeof want, ACM_FORMATSUGGESTF_WFORMATTAG),
            ACMERR_NOTPOSSIBLE);
  EXPECT_EQ(acmStreamOpen(&has, nullptr, &pcm, &pcm, nullptr, 0, 0, 0x10000), MMSYSERR_INVALFLAG);
  EXPECT_EQ(acmStreamOpen(&has, reinterpret_cast<HACMDRIVER>(1), &pcm, &pcm, nullptr, 0, 0, 0), MMSYSERR_INVALHANDLE);
}

TEST(AcmFormats, Suggestion) {
  const test::WavFile wav = Fixture("msadpcm_sox.wav");
  WAVEFORMATEX s{};
  s.wFormatTag = WAVE_FORMAT_PCM;
  ASSERT_EQ(acmFormatSuggest(nullptr, wav.Format(), &s, sizeof s, ACM_FORMATSUGGESTF_WFORMATTAG), 0u);
  const WAVEFORMATEX expected = Pcm(wav.Format()->nSamplesPerSec, wav.Format()->nChannels, 16);
  EXPECT_EQ(std::memcmp(&s, &expected, sizeof s), 0);
  // A PCM source is suggested as it is.
  const WAVEFORMATEX p = Pcm(11025, 2, 8);
  ASSERT_EQ(acmFormatSuggest(nullptr, &p, &s, sizeof s, 0), 0u);
  EXPECT_EQ(std::memcmp(&s, &p, sizeof s), 0);
  // A 16-byte destination gets 16 bytes, nothing beyond them.
  uint8_t room[20];
  std::memset(room, 0xEE, sizeof room);
  ASSERT_EQ(acmFormatSuggest(nullptr, &p, reinterpret_cast<WAVEFORMATEX*>(room), 16, 0), 0u);
  EXPECT_EQ(room[16], 0xEE);
  EXPECT_EQ(acmFormatSuggest(nullptr, &p, reinterpret_cast<WAVEFORMATEX*>(room), 14, 0), MMSYSERR_INVALPARAM);
}

TEST(AcmFormats, NamesAndLargestRecord) {
  uint32_t largest = 0;
  ASSERT_EQ(acmMetrics(nullptr, ACM_METRIC_MAX_SIZE_FORMAT, &largest), 0u);
  EXPECT_EQ(largest, 50u);
  EXPECT_EQ(acmMetrics(nullptr, 1, &largest), MMSYSERR_NOTSUPPORTED);

  auto name = [](uint32_t tag) -> std::string {
    ACMFORMATTAGDETAILSA d{};
    d.cbStruct = sizeof d;
    d.dwFormatTag = tag;
    const MMRESULT r = acmFormatTagDetailsA(nullptr, &d, ACM_FORMATTAGDETAILSF_FORMATTAG);
    if (r != MMSYSERR_NOERROR) return "error " + std::to_string(r);
    EXPECT_EQ(d.dwFormatTag, tag);
    EXPECT_GE(d.cbFormatSize, 16u);
    return d.szFormatTag;
  };
  EXPECT_EQ(name(0x11), "IMA ADPCM");
  EXPECT_EQ(name(0x55), "MPEG Layer-3");
  EXPECT_EQ(name(0x50), "MPEG");
  EXPECT_EQ(name(0x02), "MS ADPCM");
  EXPECT_EQ(name(0x06), "CCITT A-Law");
  EXPECT_EQ(name(0x07), "CCITT u-Law");
  EXPECT_EQ(name(0x31), "GSM 6.10");
  EXPECT_EQ(name(0x03), "IEEE Float");
  EXPECT_EQ(name(0x01), "PCM");
  EXPECT_EQ(name(0x0161), "error 512");
  EXPECT_EQ(name(0x10011), "error 512");
  ACMFORMATTAGDETAILSA d{};
  d.cbStruct = 40;
  d.dwFormatTag = 0x11;
  EXPECT_EQ(acmFormatTagDetailsA(nullptr, &d, ACM_FORMATTAGDETAILSF_FORMATTAG), MMSYSERR_INVALPARAM);
}

}  // namespace
}  // namespace tavelo::platform

namespace tavelo::platform {
namespace {

// Records and data as a damaged file could hold them: every call answers with a result code,
// reports no more used than it was given, and never reads or writes outside the buffers.
TEST(AcmFormats, RandomRecordsAndDataAreHandled) {
  std::mt19937 rng(20240607);
  const uint16_t tags[] = {WAVE_FORMAT_PCM, WAVE_FORMAT_ADPCM, WAVE_FORMAT_IEEE_FLOAT, WAVE_FORMAT_ALAW,
                           WAVE_FORMAT_MULAW, WAVE_FORMAT_IMA_ADPCM, WAVE_FORMAT_GSM610, WAVE_FORMAT_MPEG,
                           WAVE_FORMAT_MPEGLAYER3};
  auto pick = [&](std::initializer_list<uint32_t> usual) {
    // Mostly plausible values, sometimes anything at all.
    if (rng() % 4 == 0) return static_cast<uint32_t>(rng());
    return *(usual.begin() + rng() % usual.size());
  };
  std::vector<uint8_t> data(6000);
  int opened = 0;
  for (int round = 0; round < 400; ++round) {
    std::vector<uint8_t> raw(18 + 32);
    auto* f = reinterpret_cast<WAVEFORMATEX*>(raw.data());
    f->wFormatTag = tags[rng() % 9];
    f->nChannels = static_cast<uint16_t>(pick({0, 1, 2, 3, 6}));
    f->nSamplesPerSec = pick({0, 8000, 11025, 22050, 44100, 48000});
    f->nAvgBytesPerSec = pick({0, 1625, 4000, 16000, 22311, 176400});
    f->nBlockAlign = static_cast<uint16_t>(pick({0, 1, 2, 4, 65, 256, 512, 1024, 1152, 2048}));
    f->wBitsPerSample = static_cast<uint16_t>(pick({0, 2, 3, 4, 5, 8, 16, 24, 32, 64}));
    f->cbSize = static_cast<uint16_t>(rng() % 33);
    for (size_t i = 18; i < raw.size(); ++i) raw[i] = static_cast<uint8_t>(rng());
    for (auto& b : data) b = static_cast<uint8_t>(rng());

    WAVEFORMATEX pcm{};
    pcm.wFormatTag = WAVE_FORMAT_PCM;
    if (acmFormatSuggest(nullptr, f, &pcm, sizeof pcm, ACM_FORMATSUGGESTF_WFORMATTAG) != MMSYSERR_NOERROR)
      pcm = Pcm(22050, 2, 16);
    HACMSTREAM has = nullptr;
    if (acmStreamOpen(&has, nullptr, f, &pcm, nullptr, 0, 0, 0) != MMSYSERR_NOERROR) {
      EXPECT_EQ(has, nullptr);
      continue;
    }
    ++opened;
    uint32_t size = 0;
    EXPECT_EQ(acmStreamSize(has, static_cast<uint32_t>(data.size()), &size, ACM_STREAMSIZEF_SOURCE), MMSYSERR_NOERROR);
    std::vector<uint8_t> out(1 << 16);
    ACMSTREAMHEADER h{};
    h.cbStruct = sizeof h;
    h.pbSrc = data.data();
    h.cbSrcLength = static_cast<uint32_t>(data.size());
    h.pbDst = out.data();
    h.cbDstLength = static_cast<uint32_t>(out.size());
    ASSERT_EQ(acmStreamPrepareHeader(has, &h, 0), MMSYSERR_NOERROR);
    const uint32_t flagSets[] = {kFirst, ACM_STREAMCONVERTF_BLOCKALIGN, ACM_STREAMCONVERTF_END, 0};
    for (uint32_t flags : flagSets) {
      h.cbSrcLength = static_cast<uint32_t>(rng() % (data.size() + 1));
      EXPECT_EQ(acmStreamConvert(has, &h, flags), MMSYSERR_NOERROR);
      EXPECT_LE(h.cbSrcLengthUsed, h.cbSrcLength);
      EXPECT_EQ(h.cbDstLengthUsed % pcm.nBlockAlign, 0u);
    }
    h.cbSrcLength = static_cast<uint32_t>(data.size());
    EXPECT_EQ(acmStreamUnprepareHeader(has, &h, 0), MMSYSERR_NOERROR);
    EXPECT_EQ(acmStreamClose(has, 0), MMSYSERR_NOERROR);
  }
  EXPECT_GT(opened, 20);  // the rounds reached the decoders, not only the checks in front
}

}  // namespace
}  // namespace tavelo::platform

namespace tavelo::platform::acm {
namespace {

// The MPEG frame counter tells where each frame starts: every frame after the first begins with
// a frame header, whole however the bytes were cut when they were added, and the frames' sample
// counts add up to the count (LAME's 44.1 kHz MP3, 1152 samples a frame; an MPEG-2 LSF one, 576).
TEST(AcmMpegCounter, FrameStartsAreFrameHeaders) {
  const struct {
    const char* file;
    uint32_t rate;
    uint32_t frameSamples;
  } cases[] = {{"codec_movies/tone.mp3", 44100, 1152}, {"codec_movies/lsf.mp3", 22050, 576}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    const std::string data = test::ReadFile(test::MediaPath(c.file));
    ASSERT_GT(data.size(), 10000u);
    WAVEFORMATEX fmt{};
    fmt.wFormatTag = WAVE_FORMAT_MPEGLAYER3;
    fmt.nChannels = 2;
    fmt.nSamplesPerSec = c.rate;
    fmt.nAvgBytesPerSec = 16000;
    fmt.nBlockAlign = 1;
    for (size_t piece : {size_t{1000}, size_t{417}, data.size()}) {
      MpegSampleCounter counter(fmt);
      ASSERT_TRUE(counter.Ok());
      for (size_t at = 0; at < data.size(); at += piece)
        counter.Add(reinterpret_cast<const uint8_t*>(data.data()) + at, std::min(piece, data.size() - at));
      const uint64_t total = counter.Finish();
      const auto& offsets = counter.FrameOffsets();
      const auto& samples = counter.FrameSamples();
      ASSERT_EQ(offsets.size(), samples.size());
      ASSERT_GT(offsets.size(), 20u);
      uint64_t sum = 0;
      for (size_t i = 0; i < offsets.size(); ++i) {
        sum += samples[i];
        EXPECT_EQ(samples[i], c.frameSamples);
        if (i == 0) continue;  // the first frame also holds what comes before it (a tag)
        ASSERT_LT(offsets[i] + 1, data.size());
        EXPECT_GT(offsets[i], offsets[i - 1]);
        EXPECT_EQ(static_cast<uint8_t>(data[offsets[i]]), 0xFF) << "frame " << i << ", pieces of " << piece;
        EXPECT_EQ(static_cast<uint8_t>(data[offsets[i] + 1]) & 0xE0, 0xE0) << "frame " << i;
      }
      EXPECT_EQ(sum, total);
    }
  }
}

}  // namespace
}  // namespace tavelo::platform::acm
