#include "core/media/snd_basic.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/services/errors.h"
#include "core/services/memory.h"
#include "core/services/monitor.h"

namespace tavelo {
namespace {

using namespace platform;

WAVEFORMATEX Pcm(int32_t rate, int32_t channels, int32_t bits) {
  WAVEFORMATEX f{};
  SndWaveFmtSetPCM(f, rate, channels, bits);
  return f;
}

// The three parts of a match score (rate, channels, bits) without the byte-rate part.
int32_t Parts(const WAVEFORMATEX& c, const WAVEFORMATEX& w) { return SndWaveFmtCalcMatchScore(c, w) >> 8; }

TEST(SndWaveFmt, MatchScores) {
  const WAVEFORMATEX wanted = Pcm(22050, 1, 8);
  EXPECT_EQ(SndWaveFmtCalcMatchScore(wanted, wanted), 65535);
  // Rate: 100 / (22050 / 8000 + 1) = 26.62 rounds to 27; a lower rate scores 42 - 1.
  EXPECT_EQ(Parts(Pcm(44100, 1, 8), wanted), 27 + 80 + 75);
  EXPECT_EQ(Parts(Pcm(11025, 1, 8), wanted), 41 + 80 + 75);
  // Byte-rate part: 255 x 22050 / 44100 = 127.5, rounded half to even.
  EXPECT_EQ(SndWaveFmtCalcMatchScore(Pcm(44100, 1, 8), wanted) & 0xFF, 128);
  // Channels: 80 / 2 = 40, minus 1 for more channels than wanted.
  EXPECT_EQ(Parts(Pcm(22050, 2, 8), wanted), 100 + 39 + 75);
  // Bits: 600 / 16 = 37.5 rounds to even 38; minus 1 for a wider sample.
  EXPECT_EQ(Parts(Pcm(22050, 1, 16), wanted), 100 + 80 + 37);
  EXPECT_EQ(Parts(Pcm(22050, 1, 8), Pcm(22050, 1, 16)), 100 + 80 + 38);
  // A wanted field of 0 accepts anything; no byte-rate part when either byte rate is 0.
  WAVEFORMATEX open{};
  EXPECT_EQ(SndWaveFmtCalcMatchScore(Pcm(48000, 2, 16), open), (100 + 80 + 75) << 8);
  // The closer candidate wins.
  const WAVEFORMATEX want = Pcm(48000, 2, 16);
  EXPECT_GT(SndWaveFmtCalcMatchScore(Pcm(44100, 2, 16), want), SndWaveFmtCalcMatchScore(Pcm(22050, 2, 16), want));
}

TEST(SndWaveFmt, PcmCheckCompletesAndRefuses) {
  WAVEFORMATEX f{};
  f.wFormatTag = WAVE_FORMAT_PCM;
  f.nChannels = 2;
  f.nSamplesPerSec = 44100;
  f.wBitsPerSample = 16;
  ASSERT_TRUE(SndWaveFmtPCMCheck(f));
  EXPECT_EQ(f.nBlockAlign, 4);
  EXPECT_EQ(f.nAvgBytesPerSec, 176400u);

  // Below 8 bits the block alignment would be 0: refused rather than left to divide by zero.
  WAVEFORMATEX g = f;
  g.wBitsPerSample = 4;
  EXPECT_FALSE(SndWaveFmtPCMCheck(g));
  WAVEFORMATEX noBits = f, noChannels = f, noRate = f;
  noBits.wBitsPerSample = 0;
  noChannels.nChannels = 0;
  noRate.nSamplesPerSec = 0;
  EXPECT_FALSE(SndWaveFmtPCMCheck(noBits));
  EXPECT_FALSE(SndWaveFmtPCMCheck(noChannels));
  EXPECT_FALSE(SndWaveFmtPCMCheck(noRate));
  // A frame or byte rate that does not fit its field would be cut to a wrong (even zero) value.
  WAVEFORMATEX wide = f;
  wide.nChannels = 40000;
  EXPECT_FALSE(SndWaveFmtPCMCheck(wide));
  WAVEFORMATEX fast = f;
  fast.wBitsPerSample = 32;
  fast.nChannels = 16;
  fast.nSamplesPerSec = 0x10000000;
  EXPECT_FALSE(SndWaveFmtPCMCheck(fast));
}

TEST(SndWaveFmt, CompareIsByteByByte) {
  const WAVEFORMATEX a = Pcm(22050, 1, 8);
  WAVEFORMATEX b = a;
  EXPECT_EQ(SndWaveFmtCompare(&a, &b), 0);
  EXPECT_EQ(SndWaveFmtCompare(&a, nullptr), 2);
  EXPECT_EQ(SndWaveFmtCompare(nullptr, &b), 2);
  b.nChannels = 2;
  EXPECT_EQ(SndWaveFmtCompare(&a, &b), -1);
  EXPECT_EQ(SndWaveFmtCompare(&b, &a), 1);
  // Little-endian fields compare by their first byte, not by value: 256 (00 01) before 1 (01 00).
  WAVEFORMATEX c = a, d = a;
  c.nSamplesPerSec = 256;
  d.nSamplesPerSec = 1;
  EXPECT_EQ(SndWaveFmtCompare(&c, &d), -1);
  EXPECT_EQ(SndWaveFmtMaxSize(), 50 + 18);
}

TEST(Qsnd, AllocTagsZeroesAndFrees) {
  const int32_t mem0 = MemCount();
  Qsnd snd;
  snd.samples = 77;  // stale fields of a record without a live buffer are cleared
  snd.Format = Pcm(8000, 1, 8);
  _sndalloc_(snd, 100, 12, "Test.snd");
  ASSERT_NE(snd.SndData, nullptr);
  EXPECT_EQ(snd.Allocated, 100);
  EXPECT_EQ(snd.samples, 0);
  EXPECT_EQ(snd.Format.wFormatTag, 0);
  const int32_t i = MemFind(snd.SndData, 3);
  ASSERT_NE(i, 0x7FFFFFFF);
  EXPECT_EQ(MemEntry(i).Tag, "C:12:(SndAlloc):Test.snd");

  // A live buffer is resized in place, keeping its content and the record's fields.
  std::memset(snd.SndData, 0x5A, 100);
  snd.samples = 100;
  _sndalloc_(snd, 5000, 13, "Test.snd");
  EXPECT_EQ(snd.Allocated, 5000);
  EXPECT_EQ(snd.samples, 100);
  EXPECT_EQ(snd.SndData[99], 0x5A);
  EXPECT_EQ(MemCount(), mem0 + 1);

  SndFree(snd);
  EXPECT_EQ(snd.SndData, nullptr);
  EXPECT_EQ(snd.Allocated, 0);
  EXPECT_EQ(MemCount(), mem0);

  // A request beyond what the 32-bit count can hold is refused before anything is allocated.
  EXPECT_EQ(MonitoredNoRaise([&] { _sndalloc_(snd, int64_t{1} << 31, 14, "Test.huge"); }), ecMemory);
  EXPECT_EQ(MemCount(), mem0);
}

TEST(Qsnd, AddSilencePadsWithTheWidthsSilence) {
  Qsnd snd;
  _sndalloc_(snd, 10, 1, "Test.snd");
  snd.Format = Pcm(22050, 1, 8);
  std::memset(snd.SndData, 7, 10);
  snd.samples = 10;
  SndAddSilence(snd, 15);
  ASSERT_EQ(snd.samples, 15);
  EXPECT_GE(snd.Allocated, 15);
  EXPECT_EQ(std::vector<uint8_t>(snd.SndData, snd.SndData + 15),
            std::vector<uint8_t>({7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 128, 128, 128, 128, 128}));
  SndAddSilence(snd, 5);  // shorter: nothing changes
  EXPECT_EQ(snd.samples, 15);
  SndFree(snd);

  Qsnd wide;
  _sndalloc_(wide, 8, 1, "Test.wide");
  wide.Format = Pcm(44100, 2, 16);
  std::memset(wide.SndData, 0x11, 8);
  wide.samples = 2;
  SndAddSilence(wide, 4);
  ASSERT_EQ(wide.samples, 4);
  EXPECT_EQ(std::vector<uint8_t>(wide.SndData + 8, wide.SndData + 16), std::vector<uint8_t>(8, 0));
  EXPECT_EQ(wide.SndData[7], 0x11);
  SndFree(wide);
}

TEST(Qsnd, AddSilenceFormatRules) {
  // No usable format: (8, 4) "Invalid audio format.".
  Qsnd bad;
  EXPECT_EQ(MonitoredNoRaise([&] { SndAddSilence(bad, 10); }), ecAudio);
  EXPECT_EQ(GetErrorCode(), 4);
  EXPECT_EQ(GetErrorMessage(), "Invalid audio format.");
  EXPECT_EQ(bad.SndData, nullptr);

  // A record with a described but untagged format takes the default format first, so its
  // bytes and frames agree with the 8-bit mono default.
  Qsnd untagged;
  untagged.Format = Pcm(44100, 2, 16);
  untagged.Format.wFormatTag = 0;
  SndAddSilence(untagged, 6);
  EXPECT_EQ(SndWaveFmtCompare(&untagged.Format, &SndDefaultFormat), 0);
  EXPECT_EQ(untagged.samples, 6);
  EXPECT_EQ(untagged.Allocated, 6);
  EXPECT_EQ(untagged.SndData[5], 128);
  SndFree(untagged);
}

struct Received {
  std::vector<uint8_t> bytes;
  int calls = 0;
};

void Collect(intptr_t data, uint8_t* outBuf, int32_t bytes) {
  auto* r = reinterpret_cast<Received*>(data);
  ++r->calls;
  r->bytes.insert(r->bytes.end(), outBuf, outBuf + bytes);
}

TEST(AcmConvert, EqualFormatsAreCopiedAndStillCalledBack) {
  const int32_t mem0 = MemCount();
  const WAVEFORMATEX f = Pcm(22050, 2, 16);
  AcmConvCtx ctx;
  Received got;
  uint8_t* out = AcmConvertInit(ctx, &f, sizeof f, &f, sizeof f, 0, reinterpret_cast<intptr_t>(&got), Collect);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(ctx.InBufSize, 2 * 88200);
  std::vector<uint8_t> data(1000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
  EXPECT_EQ(AcmConvert(ctx, data.data(), 1000), 1000);
  EXPECT_EQ(got.calls, 1);
  EXPECT_EQ(got.bytes, data);
  EXPECT_EQ(AcmConvert(ctx, data.data(), 0), 0);  // nothing converted, nobody called
  EXPECT_EQ(got.calls, 1);

  // More than the output buffer holds cannot be copied: (8, 3).
  std::vector<uint8_t> big(static_cast<size_t>(ctx.OutBufSize) + 4);
  EXPECT_EQ(MonitoredNoRaise([&] { AcmConvert(ctx, big.data(), static_cast<int32_t>(big.size())); }), ecAudio);
  EXPECT_EQ(GetErrorCode(), 3);
  AcmConvertDone(ctx);
  EXPECT_EQ(ctx.Stream, nullptr);
  EXPECT_EQ(ctx.outBufP, nullptr);
  EXPECT_EQ(MemCount(), mem0);
}

TEST(AcmConvert, CarriesPartialFramesAndGrowsForLargeHandIns) {
  const int32_t mem0 = MemCount();
  const WAVEFORMATEX src = Pcm(8000, 2, 16), dst = Pcm(8000, 1, 8);
  AcmConvCtx ctx;
  ASSERT_NE(AcmConvertInit(ctx, &src, sizeof src, &dst, sizeof dst, 8, 0, nullptr), nullptr);
  EXPECT_EQ(ctx.InBufSize, 16);
  // Frames (L, R): (0x1000, 0x3000) (-0x1000, -0x3000) and half of a third.
  const int16_t frames[] = {0x1000, 0x3000, -0x1000, -0x3000, 0x7F00, 0x7F00};
  EXPECT_EQ(AcmConvert(ctx, frames, 10), 2);
  EXPECT_EQ(ctx.Leftover, 2);
  EXPECT_EQ(ctx.outBufP[0], 128 + 0x20);
  EXPECT_EQ(ctx.outBufP[1], 128 - 0x20);
  EXPECT_EQ(AcmConvert(ctx, reinterpret_cast<const uint8_t*>(frames) + 10, 2), 1);
  EXPECT_EQ(ctx.outBufP[0], 128 + 0x7F);
  EXPECT_EQ(ctx.Leftover, 0);

  // A hand-in far beyond the buffers' first size makes them grow instead of failing.
  std::vector<int16_t> many(2 * 5000, 0x0100);
  EXPECT_EQ(AcmConvert(ctx, many.data(), static_cast<int32_t>(many.size() * 2)), 5000);
  EXPECT_GE(ctx.InBufSize, 20000);
  EXPECT_GE(ctx.OutBufSize, 5000);
  EXPECT_EQ(ctx.outBufP[4999], 129);
  AcmConvertDone(ctx);
  EXPECT_EQ(MemCount(), mem0);
}

TEST(AcmConvert, OneSecondOfCompressedSourceIsItsByteRate) {
  // IMA ADPCM, 44100 Hz stereo, 2048-byte blocks: a second is 44388 bytes, not 44100 blocks.
  std::vector<uint8_t> raw(20, 0);
  auto* ima = reinterpret_cast<WAVEFORMATEX*>(raw.data());
  ima->wFormatTag = WAVE_FORMAT_IMA_ADPCM;
  ima->nChannels = 2;
  ima->nSamplesPerSec = 44100;
  ima->nAvgBytesPerSec = 44388;
  ima->nBlockAlign = 2048;
  ima->wBitsPerSample = 4;
  ima->cbSize = 2;
  const uint16_t perBlock = 2041;
  std::memcpy(raw.data() + 18, &perBlock, 2);
  WAVEFORMATEX pcm = Pcm(44100, 2, 16);
  AcmConvCtx ctx;
  ASSERT_NE(AcmConvertInit(ctx, ima, 20, &pcm, sizeof pcm, 0, 0, nullptr), nullptr);
  EXPECT_EQ(ctx.InBufSize, 2 * 22 * 2048);  // 44388 rounded up to 22 whole blocks, twice
  EXPECT_EQ(ctx.OutBufSize, 2 * 44 * 2041 * 4);
  EXPECT_EQ(ctx.srcWaveFmtP->cbSize, 2);
  AcmConvertDone(ctx);

  // cbSize announcing more extra bytes than the record holds is refused, nothing is kept.
  const int32_t mem0 = MemCount();
  ima->cbSize = 400;
  EXPECT_EQ(MonitoredNoRaise([&] { AcmConvertInit(ctx, ima, 20, &pcm, sizeof pcm, 0, 0, nullptr); }), ecAudio);
  EXPECT_EQ(GetErrorCode(), 4);
  EXPECT_EQ(ctx.Stream, nullptr);
  EXPECT_EQ(ctx.srcWaveFmtP, nullptr);
  EXPECT_EQ(MemCount(), mem0);
}

TEST(AcmConvert, UnconvertibleFormatFailsCleanly) {
  const int32_t mem0 = MemCount();
  WAVEFORMATEX odd = Pcm(22050, 1, 16);
  odd.wFormatTag = 0x1234;
  const WAVEFORMATEX pcm = Pcm(22050, 1, 16);
  AcmConvCtx ctx;
  uint8_t* out = reinterpret_cast<uint8_t*>(1);
  EXPECT_EQ(MonitoredNoRaise([&] { out = AcmConvertInit(ctx, &odd, sizeof odd, &pcm, sizeof pcm, 0, 0, nullptr); }),
            ecAcm);
  EXPECT_EQ(GetErrorCode(), static_cast<int32_t>(ACMERR_NOTPOSSIBLE));
  EXPECT_EQ(GetErrorMessage(), "Fatal error in Audio Compression Manager: 512");
  EXPECT_EQ(ctx.Stream, nullptr);
  EXPECT_EQ(MemCount(), mem0);
  AcmConvertDone(ctx);  // closing a context that never opened does nothing
  EXPECT_EQ(GetErrorClass(), 0);
}

TEST(AcmConvert, DoneHandsTheHeldBackTailToTheCallback) {
  // 8000 Hz to 11025 Hz: the last source frame waits for its right neighbour until the end.
  const WAVEFORMATEX src = Pcm(8000, 1, 16), dst = Pcm(11025, 1, 16);
  AcmConvCtx ctx;
  Received got;
  ASSERT_NE(AcmConvertInit(ctx, &src, sizeof src, &dst, sizeof dst, 0, reinterpret_cast<intptr_t>(&got), Collect),
            nullptr);
  std::vector<int16_t> ramp(1000);
  for (size_t i = 0; i < ramp.size(); ++i) ramp[i] = static_cast<int16_t>(i * 20);
  AcmConvert(ctx, ramp.data(), 600 * 2);
  AcmConvert(ctx, ramp.data() + 600, 400 * 2);
  const size_t before = got.bytes.size() / 2;
  AcmConvertDone(ctx);
  const size_t total = got.bytes.size() / 2;
  EXPECT_GT(total, before);
  EXPECT_EQ(total, (1000u * 11025 + 7999) / 8000);  // every output position up to the last frame
  const auto* v = reinterpret_cast<const int16_t*>(got.bytes.data());
  EXPECT_EQ(v[total - 1], 999 * 20);
}

// A source of 16-bit mono PCM handed out in runs of `chunk` bytes.
struct PcmSource {
  std::vector<int16_t> samples;
  size_t pos = 0;
  size_t chunk = 0;
  int calls = 0;
};

void ReadPcm(void* source, void*& buffer, int32_t, int32_t& dataBytes, int32_t& sourceBytes) {
  auto* s = static_cast<PcmSource*>(source);
  ++s->calls;
  const size_t n = std::min(s->chunk, (s->samples.size() - s->pos) * 2);
  dataBytes = static_cast<int32_t>(n);
  sourceBytes = static_cast<int32_t>(n / 2);
  if (n == 0) return;
  _memalloc_(buffer, static_cast<int64_t>(n), __LINE__, "Test.ReadPcm.buffer", mkResizable);
  std::memcpy(buffer, s->samples.data() + s->pos, n);
  s->pos += n / 2;
}

TEST(SndLoad, DeliversInRunsAndStopsAtTheEnd) {
  const int32_t mem0 = MemCount();
  PcmSource src;
  for (int i = 0; i < 1000; ++i) src.samples.push_back(static_cast<int16_t>(i * 3 - 1500));
  src.chunk = 700;
  const WAVEFORMATEX f = Pcm(22050, 1, 16);
  AcmConvCtx ctx;
  SndLoadState state;
  Qsnd snd;
  state.OutFormat = f;
  state.SourceTotal = 1000;
  state.ConvData = AcmConvertInit(ctx, &f, sizeof f, &f, sizeof f, 0, 0, nullptr);

  // Runs of 300 frames out of reads of 350: the rest of each read is kept for the next run.
  std::vector<int16_t> all;
  for (int run = 0; run < 3; ++run) {
    SndLoad(&src, ctx, state, snd, 300, ReadPcm);
    ASSERT_EQ(snd.samples, 300);
    EXPECT_EQ(SndWaveFmtCompare(&snd.Format, &f), 0);
    const auto* p = reinterpret_cast<const int16_t*>(snd.SndData);
    all.insert(all.end(), p, p + 300);
  }
  // The third read reached the end of the source; 100 converted frames are still held.
  EXPECT_TRUE(state.EndFlag);
  EXPECT_EQ(state.Available - state.Consumed, 200);
  // More than is left: what there was.
  SndLoad(&src, ctx, state, snd, 500, ReadPcm);
  ASSERT_EQ(snd.samples, 100);
  EXPECT_TRUE(state.EndFlag);
  const auto* p = reinterpret_cast<const int16_t*>(snd.SndData);
  all.insert(all.end(), p, p + 100);
  EXPECT_EQ(all, src.samples);
  // Past the end: 0 frames, without asking the reader again.
  const int calls = src.calls;
  SndLoad(&src, ctx, state, snd, 500, ReadPcm);
  EXPECT_EQ(snd.samples, 0);
  EXPECT_TRUE(state.EndFlag);
  EXPECT_EQ(src.calls, calls);

  AcmConvertDone(ctx);
  SndFree(snd);
  EXPECT_EQ(MemCount(), mem0);
}

// Claims to have consumed nothing of a source that promises more: it must not be asked forever.
void ReadNothingConsumed(void*, void*& buffer, int32_t, int32_t& dataBytes, int32_t& sourceBytes) {
  _memalloc_(buffer, 4, __LINE__, "Test.ReadNothingConsumed.buffer", mkResizable);
  std::memset(buffer, 0, 4);
  dataBytes = 4;
  sourceBytes = 0;
}

TEST(SndLoad, RefusesAFormatWithoutFramesAndEndsAStalledSource) {
  const int32_t mem0 = MemCount();
  const WAVEFORMATEX f = Pcm(8000, 1, 16);
  AcmConvCtx ctx;
  SndLoadState state;
  Qsnd snd;
  state.ConvData = AcmConvertInit(ctx, &f, sizeof f, &f, sizeof f, 0, 0, nullptr);
  // An output format of 0-byte frames would divide by zero.
  EXPECT_EQ(MonitoredNoRaise([&] { SndLoad(nullptr, ctx, state, snd, 10, ReadNothingConsumed); }), ecAudio);
  EXPECT_EQ(GetErrorCode(), 4);

  state.OutFormat = f;
  state.SourceTotal = 1000000;
  SndLoad(nullptr, ctx, state, snd, 1000, ReadNothingConsumed);
  EXPECT_EQ(snd.samples, 2);
  EXPECT_TRUE(state.EndFlag);
  AcmConvertDone(ctx);
  SndFree(snd);
  EXPECT_EQ(MemCount(), mem0);
}

}  // namespace
}  // namespace tavelo
