#include "formats/units/ff_ogg.h"

#include <cstring>

#include "core/services/basic.h"
#include "core/services/errors.h"
#include "core/services/files.h"
#include "core/services/memory.h"
#include "core/services/monitor.h"
#include "core/services/trace.h"
#include "formats/ff_codec_libs.h"
#include "formats/ff_tables.h"
#include "formats/ff_unit.h"
#include "platform/fpu/fpu.h"

namespace tavelo {

namespace {

constexpr int32_t kTrue = -1;

// The export numbers in the library's binding order (formats/ff_codec_libs.cpp).
enum : int32_t {
  oxOpen = 0,
  oxVideoGetInfo,
  oxVideoSeek,
  oxVideoRead,
  oxVideoFindKeyframe,
  oxAudioGetInfo,
  oxAudioSeek,
  oxAudioRead,
  oxClose,
};

template <class Fn>
Fn LibProc(int32_t index) {
  auto fn = reinterpret_cast<Fn>(FFCodecProc(clOgg, index));
  // The formats of a library that did not load are withdrawn; a call that still arrives is refused.
  if (fn == nullptr) SetError(ecMovie, 5, __LINE__);
  return fn;
}

// The library is called with the floating-point unit in its reset state, and leaves it so.
class FpuBracket {
 public:
  FpuBracket() { platform::FpuResetControl(); }
  ~FpuBracket() { platform::FpuResetControl(); }
  FpuBracket(const FpuBracket&) = delete;
  FpuBracket& operator=(const FpuBracket&) = delete;
};

}  // namespace

void OggOpen(OggHandle& h, const std::string& fileName) {
  Framed("FF_OGG.OggOpen", [&] {
    std::memset(static_cast<void*>(&h), 0, sizeof h);
    auto open = LibProc<ogg_open_t>(oxOpen);
    auto videoInfo = LibProc<ogg_video_get_info_t>(oxVideoGetInfo);
    auto audioInfo = LibProc<ogg_audio_get_info_t>(oxAudioGetInfo);
    FpuBracket fpu;
    h.Lib = open(fileName.c_str());
    if (h.Lib == nullptr) SetError(ecMovie, 6, __LINE__);
    videoInfo(h.Lib, &h.Width, &h.Height, &h.FrameCount, &h.FrameRate);
    h.Bpp = 24;
    h.HasVideo = h.Width > 0 ? kTrue : 0;
    int32_t rate = 0, channels = 0, unused = 0;
    audioInfo(h.Lib, &rate, &channels, &h.SampleCount, &unused);
    SndWaveFmtSetPCM(h.Format, rate, channels, 16);
    h.HasSound = h.SampleCount > 0 ? kTrue : 0;
    const std::string name = CutUtf8(fileName, kOggNameMax);
    std::memcpy(h.FileName, name.data(), name.size());
  });
}

void OggImgLoad(OggHandle& h, Qimg& img, int32_t frame) {
  Framed("FF_OGG.OggImgLoad", [&] {
    if (frame < 0 || frame > h.FrameCount) SetError(ecMovie, 1, __LINE__);
    if (h.HasVideo == 0) SetError(ecMovie, 5, __LINE__);
    auto seek = LibProc<ogg_video_seek_t>(oxVideoSeek);
    auto read = LibProc<ogg_video_read_t>(oxVideoRead);
    _imgalloc_(img, h.Width, h.Height, 24, __LINE__, "FF_OGG.OggImgLoad.ih");
    FpuBracket fpu;
    int32_t ok;
    if (frame == 0 || frame == h.CurrentFrame + 1) {
      ok = read(h.Lib, img.Data);
      h.ReadFailed = ok == 0 ? kTrue : 0;
      // A frame that could not be decoded is an error, never a picture of leftover bytes.
      if (ok == 0) SetError(ecMovie, 9, __LINE__);
      h.CurrentFrame += 1;
    } else {
      ok = seek(h.Lib, frame - 1);
      h.ReadFailed = ok == 0 ? kTrue : 0;
      if (ok == 0) SetError(ecMovie, 9, __LINE__);
      // The library stands before the frame now: the frame read last is the one before it.
      h.CurrentFrame = frame - 1;
      ok = read(h.Lib, img.Data);
      h.ReadFailed = ok == 0 ? kTrue : 0;
      if (ok == 0) SetError(ecMovie, 9, __LINE__);
      h.CurrentFrame = frame;
    }
  });
}

int32_t OggNearestKeyFrame(OggHandle& h, int32_t frame, int32_t direction) {
  int32_t result = 1;
  Framed("FF_OGG.OggNearestKeyFrame", [&] {
    auto find = LibProc<ogg_video_find_keyframe_t>(oxVideoFindKeyframe);
    if (h.FrameCount < 1) return;
    const int32_t f = IntClamp(frame, 1, h.FrameCount);
    FpuBracket fpu;
    const int32_t r = direction == -1 ? find(h.Lib, f - 1, -1) : find(h.Lib, f, 1);
    result = r < 0 ? 1 : r + 1;
  });
  return result;
}

void OggSndSeek(OggHandle& h, int32_t sample) {
  Framed("FF_OGG.OggSndSeek", [&] {
    auto seek = LibProc<ogg_audio_seek_t>(oxAudioSeek);
    if (sample < 0 || sample == INT32_MAX) return;
    FpuBracket fpu;
    const int32_t r = seek(h.Lib, sample + 1);
    if (r >= 0) h.CurrentSample = r;
  });
}

void OggSndLoad(OggHandle& h, Qsnd& snd, int32_t pos, int32_t count, int32_t options) {
  Framed("FF_OGG.OggSndLoad", [&] {
    if (h.HasSound == 0) SetError(ecMovie, 5, __LINE__);
    auto read = LibProc<ogg_audio_read_t>(oxAudioRead);
    if ((options & 1) == 0 || h.CurrentSample != pos) OggSndSeek(h, pos);
    snd.samples = 0;
    // A position the library could not reach has no samples: reading on from where it stands
    // would deliver sound from another place.
    if (h.CurrentSample != pos || count < 1) AbortMonitor();
    _sndalloc_(snd, static_cast<int64_t>(count) * h.Format.nBlockAlign, __LINE__, "FF_OGG.OggSndLoad.snd");
    int32_t got;
    {
      FpuBracket fpu;
      got = read(h.Lib, snd.SndData, count);
    }
    if (got < 0 || got > count) SetError(ecMovie, 9, __LINE__);
    snd.samples = got;
    h.CurrentSample += got;
    snd.Format = h.Format;
  });
}

void OggClose(OggHandle& h) {
  Framed("FF_OGG.OggClose", [&] {
    auto close = LibProc<ogg_close_t>(oxClose);
    FpuBracket fpu;
    if (h.Lib != nullptr) close(h.Lib);
    std::memset(static_cast<void*>(&h), 0, sizeof h);
  });
}

void OggInfo(const std::string& fileName, FFInfoRec& info) {
  OggHandle* h = nullptr;
  Framed("FF_OGG.OggInfo", [&] {
    info.FormatId = fidOGA;
    info.FileSize = FSizeByName(fileName);
    _memalloc_(h, static_cast<int64_t>(sizeof(OggHandle)), __LINE__, "FF_OGG.OggInfo.h", mkFresh);
    OggOpen(*h, fileName);
    FFVideoPart& v = info.Video;
    v.HasVideo = v.VideoSupported = h->FrameCount > 0 && h->Width > 0 ? kTrue : 0;
    v.Width = h->Width;
    v.Height = h->Height;
    v.Bpp = v.OrigBpp = 24;
    v.BytesPP = (24 + 7) / 8;
    v.FrameRate = h->FrameRate;
    v.Frames = h->FrameCount;
    v.CodecName = "Theora";
    FFAudioPart& a = info.Audio;
    a.SrcFormat = a.PcmFormat = h->Format;
    a.HasAudio = a.AudioSupported = h->SampleCount > 0 ? kTrue : 0;
    a.Samples = h->SampleCount;
    a.CodecName = "Vorbis";
    if (v.HasVideo != 0) info.FormatId = fidOGV;
    OggClose(*h);
    MemFree(h);
  });
}

// ---- The dispatcher's entries ----

const FFUnit kOggVideoUnit = {
    .Kind = fuMovie,
    .Info = [](const std::string& name, FFInfoRec& info, FFProgressProc, void*) { OggInfo(name, info); },
    .SaveDefaults = [](FFVideoOpts& opts) { opts.Quality = -1.0; },
    .CodecName = [](const FFVideoOpts&, std::string& out) { out = "Theora"; },
    .StateName = "OGG",
    .StateSize = static_cast<int64_t>(sizeof(OggHandle)),
    .NewState = FFNewState<OggHandle>,
    .Open = [](void* s, const std::string& name, FFProgressProc, void*) { OggOpen(FFStateOf<OggHandle>(s), name); },
    .ImgLoad = [](void* s, Qimg& img, int32_t frame, Qimg*) { OggImgLoad(FFStateOf<OggHandle>(s), img, frame); },
    .SndLoad = [](void* s, Qsnd& snd, int32_t pos, int32_t count, int32_t option) {
      OggSndLoad(FFStateOf<OggHandle>(s), snd, pos, count, option);
    },
    .NearestKeyFrame = [](void* s, int32_t frame, int32_t direction) {
      return OggNearestKeyFrame(FFStateOf<OggHandle>(s), frame, direction);
    },
    .Close = [](void* s, int32_t, int32_t, int32_t) { OggClose(FFStateOf<OggHandle>(s)); },
    .View = [](const void* s) {
      const OggHandle& h = FFStateOf<OggHandle>(s);
      return FFMovieView{h.FrameCount, h.CurrentFrame, h.CurrentSample, 0, 0};
    },
};

const FFUnit kOggAudioUnit = FFSoundOnly(kOggVideoUnit);

}  // namespace tavelo
