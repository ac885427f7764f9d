#include "formats/units/ff_mpg.h"

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
struct MpgApi {
  mpg_video_set_error_func_t SetErrorFunc;
  mpg_video_open_t VideoOpen;
  mpg_video_close_t VideoClose;
  mpg_video_info_t VideoInfo;
  mpg_video_read_t VideoRead;
  mpg_video_seek_t VideoSeek;
  mpg_get_type_t GetType;
  mpg_audio_open_t AudioOpen;
  mpg_audio_close_t AudioClose;
  mpg_audio_seek_t AudioSeek;
  mpg_audio_read_t AudioRead;
  mpg_audio_info_t AudioInfo;
};

thread_local FFCodecBinding<MpgApi> t_binding;

bool BindMpg_(MpgApi& api) {
  bool all = true;
  all = FFBind_(clMpeg, api.SetErrorFunc, "mpg_video_set_error_func") && all;
  all = FFBind_(clMpeg, api.VideoOpen, "mpg_video_open") && all;
  all = FFBind_(clMpeg, api.VideoClose, "mpg_video_close") && all;
  all = FFBind_(clMpeg, api.VideoInfo, "mpg_video_info") && all;
  all = FFBind_(clMpeg, api.VideoRead, "mpg_video_read") && all;
  all = FFBind_(clMpeg, api.VideoSeek, "mpg_video_seek") && all;
  all = FFBind_(clMpeg, api.GetType, "mpg_get_type") && all;
  all = FFBind_(clMpeg, api.AudioOpen, "mpg_audio_open") && all;
  all = FFBind_(clMpeg, api.AudioClose, "mpg_audio_close") && all;
  all = FFBind_(clMpeg, api.AudioSeek, "mpg_audio_seek") && all;
  all = FFBind_(clMpeg, api.AudioRead, "mpg_audio_read") && all;
  all = FFBind_(clMpeg, api.AudioInfo, "mpg_audio_info") && all;
  return all;
}

// The bound calls. The formats of a library that did not load are withdrawn; a call that still
// arrives is refused.
const MpgApi& Api_() {
  if (!t_binding.Refresh(clMpeg, BindMpg_)) SetError(ecMovie, 5, __LINE__);
  return t_binding.Calls;
}

// The library is called with the floating-point unit in its reset state, and leaves it so.
using platform::FpuBracket;

// The text error_handler_ received during the library call now running on this thread.
thread_local std::string t_libError;
thread_local bool t_libErrorSet = false;

void ForgetLibError() {
  t_libError.clear();
  t_libErrorSet = false;
}

// Reports the library's error text (class 1), if it sent one.
void RaiseLibError(int32_t line) {
  if (!t_libErrorSet) return;
  const std::string text = t_libError;
  ForgetLibError();
  SetErrorText(ecText, text, line);
}

void InstallErrorHandler() {
  Api_().SetErrorFunc(&error_handler_);
}

// A bridge record for the caller's routine, or none (the library then gets no routine).
void InitBridge(MpgBridgeRec& b, int32_t type, FFProgressProc progress, void* progressData) {
  std::memset(&b, 0, sizeof b);
  b.Type = type;
  b.Offset = 0.0;
  b.Scale = type == kMpgTypeProgram ? 0.4 : 1.0;
  b.Progress = progress;
  b.ProgressData = progressData;
}

void CopyName(char (&dest)[kMpgNameMax + 1], const std::string& name) {
  const std::string cut = CutUtf8(name, kMpgNameMax);
  std::memcpy(dest, cut.data(), cut.size());
  dest[cut.size()] = 0;
}

std::string Grouped(int32_t v) { return IntToStrW(static_cast<uint32_t>(v), 100); }

}  // namespace

// ---- The unit's own rules ----

double MpgFrameRate_(int32_t rateCode) {
  static const double kRates[9] = {0.0, 24000.0 / 1001.0, 24.0, 25.0, 30000.0 / 1001.0, 30.0, 50.0,
                                   60000.0 / 1001.0, 60.0};
  return kRates[IntClamp(rateCode, 0, 8)];
}

