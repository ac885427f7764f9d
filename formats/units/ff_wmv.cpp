#include "formats/units/ff_wmv.h"

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
struct WmvApi {
  wmv_open_t Open;
  wmv_video_info_t VideoInfo;
  wmv_video_seek_t VideoSeek;
  wmv_video_read_t VideoRead;
  wmv_audio_info_t AudioInfo;
  wmv_audio_seek_t AudioSeek;
  wmv_audio_read_t AudioRead;
  wmv_close_t Close;
};

thread_local FFCodecBinding<WmvApi> t_binding;

bool BindWmv_(WmvApi& api) {
  bool all = true;
  all = FFBind_(clWm, api.Open, "wmv_open") && all;
  all = FFBind_(clWm, api.VideoInfo, "wmv_video_info") && all;
  all = FFBind_(clWm, api.VideoSeek, "wmv_video_seek") && all;
  all = FFBind_(clWm, api.VideoRead, "wmv_video_read") && all;
  all = FFBind_(clWm, api.AudioInfo, "wmv_audio_info") && all;
  all = FFBind_(clWm, api.AudioSeek, "wmv_audio_seek") && all;
  all = FFBind_(clWm, api.AudioRead, "wmv_audio_read") && all;
  all = FFBind_(clWm, api.Close, "wmv_close") && all;
  return all;
}

// The bound calls. The formats of a library that did not load are withdrawn; a call that still
// arrives is refused.
const WmvApi& Api_() {
  if (!t_binding.Refresh(clWm, BindWmv_)) SetError(ecMovie, 5, __LINE__);
  return t_binding.Calls;
}

// The library is called with the floating-point unit in its reset state, and leaves it so.
using platform::FpuBracket;

std::string Grouped(int32_t v) { return IntToStrW(static_cast<uint32_t>(v), 100); }

}  // namespace

void WmvOpen(WmvHandle& h, const std::string& fileName) {
  Framed("FF_WMV.WmvOpen", [&] {
    std::memset(static_cast<void*>(&h), 0, sizeof h);
    const WmvApi& api = Api_();
    FpuBracket fpu;
    int32_t status = 0;
    h.Lib = api.Open(fileName.c_str(), &status);
    if (h.Lib == nullptr) SetError(ecMovie, 6, __LINE__);
    api.VideoInfo(h.Lib, &h.Width, &h.Height, &h.Bpp, &h.FrameCount, &h.FrameRate);
    api.AudioInfo(h.Lib, &h.Format, &h.SampleCount);
  });
}

void WmvImgSeek(WmvHandle& h, int32_t frame) {
  Framed("FF_WMV.WmvImgSeek", [&] {
    const WmvApi& api = Api_();
    int32_t ok;
    {
      FpuBracket fpu;
      ok = api.VideoSeek(h.Lib, frame - 1);
    }
    if (ok == 0) {
      TraceText("WMV video seek failed, sample " + Grouped(frame) + " of " + Grouped(h.FrameCount));
      SetError(ecMovie, 7, __LINE__);
    }
    h.CurrentFrame = frame - 1;
  });
}

void WmvImgLoad(WmvHandle& h, Qimg& img, int32_t frame) {
  Framed("FF_WMV.WmvImgLoad", [&] {
    if (frame < 0 || frame > h.FrameCount) SetError(ecMovie, 1, __LINE__);
    // The library delivers B, G, R rows: any other depth would not fill the picture it names.
    if (h.Bpp != 24) SetError(ecMovie, 5, __LINE__);
    const WmvApi& api = Api_();
    _imgalloc_(img, h.Width, h.Height, h.Bpp, __LINE__, "FF_WMV.WmvImgLoad.ih");
    WmvImgSeek(h, frame);
    int32_t ok;
    {
      FpuBracket fpu;
      ok = api.VideoRead(h.Lib, img.Data);
    }
    if (ok == 0) SetError(ecMovie, 9, __LINE__);
    h.CurrentFrame += 1;
  });
}

void WmvSndSeek(WmvHandle& h, int32_t sample) {
  Framed("FF_WMV.WmvSndSeek", [&] {
    const WmvApi& api = Api_();
    int32_t ok;
    {
      FpuBracket fpu;
      ok = api.AudioSeek(h.Lib, sample);
    }
    if (ok == 0) {
      TraceText("WMV audio seek failed, sample " + Grouped(sample) + " of " + Grouped(h.SampleCount));
      SetError(ecMovie, 7, __LINE__);
    }
    h.CurrentSample = sample;
  });
}

