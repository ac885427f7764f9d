// Unit FF_OGG: Ogg files, Theora pictures with Vorbis sound, through the codec library
// oggcodec.dll: format 27 (Ogg video, ".ogv", ".ogg") when the file holds pictures, 19 (Ogg audio,
// ".ogg", ".oga") otherwise. Reading only.
#pragma once
#include <cstdint>
#include <string>

#include "codecs/oggcodec/oggcodec.h"
#include "core/media/img_basic.h"
#include "core/media/snd_basic.h"
#include "formats/conform.h"

namespace tavelo {

constexpr int32_t kOggNameMax = 255;

// The unit's open-file record (the dispatcher allocates it zeroed and frees it after OggClose).
// The dispatcher views FrameCount, CurrentFrame and CurrentSample; the key-frame flag and the stop
// flag are constants.
struct OggHandle {
  OggLib* Lib;
  int32_t Width;
  int32_t Height;
  int32_t BytesPP;  // left 0: the description says 3
  int32_t Bpp;      // 24
  int32_t CurrentFrame;  // the frame read last, from 1
  int32_t FrameCount;
  double FrameRate;
  int32_t HasVideo;       // bool: width above 0
  int32_t SampleCount;
  int32_t CurrentSample;  // where the next sequential sound read continues
  int32_t HasSound;       // bool: sample count above 0
  WAVEFORMATEX Format;    // the PCM delivered: the library's rate and channels, 16 bits
  char FileName[kOggNameMax + 1];
  int32_t ReadFailed;     // bool: the last picture seek or read failed
};

void OggOpen(OggHandle& h, const std::string& fileName);
// frame from 1; 0 reads the frame after the one read last. A seek or read the library refuses is
// (12, 9) "Cannot read from movie file.".
void OggImgLoad(OggHandle& h, Qimg& img, int32_t frame);
// The key frame before (direction -1: at or before the frame) or after it (at or after the next
// frame); 1 when the library finds none.
int32_t OggNearestKeyFrame(OggHandle& h, int32_t frame, int32_t direction);
void OggSndSeek(OggHandle& h, int32_t sample);
// options bit 0: continue without seeking when pos is the current sample. A position the library
// cannot seek to (past the end) gives no samples.
void OggSndLoad(OggHandle& h, Qsnd& snd, int32_t pos, int32_t count, int32_t options);
void OggClose(OggHandle& h);
void OggInfo(const std::string& fileName, FFInfoRec& info);

// The dispatcher's entries (formats/ff_unit.h).
struct FFUnit;
extern const FFUnit kOggVideoUnit;
extern const FFUnit kOggAudioUnit;

}  // namespace tavelo
