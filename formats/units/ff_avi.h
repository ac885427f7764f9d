// The AVI unit (FF_AVI): movies of format 6 (".avi", ".ivf", ".divx"), pictures and sound, read
// through two readers. Video for Windows (platform/vfw: our own AVI reader with decompression
// through libavcodec, sound turned into PCM by the Audio Compression Manager stand-in) and the
// DirectShow decoder library dshowcodec.dll (a codec library over the shared FFmpeg reader). Every
// file is opened with both where they can, and each stream is read by the one that suits it. The
// dispatcher also tries this unit on files whose format it does not know.
#pragma once
#include <cstdint>
#include <string>
#include <type_traits>

#include "core/media/img_basic.h"
#include "core/media/snd_basic.h"
#include "platform/dib/dib.h"
#include "platform/vfw/vfw.h"

namespace tavelo {

struct FFInfoRec;

// A stored-stream position (in the stream's own units) at which an MPEG audio frame starts,
// and the first sample frame that frame decodes to.
struct AviSeekPoint {
  int32_t Unit = 0;
  int32_t Sample = 0;
};

// The sound half of an open AVI file.
struct AviAudioPart {
  // The sound-load state: FormatTag holds the stored format's tag; InFormat the tracked copy of
  // the stored format (for the decoder library: of the format it delivers); OutFormat the PCM
  // format delivered; SourceRead and SourceTotal count the stored stream's samples.
  SndLoadState sl;
  int32_t OutputPos = 0;      // the PCM sample frame the next sequential read returns
  int32_t OutputSamples = 0;  // the length in PCM sample frames
  double SampleRatio = 0;     // OutputSamples / SourceTotal (1.0 when that is 0)
  AcmConvCtx Converter;
  int32_t ConverterPending = 0;  // bool: the converter must be opened before the next read
  int32_t SrcChannels = 0;
  // MPEG sound read through Video for Windows: the places where decoding may start (a tracked
  // block of AviSeekPoint, ascending), and the decoded sample frames the next read drops to
  // reach the position a seek asked for.
  AviSeekPoint* SeekPoints = nullptr;
  int32_t SeekPointCount = 0;
  int32_t SkipSamples = 0;
};


// One open AVI file. The dispatcher allocates it as a tracked block; AviOpen builds it in place
// and AviClose empties it. It owns tracked blocks through its own fields, so it never moves.
struct AviHandle {
  char FileName[256] = {};
  int32_t UseDswVideo = 0;  // bool: the pictures come from the decoder library
  int32_t UseDswAudio = 0;  // bool: the sound comes from the decoder library
  int32_t DswVideoOk = 0;   // bool: the decoder library described the pictures completely
  int32_t DswAudioOk = 0;   // bool: ... the sound
  void* DswVideo = nullptr;  // the decoder library's handles, nullptr when not open
  void* DswAudio = nullptr;
  platform::PAVIFILE AviFile = nullptr;
  platform::PAVISTREAM VideoStream = nullptr;
  platform::PGETFRAME GetFrame = nullptr;
  platform::PAVISTREAM AudioStream = nullptr;
  int32_t Width = 0;
  int32_t Height = 0;
  int32_t BytesPP = 0;
  int32_t Bpp = 0;         // 8, 15, 24 or 32: the picture a frame read delivers
  int32_t DecodedBpp = 0;  // the depth Video for Windows' decompressor delivers
  int32_t CurrentFrame = 0;  // before a read the index of the next frame, after it its number
  int32_t FrameCount = 0;
  uint32_t MaxBytesPerSec = 0;
  double FileSize = 0;
  double FrameRate = 0;
  platform::AVISTREAMINFOW VideoInfo{};
  platform::AVISTREAMINFOW AudioInfo{};
  platform::BITMAPINFOHEADER* VideoFormat = nullptr;  // tracked: the header with its colour table
  int32_t VideoFormatSize = 0;
  int32_t StopFlag = 0;  // bool; stays false in this unit
  int32_t KeyFrame = 0;  // bool
  AviAudioPart af;
  platform::WAVEFORMATEX DswStored{};  // the stored sound format as the decoder library describes it
  int32_t Open = 0;  // bool: opened and not yet closed (a second close does nothing)

  AviHandle() = default;
  AviHandle(const AviHandle&) = delete;
  AviHandle& operator=(const AviHandle&) = delete;
};
static_assert(std::is_trivially_destructible_v<AviHandle>, "the dispatcher frees the handle as plain memory");

void AviOpen(AviHandle& h, const std::string& fileName);
void AviInfo(const std::string& fileName, FFInfoRec& info);
// frame counts from 1; 0 reads the frame after the one read last.
void AviImgLoad(AviHandle& h, Qimg& img, int32_t frame);
// Option bit 1: the read continues the one before.
void AviSndLoad(AviHandle& h, Qsnd& snd, int32_t pos, int32_t count, int32_t option);
// The key frame to decode frame from: direction -1 the one before it, else the one at or after.
int32_t AviNearestKeyFrame(AviHandle& h, int32_t frame, int32_t direction);
void AviClose(AviHandle& h);

// The loader and unloader of the decoder library (the dispatcher's initialization and
// finalization call them).
void AviDllLoad();
void AviDllFree();

// Internal routines, visible for the tests.
void AviSndSeek(AviHandle& h, int32_t pos);
void FillBitmapInfo_(platform::BITMAPINFO& info, int32_t width, int32_t height, const uint8_t* paletteBgr, int32_t bits);
// The number of AVI handles open.
int32_t AviOpenCount();
// True when the decoder library loaded with all its exports.
bool AviDswAvailable();

// The dispatcher's entries (formats/ff_unit.h).
struct FFUnit;
extern const FFUnit kAviUnit;

}  // namespace tavelo
