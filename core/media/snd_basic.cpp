#include "core/media/snd_basic.h"

#include <algorithm>
#include <cstring>

#include "core/services/basic.h"
#include "core/services/errors.h"
#include "core/services/memory.h"
#include "core/services/monitor.h"
#include "core/services/trace.h"

namespace tavelo {

using namespace platform;

const WAVEFORMATEX SndDefaultFormat = {WAVE_FORMAT_PCM, 1, 22050, 22050, 1, 8, 0};

namespace {

constexpr int32_t kFmtBytes = static_cast<int32_t>(sizeof(WAVEFORMATEX));
constexpr int32_t kNotFound = 0x7FFFFFFF;
// No conversion buffer grows beyond this: a larger one can only come from a damaged format
// (a byte rate of gigabytes per second) and would take the machine's memory with it.
constexpr int64_t kMaxConvBuffer = int64_t{1} << 28;
// One second of a source is capped here; the buffers still grow when a caller hands more.
constexpr int64_t kMaxChunk = int64_t{8} << 20;

void ZeroCtx(AcmConvCtx& ctx) {
  ctx.Stream = nullptr;
  ctx.Header = ACMSTREAMHEADER{};
  ctx.ConvertFlags = 0;
  ctx.srcWaveFmtP = nullptr;
  ctx.destWaveFmtP = nullptr;
  ctx.Leftover = 0;
  ctx.inBufP = nullptr;
  ctx.outBufP = nullptr;
  ctx.InBufSize = 0;
  ctx.OutBufSize = 0;
  ctx.CallbackData = 0;
  ctx.Callback = nullptr;
}

// One second of the source in whole blocks. The byte rate is what a second really takes: for
// compressed formats the sample rate times the block size would be a second of blocks, each
// of which holds hundreds of samples.
int64_t OneSecond(const WAVEFORMATEX& fmt) {
  const int64_t block = std::max<int64_t>(fmt.nBlockAlign, 1);
  int64_t bytes = fmt.nAvgBytesPerSec > 0 ? int64_t{fmt.nAvgBytesPerSec} : int64_t{fmt.nSamplesPerSec} * block;
  bytes = std::min(bytes, kMaxChunk);
  return std::max<int64_t>((bytes + block - 1) / block, 1) * block;
}

// Moves the two conversion buffers to new sizes (the input keeps its leftover); the header
// must be unprepared around it because it is bound to the buffers it was prepared with.
void GrowBuffers(AcmConvCtx& ctx, int64_t inSize, int64_t outSize) {
  if (inSize > kMaxConvBuffer) SetError(ecAcm, 1001, 277);
  if (outSize > kMaxConvBuffer) SetError(ecAcm, 1000, 273);
  ctx.Header.cbSrcLength = static_cast<uint32_t>(ctx.InBufSize);
  ctx.Header.cbDstLength = static_cast<uint32_t>(ctx.OutBufSize);
  MMRESULT r = acmStreamUnprepareHeader(ctx.Stream, &ctx.Header, 0);
  if (r != MMSYSERR_NOERROR) SetError(ecAcm, static_cast<int32_t>(r), 266);
  if (inSize != ctx.InBufSize) {
    _memalloc_(ctx.inBufP, inSize, 268, "SndBasic.AcmConvertInit.wc.inBufP", mkResizable);
    ctx.InBufSize = static_cast<int32_t>(inSize);
  }
  if (outSize != ctx.OutBufSize) {
    _memalloc_(ctx.outBufP, outSize, 269, "SndBasic.AcmConvertInit.wc.outBufP", mkResizable);
    ctx.OutBufSize = static_cast<int32_t>(outSize);
  }
  ctx.Header.pbSrc = ctx.inBufP;
  ctx.Header.cbSrcLength = static_cast<uint32_t>(ctx.InBufSize);
  ctx.Header.pbDst = ctx.outBufP;
  ctx.Header.cbDstLength = static_cast<uint32_t>(ctx.OutBufSize);
  r = acmStreamPrepareHeader(ctx.Stream, &ctx.Header, 0);
  if (r != MMSYSERR_NOERROR) SetError(ecAcm, static_cast<int32_t>(r), 271);
}

// A buffer that must hold need bytes grows by half again at least, so that a caller who keeps
// handing a little more does not move it every time; the headroom never passes the limit.
int64_t GrownSize(int64_t current, int64_t need) {
  return std::max(need, std::min(current * 3 / 2, kMaxConvBuffer));
}

// Releases what a context holds without reporting: used once a failure is already reported.
void ReleaseQuietly(AcmConvCtx& ctx) {
  MemFree(ctx.srcWaveFmtP);
  MemFree(ctx.destWaveFmtP);
  if (ctx.Stream && (ctx.Header.fdwStatus & ACMSTREAMHEADER_STATUSF_PREPARED)) {
    ctx.Header.cbSrcLength = static_cast<uint32_t>(ctx.InBufSize);
    ctx.Header.cbDstLength = static_cast<uint32_t>(ctx.OutBufSize);
    acmStreamUnprepareHeader(ctx.Stream, &ctx.Header, 0);
  }
  MemFree(ctx.inBufP);
  MemFree(ctx.outBufP);
  if (ctx.Stream) acmStreamClose(ctx.Stream, 0);
  ctx.Stream = nullptr;
}

}  // namespace

void SndWaveFmtSetPCM(WAVEFORMATEX& fmt, int32_t rate, int32_t channels, int32_t bits) {
  fmt.wFormatTag = WAVE_FORMAT_PCM;
  fmt.nChannels = static_cast<uint16_t>(channels);
  fmt.nSamplesPerSec = static_cast<uint32_t>(rate);
  fmt.nBlockAlign = static_cast<uint16_t>((bits / 8) * channels);
  fmt.nAvgBytesPerSec = static_cast<uint32_t>(fmt.nBlockAlign) * static_cast<uint32_t>(rate);
  fmt.wBitsPerSample = static_cast<uint16_t>(bits);
  fmt.cbSize = 0;
}

bool SndWaveFmtPCMCheck(WAVEFORMATEX& fmt) {
  TraceScope trace("SndBasic.SndWaveFmtPCMCheck");
  if (fmt.wBitsPerSample == 0 || fmt.nSamplesPerSec == 0 || fmt.nChannels == 0) return false;
  // Below 8 bits a frame would be 0 bytes long, and every later division by the block
  // alignment would divide by zero; a frame or a byte rate beyond their fields would be cut.
  if (fmt.wBitsPerSample < 8) return false;
  const uint64_t block = static_cast<uint64_t>(fmt.wBitsPerSample >> 3) * fmt.nChannels;
  const uint64_t rate = block * fmt.nSamplesPerSec;
  if (block > 0xFFFF || rate > 0xFFFFFFFFu) return false;
  fmt.nBlockAlign = static_cast<uint16_t>(block);
  fmt.nAvgBytesPerSec = static_cast<uint32_t>(rate);
  return true;
}

int32_t SndWaveFmtCompare(const WAVEFORMATEX* a, const WAVEFORMATEX* b) {
  TraceScope trace("SndBasic.SndWaveFmtCompare");
  if (!a || !b) return 2;
  const auto* pa = reinterpret_cast<const uint8_t*>(a);
  const auto* pb = reinterpret_cast<const uint8_t*>(b);
  for (int32_t i = 0; i < kFmtBytes; ++i)
    if (pa[i] != pb[i]) return pa[i] < pb[i] ? -1 : 1;
  return 0;
}

int32_t SndWaveFmtCalcMatchScore(const WAVEFORMATEX& candidate, const WAVEFORMATEX& wanted) {
  TraceScope trace("SndBasic.SndWaveFmtCalcMatchScore");
  const WAVEFORMATEX& c = candidate;
  const WAVEFORMATEX& w = wanted;
  auto distance = [](int64_t x, int64_t y) { return static_cast<long double>(x > y ? x - y : y - x); };
  int64_t ratePart = 100;
  if (c.nSamplesPerSec != w.nSamplesPerSec && w.nSamplesPerSec != 0) {
    ratePart = FpuRound(100.0L / (distance(c.nSamplesPerSec, w.nSamplesPerSec) / 8000.0L + 1.0L));
    if (c.nSamplesPerSec < w.nSamplesPerSec) ratePart -= 1;
  }
  int64_t channelPart = 80;
  if (c.nChannels != w.nChannels && w.nChannels != 0) {
    channelPart = FpuRound(80.0L / (distance(c.nChannels, w.nChannels) + 1.0L));
    if (c.nChannels > w.nChannels) channelPart -= 1;
  }
  int64_t bitsPart = 75;
  if (c.wBitsPerSample != w.wBitsPerSample && w.wBitsPerSample != 0) {
    bitsPart = FpuRound(600.0L / (distance(c.wBitsPerSample, w.wBitsPerSample) + 8.0L));
    if (c.wBitsPerSample > w.wBitsPerSample) bitsPart -= 1;
  }
  int64_t score = (ratePart + channelPart + bitsPart) << 8;
  if (c.nAvgBytesPerSec > 0 && w.nAvgBytesPerSec > 0) {
    const long double lo = std::min(c.nAvgBytesPerSec, w.nAvgBytesPerSec);
    const long double hi = std::max(c.nAvgBytesPerSec, w.nAvgBytesPerSec);
    score += FpuRound(255.0L * lo / hi);
  }
  return static_cast<int32_t>(score);
}

int32_t SndWaveFmtMaxSize() {
  TraceScope trace("SndBasic.SndWaveFmtMaxSize");
  uint32_t size = 0;
  acmMetrics(nullptr, ACM_METRIC_MAX_SIZE_FORMAT, &size);
  return static_cast<int32_t>(size) + kFmtBytes;
}

void _sndalloc_(Qsnd& snd, int64_t bytes, int32_t line, const std::string& tag) {
  TraceScope trace("SndBasic._sndalloc_");
  BeginMonitor();
  try {
    // Allocated is a 32-bit count: a larger request is refused before anything changes.
    if (bytes > INT32_MAX) SetError(ecMemory, 5, line);
    if (MemFind(snd.SndData, 3) == kNotFound) SndClear(snd);
    _memalloc_(snd.SndData, bytes, line, "(SndAlloc):" + tag, mkResizable);
    snd.Allocated = static_cast<int32_t>(bytes);
  } catch (...) {
    CatchException();
  }
  EndMonitor();
}

void SndClear(Qsnd& snd) {
  snd.SndData = nullptr;
  snd.Allocated = 0;
  snd.samples = 0;
  snd.Format = WAVEFORMATEX{};
}

void SndFree(Qsnd& snd) {
  TraceScope trace("SndBasic.SndFree");
  MemFree(snd.SndData);
  SndClear(snd);
}

void SndAddSilence(Qsnd& snd, int32_t frames) {
  TraceScope trace("SndBasic.SndAddSilence");
  BeginMonitor();
  try {
    if (!SndWaveFmtPCMCheck(snd.Format)) SetError(ecAudio, 4, 402);
    // The default format is taken before the lengths are measured, so that the bytes, the
    // frame count and the format of the record agree afterwards.
    if (snd.Format.wFormatTag == 0) snd.Format = SndDefaultFormat;
    const int64_t block = snd.Format.nBlockAlign;
    const int64_t oldBytes = std::max<int64_t>(snd.samples, 0) * block;
    const int64_t newBytes = int64_t{frames} * block;
    if (oldBytes < newBytes) {
      if (newBytes > INT32_MAX) SetError(ecMemory, 5, 410);
      if (snd.Allocated < newBytes) {
        _memalloc_(snd.SndData, newBytes, 410, "SndBasic.SndAddSilence.snd.SndData", mkResizable);
        snd.Allocated = static_cast<int32_t>(newBytes);
      }
      const uint8_t silence = snd.Format.wBitsPerSample == 8 ? 0x80 : 0;
      std::memset(snd.SndData + oldBytes, silence, static_cast<size_t>(newBytes - oldBytes));
      snd.samples = frames;
    }
  } catch (...) {
    CatchException();
  }
  EndMonitor();
}

uint8_t* AcmConvertInit(AcmConvCtx& ctx, const WAVEFORMATEX* src, int32_t srcSize, const WAVEFORMATEX* dest,
                        int32_t destSize, int32_t chunkBytes, intptr_t userData, AcmConvCallback callback) {
  TraceScope trace("SndBasic.AcmConvertInit");
  uint8_t* result = nullptr;
  BeginMonitor();
  try {
    ZeroCtx(ctx);
    // The extra bytes that cbSize announces must lie inside the record we were given: cbSize
    // comes from the file, and reading past the record would copy (and pass to the codec)
    // whatever memory follows it.
    if (!src || !dest || srcSize < kFmtBytes || destSize < kFmtBytes ||
        int64_t{kFmtBytes} + src->cbSize > srcSize || int64_t{kFmtBytes} + dest->cbSize > destSize)
      SetError(ecAudio, 4, 216);
    MMRESULT r = acmStreamOpen(&ctx.Stream, nullptr, src, dest, nullptr, 0, 0, ACM_STREAMOPENF_NONREALTIME);
    if (r != MMSYSERR_NOERROR || !ctx.Stream) SetError(ecAcm, static_cast<int32_t>(r), 218);
    ctx.ConvertFlags = ACM_STREAMCONVERTF_START | ACM_STREAMCONVERTF_BLOCKALIGN;

    _memalloc_(ctx.srcWaveFmtP, kFmtBytes + src->cbSize, 228, "SndBasic.AcmConvertInit.wc.srcWaveFmtP",
               mkResizable);
    std::memcpy(ctx.srcWaveFmtP, src, kFmtBytes + src->cbSize);
    _memalloc_(ctx.destWaveFmtP, kFmtBytes + dest->cbSize, 230, "SndBasic.AcmConvertInit.wc.destWaveFmtP",
               mkResizable);
    std::memcpy(ctx.destWaveFmtP, dest, kFmtBytes + dest->cbSize);

    const int64_t chunk = chunkBytes < 1 ? OneSecond(*src) : int64_t{chunkBytes};
    const int64_t inSize = 2 * chunk;
    if (inSize > kMaxConvBuffer) SetError(ecAcm, 1001, 234);
    uint32_t sized = 0;
    r = acmStreamSize(ctx.Stream, static_cast<uint32_t>(inSize), &sized, ACM_STREAMSIZEF_SOURCE);
    if (r != MMSYSERR_NOERROR) SetError(ecAcm, static_cast<int32_t>(r), 237);
    const int64_t outSize = std::max<int64_t>(2 * int64_t{sized}, dest->nBlockAlign);
    if (outSize > kMaxConvBuffer || outSize < 1) SetError(ecAcm, 1000, 239);

    _memalloc_(ctx.inBufP, inSize, 241, "SndBasic.AcmConvertInit.wc.inBufP", mkResizable);
    _memalloc_(ctx.outBufP, outSize, 242, "SndBasic.AcmConvertInit.wc.outBufP", mkResizable);
    ctx.InBufSize = static_cast<int32_t>(inSize);
    ctx.OutBufSize = static_cast<int32_t>(outSize);
    ctx.Header.cbStruct = sizeof(ACMSTREAMHEADER);
    ctx.Header.pbSrc = ctx.inBufP;
    ctx.Header.cbSrcLength = static_cast<uint32_t>(inSize);
    ctx.Header.pbDst = ctx.outBufP;
    ctx.Header.cbDstLength = static_cast<uint32_t>(outSize);
    r = acmStreamPrepareHeader(ctx.Stream, &ctx.Header, 0);
    if (r != MMSYSERR_NOERROR) SetError(ecAcm, static_cast<int32_t>(r), 243);

    ctx.CallbackData = userData;
    ctx.Callback = callback;
    result = ctx.outBufP;
  } catch (...) {
    CatchException();
    // The frame gave the tracked blocks back; the stream is ours to close, and the context
    // must not keep pointers to released blocks.
    if (ctx.Stream) acmStreamClose(ctx.Stream, 0);
    ZeroCtx(ctx);
  }
  EndMonitor();
  return result;
}

int32_t AcmConvertCalcDestSize(AcmConvCtx& ctx, int32_t bytes) {
  TraceScope trace("SndBasic.AcmConvertCalcDestSize");
  const int64_t total = int64_t{std::max(ctx.Leftover, 0)} + std::max(bytes, 0);
  uint32_t out = 0;
  const MMRESULT r = acmStreamSize(ctx.Stream, static_cast<uint32_t>(std::min<int64_t>(total, UINT32_MAX)), &out,
                                   ACM_STREAMSIZEF_SOURCE);
  if (r != MMSYSERR_NOERROR) {
    SetWarning(ecAcm, static_cast<int32_t>(r), 260);
    return 0;
  }
  return static_cast<int32_t>(std::min<uint32_t>(out, INT32_MAX));
}

int32_t AcmConvert_(AcmConvCtx& ctx, const void* data, int32_t bytes) {
  TraceScope trace("SndBasic.AcmConvert_");
  int32_t result = 0;
  BeginMonitor();
  try {
    bytes = std::max(bytes, 0);
    // A caller may hand more than the buffers were sized for (a reader that reads several
    // seconds at a time): the buffers grow instead of failing the sound.
    const int64_t need = AcmConvertCalcDestSize(ctx, bytes);
    if (need > ctx.OutBufSize) GrowBuffers(ctx, ctx.InBufSize, GrownSize(ctx.OutBufSize, need));
    const int64_t srcLen = int64_t{ctx.Leftover} + bytes;
    if (data) {
      if (srcLen > ctx.InBufSize) GrowBuffers(ctx, GrownSize(ctx.InBufSize, srcLen), ctx.OutBufSize);
      if (bytes > 0) std::memcpy(ctx.inBufP + ctx.Leftover, data, static_cast<size_t>(bytes));
    } else if (srcLen > ctx.InBufSize) {
      SetError(ecAcm, 1001, 277);
    }
    ctx.Header.cbSrcLength = static_cast<uint32_t>(srcLen);
    ctx.Header.cbDstLength = static_cast<uint32_t>(ctx.OutBufSize);
    ctx.Header.cbSrcLengthUsed = 0;
    ctx.Header.cbDstLengthUsed = 0;
    const MMRESULT r = acmStreamConvert(ctx.Stream, &ctx.Header, static_cast<uint32_t>(ctx.ConvertFlags));
    if (r != MMSYSERR_NOERROR) SetError(ecAcm, static_cast<int32_t>(r), 284);
    const int64_t usedSrc = std::min<int64_t>(ctx.Header.cbSrcLengthUsed, srcLen);
    ctx.Leftover = static_cast<int32_t>(srcLen - usedSrc);
    if (ctx.Leftover > 0 && usedSrc > 0) std::memmove(ctx.inBufP, ctx.inBufP + usedSrc, static_cast<size_t>(ctx.Leftover));
    ctx.ConvertFlags = ACM_STREAMCONVERTF_BLOCKALIGN;
    result = static_cast<int32_t>(std::min<uint32_t>(ctx.Header.cbDstLengthUsed, static_cast<uint32_t>(ctx.OutBufSize)));
  } catch (...) {
    CatchException();
  }
  EndMonitor();
  return result;
}

int32_t AcmConvert(AcmConvCtx& ctx, const void* data, int32_t bytes) {
  TraceScope trace("SndBasic.AcmConvert");
  int32_t result = 0;
  BeginMonitor();
  try {
    if (bytes > 0) {
      if (SndWaveFmtCompare(ctx.srcWaveFmtP, ctx.destWaveFmtP) == 0) {
        if (bytes > ctx.OutBufSize || !data) SetError(ecAudio, 3, 306);
        std::memcpy(ctx.outBufP, data, static_cast<size_t>(bytes));
        result = bytes;
      } else {
        result = AcmConvert_(ctx, data, bytes);
      }
      if (ctx.Callback) ctx.Callback(ctx.CallbackData, ctx.outBufP, result);
    }
  } catch (...) {
    CatchException();
  }
  EndMonitor();
  return result;
}

void AcmConvertDone(AcmConvCtx& ctx) {
  TraceScope trace("SndBasic.AcmConvertDone");
  BeginMonitor();
  try {
    if (ctx.Stream) {
      // The end step lets out what the converter still holds: the leftover, and for a caller
      // that takes the output through its callback also the held-back tail of the decoder.
      const bool stepped = !(ctx.ConvertFlags & ACM_STREAMCONVERTF_START);
      if (ctx.Leftover > 0 || (ctx.Callback && stepped)) {
        ctx.ConvertFlags = ACM_STREAMCONVERTF_END;
        const int32_t n = AcmConvert_(ctx, nullptr, 0);
        if (ctx.Callback) ctx.Callback(ctx.CallbackData, ctx.outBufP, n);
      }
      MemFree(ctx.srcWaveFmtP);
      MemFree(ctx.destWaveFmtP);
      if (ctx.Header.fdwStatus & ACMSTREAMHEADER_STATUSF_PREPARED) {
        ctx.Header.cbSrcLength = static_cast<uint32_t>(ctx.InBufSize);
        ctx.Header.cbDstLength = static_cast<uint32_t>(ctx.OutBufSize);
        const MMRESULT r = acmStreamUnprepareHeader(ctx.Stream, &ctx.Header, 0);
        if (r != MMSYSERR_NOERROR) SetError(ecAcm, static_cast<int32_t>(r), 340);
      }
      MemFree(ctx.inBufP);
      MemFree(ctx.outBufP);
      const MMRESULT r = acmStreamClose(ctx.Stream, 0);
      ctx.Stream = nullptr;
      if (r != MMSYSERR_NOERROR) SetError(ecAcm, static_cast<int32_t>(r), 346);
    }
  } catch (...) {
    CatchException();
    ReleaseQuietly(ctx);
  }
  ZeroCtx(ctx);
  EndMonitor();
}

void SndLoad(void* source, AcmConvCtx& ctx, SndLoadState& state, Qsnd& snd, int32_t frames, SndReader reader) {
  TraceScope trace("SndBasic.SndLoad");
  void* buffer = nullptr;
  BeginMonitor();
  try {
    const int64_t block = state.OutFormat.nBlockAlign;
    if (block <= 0) SetError(ecAudio, 4, 580);
    const int64_t want = block * std::max(frames, 0);
    if (want == 0) {
      snd.samples = 0;
      snd.Format = state.OutFormat;
    } else {
      _sndalloc_(snd, want, 582, "SndBasic.SndLoad.sh");
      snd.Format = state.OutFormat;
      const int64_t held = state.ConvData ? int64_t{state.Available} - state.Consumed : 0;
      if (held >= want) {
        std::memcpy(snd.SndData, state.ConvData + state.Consumed, static_cast<size_t>(want));
        state.Consumed += static_cast<int32_t>(want);
        snd.samples = static_cast<int32_t>(want / block);
      } else {
        int64_t got = 0;
        if (held > 0) {
          std::memcpy(snd.SndData, state.ConvData + state.Consumed, static_cast<size_t>(held));
          got = held;
        }
        state.Available = 0;
        state.Consumed = 0;
        while (!state.EndFlag) {
          int32_t dataBytes = 0, sourceBytes = 0;
          if (reader) reader(source, buffer, static_cast<int32_t>(want - got), dataBytes, sourceBytes);
          if (dataBytes <= 0 || !buffer) {
            state.EndFlag = -1;
            break;
          }
          state.SourceRead = static_cast<int32_t>(
              std::clamp<int64_t>(int64_t{state.SourceRead} + sourceBytes, INT32_MIN, INT32_MAX));
          state.Available = AcmConvert(ctx, buffer, dataBytes);
          // The conversion may have moved its output buffer to make room.
          state.ConvData = ctx.outBufP;
          const int64_t take = std::min<int64_t>(state.Available, want - got);
          if (take > 0) std::memcpy(snd.SndData + got, state.ConvData, static_cast<size_t>(take));
          got += take;
          state.Consumed = static_cast<int32_t>(take);
          // A reader that reports no source consumed has nothing more to give, even if the
          // source total promised more: waiting for it would never end.
          state.EndFlag = (state.SourceRead >= state.SourceTotal || sourceBytes <= 0) ? -1 : 0;
          if (got >= want) break;
        }
        snd.samples = static_cast<int32_t>(got / block);
      }
      MemFree(buffer);
      if (state.Consumed == state.Available) {
        state.Available = 0;
        state.Consumed = 0;
      }
    }
  } catch (...) {
    CatchException();
  }
  EndMonitor();
}

}  // namespace tavelo
