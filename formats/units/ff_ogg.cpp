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

// The library's calls the unit makes.
struct OggApi {
  ogg_open_t Open;
  ogg_video_get_info_t VideoGetInfo;
  ogg_video_seek_t VideoSeek;
  ogg_video_read_t VideoRead;
  ogg_video_find_keyframe_t VideoFindKeyframe;
  ogg_audio_get_info_t AudioGetInfo;
  ogg_audio_seek_t AudioSeek;
  ogg_audio_read_t AudioRead;
  ogg_close_t Close;
};

thread_local FFCodecBinding<OggApi> t_binding;

bool BindOgg_(OggApi& api) {
  bool all = true;
  all = FFBind_(clOgg, api.Open, "ogg_open") && all;
  all = FFBind_(clOgg, api.VideoGetInfo, "ogg_video_get_info") && all;
  all = FFBind_(clOgg, api.VideoSeek, "ogg_video_seek") && all;
  all = FFBind_(clOgg, api.VideoRead, "ogg_video_read") && all;
  all = FFBind_(clOgg, api.VideoFindKeyframe, "ogg_video_find_keyframe") && all;
  all = FFBind_(clOgg, api.AudioGetInfo, "ogg_audio_get_info") && all;
  all = FFBind_(clOgg, api.AudioSeek, "ogg_audio_seek") && all;
  all = FFBind_(clOgg, api.AudioRead, "ogg_audio_read") && all;
  all = FFBind_(clOgg, api.Close, "ogg_close") && all;
  return all;
}

// The bound calls. The formats of a library that did not load are withdrawn; a call that still
// arrives is refused.
const OggApi& Api_() {
  if (!t_binding.Refresh(clOgg, BindOgg_)) SetError(ecMovie, 5, __LINE__);
  return t_binding.Calls;
}

// The library is called with the floating-point unit in its reset state, and leaves it so.
using platform::FpuBracket;

}  // namespace

void OggOpen(OggHandle& h, const std::string& fileName) {
  Framed("FF_OGG.OggOpen", [&] {
    std::memset(static_cast<void*>(&h), 0, sizeof h);
    const OggApi& api = Api_();
    FpuBracket fpu;
    h.Lib = api.Open(fileName.c_str());
    if (h.Lib == nullptr) SetError(ecMovie, 6, __LINE__);
    api.VideoGetInfo(h.Lib, &h.Width, &h.Height, &h.FrameCount, &h.FrameRate);
    h.Bpp = 24;
    h.HasVideo = h.Width > 0 ? kTrue : 0;
    int32_t rate = 0, channels = 0, unused = 0;
    api.AudioGetInfo(h.Lib, &rate, &channels, &h.SampleCount, &unused);
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
    const OggApi& api = Api_();
    _imgalloc_(img, h.Width, h.Height, 24, __LINE__, "FF_OGG.OggImgLoad.ih");
    FpuBracket fpu;
    int32_t ok;
    if (frame == 0 || frame == h.CurrentFrame + 1) {
      ok = api.VideoRead(h.Lib, img.Data);
      h.ReadFailed = ok == 0 ? kTrue : 0;
      // A frame that could not be decoded is an error, never a picture of leftover bytes.
      if (ok == 0) SetError(ecMovie, 9, __LINE__);
      h.CurrentFrame += 1;
    } else {
      ok = api.VideoSeek(h.Lib, frame - 1);
      h.ReadFailed = ok == 0 ? kTrue : 0;
      if (ok == 0) SetError(ecMovie, 9, __LINE__);
      // The library stands before the frame now: the frame read last is the one before it.
      h.CurrentFrame = frame - 1;
      ok = api.VideoRead(h.Lib, img.Data);
      h.ReadFailed = ok == 0 ? kTrue : 0;
      if (ok == 0) SetError(ecMovie, 9, __LINE__);
      h.CurrentFrame = frame;
    }
  });
}

int32_t OggNearestKeyFrame(OggHandle& h, int32_t frame, int32_t direction) {
  int32_t result = 1;
  Framed("FF_OGG.OggNearestKeyFrame", [&] {
    const OggApi& api = Api_();
    if (h.FrameCount < 1) return;
    const int32_t f = IntClamp(frame, 1, h.FrameCount);
    FpuBracket fpu;
    const int32_t r = direction == -1 ? api.VideoFindKeyframe(h.Lib, f - 1, -1) : api.VideoFindKeyframe(h.Lib, f, 1);
    result = r < 0 ? 1 : r + 1;
  });
  return result;
}

void OggSndSeek(OggHandle& h, int32_t sample) {
  Framed("FF_OGG.OggSndSeek", [&] {
    const OggApi& api = Api_();
    if (sample < 0 || sample == INT32_MAX) return;
    FpuBracket fpu;
    const int32_t r = api.AudioSeek(h.Lib, sample + 1);
    if (r >= 0) h.CurrentSample = r;
  });
}

void OggSndLoad(OggHandle& h, Qsnd& snd, int32_t pos, int32_t count, int32_t options) {
  Framed("FF_OGG.OggSndLoad", [&] {
    if (h.HasSound == 0) SetError(ecMovie, 5, __LINE__);
    const OggApi& api = Api_();
    if ((options & 1) == 0 || h.CurrentSample != pos) OggSndSeek(h, pos);
    snd.samples = 0;
    // A position the library could not reach has no samples: reading on from where it stands
    // would deliver sound from another place.
    if (h.CurrentSample != pos || count < 1) AbortMonitor();
    _sndalloc_(snd, static_cast<int64_t>(count) * h.Format.nBlockAlign, __LINE__, "FF_OGG.OggSndLoad.snd");
    int32_t got;
    {
      FpuBracket fpu;
      got = api.AudioRead(h.Lib, snd.SndData, count);
    }
    if (got < 0 || got > count) SetError(ecMovie, 9, __LINE__);
    snd.samples = got;
    h.CurrentSample += got;
    snd.Format = h.Format;
  });
}

void OggClose(OggHandle& h) {
  Framed("FF_OGG.OggClose", [&] {
    const OggApi& api = Api_();
    FpuBracket fpu;
    if (h.Lib != nullptr) api.Close(h.Lib);
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