double MpgFrameRate_(int32_t rateCode, const uint8_t (&extra)[8]) {
  // MPEG-2 reaches rates the code table lacks (12 per second is 24 x 1 / 2) through the
  // extension the library hands on in bytes 2 and 3 (n + 1, d + 1).
  if (extra[2] == 0 || extra[3] == 0) return MpgFrameRate_(rateCode);
  return MpgFrameRate_(rateCode) * extra[2] / extra[3];
}

int32_t MpgKind_(int32_t mpeg2, int32_t systemFlag, int32_t secondFlag, int32_t rateKbps, int32_t width,
                 int32_t height) {
  const bool system = systemFlag != 0, second = secondFlag != 0;
  if (mpeg2 == 0) {
    if (system && second && rateKbps < 1214 && width == 352 && (height == 288 || height == 240)) return 2;
    return 1;
  }
  if (system && second && rateKbps < 2440 && width == 480 && (height == 576 || height == 480)) return 4;
  if (system && rateKbps >= 2500 && rateKbps <= 8000 && width == 720 && (height == 576 || height == 480)) return 5;
  return 3;
}

std::string MpgKindName_(int32_t kind) {
  switch (kind) {
    case 1: return "MPEG-1";
    case 2: return "MPEG-VCD";
    case 3: return "MPEG-2";
    case 4: return "MPEG-SVCD";
    case 5: return "MPEG-DVD";
    default: return "MPEG (unknown)";
  }
}

std::string MpgAudioName_(const MpgAudioInfo& info) {
  if (info.StreamKind == kMpgKindAc3) return "AC3 compatible";
  std::string name = info.Lsf != 0 ? "MPEG-2 LSF, " : "MPEG-1, ";
  name += "Layer";
  switch (info.Layer) {
    case 1: name += "-I"; break;
    case 2: name += "-II"; break;
    case 3: name += "-III (MP3)"; break;
    default: break;
  }
  return name;
}

void MpgProgressBridge_(MpgLibProgress* libRec) {
  if (libRec == nullptr || libRec->BridgeData == nullptr) return;
  auto* b = static_cast<MpgBridgeRec*>(libRec->BridgeData);
  // A new total after the first one starts the second pass of a program stream.
  if (b->State == 1 && libRec->Total != b->FirstTotal) {
    b->State = 2;
    b->Offset = 40.0;
  }
  if (libRec->Total > 0 && b->State == 0) {
    b->State = 1;
    b->FirstTotal = libRec->Total;
  }
  FFProgressRec rec;
  rec.Text = libRec->Text;
  rec.Done = static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(libRec->Done / 1024)));
  rec.Total = static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(libRec->Total / 1024)));
  rec.Fraction = static_cast<float>(libRec->Fraction * b->Scale + b->Offset);
  rec.Finished = libRec->Finished;
  rec.Cancel = libRec->Cancel;
  rec.Stage = libRec->Stage;
  rec.UserData = b->ProgressData;
  if (b->Type == kMpgTypeProgram && rec.Fraction < 99.0f) rec.Finished = 0;
  if (b->Progress != nullptr) {
    // The caller's routine runs inside the library's call: nothing may leave it as an exception.
    try {
      b->Progress(&rec);
    } catch (...) {
      rec.Cancel = kTrue;
    }
  }
  if (rec.Cancel != 0) b->Cancel = kTrue;
  libRec->Finished = rec.Finished;
  libRec->Cancel = rec.Cancel;
}

void error_handler_(const char* text) {
  t_libError = text != nullptr ? text : "";
  t_libErrorSet = true;
}

// ---- Description ----

