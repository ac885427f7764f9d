#include "formats/conform.h"

#include <new>

#include <sys/stat.h>

#include "core/services/basic.h"
#include "core/services/errors.h"
#include "core/services/files.h"
#include "core/services/memory.h"
#include "core/services/monitor.h"
#include "core/services/trace.h"
#include "formats/ff_codec_libs.h"
#include "formats/units/ff_avi.h"
#include "formats/units/ff_bay.h"
#include "formats/units/ff_cvr.h"
#include "formats/units/ff_flc.h"
#include "formats/units/ff_gif.h"
#include "formats/units/ff_pnm.h"
#include "formats/units/ff_ras.h"
#include "formats/units/ff_sgi.h"
#include "formats/units/ff_jp2.h"
#include "formats/units/ff_jpg.h"
#include "formats/units/ff_mpg.h"
#include "formats/units/ff_ogg.h"
#include "formats/units/ff_png.h"
#include "formats/units/ff_tga_pcx_bmp.h"
#include "formats/units/ff_tif.h"
#include "formats/units/ff_wav.h"
#include "formats/units/ff_wmv.h"
#include "formats/units/ff_xpm.h"
#include "formats/units/ff_zmv.h"

namespace tavelo {

namespace {

constexpr int32_t kTrue = -1;

// What the view shows for a value a unit does not have (a sound unit's frames): always 0.
int32_t g_noValue = 0;

// The dispatcher's routines: their name on the call-name stack and their work in a monitor
// frame, so that what a failure leaves behind (unit handles, temporary pictures) is released.
bool Is(int32_t flag) { return flag != 0; }

int g_initCount = 0;

// The fixed order in which the codec libraries are settled at start-up and freed.
const int kLoadOrder[] = {clDShow, clMpeg, clGif, clZmv, clOgg, clCine, clWm, clJpeg, clJp2, clPng, clTiff, clXpm};

// Describes a file with errors held back: the error the description ended with stays current.
void DescribeHeldBack_(const std::string& fileName, int32_t formatId, FFInfoRec& info, FFProgressProc progress,
                       void* progressData) {
  info = FFInfoRec();
  RequestNoRaise();
  FFInfo(fileName, formatId, info, progress, progressData);
}

// Whether frame 1 of a movie described by the id can be read. The fallback decoder behind the
// AVI unit describes many damaged stills whose frames it then cannot read; such a description
// must not replace the file's own unit's failure. The error left held is kept as it was.
bool ReadsFirstFrame_(const std::string& fileName, int32_t formatId) {
  const ErrorClass heldClass = GetErrorClass();
  const int32_t heldCode = GetErrorCode();
  ClearError();
  MviHandle mvi;
  Qimg img;
  // Each step in its own frame: a failed read releases only what the read made, never the open
  // handle that the close still needs.
  bool read = MonitoredNoRaise([&] { MviOpen(mvi, fileName, formatId, nullptr, nullptr); }) == 0;
  if (read) {
    read = MonitoredNoRaise([&] { MviImgLoad(mvi, img, 1, nullptr, 0); }) == 0;
    ClearError();
    MonitoredNoRaise([&] { MviClose(mvi, 0, 0, 0); });
  }
  // A failed read's frame has released the picture it made: only a read picture is freed.
  if (read)
    MonitoredNoRaise([&] { ImgFree(img); });
  else
    ImgClear(img);
  ClearError();
  StoreErrorDirect(heldClass, heldCode);
  return read;
}

void FillDerived_(UniInfoRec& info) {
  FFVideoPart& v = info.Video;
  v.DataSize = static_cast<double>(v.Frames) * v.Width * v.Height * v.BytesPP;
  v.Duration = FFFramesToSeconds(v.Frames, v.FrameRate);
  FFAudioPart& a = info.Audio;
  a.SampleRate = a.PcmFormat.nSamplesPerSec;
  a.Channels = a.PcmFormat.nChannels;
  if (a.SrcChannels == 0) a.SrcChannels = a.Channels;
  a.Bits = a.PcmFormat.wBitsPerSample;
  a.BlockAlign = a.PcmFormat.nBlockAlign;
  a.DataSize = static_cast<double>(a.Samples) * a.BlockAlign;
  a.Duration = FFFramesToSeconds(a.Samples, a.SampleRate);
}

void ClearMvi_(MviHandle& mvi) {
  mvi.FormatId = 0;
  mvi.Gif = nullptr;
  mvi.Flc = nullptr;
  mvi.Avi = nullptr;
  mvi.Zmv = nullptr;
  mvi.Mpg = nullptr;
  mvi.Wav = nullptr;
  mvi.Ogg = nullptr;
  mvi.Cvr = nullptr;
  mvi.Pnm = nullptr;
  mvi.Wmv = nullptr;
  mvi.Frames = mvi.CurrentFrame = mvi.CurrentSample = mvi.KeyFrame = mvi.Stop = nullptr;
}

// Frees whichever unit handle the record owns (all but the matching one are none).
void FreeUnitHandles_(MviHandle& mvi) {
  MemFree(mvi.Gif);
  MemFree(mvi.Flc);
  MemFree(mvi.Avi);
  MemFree(mvi.Zmv);
  MemFree(mvi.Mpg);
  MemFree(mvi.Wav);
  MemFree(mvi.Ogg);
  MemFree(mvi.Cvr);
  MemFree(mvi.Pnm);
  MemFree(mvi.Wmv);
}

void ResetHandle_(UniHandle& h) {
  h.FormatId = 0;
  h.Kind = ukUnknown;
  h.FileName.clear();
  h.CurrentName.clear();
  h.CurrentFrame = 0;
  h.CurrentSample = 0;
  h.FrameTime = 0;
  h.SampleTime = 0;
  h.KeyFrame = 0;
  h.Video = FFVideoPart();
  h.Audio = FFAudioPart();
  ClearMvi_(h.Mvi);
  h.Seq = SeqRec();
}

void MakeAlpha_(const Qimg& img, Qimg& alpha, const char* tag, int32_t line) {
  _imgalloc_(alpha, img.Width, img.Height, 8, line, tag);
  const int64_t pixels = static_cast<int64_t>(img.Width) * img.Height;
  FillMem(alpha.Data, pixels, 255);
  PalSetGray(alpha.Palette);
  if (img.Bpp == 32)
    for (int64_t i = 0; i < pixels; ++i) alpha.Data[i] = img.Data[4 * i + 3];
}

}  // namespace

// ---- Unit life ----

void ConformUnitInit() {
  if (g_initCount++ > 0) return;
  CountInitPart();
  // Each library is settled here, in the fixed order: one whose file shows every export keeps its
  // formats and is loaded when a unit first calls it (start-up maps none of them); any other goes
  // through its loader now, so the tables and the trace read exactly as if all were loaded.
  for (int lib : kLoadOrder) {
    FFDeferCodecLib(lib);
    // The AVI unit's loader starts Video for Windows and notes whether its decoder library is there.
    if (lib == clDShow) AviDllLoad();
  }
}

void ConformUnitDone() {
  if (g_initCount < 1 || --g_initCount > 0) return;
  for (int lib : kLoadOrder) {
    // The GIF unit's unloader also drops its cached scan.
    if (lib == clGif)
      GIFDllFree();
    else if (lib == clDShow)
      AviDllFree();
    else
      FFFreeCodecLib(lib);
  }
}

// ---- Kinds ----

UniKind UniGetKind(int32_t formatId, int32_t frameCount, int32_t pnmIsMovie) {
  switch (formatId) {
    case fidTGA:
    case fidPCX:
    case fidBMP:
    case fidJPEG:
    case fidPNG:
    case fidTIFF:
    case fidSGI:
    case fidRAS:
    case fidBAY:
    case fidXPM:
    case fidJP2: return frameCount < 2 ? ukPicture : ukSequence;
    case fidGIF:
    case fidFLIC:
    case fidAVI:
    case fidZMV:
    case fidMPEG:
    case fidWAV:
    case fidMPA:
    case fidOGA:
    case fidCINE:
    case fidAC3:
    case fidMP4:
    case fidMPEGX:
    case fidWMV:
    case fidWMA:
    case fidOGV: return ukMovie;
    case fidPNM:
      if (frameCount < 2) return ukPicture;
      return pnmIsMovie == 1 ? ukMovie : ukSequence;
    default: return ukUnknown;
  }
}

// ---- Descriptions ----

void FFInfo(const std::string& fileName, int32_t formatId, FFInfoRec& info, FFProgressProc progress,
            void* progressData) {
  Framed("Conform.FFInfo", [&] {
    info = FFInfoRec();
    FFFormatRec row;
    FFGetFormat(fileName, row, ffRead);
    if (formatId == kNoFormat) formatId = row.FormatId;
    switch (formatId) {
      case fidTGA: TGAInfo(fileName, info); break;
      case fidPCX: PCXInfo(fileName, info); break;
      case fidBMP: DIBInfo(fileName, info); break;
      case fidJPEG: JPGInfo(fileName, info); break;
      case fidPNG: PNGInfo(fileName, info); break;
      case fidTIFF: TIFInfo(fileName, info); break;
      case fidJP2: JP2Info(fileName, info); break;
      case fidZMV: ZMVInfo(fileName, info); break;
      case fidWAV: WAVInfo(fileName, info); break;
      case fidGIF: GIFInfo(fileName, info, true); break;
      case fidFLIC: FLCInfo(fileName, info); break;
      case fidAVI: AviInfo(fileName, info); break;
      case fidSGI: SGIInfo(fileName, info); break;
      case fidRAS: RASInfo(fileName, info); break;
      case fidPNM: PnmInfo(fileName, info); break;
      case fidBAY: BayInfo(fileName, info); break;
      case fidXPM: XPMInfo(fileName, info); break;
      case fidMPEG:
      case fidMPA:
      case fidAC3: MpgInfo(fileName, info, progress, progressData); break;
      case fidOGA:
      case fidOGV: OggInfo(fileName, info); break;
      case fidWMV:
      case fidWMA: WmvInfo(fileName, info); break;
      case fidCINE: CvrInfo(fileName, info); break;
      default:
        // An id without a unit of its own is offered to the AVI reader, whose fallback decoder
        // reads many containers; its own failure is held back and reported as (14, 2).
        if (MonitoredNoRaise([&] { AviInfo(fileName, info); }) != 0) {
          ClearError();
          SetError(ecMovie2, 2, __LINE__);
        }
        break;
    }
    // A unit that names what it read (the AVI unit's decoder library reading another container)
    // keeps its own description.
    FFFormatRec described;
    if (info.Description.empty() && FFGetFormatById(described, info.FormatId, ffRead))
      info.Description = described.Description;
    if (info.Video.CodecName.empty()) info.Video.CodecName = "Uncompressed, full frames";
    if (info.Audio.CodecName.empty()) info.Audio.CodecName = "PCM, uncompressed";
  });
}

// The AVI reader and the codec libraries open files with blocking calls of their own, so a FIFO,
// device or socket under a media name would hang them: only regular files (and names that do not
// exist, which the units report themselves) are handed on.
static void RefuseSpecialFile_(const std::string& fileName) {
  struct stat st {};
  if (NameHasNul(fileName) || (::stat(fileName.c_str(), &st) == 0 && !S_ISREG(st.st_mode))) {
    LastFileName() = fileName;
    RaiseError(ecFile, 1, __LINE__);
  }
}

bool UniInfo(const std::string& fileName, UniInfoRec& info, int32_t options, void* progressData,
             FFProgressProc progress) {
  TraceScope trace("Conform.UniInfo");
  info = UniInfoRec();
  info.Progress = progress;
  info.ProgressData = progressData;
  // UniInfo answers with its result: a failure never unwinds the caller.
  ErrorClass ownClass = 0;
  int32_t ownCode = 0;
  std::string ownText;
  BeginMonitorNoRaise();
  try {
    RefuseSpecialFile_(fileName);
    info.FormatId = FFGetFormatId(fileName, ffRead);
    const int32_t nameId = info.FormatId;
    FFFormatRec firstRow;
    FFGetFormatById(firstRow, info.FormatId, ffRead);
    FFInfoRec first;
    DescribeHeldBack_(fileName, info.FormatId, first, progress, progressData);
    if (Is(first.Failed)) {
      info.Failed = kTrue;
      AbortMonitor();
    }
    info.FormatId = first.FormatId;
    ErrorClass firstClass = GetErrorClass();
    int32_t firstCode = GetErrorCode();
    const std::string firstText = GetErrorStoredText();
    // An unknown id that AVI could not read either: nothing else will.
    if (firstClass == ecMovie2 && firstCode == 2) SetError(ecMovie2, 2, __LINE__);

    const bool videoOk = Is(first.Video.VideoSupported) || (firstRow.Kinds & fkHasPictures) == 0;
    const bool audioOk = Is(first.Audio.AudioSupported) || (firstRow.Kinds & fkHasSound) == 0 ||
                         fileName.find(".m2v") != std::string::npos || info.FormatId == fidAVI ||
                         info.FormatId == fidZMV;
    if (firstClass != 0 || !videoOk || !audioOk) {
      if (!Is(first.Video.VideoSupported))
        TraceText("Video format not supported durectly? Checking all formats and DSW");
      if (!Is(first.Audio.AudioSupported))
        TraceText("Audio format not supported durectly? Checking all formats and DSW");
      const uint32_t shared = firstRow.Kinds & (fkHasPictures | fkHasSound);
      // A picture its own unit recognised (described without error) but cannot decode (a depth
      // or coding the unit does not read) stays described as that picture when a movie reader
      // shows it.
      const bool ownPicture = firstClass == 0 && UniGetKind(info.FormatId, 1, 1) == ukPicture;
      const FFInfoRec own = first;
      FFInfoRec second;
      bool won = false;
      bool unreadable = false;
      // AVI first (its unit falls back to the DirectShow decoder), then the read table in order.
      for (int32_t i = -1; i < kLoadFormatCount && !won; ++i) {
        int32_t id = fidAVI;
        if (i >= 0) {
          const FFFormatRec& row = FFLoadFormats[i];
          if (row.FormatId < 1 || (row.Kinds & shared) == 0) continue;
          id = row.FormatId;
        }
        if (id == info.FormatId) continue;
        DescribeHeldBack_(fileName, id, second, progress, progressData);
        if (Is(second.Failed)) {
          info.Failed = kTrue;
          AbortMonitor();
        }
        const bool newVideo = !Is(first.Video.VideoSupported) && Is(second.Video.VideoSupported);
        const bool newAudio = !Is(first.Audio.AudioSupported) && Is(second.Audio.AudioSupported);
        // Where the file's own unit refused it or cannot decode its pictures, a movie reader's
        // description counts only when it can read a frame: otherwise the unit's own answer
        // stands (newVideo already says that the first description's video is not supported).
        if (newVideo && !newAudio && UniGetKind(id, second.Video.Frames, 1) == ukMovie &&
            !ReadsFirstFrame_(fileName, id)) {
          TraceText("A candidate described the file but could not read its first frame");
          unreadable = true;
          continue;
        }
        if (newVideo || newAudio) {
          info.FormatId = id;
          first = second;
          firstClass = GetErrorClass();
          firstCode = GetErrorCode();
          won = true;
        }
      }
      if (won && ownPicture && UniGetKind(info.FormatId, first.Video.Frames, 1) == ukMovie &&
          first.Video.Frames == 1) {
        first.Description = own.Description;
        first.Video.CodecName = own.Video.CodecName;
        if (own.Video.OrigBpp > 0) first.Video.OrigBpp = own.Video.OrigBpp;
        first.Video.FrameRate = 0;
      }
      // Without a winner the first description stands, and so does the way it ended: a failed
      // candidate must not reject a file that was described.
      StoreErrorDirect(firstClass, firstCode);
      // A damaged file of a unit of its own that only a reader without a frame to show took up:
      // the unit's own error says what is wrong with it, where "File not exist." would not.
      if (!won && unreadable && firstClass != 0) {
        ownClass = firstClass;
        ownCode = firstCode;
        ownText = firstText;
      }
    }

    // A single picture that only the decoder library reads, of a name no unit claims, is no
    // movie: it has no frame rate.
    if (nameId != fidAVI && info.FormatId == fidAVI && first.Video.Frames == 1 && !Is(first.Audio.HasAudio))
      first.Video.FrameRate = 0;
    info.FileName = fileName;
    info.FileSize = first.FileSize;
    info.Description = first.Description;
    info.Video = first.Video;
    info.Audio = first.Audio;
    info.Failed = first.Failed;
    info.MaxBytesPerSec = first.MaxBytesPerSec;
    info.Kind = UniGetKind(info.FormatId, info.Video.Frames, 1);

    if (info.Kind == ukPicture && options >= seqDetect && NoError()) {
      if (SeqDetect(info.Seq, fileName, options)) {
        SeqScan(info.Seq, progress, progressData);
        info.FileSize = static_cast<double>(info.Seq.TotalSize);
        if (info.Seq.Count > 1) {
          info.Kind = ukSequence;
          info.Video.Frames = info.Seq.Count;
        }
      }
    }
    FillDerived_(info);
    // A held error is the frame's outcome (the frame would otherwise end clean).
    if (!NoError()) RaiseInMonitor(GetErrorClass(), GetErrorCode());
  } catch (...) {
    CatchException();
  }
  EndMonitor();
  if (NoError()) return true;
  ClearError();
  if (ownClass != 0)
    SetWarningEx(ownClass, ownCode, ownText, __LINE__);
  else
    SetWarning(ecFile, 9, __LINE__);
  return false;
}

// ---- Opening and closing ----

void UniOpen(UniHandle& h, const UniInfoRec& info) {
  Framed("Conform.UniOpen", [&] {
    ResetHandle_(h);
    h.FormatId = info.FormatId;
    h.Kind = info.Kind;
    h.FileName = info.FileName;
    h.Video = info.Video;
    h.Audio = info.Audio;
    switch (info.Kind) {
      case ukPicture: break;  // read on demand
      case ukSequence: h.Seq = info.Seq; break;
      case ukMovie:
        try {
          RefuseSpecialFile_(info.FileName);
          MviOpen(h.Mvi, info.FileName, info.FormatId, info.Progress, info.ProgressData);
        } catch (...) {
          // A failed open leaves a closed handle: a later close must find nothing to close.
          ResetHandle_(h);
          throw;
        }
        break;
      default: SetError(ecUni, 1, __LINE__); break;
    }
  });
}

void MviOpen(MviHandle& mvi, const std::string& fileName, int32_t formatId, FFProgressProc progress,
             void* progressData) {
  Framed("Conform.MviOpen", [&] {
    ClearMvi_(mvi);
    if (formatId == kNoFormat) formatId = FFGetFormatId(fileName, ffRead);
    mvi.FormatId = formatId;
    try {
      switch (formatId) {
        // The movie and sound units open here ("Conform.MviOpen.mf." + the unit's short name),
        // then the view points at their handle's values.
        case fidAVI: {
          _memalloc_(mvi.Avi, static_cast<int64_t>(sizeof(AviHandle)), __LINE__, "Conform.MviOpen.mf.AVI", mkFresh);
          AviHandle& avi = *mvi.Avi;
          AviOpen(avi, fileName);
          mvi.Frames = &avi.FrameCount;
          mvi.CurrentFrame = &avi.CurrentFrame;
          mvi.CurrentSample = &avi.af.OutputPos;
          mvi.KeyFrame = &avi.KeyFrame;
          mvi.Stop = &avi.StopFlag;
          break;
        }
        case fidZMV:
          _memalloc_(mvi.Zmv, static_cast<int64_t>(sizeof(ZmvHandle)), __LINE__, "Conform.MviOpen.mf.ZMV", mkFresh);
          ZMVOpen(*mvi.Zmv, fileName);
          mvi.Frames = &mvi.Zmv->Frames;
          mvi.CurrentFrame = &mvi.Zmv->NextFrame;
          mvi.CurrentSample = &mvi.Zmv->SndPos;
          mvi.KeyFrame = &mvi.Zmv->PalChanged;
          mvi.Stop = &mvi.Zmv->Stop;
          break;
        case fidWAV:
          _memalloc_(mvi.Wav, static_cast<int64_t>(sizeof(WavHandle)), __LINE__, "Conform.MviOpen.mf.WAV", mkFresh);
          WAVOpen(*mvi.Wav, fileName);
          mvi.Frames = &g_noValue;
          mvi.CurrentFrame = &g_noValue;
          mvi.CurrentSample = &mvi.Wav->CurrentSample;
          mvi.KeyFrame = &g_noValue;
          mvi.Stop = &mvi.Wav->Stop;
          break;
        case fidGIF: {
          _memalloc_(mvi.Gif, sizeof(GifHandle), __LINE__, "Conform.MviOpen.mf.GIF", mkFresh);
          GifHandle& gif = *new (mvi.Gif) GifHandle();
          GIFOpen(gif, fileName, false);
          mvi.Frames = &gif.Frames;
          mvi.CurrentFrame = &gif.Delivered;
          mvi.CurrentSample = &gif.ZeroSample;
          mvi.KeyFrame = &gif.KeyFrame;
          mvi.Stop = &gif.Writing;
          break;
        }
        case fidFLIC: {
          _memalloc_(mvi.Flc, sizeof(FlcHandle), __LINE__, "Conform.MviOpen.mf.FLC", mkFresh);
          FlcHandle& flc = *new (mvi.Flc) FlcHandle();
          FLCOpen(flc, fileName);
          mvi.Frames = &flc.Frames;
          mvi.CurrentFrame = &flc.Current;
          mvi.CurrentSample = &flc.ZeroSample;
          mvi.KeyFrame = &flc.PalChanged;  // a frame with a palette chunk counts as a key frame
          mvi.Stop = &flc.Writing;
          break;
        }
        case fidPNM:
          _memalloc_(mvi.Pnm, sizeof(PnmHandle), __LINE__, "Conform.MviOpen.mf.Pnm", mkFresh);
          new (mvi.Pnm) PnmHandle();
          PnmOpen(*mvi.Pnm, fileName);
          mvi.Frames = &mvi.Pnm->Frames;
          mvi.CurrentFrame = &mvi.Pnm->CurrentFrame;
          mvi.CurrentSample = &mvi.Pnm->CurrentSample;  // no sound: always 0
          mvi.KeyFrame = &mvi.Pnm->KeyFrame;            // every image: always true
          mvi.Stop = &mvi.Pnm->Stop;                    // never stopped: always false
          break;
        case fidMPEG:
        case fidMPA:
        case fidAC3:
          _memalloc_(mvi.Mpg, static_cast<int64_t>(sizeof(MpgHandle)), __LINE__, "Conform.MviOpen.mf.MPG", mkFresh);
          MpgOpen(*mvi.Mpg, fileName, 0, progress, progressData);
          mvi.Frames = &mvi.Mpg->FrameCount;
          mvi.CurrentFrame = &mvi.Mpg->CurrentFrame;
          mvi.CurrentSample = &mvi.Mpg->AudioPos;
          mvi.KeyFrame = &g_noValue;
          mvi.Stop = &mvi.Mpg->StopFlag;
          break;
        case fidOGA:
        case fidOGV:
          _memalloc_(mvi.Ogg, static_cast<int64_t>(sizeof(OggHandle)), __LINE__, "Conform.MviOpen.mf.OGG", mkFresh);
          OggOpen(*mvi.Ogg, fileName);
          mvi.Frames = &mvi.Ogg->FrameCount;
          mvi.CurrentFrame = &mvi.Ogg->CurrentFrame;
          mvi.CurrentSample = &mvi.Ogg->CurrentSample;
          mvi.KeyFrame = &g_noValue;
          mvi.Stop = &g_noValue;
          break;
        case fidWMV:
        case fidWMA:
          _memalloc_(mvi.Wmv, static_cast<int64_t>(sizeof(WmvHandle)), __LINE__, "Conform.MviOpen.mf.WMV", mkFresh);
          WmvOpen(*mvi.Wmv, fileName);
          mvi.Frames = &mvi.Wmv->FrameCount;
          mvi.CurrentFrame = &mvi.Wmv->CurrentFrame;
          mvi.CurrentSample = &mvi.Wmv->CurrentSample;
          mvi.KeyFrame = &g_noValue;
          mvi.Stop = &mvi.Wmv->Stop;
          break;
        case fidCINE:
          _memalloc_(mvi.Cvr, static_cast<int64_t>(sizeof(CvrHandle)), __LINE__, "Conform.MviOpen.mf.CVR", mkFresh);
          CvrOpen(*mvi.Cvr, fileName);
          mvi.Frames = &mvi.Cvr->FrameCount;
          mvi.CurrentFrame = &mvi.Cvr->CurrentFrame;
          mvi.CurrentSample = &g_noValue;
          mvi.KeyFrame = &mvi.Cvr->KeyFrame;
          mvi.Stop = &g_noValue;
          break;
        default: SetError(ecMovie, 1, __LINE__); break;
      }
    } catch (...) {
      // The frame frees the unit's handle: no pointer to it may stay behind.
      ClearMvi_(mvi);
      throw;
    }
  });
}

void UniCloseEx(UniHandle& h, int32_t a, int32_t b, int32_t c) {
  Framed("Conform.UniCloseEx", [&] {
    auto release = [&] {
      SndFree(h.Snd);
      FFVideoFree(h.VideoOpts);
      FFAudioFree(h.AudioOpts);
      ResetHandle_(h);
    };
    try {
      if (h.Kind == ukMovie)
        MviClose(h.Mvi, a, b, c);
      else if (h.Kind > ukMovie)
        SetError(ecUni, 1, __LINE__);
    } catch (...) {
      // Closed even when the unit's close failed: a second close finds nothing.
      release();
      throw;
    }
    release();
  });
}

void UniClose(UniHandle& h) { UniCloseEx(h, 0, 0, 0); }

void MviClose(MviHandle& mvi, int32_t a, int32_t b, int32_t c) {
  Framed("Conform.MviClose", [&] {
    switch (mvi.FormatId) {
      // The units' closes (the MPEG family, ids 22 and 24 too, with a, b and c).
      case fidAVI:
        if (mvi.Avi != nullptr) AviClose(*mvi.Avi);
        break;
      case fidZMV:
        if (mvi.Zmv != nullptr) ZMVClose(*mvi.Zmv);
        break;
      case fidWAV:
        if (mvi.Wav != nullptr) WAVClose(*mvi.Wav);
        break;
      case fidGIF:
        if (mvi.Gif != nullptr) GIFClose(*mvi.Gif);
        break;
      case fidFLIC:
        if (mvi.Flc != nullptr) FLCClose(*mvi.Flc);
        break;
      case fidPNM:
        if (mvi.Pnm != nullptr) PnmClose(*mvi.Pnm);
        break;
      case fidMPEG:
      case fidMPA:
      case fidAC3:
      case fidMP4:
      case fidMPEGX:
        if (mvi.Mpg != nullptr) MpgClose(*mvi.Mpg, a, b, c);
        break;
      case fidOGA:
      case fidOGV:
        if (mvi.Ogg != nullptr) OggClose(*mvi.Ogg);
        break;
      case fidWMV:
      case fidWMA:
        if (mvi.Wmv != nullptr) WmvClose(*mvi.Wmv);
        break;
      case fidCINE:
        if (mvi.Cvr != nullptr) CvrClose(*mvi.Cvr);
        break;
      default: break;
    }
    FreeUnitHandles_(mvi);
    ClearMvi_(mvi);
  });
}

// ---- Reading ----

void UniImgLoad(UniHandle& h, Qimg& img, int32_t frame, int32_t spare) { UniImgLoad_(h, img, frame, nullptr, spare); }

void UniImgLoad_(UniHandle& h, Qimg& img, int32_t frame, Qimg* alpha, int32_t spare) {
  Framed("Conform.UniImgLoad_", [&] {
    h.KeyFrame = 0;
    if (!Is(h.Video.VideoSupported)) SetError(ecMovie, 5, __LINE__);
    switch (h.Kind) {
      case ukPicture:
        h.CurrentName = h.FileName;
        ImgLoad(h.FileName, img, h.FormatId, alpha);
        h.CurrentFrame = 1;
        h.KeyFrame = kTrue;
        break;
      case ukSequence: {
        // Names are kept whole: a path may be longer than a short text, and a cut one would
        // name another file.
        SeqGetFileName(h.Seq, frame, h.CurrentName);
        ImgLoad(h.CurrentName, img, h.FormatId, alpha);
        h.CurrentFrame = frame;
        h.KeyFrame = kTrue;
        break;
      }
      case ukMovie:
        h.CurrentName = h.FileName;
        MviImgLoad(h.Mvi, img, frame, alpha, spare);
        h.CurrentFrame = h.Mvi.CurrentFrame != nullptr ? *h.Mvi.CurrentFrame : frame;
        h.KeyFrame = h.Mvi.KeyFrame != nullptr ? *h.Mvi.KeyFrame : 0;
        break;
      default:
        h.CurrentName = "INVALID FILE";
        SetError(ecUni, 1, __LINE__);
        break;
    }
    h.FrameTime = FFFramesToSeconds(h.CurrentFrame - 1, h.Video.FrameRate);
  });
}

void MviImgLoad(MviHandle& mvi, Qimg& img, int32_t frame, Qimg* alpha, int32_t spare) {
  Framed("Conform.MviImgLoad", [&] {
    // A movie layer without its unit's view was never opened.
    if (mvi.Frames == nullptr || mvi.Stop == nullptr) SetError(ecUni, 1, __LINE__);
    if (*mvi.Stop != 0) AbortMonitor();
    if (frame > *mvi.Frames) SetError(ecMovie, 7, __LINE__);
    switch (mvi.FormatId) {
      // The units' frame loads (GIF fills the alpha picture itself).
      case fidAVI: AviImgLoad(*mvi.Avi, img, frame); break;
      case fidZMV: ZMVImgLoad(*mvi.Zmv, img, frame); break;
      case fidGIF: GIFLoad(*mvi.Gif, img, frame, alpha); break;
      case fidFLIC: FLCLoad(*mvi.Flc, img, frame); break;
      case fidPNM: PnmLoad(*mvi.Pnm, img, frame); break;
      case fidMPEG: MpgImgLoad(*mvi.Mpg, img, frame); break;
      case fidOGV: OggImgLoad(*mvi.Ogg, img, frame); break;
      case fidWMV: WmvImgLoad(*mvi.Wmv, img, frame); break;
      case fidCINE: CvrLoad(*mvi.Cvr, img, frame); break;
      default: break;
    }
    if (alpha != nullptr && mvi.FormatId != fidGIF) MakeAlpha_(img, *alpha, "Conform.MviImgLoad.imgAlpha^", __LINE__);
  });
}

void UniSndLoad(UniHandle& h, Qsnd& snd, int32_t pos, int32_t count, int32_t option) {
  Framed("Conform.UniSndLoad", [&] {
    snd.samples = 0;
    if (count < 1) AbortMonitor();
    if (!Is(h.Audio.AudioSupported)) SetError(ecMovie, 5, __LINE__);
    if (h.Kind == ukMovie) {
      MviSndLoad(h.Mvi, snd, pos, count, option);
      h.CurrentSample = h.Mvi.CurrentSample != nullptr ? *h.Mvi.CurrentSample : 0;
    } else {
      SetError(ecUni, 1, __LINE__);
    }
    h.SampleTime = FFFramesToSeconds(h.CurrentSample, h.Audio.SampleRate);
  });
}

void MviSndLoad(MviHandle& mvi, Qsnd& snd, int32_t pos, int32_t count, int32_t option) {
  Framed("Conform.MviSndLoad", [&] {
    switch (mvi.FormatId) {
      // The units' sound reads.
      case fidAVI: AviSndLoad(*mvi.Avi, snd, pos, count, option); break;
      case fidZMV: ZMVSndLoad(*mvi.Zmv, snd, pos, count, option); break;
      case fidWAV: WAVLoad(*mvi.Wav, snd, pos, count, option); break;
      case fidMPEG:
      case fidMPA:
      case fidAC3: MpgSndLoad(*mvi.Mpg, snd, pos, count, option); break;
      case fidOGA:
      case fidOGV: OggSndLoad(*mvi.Ogg, snd, pos, count, option); break;
      case fidWMV:
      case fidWMA: WmvSndLoad(*mvi.Wmv, snd, pos, count); break;
      default: snd.samples = 0; break;
    }
  });
}

int32_t UniNearestKeyFrame(UniHandle& h, int32_t frame, int32_t direction) {
  int32_t result = 1;
  Framed("Conform.UniNearestKeyFrame", [&] {
    switch (h.Kind) {
      case ukPicture: result = 1; break;
      case ukSequence:
        // Every member of a sequence is a key frame.
        result = IntClamp(direction == -1 ? frame - 1 : frame, 1, h.Video.Frames);
        break;
      case ukMovie: result = MviNearestKeyFrame(h.Mvi, frame, direction); break;
      default:
        result = 1;
        SetError(ecUni, 1, __LINE__);
        break;
    }
  });
  return result;
}

int32_t MviNearestKeyFrame(MviHandle& mvi, int32_t frame, int32_t direction) {
  int32_t result = 1;
  Framed("Conform.MviNearestKeyFrame", [&] {
    switch (mvi.FormatId) {
      // AVI, ZMV and Ogg video ask their unit; MPEG, Cine and WMV give the frame itself.
      case fidAVI: result = AviNearestKeyFrame(*mvi.Avi, frame, direction); break;
      case fidZMV: result = ZMVNearestKeyFrame(*mvi.Zmv, frame, direction); break;
      case fidOGV: result = OggNearestKeyFrame(*mvi.Ogg, frame, direction); break;
      case fidMPEG:
      case fidCINE:
      case fidWMV: result = frame; break;
      default: result = 1; break;
    }
  });
  return result;
}

void UniGetFileName(const UniInfoRec& info, int32_t frame, std::string& name) {
  switch (info.Kind) {
    case ukPicture:
    case ukMovie: name = info.FileName; break;
    case ukSequence: SeqGetFileName(info.Seq, frame, name); break;
    default: name = "Unknown"; break;
  }
}

// ---- Still pictures ----

void ImgLoad(const std::string& fileName, Qimg& img, int32_t formatId, Qimg* alpha) {
  TraceScope trace("Conform.ImgLoad");
  if (formatId == kNoFormat) formatId = FFGetFormatId(fileName, ffRead);
  switch (formatId) {
    case fidTGA: TGALoad_(fileName, img); break;
    case fidPCX: PCXLoad_(fileName, img); break;
    case fidBMP: DIBLoad_(fileName, img); break;
    case fidJPEG: JPGLoad(fileName, img); break;
    case fidPNG: PNGLoad(fileName, img); break;
    case fidTIFF: TIFLoad(fileName, img); break;
    case fidJP2: JP2Load(fileName, img); break;
    case fidGIF: {
      // The first image only; its slot fills the alpha picture itself.
      GifHandle gif;
      GIFOpen(gif, fileName, true);
      GIFLoadNext(gif, img, alpha);
      GIFClose(gif);
      break;
    }
    case fidSGI: SGILoad(fileName, img); break;
    case fidRAS: RASLoad(fileName, img); break;
    case fidPNM: {
      // The first image of the file; the handle (4 KB of buffer) is a tracked block, so a failed
      // read releases it with the frame that catches the failure.
      PnmHandle* pnm = nullptr;
      _memalloc_(pnm, sizeof(PnmHandle), __LINE__, "Conform.ImgLoad.pnm", mkFresh);
      new (pnm) PnmHandle();
      PnmOpen(*pnm, fileName);
      PnmLoad(*pnm, img, 1);
      PnmClose(*pnm);
      MemFree(pnm);
      break;
    }
    case fidBAY: BayLoad(fileName, img); break;
    case fidXPM: XPMLoad(fileName, img); break;
    default: SetError(ecImage, 2, __LINE__); break;
  }
  if (alpha != nullptr && formatId != fidGIF) MakeAlpha_(img, *alpha, "Conform.ImgLoad.imgAlpha^", __LINE__);
}

int32_t ImgSaveEx(const std::string& fileName, const Qimg& img, FFVideoOpts& opts) {
  int32_t size = 0;
  Framed("Conform.ImgSaveEx", [&] {
    ClearError();
    if (!ImgAssigned(img)) SetError(ecImage, 9, __LINE__);
    if (opts.FormatId == kNoFormat) opts.FormatId = FFGetFormatId(fileName, ffWrite);
    switch (opts.FormatId) {
      case fidTGA: TGASave_(fileName, img, opts.Codec != 0); break;
      case fidPCX: PCXSave_(fileName, img, opts); break;
      case fidBMP: DIBSave_(fileName, img, opts); break;
      case fidSGI: SGISave(fileName, img, opts.Codec); break;
      case fidRAS: RASSave(fileName, img, opts.Codec); break;
      case fidPNM: PnmSave(fileName, img, opts.Codec != 0); break;
      case fidXPM: XPMSave(fileName, img); break;
      case fidJPEG: JPGSave(fileName, img, opts); break;
      case fidPNG: PNGSave(fileName, img, opts); break;
      case fidTIFF: TIFSave(fileName, img, opts); break;
      // The rate in ten-thousandths: the integer part of the quality.
      case fidJP2: {
        const int64_t rate = FpuTrunc(opts.Quality);
        JP2Save(fileName, img, static_cast<int32_t>(rate < 0 ? 0 : (rate > 2147483647 ? 2147483647 : rate)));
        break;
      }
      default: SetError(ecImage, 2, __LINE__); break;
    }
    const double onDisk = FSizeByName(fileName);
    size = onDisk > 2147483647.0 ? 2147483647 : static_cast<int32_t>(onDisk);
  });
  return size;
}

int32_t ImgSave(const std::string& fileName, const Qimg& img) {
  FFVideoOpts opts;
  FFVideoInit(opts, FFGetFormatId(fileName, ffWrite));
  int32_t size = 0;
  try {
    size = ImgSaveEx(fileName, img, opts);
  } catch (...) {
    FFVideoFree(opts);
    throw;
  }
  FFVideoFree(opts);
  return size;
}

}  // namespace tavelo
