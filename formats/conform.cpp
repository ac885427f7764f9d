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
#include "formats/ff_unit.h"
#include "formats/units/ff_avi.h"
#include "formats/units/ff_gif.h"

namespace tavelo {

namespace {

constexpr int32_t kTrue = -1;

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
  mvi.Unit = nullptr;
  mvi.State = nullptr;
}

// The view of an open movie's values; a movie layer without a unit was never opened.
FFMovieView View_(const MviHandle& mvi) {
  if (mvi.Unit != nullptr && mvi.State != nullptr) return mvi.Unit->View(mvi.State);
  RaiseError(ecUni, 1, __LINE__);
  return FFMovieView();
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
  const FFUnit* unit = FFUnitById(formatId);
  if (unit == nullptr) return ukUnknown;
  switch (unit->Kind) {
    case fuStill: return frameCount < 2 ? ukPicture : ukSequence;
    case fuMovie: return ukMovie;
    case fuStillOrMovie:
      if (frameCount < 2) return ukPicture;
      return pnmIsMovie == 1 ? ukMovie : ukSequence;
  }
  return ukUnknown;
}

// ---- Descriptions ----

void FFInfo(const std::string& fileName, int32_t formatId, FFInfoRec& info, FFProgressProc progress,
            void* progressData) {
  Framed("Conform.FFInfo", [&] {
    info = FFInfoRec();
    FFFormatRec row;
    FFGetFormat(fileName, row, ffRead);
    if (formatId == kNoFormat) formatId = row.FormatId;
    const FFUnit* unit = FFUnitById(formatId);
    if (unit != nullptr && unit->Info != nullptr) {
      unit->Info(fileName, info, progress, progressData);
    } else if (MonitoredNoRaise([&] { AviInfo(fileName, info); }) != 0) {
      // An id without a unit of its own is offered to the AVI reader, whose fallback decoder
      // reads many containers; its own failure is held back and reported as (14, 2).
      ClearError();
      SetError(ecMovie2, 2, __LINE__);
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
      const FFUnit* unit = FFUnitById(formatId);
      if (unit != nullptr && unit->Open != nullptr) {
        // The unit's handle, owned by the record from here on; the unit opens into it.
        _memalloc_(mvi.State, unit->StateSize, __LINE__, std::string("Conform.MviOpen.mf.") + unit->StateName,
                   mkFresh);
        unit->NewState(mvi.State);
        mvi.Unit = unit;
        unit->Open(mvi.State, fileName, progress, progressData);
      } else {
        SetError(ecMovie, 1, __LINE__);
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
    // The unit's close (the MPEG family's with a, b and c), then its handle goes.
    if (mvi.Unit != nullptr && mvi.State != nullptr && mvi.Unit->Close != nullptr)
      mvi.Unit->Close(mvi.State, a, b, c);
    MemFree(mvi.State);
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
        {
          const FFMovieView view = View_(h.Mvi);
          h.CurrentFrame = view.CurrentFrame;
          h.KeyFrame = view.KeyFrame;
        }
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
    const FFMovieView view = View_(mvi);
    if (view.Stop != 0) AbortMonitor();
    if (frame > view.Frames) SetError(ecMovie, 7, __LINE__);
    // Sound units read no pictures.
    if (mvi.Unit->ImgLoad != nullptr) mvi.Unit->ImgLoad(mvi.State, img, frame, alpha);
    if (alpha != nullptr && !Is(mvi.Unit->FillsAlpha))
      MakeAlpha_(img, *alpha, "Conform.MviImgLoad.imgAlpha^", __LINE__);
  });
}

void UniSndLoad(UniHandle& h, Qsnd& snd, int32_t pos, int32_t count, int32_t option) {
  Framed("Conform.UniSndLoad", [&] {
    snd.samples = 0;
    if (count < 1) AbortMonitor();
    if (!Is(h.Audio.AudioSupported)) SetError(ecMovie, 5, __LINE__);
    if (h.Kind == ukMovie) {
      MviSndLoad(h.Mvi, snd, pos, count, option);
      h.CurrentSample = h.Mvi.Unit != nullptr ? h.Mvi.Unit->View(h.Mvi.State).CurrentSample : 0;
    } else {
      SetError(ecUni, 1, __LINE__);
    }
    h.SampleTime = FFFramesToSeconds(h.CurrentSample, h.Audio.SampleRate);
  });
}

void MviSndLoad(MviHandle& mvi, Qsnd& snd, int32_t pos, int32_t count, int32_t option) {
  Framed("Conform.MviSndLoad", [&] {
    // Picture units read no sound: an empty read.
    if (mvi.Unit != nullptr && mvi.Unit->SndLoad != nullptr)
      mvi.Unit->SndLoad(mvi.State, snd, pos, count, option);
    else
      snd.samples = 0;
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
    // A unit without a key-frame search of its own starts every search at frame 1.
    if (mvi.Unit != nullptr && mvi.Unit->NearestKeyFrame != nullptr)
      result = mvi.Unit->NearestKeyFrame(mvi.State, frame, direction);
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
  const FFUnit* unit = FFUnitById(formatId);
  if (unit != nullptr && unit->Load != nullptr)
    unit->Load(fileName, img, alpha);
  else
    SetError(ecImage, 2, __LINE__);
  if (alpha != nullptr && (unit == nullptr || !Is(unit->FillsAlpha)))
    MakeAlpha_(img, *alpha, "Conform.ImgLoad.imgAlpha^", __LINE__);
}

int32_t ImgSaveEx(const std::string& fileName, const Qimg& img, FFVideoOpts& opts) {
  int32_t size = 0;
  Framed("Conform.ImgSaveEx", [&] {
    ClearError();
    if (!ImgAssigned(img)) SetError(ecImage, 9, __LINE__);
    if (opts.FormatId == kNoFormat) opts.FormatId = FFGetFormatId(fileName, ffWrite);
    const FFUnit* unit = FFUnitById(opts.FormatId);
    if (unit != nullptr && unit->Save != nullptr)
      unit->Save(fileName, img, opts);
    else
      SetError(ecImage, 2, __LINE__);
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