namespace {

// The picture part of info (its size and frame count filled by the library) from x.
void DescribeMpgVideo_(FFInfoRec& info, const MpgVideoExtras& x) {
  FFVideoPart& v = info.Video;
  if (x.BitRate > 8000) info.MaxBytesPerSec = x.BitRate / 8;
  v.Bpp = v.OrigBpp = 24;
  v.BytesPP = 3;
  v.FrameRate = MpgFrameRate_(x.RateCode, x.Extra);
  v.HasVideo = kTrue;
  // The library decodes MPEG-2 pictures as well as MPEG-1 ones: an MPEG-2 file is read (and
  // described) here, not handed to another unit's reader by the dispatcher's search.
  v.VideoSupported = kTrue;
  v.CodecId = MpgKind_(x.Mpeg2, x.SystemFlag, x.SecondFlag, x.RateKbps, v.Width, v.Height);
  v.CodecName = MpgKindName_(v.CodecId);
}

// The sound part of info from the library's description ai.
void DescribeMpgAudio_(FFInfoRec& info, const MpgAudioInfo& ai) {
  FFAudioPart& a = info.Audio;
  a.HasAudio = kTrue;
  a.AudioSupported = kTrue;
  if (ai.Kbps == 0)
    info.MaxBytesPerSec = 0;
  else if (info.MaxBytesPerSec > 0)
    info.MaxBytesPerSec += ai.Kbps * 1000 / 8;
  SndWaveFmtSetPCM(a.PcmFormat, ai.SampleRate, ai.Channels, ai.Bits);
  a.SrcChannels = ai.SrcChannels;
  a.Samples = ai.Frames;
  a.CodecName = MpgAudioName_(ai);
  if (ai.StreamKind == kMpgKindAc3) {
    if (a.Samples <= 0) a.AudioSupported = 0;
    info.FormatId = fidAC3;
  } else {
    a.CodecId = ai.Layer;
    if (a.Samples <= 0 || ai.Layer < 1 || ai.Layer > 3) a.AudioSupported = 0;
    info.FormatId = fidMPA;
  }
}

}  // namespace

void MpgDescribe_(const std::string& fileName, FFInfoRec& info, FFProgressProc progress, void* progressData,
                  MpgVideoExtras& x) {
  Framed("FF_MPG.MpgInfo", [&] {
    info = FFInfoRec();
    x = MpgVideoExtras();
    info.FileSize = FSizeByName(fileName);
    InstallErrorHandler();
    ForgetLibError();
    const MpgApi& api = Api_();

    MpgBridgeRec bridge;
    int32_t type = 0;
    if (progress != nullptr) {
      FpuBracket fpu;
      type = api.GetType(fileName.c_str());
    }
    InitBridge(bridge, type, progress, progressData);
    const MpgProgressProc bridgeProc = progress != nullptr ? &MpgProgressBridge_ : nullptr;
    void* const bridgeData = progress != nullptr ? &bridge : nullptr;

    FFVideoPart& v = info.Video;
    FFAudioPart& a = info.Audio;
    bool hasVideo = false;
    // A part's error is held so that a file of which nothing could be described fails with it.
    int32_t heldClass = 0, heldCode = 0;
    std::string heldText;
    auto hold = [&] {
      if (heldClass != 0 || NoError()) return;
      heldClass = GetErrorClass();
      heldCode = GetErrorCode();
      heldText = GetErrorStoredText();
    };
    MonitoredNoRaise([&] {
      FpuBracket fpu;
      const int32_t r = api.VideoInfo(fileName.c_str(), &v.Width, &v.Height, x.Extra, &v.Frames, &x.RateCode,
                                      &x.BitRate, &x.Mpeg2, &x.SystemFlag, &x.SecondFlag, &x.RateKbps, bridgeProc,
                                      bridgeData);
      RaiseLibError(__LINE__);
      hasVideo = r != 0;
    });
    ForgetLibError();
    const bool videoError = !NoError();
    hold();
    if (bridge.Cancel != 0) {
      info.Failed = kTrue;
      AbortMonitor();
    }
    hasVideo = hasVideo && NoError() && v.Width > 0 && v.Height > 0 && v.Frames > 0;
    if (hasVideo)
      DescribeMpgVideo_(info, x);
    else
      v = FFVideoPart();

    if (!hasVideo || x.SystemFlag != 0) {
      if (type == kMpgTypeProgram) {
        bridge.Offset = 80.0;
        bridge.Scale = 0.2;
      }
      MpgAudioInfo ai{};
      bool hasAudio = false;
      MonitoredNoRaise([&] {
        FpuBracket fpu;
        const int32_t r = api.AudioInfo(fileName.c_str(), &ai, bridgeProc, bridgeData);
        RaiseLibError(__LINE__);
        hasAudio = r != 0;
      });
      ForgetLibError();
      hold();
      if (bridge.Cancel != 0) {
        info.Failed = kTrue;
        AbortMonitor();
      }
      // An error left by the picture description counts too.
      hasAudio = hasAudio && NoError() && !videoError;
      if (hasAudio) DescribeMpgAudio_(info, ai);
    }
    if (hasVideo) info.FormatId = fidMPEG;
    if (v.HasVideo == 0 && a.HasAudio == 0 && heldClass != 0) {
      if (heldClass == ecText)
        SetErrorText(ecText, heldText, __LINE__);
      else
        SetError(heldClass, heldCode, __LINE__);
    }
  });
}

