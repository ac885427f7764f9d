// The sound record that crosses the program (format units fill it, the engine plays it), the
// PCM format helpers, a conversion stream from any stored format to PCM over the audio
// compression manager, and SndLoad, which fills a record with a number of sample frames from a
// source through a reader callback and that conversion.
#pragma once
#include <cstdint>
#include <string>

#include "platform/acm/acm.h"
#include "base/wave_format.h"

namespace tavelo {

using platform::WAVEFORMATEX;

// PCM, mono, 22050 Hz, 8 bits: the format a record without one takes.
extern const WAVEFORMATEX SndDefaultFormat;

// The sample buffer is a tracked block whose owner variable is SndData, so the record is never
// copied or moved by value: use SndClear / SndFree / _sndalloc_.
struct Qsnd {
  uint8_t* SndData = nullptr;
  int32_t Allocated = 0;  // bytes allocated in SndData
  int32_t samples = 0;    // length in sample frames
  WAVEFORMATEX Format{};  // interleaved PCM frames of this format

  Qsnd() = default;
  Qsnd(const Qsnd&) = delete;
  Qsnd& operator=(const Qsnd&) = delete;
};

void SndWaveFmtSetPCM(WAVEFORMATEX& fmt, int32_t rate, int32_t channels, int32_t bits);
// False for a format that cannot describe PCM frames; otherwise completes its block alignment
// and byte rate from the width, channel count and rate.
bool SndWaveFmtPCMCheck(WAVEFORMATEX& fmt);
// -1, 0 or 1 by the first differing byte of the 18; 2 when either is missing.
int32_t SndWaveFmtCompare(const WAVEFORMATEX* a, const WAVEFORMATEX* b);
// How well candidate matches wanted; higher is closer, 65535 for equal PCM formats.
int32_t SndWaveFmtCalcMatchScore(const WAVEFORMATEX& candidate, const WAVEFORMATEX& wanted);
// The room a format record of any known tag needs, extra data included.
int32_t SndWaveFmtMaxSize();

void _sndalloc_(Qsnd& snd, int64_t bytes, int32_t line, const std::string& tag);
void SndClear(Qsnd& snd);
void SndFree(Qsnd& snd);
// Lengthens the record to frames sample frames of silence; a longer record is left alone.
void SndAddSilence(Qsnd& snd, int32_t frames);

// Receives each converted run: (its data, the output buffer, the bytes in it).
using AcmConvCallback = void (*)(intptr_t data, uint8_t* outBuf, int32_t bytes);

// One stored sound's conversion to PCM, carried between calls. Its buffers and format copies
// are tracked blocks owned by its fields: never copied or moved by value.
struct AcmConvCtx {
  platform::HACMSTREAM Stream = nullptr;
  platform::ACMSTREAMHEADER Header{};
  int32_t ConvertFlags = 0;
  WAVEFORMATEX* srcWaveFmtP = nullptr;
  WAVEFORMATEX* destWaveFmtP = nullptr;
  int32_t Leftover = 0;  // unconverted source bytes kept at the start of inBufP
  uint8_t* inBufP = nullptr;
  uint8_t* outBufP = nullptr;
  int32_t InBufSize = 0;
  int32_t OutBufSize = 0;
  intptr_t CallbackData = 0;
  AcmConvCallback Callback = nullptr;

  AcmConvCtx() = default;
  AcmConvCtx(const AcmConvCtx&) = delete;
  AcmConvCtx& operator=(const AcmConvCtx&) = delete;
};

// Opens the conversion from src to dest. srcSize and destSize are the bytes really held by the
// two records (18 or more); a cbSize reaching beyond them is refused. chunkBytes < 1 means one
// second of the source. Returns the output buffer.
uint8_t* AcmConvertInit(AcmConvCtx& ctx, const WAVEFORMATEX* src, int32_t srcSize, const WAVEFORMATEX* dest,
                        int32_t destSize, int32_t chunkBytes, intptr_t userData, AcmConvCallback callback);
// Destination bytes for the leftover plus bytes more source bytes (0 on failure, a warning).
int32_t AcmConvertCalcDestSize(AcmConvCtx& ctx, int32_t bytes);
// One conversion step of the leftover plus bytes of data; returns the bytes produced in outBufP.
int32_t AcmConvert_(AcmConvCtx& ctx, const void* data, int32_t bytes);
// Copies (equal formats) or converts data, then hands the result to the callback.
int32_t AcmConvert(AcmConvCtx& ctx, const void* data, int32_t bytes);
// Flushes what the conversion holds to the callback and closes it; the context is zeroed.
void AcmConvertDone(AcmConvCtx& ctx);

// What one source keeps between SndLoad calls.
struct SndLoadState {
  int32_t FormatTag = 0;             // the stored format's tag, kept by the source (1 = PCM)
  WAVEFORMATEX* InFormat = nullptr;  // the source format
  int32_t InFormatSize = 0;
  WAVEFORMATEX OutFormat{};          // the PCM format delivered
  uint8_t* ConvData = nullptr;       // the conversion's output buffer
  int32_t Available = 0;             // bytes of converted data in it
  int32_t Consumed = 0;              // of which already handed out
  int32_t SourceRead = 0;            // source consumed, in the reader's units
  int32_t SourceTotal = 0;
  int32_t EndFlag = 0;               // bool32: the source is exhausted

  SndLoadState() = default;
  SndLoadState(const SndLoadState&) = delete;
  SndLoadState& operator=(const SndLoadState&) = delete;
};

// Delivers in buffer a tracked block (freed by SndLoad) holding dataBytes bytes of source data
// and reports in sourceBytes how much of the source that was; 0 in either ends the source.
using SndReader = void (*)(void* source, void*& buffer, int32_t wantedBytes, int32_t& dataBytes,
                           int32_t& sourceBytes);

// Fills snd with up to frames sample frames of the state's output format.
void SndLoad(void* source, AcmConvCtx& ctx, SndLoadState& state, Qsnd& snd, int32_t frames, SndReader reader);

}  // namespace tavelo
