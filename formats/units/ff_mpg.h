// Unit FF_MPG: MPEG movies (format id 11: ".mpg", ".mpeg", ".m1v", ".m2v", ".dat", ".vob", ".mpe"),
// MPEG audio (18: ".mp3", ".mp2", ".m2a", ".mpa") and AC3 sound (21: ".ac3"), through the codec
// library mpegcodec.dll. The Info routine decides which of the three a file is: a file with
// supported pictures is 11 whatever its sound. Only MPEG-1 pictures count as supported; an MPEG-2
// movie is described with its kind (MPEG-2, SVCD, DVD) and opens with sound only, and the
// dispatcher's search lets another reader take its pictures. Reading only.
//
// The library works in its own contexts (one for the pictures, one for the sound); the handle
// keeps their addresses. Library errors arrive as texts through error_handler_, which only
// records them: they are reported once the library call has returned.
#pragma once
#include <cstdint>
#include <string>

#include "codecs/mpegcodec/mpegcodec.h"
#include "core/media/img_basic.h"
#include "core/media/snd_basic.h"
#include "formats/conform.h"
#include "formats/ff_progress.h"

namespace tavelo {

constexpr int32_t kMpgNameMax = 255;

// One open MPEG file. The dispatcher allocates it zeroed and views FrameCount, CurrentFrame,
// AudioPos (the current sample) and StopFlag; the key-frame flag is a constant false.
struct MpgHandle {
  int32_t Width;
  int32_t Height;
  int32_t BytesPP;
  int32_t Bpp;           // 24
  int32_t FrameCount;
  int32_t CurrentFrame;  // the frame read last, from 1
  double FrameRate;
  int32_t MpegKind;      // 1 to 5 (MpgKind_)
  int32_t HasVideo;      // bool: supported pictures
  int32_t HasAudio;      // bool: supported sound
  int32_t OpenMode;
  int32_t StopFlag;      // never set here
  int32_t VideoOpen;     // bool
  int32_t AudioOpen;     // bool
  char VideoName[kMpgNameMax + 1];
  char AudioName[kMpgNameMax + 1];
  MpgVideoLib* VideoLib;  // the library's picture context
  MpgAudioLib* AudioLib;  // the library's sound context
  MpgAudioInfo AudioInfo;
  int32_t AudioPos;       // the sample frame the next sequential sound read returns
  WAVEFORMATEX PcmFormat;
  uint8_t VideoExtra[8];  // mpg_video_info's extra bytes, as they came
};

// The progress bridge's record: what the library's reports are turned into, for the caller's
// progress routine.
struct MpgBridgeRec {
  int32_t State;       // 0 nothing seen, 1 first pass, 2 second pass
  int64_t FirstTotal;  // the total of the first pass
  int32_t Type;        // mpg_get_type of the file
  double Offset;       // percent added to the library's fraction
  double Scale;        // factor applied to it
  FFProgressProc Progress;
  void* ProgressData;
  int32_t Cancel;      // bool: the routine asked to stop
};

// The video figures of a description that its FFInfoRec has no place for.
struct MpgVideoExtras {
  int32_t RateCode = 0;
  int32_t BitRate = 0;  // bits per second
  int32_t Mpeg2 = 0;
  int32_t SystemFlag = 0;
  int32_t SecondFlag = 0;
  int32_t RateKbps = 0;
  uint8_t Extra[8] = {};
};

// ---- The unit's own rules ----

// The frame rate of an MPEG frame_rate_code (clamped to 0..8; 0 gives 0.0).
double MpgFrameRate_(int32_t rateCode);
// The same with the frame-rate extension of mpg_video_info's extra bytes applied.
double MpgFrameRate_(int32_t rateCode, const uint8_t (&extra)[8]);
// The kind of a video stream: 1 MPEG-1, 2 VCD, 3 MPEG-2, 4 SVCD, 5 DVD (first rule that applies;
// VCD, SVCD and DVD need the system flag, VCD and SVCD the second flag too).
int32_t MpgKind_(int32_t mpeg2, int32_t systemFlag, int32_t secondFlag, int32_t rateKbps, int32_t width,
                 int32_t height);
std::string MpgKindName_(int32_t kind);
// "AC3 compatible" for stream kind 3, else "MPEG-1, " or "MPEG-2 LSF, " + "Layer" + "-I", "-II" or
// "-III (MP3)".
std::string MpgAudioName_(const MpgAudioInfo& info);
// The library's progress routine: turns its record into the caller's (see MpgBridgeRec).
void MpgProgressBridge_(MpgLibProgress* libRec);
// The library's error routine: keeps the text for the unit to report after the call.
void error_handler_(const char* text);

// ---- The routine set ----

void MpgInfo(const std::string& fileName, FFInfoRec& info, FFProgressProc progress, void* progressData);
// MpgInfo that also hands back the video figures (MpgOpen uses them).
void MpgDescribe_(const std::string& fileName, FFInfoRec& info, FFProgressProc progress, void* progressData,
                  MpgVideoExtras& extras);
void MpgOpen(MpgHandle& h, const std::string& fileName, int32_t openMode, FFProgressProc progress,
             void* progressData);
// frame from 1; 0 reads the frame after the one read last. A read or seek the library refuses is
// (12, 9) "Cannot read from movie file.".
void MpgImgLoad(MpgHandle& h, Qimg& img, int32_t frame);
void MpgSndLoad(MpgHandle& h, Qsnd& snd, int32_t pos, int32_t count, int32_t option);
void MpgSndSeek(MpgHandle& h, int32_t pos);
void MpgClose(MpgHandle& h, int32_t a, int32_t b, int32_t c);

// The dispatcher's entries (formats/ff_unit.h).
struct FFUnit;
extern const FFUnit kMpegUnit;
extern const FFUnit kMpegAudioUnit;
extern const FFUnit kMpeg4Unit;
extern const FFUnit kMpegXUnit;

}  // namespace tavelo