void MpgInfo(const std::string& fileName, FFInfoRec& info, FFProgressProc progress, void* progressData) {
  MpgVideoExtras extras;
  MpgDescribe_(fileName, info, progress, progressData, extras);
}

// ---- Opening and closing ----

void MpgOpen(MpgHandle& h, const std::string& fileName, int32_t openMode, FFProgressProc progress,
             void* progressData) {
  Framed("FF_MPG.MpgOpen", [&] {
    std::memset(static_cast<void*>(&h), 0, sizeof h);
    InstallErrorHandler();
    const MpgApi& api = Api_();

    FFInfoRec info;
    MpgVideoExtras x;
    MpgDescribe_(fileName, info, progress, progressData, x);
    if (info.Failed != 0) SetError(ecMovie, 6, __LINE__);
    h.HasVideo = info.Video.VideoSupported != 0 ? kTrue : 0;
    h.HasAudio = info.Audio.AudioSupported != 0 ? kTrue : 0;

    // The library's own opens report through the same bridge as the description, so the caller's
    // routine always receives its own record.
    MpgBridgeRec bridge;
    InitBridge(bridge, 0, progress, progressData);
    const MpgProgressProc bridgeProc = progress != nullptr ? &MpgProgressBridge_ : nullptr;
    void* const bridgeData = progress != nullptr ? &bridge : nullptr;

    if (h.HasVideo != 0) {
      h.Width = info.Video.Width;
      h.Height = info.Video.Height;
      h.Bpp = info.Video.Bpp;
      h.BytesPP = (h.Bpp + 7) / 8;
      std::memcpy(h.VideoExtra, x.Extra, sizeof h.VideoExtra);
      h.FrameCount = info.Video.Frames;
      h.FrameRate = MpgFrameRate_(x.RateCode, x.Extra);
      h.OpenMode = openMode;
      h.MpegKind = MpgKind_(x.Mpeg2, x.SystemFlag, x.SecondFlag, x.RateKbps, h.Width, h.Height);
      int32_t r;
      {
        FpuBracket fpu;
        r = api.VideoOpen(&h.VideoLib, fileName.c_str(), 0, bridgeProc, bridgeData);
      }
      ForgetLibError();
      if (r == 0 || h.VideoLib == nullptr) {
        h.VideoLib = nullptr;
        SetError(ecMovie, 6, __LINE__);
      }
      CopyName(h.VideoName, fileName);
      h.VideoOpen = kTrue;
    }
    if (h.HasAudio != 0) {
      try {
        FpuBracket fpu;
        MpgAudioInfo ai{};
        const int32_t described = api.AudioInfo(fileName.c_str(), &ai, bridgeProc, bridgeData);
        ForgetLibError();
        if (described == 0 || bridge.Cancel != 0) SetError(ecMovie, 6, __LINE__);
        h.AudioLib = api.AudioOpen(fileName.c_str(), bridgeProc, bridgeData);
        ForgetLibError();
        if (h.AudioLib == nullptr) SetError(ecMovie, 6, __LINE__);
        h.AudioOpen = kTrue;
        h.AudioInfo = ai;
        SndWaveFmtSetPCM(h.PcmFormat, ai.SampleRate, ai.Channels, ai.Bits);
        CopyName(h.AudioName, fileName);
      } catch (...) {
        // The dispatcher frees a handle whose open failed without closing it: the picture side
        // opened above is given back here.
        if (h.VideoOpen != 0) {
          FpuBracket fpu;
          api.VideoClose(h.VideoLib);
          h.VideoLib = nullptr;
          h.VideoOpen = 0;
        }
        throw;
      }
    }
  });
}

