// Unit FF_WMV: Windows Media files through the codec library wmcodec.dll: format 25 (WMV video,
// ".wmv", ".wm") when the file holds pictures, 26 (WMA sound, ".wma") otherwise. Reading only;
// whether the two formats stay in the save table is decided by WmvCheckCanWrite
// (formats/ff_codec_libs.h). Every picture and sound read seeks first.
#pragma once
#include <cstdint>
#include <string>

#include "codecs/wmcodec/wmcodec.h"
#include "core/media/img_basic.h"
#include "core/media/snd_basic.h"
#include "formats/conform.h"

namespace tavelo {

// The unit's open-file record (the dispatcher allocates it zeroed and frees it after WmvClose).
// The dispatcher views FrameCount, CurrentFrame, CurrentSample and Stop; the key-frame flag is a
// constant false.
struct WmvHandle {
  WmvLib* Lib;
  int32_t Width;
  int32_t Height;
  int32_t BytesPP;  // left 0: the description computes it
  int32_t Bpp;      // from the library
  int32_t FrameCount;
  int32_t CurrentFrame;  // the frame read last, from 1
  double FrameRate;
  int32_t SampleCount;
  int32_t CurrentSample;
  WAVEFORMATEX Format;  // the PCM delivered, from the library
  int32_t Stop;         // bool: never set by this unit
};

void WmvOpen(WmvHandle& h, const std::string& fileName);
// A refused seek writes "WMV video seek failed, sample <frame> of <count>" to the trace and is
// (12, 7) "End of movie reached.".
void WmvImgSeek(WmvHandle& h, int32_t frame);
void WmvImgLoad(WmvHandle& h, Qimg& img, int32_t frame);
void WmvSndSeek(WmvHandle& h, int32_t sample);
void WmvSndLoad(WmvHandle& h, Qsnd& snd, int32_t pos, int32_t count);
void WmvClose(WmvHandle& h);
void WmvInfo(const std::string& fileName, FFInfoRec& info);

// The dispatcher's entries (formats/ff_unit.h).
struct FFUnit;
extern const FFUnit kWmvUnit;
extern const FFUnit kWmaUnit;

}  // namespace tavelo