void WmvSndLoad(WmvHandle& h, Qsnd& snd, int32_t pos, int32_t count) {
  Framed("FF_WMV.WmvSndLoad", [&] {
    const WmvApi& api = Api_();
    snd.samples = 0;
    if (h.SampleCount <= 0 || h.Format.nBlockAlign == 0) SetError(ecMovie, 5, __LINE__);
    _sndalloc_(snd, static_cast<int64_t>(count) * h.Format.nBlockAlign, __LINE__, "FF_WMV.WmvSndLoad.snd");
    WmvSndSeek(h, pos);
    int32_t got;
    {
      FpuBracket fpu;
      got = api.AudioRead(h.Lib, snd.SndData, count);
    }
    if (got < 0 || got > count) SetError(ecAvi, 9, __LINE__);
    snd.samples = got;
    h.CurrentSample += got;
    snd.Format = h.Format;
  });
}

void WmvClose(WmvHandle& h) {
  Framed("FF_WMV.WmvClose", [&] {
    const WmvApi& api = Api_();
    FpuBracket fpu;
    if (h.Lib != nullptr) api.Close(h.Lib);
    std::memset(static_cast<void*>(&h), 0, sizeof h);
  });
}

void WmvInfo(const std::string& fileName, FFInfoRec& info) {
  WmvHandle* h = nullptr;
  Framed("FF_WMV.WmvInfo", [&] {
    info.FormatId = fidWMA;
    info.FileSize = FSizeByName(fileName);
    _memalloc_(h, static_cast<int64_t>(sizeof(WmvHandle)), __LINE__, "FF_WMV.WmvInfo.h", mkFresh);
    WmvOpen(*h, fileName);
    FFVideoPart& v = info.Video;
    v.HasVideo = v.VideoSupported = h->FrameCount > 0 ? kTrue : 0;
    v.Width = h->Width;
    v.Height = h->Height;
    v.Bpp = v.OrigBpp = h->Bpp;
    v.BytesPP = (h->Bpp + 7) / 8;
    v.FrameRate = h->FrameRate;
    v.Frames = h->FrameCount;
    v.CodecName = "Windows Media Video";
    FFAudioPart& a = info.Audio;
    a.SrcFormat = a.PcmFormat = h->Format;
    a.HasAudio = a.AudioSupported = h->SampleCount > 0 ? kTrue : 0;
    a.Samples = h->SampleCount;
    a.CodecName = "Windows Media Audio";
    if (v.HasVideo != 0) info.FormatId = fidWMV;
    WmvClose(*h);
    MemFree(h);
  });
}

// ---- The dispatcher's entries ----

const FFUnit kWmvUnit = {
    .Kind = fuMovie,
    .Info = [](const std::string& name, FFInfoRec& info, FFProgressProc, void*) { WmvInfo(name, info); },
    .SaveDefaults = [](FFVideoOpts&) {},
    .CodecName = [](const FFVideoOpts&, std::string& out) { out = "Windows Media Video 9"; },
    .StateName = "WMV",
    .StateSize = static_cast<int64_t>(sizeof(WmvHandle)),
    .NewState = FFNewState<WmvHandle>,
    .Open = [](void* s, const std::string& name, FFProgressProc, void*) { WmvOpen(FFStateOf<WmvHandle>(s), name); },
    .ImgLoad = [](void* s, Qimg& img, int32_t frame, Qimg*) { WmvImgLoad(FFStateOf<WmvHandle>(s), img, frame); },
    .SndLoad = [](void* s, Qsnd& snd, int32_t pos, int32_t count, int32_t) {
      WmvSndLoad(FFStateOf<WmvHandle>(s), snd, pos, count);
    },
    .NearestKeyFrame = FFEveryFrameKey,
    .Close = [](void* s, int32_t, int32_t, int32_t) { WmvClose(FFStateOf<WmvHandle>(s)); },
    .View = [](const void* s) {
      const WmvHandle& h = FFStateOf<WmvHandle>(s);
      return FFMovieView{h.FrameCount, h.CurrentFrame, h.CurrentSample, 0, h.Stop};
    },
};

const FFUnit kWmaUnit = FFSoundOnly(kWmvUnit);

}  // namespace tavelo