void MpgClose(MpgHandle& h, int32_t /*a*/, int32_t /*b*/, int32_t /*c*/) {
  Framed("FF_MPG.MpgClose", [&] {
    FpuBracket fpu;
    if (h.VideoOpen != 0 && h.VideoLib != nullptr) Api_().VideoClose(h.VideoLib);
    h.VideoOpen = 0;
    h.VideoLib = nullptr;
    if (h.AudioOpen != 0 && h.AudioLib != nullptr) Api_().AudioClose(h.AudioLib);
    std::memset(static_cast<void*>(&h), 0, sizeof h);
  });
}

// ---- Reading ----

void MpgImgLoad(MpgHandle& h, Qimg& img, int32_t frame) {
  Framed("FF_MPG.MpgImgLoad", [&] {
    if (frame < 0 || frame > h.FrameCount) SetError(ecMovie, 1, __LINE__);
    if (h.VideoOpen == 0 || h.VideoLib == nullptr) SetError(ecMovie, 5, __LINE__);
    const MpgApi& api = Api_();
    _imgalloc_(img, h.Width, h.Height, h.Bpp, __LINE__, "FF_MPG.MpgImgLoad.ih");
    int32_t ok;
    if (frame == 0 || frame == h.CurrentFrame + 1) {
      {
        FpuBracket fpu;
        ok = api.VideoRead(h.VideoLib, img.Data);
      }
      // A frame that could not be decoded is an error, never a picture of leftover bytes.
      if (ok == 0) SetError(ecMovie, 9, __LINE__);
      h.CurrentFrame += 1;
    } else {
      {
        FpuBracket fpu;
        ok = api.VideoSeek(h.VideoLib, frame - 1);
      }
      if (ok == 0) SetError(ecMovie, 9, __LINE__);
      // The library stands before the frame now: the frame read last is the one before it.
      h.CurrentFrame = frame - 1;
      {
        FpuBracket fpu;
        ok = api.VideoRead(h.VideoLib, img.Data);
      }
      if (ok == 0) SetError(ecMovie, 9, __LINE__);
      h.CurrentFrame = frame;
    }
  });
}

void MpgSndSeek(MpgHandle& h, int32_t pos) {
  Framed("FF_MPG.MpgSndSeek", [&] {
    const MpgApi& api = Api_();
    int32_t ok;
    {
      FpuBracket fpu;
      ok = h.AudioLib != nullptr ? api.AudioSeek(h.AudioLib, pos) : 0;
    }
    if (ok == 0) {
      TraceText("MPEG audio seek failed, sample " + Grouped(pos) + " of " + Grouped(h.AudioInfo.Frames));
      SetError(ecMovie, 7, __LINE__);
    }
    h.AudioPos = pos;
  });
}

void MpgSndLoad(MpgHandle& h, Qsnd& snd, int32_t pos, int32_t count, int32_t option) {
  Framed("FF_MPG.MpgSndLoad", [&] {
    if (h.AudioOpen == 0 || h.AudioLib == nullptr) SetError(ecMovie, 5, __LINE__);
    const MpgApi& api = Api_();
    if ((option & 1) == 0 || pos != h.AudioPos) MpgSndSeek(h, pos);
    snd.samples = 0;
    if (count <= 0) {
      TraceText("!!! MpgSndLoad: samples= " + Grouped(count));
      AbortMonitor();
    }
    // The buffer holds count frames of the PCM the library delivers.
    _sndalloc_(snd, static_cast<int64_t>(count) * h.PcmFormat.nBlockAlign, __LINE__, "FF_MPG.MpgSndLoad.snd");
    int32_t got;
    {
      FpuBracket fpu;
      got = api.AudioRead(h.AudioLib, snd.SndData, count);
    }
    if (got < 0 || got > count) SetError(ecMovie, 9, __LINE__);
    snd.samples = got;
    h.AudioPos += got;
    TraceText("MpgSndLoad: samples= " + Grouped(count));
    TraceText("MpgSndLoad: audioPos= " + Grouped(h.AudioPos));
    TraceText("MpgSndLoad: snd.samples= " + Grouped(snd.samples));
    snd.Format = h.PcmFormat;
  });
}

// ---- The dispatcher's entries ----
// MPEG video and programme streams; MPEG audio and AC3 through the same handle, sound only; MPEG-4
// and the extended MPEG id are movies of the family that no reader serves.

const FFUnit kMpegUnit = {
    .Kind = fuMovie,
    .Info = [](const std::string& name, FFInfoRec& info, FFProgressProc progress, void* progressData) {
      MpgInfo(name, info, progress, progressData);
    },
    .SaveDefaults = [](FFVideoOpts&) {},
    .CodecName = [](const FFVideoOpts& opts, std::string& out) {
      switch (opts.Codec) {
        case 1: out = "MPEG-1"; break;
        case 2: out = "MPEG-1 (VCD compatible)"; break;
        case 3: out = "MPEG-2"; break;
        case 4: out = "MPEG-2 (SVCD compatible)"; break;
        case 5: out = "MPEG-2 (DVD compatible)"; break;
        default: break;
      }
    },
    .StateName = "MPG",
    .StateSize = static_cast<int64_t>(sizeof(MpgHandle)),
    .NewState = FFNewState<MpgHandle>,
    .Open =
        [](void* s, const std::string& name, FFProgressProc progress, void* progressData) {
          MpgOpen(FFStateOf<MpgHandle>(s), name, 0, progress, progressData);
        },
    .ImgLoad = [](void* s, Qimg& img, int32_t frame, Qimg*) { MpgImgLoad(FFStateOf<MpgHandle>(s), img, frame); },
    .SndLoad = [](void* s, Qsnd& snd, int32_t pos, int32_t count, int32_t option) {
      MpgSndLoad(FFStateOf<MpgHandle>(s), snd, pos, count, option);
    },
    .NearestKeyFrame = FFEveryFrameKey,
    .Close = [](void* s, int32_t a, int32_t b, int32_t c) { MpgClose(FFStateOf<MpgHandle>(s), a, b, c); },
    .View = [](const void* s) {
      const MpgHandle& h = FFStateOf<MpgHandle>(s);
      return FFMovieView{h.FrameCount, h.CurrentFrame, h.AudioPos, 0, h.StopFlag};
    },
};

const FFUnit kMpegAudioUnit = FFSoundOnly(kMpegUnit);

const FFUnit kMpeg4Unit = {
    .Kind = fuMovie,
    .SaveDefaults = [](FFVideoOpts&) {},
    .CodecName = [](const FFVideoOpts&, std::string& out) { out = "MPEG-4"; },
};

const FFUnit kMpegXUnit = {.Kind = fuMovie};

}  // namespace tavelo
