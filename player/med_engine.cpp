#include "player/med_engine.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QObject>
#include <QThread>
#include <QWidget>

#include <cmath>
#include <filesystem>

#include "core/services/basic.h"
#include "core/services/errors.h"
#include "core/services/exception_log.h"
#include "core/services/trace.h"
#include "formats/ff_basic.h"
#include "gui/img_put.h"
#include "gui/text_gen.h"
#include "platform/msgbox/msgbox.h"
#include "player/med_threads.h"

namespace tavelo {

std::atomic<int32_t> AudioPresent{0};
int32_t EngineCount = 0;

namespace {

bool DispatcherInfo(const std::string& fileName, UniInfoRec& info, int32_t options, void* progressData,
                    FFProgressProc progress) {
  return UniInfo(fileName, info, options, progressData, progress);
}

const MediaAccess g_dispatcher{&DispatcherInfo, &UniOpen, &UniImgLoad, &UniSndLoad, &UniNearestKeyFrame, &UniClose};

void DisplayMouseRelay(uint8_t kind, int32_t x, int32_t y, uint32_t colour, void* data) {
  static_cast<QMedEngine*>(data)->DoDisplayMouse(kind, x, y, colour);
}

// The error box of the player (the interface kit's boxes when they are installed).
void ShowErrorBox(const std::string& text) {
  std::string title = QCoreApplication::applicationName().toStdString();
  if (title.empty()) title = "Tavelo";
  platform::ShowMessageBox(GetTopWindowHandle(), text, title, platform::miError);
}

// The progress throttle: one stopwatch for the process (files are opened on the main thread).
Mutex g_progressLock;
PlayerWatch g_progressWatch GUARDED_BY(g_progressLock);
double g_progressLast GUARDED_BY(g_progressLock) = 0;

}  // namespace

const MediaAccess& DispatcherMedia() { return g_dispatcher; }

// ---------------------------------------------------------------------------------------------
// Construction

QMedEngine::QMedEngine(QWidget* owner, PlayerClock* clock, const MediaAccess* media)
    : Owner(owner),
      Timer(clock != nullptr ? *clock : SystemPlayerClock()),
      Media(media != nullptr ? *media : DispatcherMedia()),
      context_(std::make_unique<QObject>()) {
  DXABufInitHandle(SoundBuffer);
  ResetState();
  ++EngineCount;
  if (EngineCount == 1) InitAudio();
}

QMedEngine::~QMedEngine() {
  try {
    Stop();
  } catch (...) {
    SetErrorFromException();
  }
  try {
    if (EngineCount > 0) {
      --EngineCount;
      if (EngineCount == 0) {
        DXADone();
        AudioPresent.store(0);
      }
    }
  } catch (...) {
    SetErrorFromException();
  }
  try {
    CloseHandle();
  } catch (...) {
    SetErrorFromException();
  }
  DestroyDisplay();
  ImgFree(Picture);
  // Ends of threads still queued for this engine are dropped with their receiver.
  context_.reset();
}

void QMedEngine::InitAudio() {
  void* window = Owner != nullptr ? static_cast<void*>(Owner) : GetTopWindowHandle();
  AudioPresent.store(DXAInit(window) ? -1 : 0);
}

bool QMedEngine::OnMainThread() const { return QThread::currentThread() == context_->thread(); }

// ---------------------------------------------------------------------------------------------
// Media

void QMedEngine::ResetState() {
  FileIsOpen = 0;
  HasVideo = 0;
  VideoRunning.store(0);
  VideoDuration.store(0);
  CurrentFrame.store(0);
  HasAudio = 0;
  AudioRunning.store(0);
  AudioDuration = 0;
  CurrentSample.store(0);
  LoadedFrame.store(kNoFrame);
  FrameRate.store(DefaultFrameRate);
  PaintNoPicture();
  const LockGuard lock(errorLock_);
  lastErrorCode_ = -1;
  lastErrorText_.clear();
}

void QMedEngine::CloseHandle() {
  try {
    Media.Close(Handle);
  } catch (...) {
    SetErrorFromException();
  }
}

void QMedEngine::FileOpen(const std::string& fileName) {
  TraceScope trace("MedEngine.QMedEngine.FileOpen");
  TraceWrite("Opening \"" + fileName + "\"");
  if (FileIsOpen != 0) FileClose();
  ResetState();
  bool described = false;
  try {
    // The whole name: a Linux path may be far longer than 255 characters.
    const FFProgressProc progress = OnOpenProgress.Handler != nullptr ? &QMedEngine_OnOpenProgress : nullptr;
    described = Media.Info(fileName, Description, InfoOptions, this, progress);
  } catch (...) {
    SetErrorFromException();
  }
  HasVideo = (Description.Video.HasVideo != 0 && Description.Video.VideoSupported != 0) ? -1 : 0;
  HasAudio = (Description.Audio.HasAudio != 0 && Description.Audio.AudioSupported != 0) ? -1 : 0;
  if (HasVideo == 0 && HasAudio == 0) {
    // A damaged file of a known format fails with its format's own reason; "File not exist." is
    // the description's plain failure and says nothing more than the message below.
    std::string reason;
    if (!described && GetWarningClass() != 0 && !(GetWarningClass() == ecFile && GetWarningCode() == 9)) {
      reason = GetWarningClass() <= ecException ? GetWarningText() : ErrorText(GetWarningClass(), GetWarningCode());
    }
    ResetState();
    std::error_code ec;
    if (std::filesystem::exists(fileName, ec))
      SetError("File \"" + fileName + "\" is not supported." + (reason.empty() ? "" : " " + reason));
    else
      SetError("File \"" + fileName + "\" cannot be found.");
    return;
  }
  try {
    Media.Open(Handle, Description);
    FileIsOpen = -1;
  } catch (...) {
    // Nothing may be read through a handle that did not open: the error stays, the engine closes.
    SetErrorFromException();
    int32_t code;
    std::string text;
    {
      const LockGuard lock(errorLock_);
      code = lastErrorCode_;
      text = lastErrorText_;
    }
    CloseHandle();
    Description = UniInfoRec();
    ResetState();
    const LockGuard lock(errorLock_);
    lastErrorCode_ = code;
    lastErrorText_ = text;
    return;
  }
  RestartClock();
  if (HasVideo != 0) {
    double rate = Description.Video.FrameRate;
    if (!(rate >= 0.01)) rate = DefaultFrameRate;
    SetFrameRate(rate);
    PreparePicture();
    LoadCurrentFrame();
    PaintPicture();
  }
  if (HasAudio != 0) AudioDuration = FFFramesToSeconds(SampleCount(), Description.Audio.PcmFormat.nSamplesPerSec);
}

void QMedEngine::FileClose() {
  TraceScope trace("MedEngine.QMedEngine.FileClose");
  if (FileIsOpen != 0) {
    Stop();
    SetDisplayRect(0, 0, 2, 2);
    CloseHandle();
    Description = UniInfoRec();
    ResetState();
  }
  PaintNoPicture();
  if (OnFileClosed.Handler != nullptr) OnFileClosed.Handler(OnFileClosed.Data);
}

int32_t QMedEngine_OnOpenProgress(FFProgressRec* progress) {
  try {
    if (progress == nullptr) return 0;
    auto* engine = static_cast<QMedEngine*>(progress->UserData);
    if (engine == nullptr) return 0;
    bool raise = false;
    {
      const LockGuard lock(g_progressLock);
      if (progress->Finished != 0) {
        raise = true;
      } else if (progress->Done == 0) {
        WatchStart(g_progressWatch, engine->Timer);
        g_progressLast = 0;
      } else {
        const double now = WatchRead(g_progressWatch, engine->Timer);
        if (now - g_progressLast > 0.1) {
          g_progressLast = now;
          raise = true;
        }
      }
    }
    if (raise && engine->OnOpenProgress.Handler != nullptr)
      engine->OnOpenProgress.Handler(engine->OnOpenProgress.Data, progress);
  } catch (...) {
    LogException("QMedEngine_OnOpenProgress");
  }
  return 0;
}

// ---------------------------------------------------------------------------------------------
// Clock and position

int32_t QMedEngine::TimeToFrame(double t) {
  const double rate = FrameRate.load();
  return IntClamp(FFRoundProduct(t + 0.25 / rate, rate), 0, FrameCount() - 1);
}

int32_t QMedEngine::TimeToSample(double t) { return IntClamp(FFRoundProduct(t, SampleRate()), 0, SampleCount()); }

double QMedEngine::SampleToTime(int32_t n) {
  const double rate = SampleRate();
  return FltClamp(rate > 0 ? n / rate : 0, 0, GetDuration());
}

double QMedEngine::GetDuration() { return FltMax(VideoDuration.load(), AudioDuration); }

void QMedEngine::SeekFrame(int32_t frame) {
  const double rate = FrameRate.load();
  SeekTime(FFFramesToSeconds(frame, rate) + 0.1 / rate);
}

double QMedEngine::GetTime() {
  const LockGuard lock(PositionLock);
  if (IsPlaying()) return StartPending.load() != 0 ? ClockBase : ClockBase + WatchRead(Clock, Timer);
  const double video = HasVideo != 0 ? FFFramesToSeconds(CurrentFrame.load(), FrameRate.load()) : 0;
  const double audio =
      (HasAudio != 0 && AudioPresent.load() != 0) ? FFFramesToSeconds(CurrentSample.load(), SampleRate()) : 0;
  return FltMax(video, audio);
}

double QMedEngine::ClockReadingAt(double t) {
  const LockGuard lock(PositionLock);
  return Clock.Start + (t - ClockBase);
}

void QMedEngine::SeekTime(double t) {
  const LockGuard lock(PositionLock);
  t = FltClamp(t, 0, GetDuration());
  const int32_t old = CurrentFrame.load();
  CurrentFrame.store(TimeToFrame(t));
  CurrentSample.store(TimeToSample(t));
  if (IsPlaying()) {
    // The threads take the new position over at their next pass.
    ClockBase = t;
    if (VideoRunning.load() != 0) SeekPending.store(-1);
    RequestReposition(true, true);
    WatchStart(Clock, Timer);
  } else {
    if (CurrentFrame.load() != old) LoadAndPaint();
    DoPosition();
  }
}

void QMedEngine::StartClock() {
  const LockGuard lock(PositionLock);
  if (StartPending.load() == 0) return;
  WatchStart(Clock, Timer);
  StartPending.store(0);
}

void QMedEngine::RequestReposition(bool video, bool audio) {
  if (VideoRunning.load() != 0 && VideoThread != nullptr) VideoThread->SetReposition(video);
  if (AudioRunning.load() != 0 && AudioThread != nullptr) AudioThread->SetReposition(audio);
}

void QMedEngine::RestartClock() {
  const LockGuard lock(PositionLock);
  ClockBase = 0;
  CurrentFrame.store(0);
  CurrentSample.store(0);
  if (IsPlaying()) WatchStart(Clock, Timer);
}

int32_t QMedEngine::GetPlayedSample() {
  const int32_t current = CurrentSample.load();
  if (AudioRunning.load() == 0) return current;
  // Silence held while the decoder was busy is no sound still to come: the position holds.
  const int32_t queued =
      AudioThread != nullptr ? AudioThread->QueuedSound() : DXABufGetFilledSize(SoundBuffer, dxaFrames);
  return current - IntMin(queued, current);
}

void QMedEngine::SetFrameRate(double rate) {
  FrameRate.store(FltClamp(rate, 0.01, 100.0));
  UpdateVideoDuration();
}

void QMedEngine::UpdateVideoDuration() {
  const double rate = FrameRate.load();
  VideoDuration.store(rate > 0 ? FrameCount() / rate : 0);
}

// ---------------------------------------------------------------------------------------------
// Playback

bool QMedEngine::IsAtEnd() {
  const int32_t frames = FrameCount(), frame = CurrentFrame.load();
  const bool videoEnd = HasVideo == 0 || FFFramesToSeconds(frames - frame, FrameRate.load()) < 0.2 ||
                        std::abs(static_cast<int64_t>(frames) - frame) < 3;
  const bool audioEnd = !(HasAudio != 0 && AudioPresent.load() != 0) ||
                        FFFramesToSeconds(SampleCount() - CurrentSample.load(), SampleRate()) < 0.2;
  return videoEnd && audioEnd;
}

void QMedEngine::Play() {
  TraceScope trace("MedEngine.QMedEngine.Play");
  try {
    if (IsPlaying() || (HasVideo == 0 && HasAudio == 0)) return;
    // A run that ended by itself may still wait for its cleanup: finish it before the new run
    // begins, so it can never touch the new run's buffer or flags.
    EndRun();
    if (HasAudio != 0 && HasVideo == 0 && AudioPresent.load() == 0) {
      ShowErrorBox("Audio hardware problem. Please reinstall drivers.");
      return;
    }
    const double start = IsAtEnd() ? 0 : GetTime();
    EventsEnabled.store(0);
    {
      const LockGuard lock(PositionLock);
      ClockBase = start;
      WatchStart(Clock, Timer);
    }
    SeekTime(start);
    SeekPending.store(0);
    ++run_;
    VideoRunning.store(HasVideo != 0 ? -1 : 0);
    StartPending.store(VideoRunning.load());
    if (VideoRunning.load() != 0) {
      VideoThread = std::make_unique<QMedVideoThread>(this, run_);
      VideoThread->InitResources();
      VideoThread->MeasuredFps.store(0);
    }
    AudioRunning.store((HasAudio != 0 && AudioPresent.load() != 0) ? -1 : 0);
    if (AudioRunning.load() != 0) {
      AudioThread = std::make_unique<QMedAudioThread>(this, run_);
      AudioThread->InitResources();
      SndWaveFmtSetPCM(AudioThread->WaveFormat, static_cast<int32_t>(FpuRound(SampleRate())),
                       Description.Audio.Channels, Description.Audio.Bits);
      DXABufCreate(SoundBuffer, AudioThread->WaveFormat, 1.0);
      SetVolume(Volume);
      AudioThread->FillBuffer();
    }
    RequestReposition(false, false);
    EventsEnabled.store(-1);
    if (VideoThread != nullptr) VideoThread->Resume();
    if (AudioThread != nullptr) AudioThread->Resume();
  } catch (...) {
    // The threads made so far are freed by the cleanups (one that was already resumed is asked
    // to end first, and joined when it is freed).
    SetErrorFromException();
    if (VideoThread != nullptr) VideoThread->Terminate();
    if (AudioThread != nullptr) AudioThread->Terminate();
    VideoThreadCleanup();
    AudioThreadCleanup();
    EventsEnabled.store(-1);
  }
}

void QMedEngine::Stop() {
  TraceScope trace("MedEngine.QMedEngine.Stop");
  if (VideoThread != nullptr) VideoThread->Terminate();
  if (AudioThread != nullptr) AudioThread->Terminate();
  EndRun();
}

void QMedEngine::EndRun() {
  // Joined first, then cleaned up: a cleanup reads what its thread left behind.
  if (VideoThread != nullptr) VideoThread->Join();
  if (AudioThread != nullptr) AudioThread->Join();
  if (VideoThread != nullptr) VideoThreadCleanup();
  if (AudioThread != nullptr) AudioThreadCleanup();
}

void QMedEngine::PostThreadEnd(uint64_t run, int32_t kind) {
  QMetaObject::invokeMethod(
      context_.get(), [this, run, kind] { OnThreadEnd(run, kind); }, Qt::QueuedConnection);
}

void QMedEngine::OnThreadEnd(uint64_t run, int32_t kind) {
  // Bound to its own run: a run that Stop or Play already finished has nothing left here.
  if (run != run_) return;
  if (kind == QMedBasicThread::kVideo && VideoThread != nullptr) {
    VideoThread->Join();
    VideoThreadCleanup();
  } else if (kind == QMedBasicThread::kAudio && AudioThread != nullptr) {
    AudioThread->Join();
    AudioThreadCleanup();
  }
}

void QMedEngine::VideoThreadCleanup() {
  TraceScope trace("MedEngine.QMedEngine.VideoThreadCleanup");
  // The run's last end raises the one final OnPosition.
  const bool audioPending = AudioThread != nullptr;
  VideoRunning.store(0);
  StartPending.store(0);  // (a thread that never ran held it)
  VideoThread.reset();
  CurrentFrame.store(IntClamp(CurrentFrame.load(), 0, FrameCount() - 1));
  LoadCurrentFrame();
  PaintPicture();
  if (!audioPending) DoPosition();
}

void QMedEngine::AudioThreadCleanup() {
  TraceScope trace("MedEngine.QMedEngine.AudioThreadCleanup");
  const bool videoPending = VideoThread != nullptr;
  AudioRunning.store(0);
  AudioThread.reset();
  DXABufDestroy(SoundBuffer);
  CurrentSample.store(IntClamp(CurrentSample.load(), 0, SampleCount() - 1));
  if (!videoPending) DoPosition();
}

double QMedEngine::GetMeasuredFps() {
  if (VideoRunning.load() != 0 && VideoThread != nullptr) return VideoThread->MeasuredFps.load();
  return 0;
}

void QMedEngine::SetVolume(int32_t v) {
  Volume = IntClamp(v, 0, 1000);
  DXABufSetVolume(SoundBuffer, Volume);
}

// ---------------------------------------------------------------------------------------------
// Pictures and display

bool QMedEngine::LoadCurrentFrame() {
  const LockGuard lock(DecoderLock);
  bool result = HasVideo != 0;
  const int32_t frame = CurrentFrame.load();
  if (HasVideo != 0 && frame != LoadedFrame.load()) {
    // The display may be showing Picture itself, read by paints on the main thread: before
    // another thread writes it, the display takes a copy of its own.
    if (!OnMainThread()) DisplayOwnImage(Display);
    try {
      Media.ImgLoad(Handle, Picture, frame + 1, 1);
    } catch (...) {
      result = false;
      try {
        GenerateTextImage(Picture, "Error loading picture " + IntToStrW(static_cast<uint32_t>(frame + 1), 100));
      } catch (...) {
        SetErrorFromException();
      }
    }
  }
  // Also after a failure: a frame that failed is not read again until the position changes.
  LoadedFrame.store(frame);
  return result;
}

void QMedEngine::ReadyPictureForDisplay() {
  if (OnMainThread()) return;
  try {
    const LockGuard lock(DecoderLock);
    // Only where PaintPicture would hand over a copy: not for a palette screen (which converts
    // Picture itself first), nor while the display shows Picture without a copy.
    if (ImgAssigned(Picture) && ScreenMode.load() == 2 && !DisplayShowsImage(Display, Picture))
      DisplayPrepareImage(Display, Picture);
  } catch (...) {
    // PaintPicture hands the picture over as it would have without this.
  }
}

void QMedEngine::PaintPicture() {
  bool none = false;
  try {
    const LockGuard lock(DecoderLock);
    if (!ImgAssigned(Picture)) {
      none = true;
    } else {
      if (ScreenMode.load() == 0) {
        platform::HDC screen = platform::CreateCompatibleDC(nullptr);
        ScreenMode.store(IsPaletteDC(screen) ? 1 : 2);
        if (screen != nullptr) platform::DeleteDC(screen);
      }
      if (ScreenMode.load() == 1 && Picture.Bpp != 8) {
        if (!OnMainThread()) DisplayOwnImage(Display);
        ImgConvBppEx(Picture, Picture, 8, 3);
      }
      // The display shows Picture itself, without a copy, while only the main thread (which
      // paints) changes it; the video thread's frames are handed over as copies, so the decoder
      // never writes into a picture that is being painted. A picture the display already shows
      // was not changed since (a writer on another thread takes it back first).
      if (OnMainThread() || DisplayShowsImage(Display, Picture))
        DisplayShowImage(Display, Picture);
      else if (!DisplayShowPrepared(Display))
        DisplaySetImage(Display, Picture);
    }
  } catch (...) {
    SetErrorFromException();
    none = true;
  }
  if (none) PaintNoPicture();
}

void QMedEngine::PaintNoPicture() {
  try {
    if (OnNoPicture.Handler != nullptr) {
      if (OnMainThread()) {
        OnNoPicture.Handler(OnNoPicture.Data);
      } else {
        // Its handler touches windows: it runs on the main thread.
        QMetaObject::invokeMethod(
            context_.get(),
            [this] {
              if (OnNoPicture.Handler != nullptr) OnNoPicture.Handler(OnNoPicture.Data);
            },
            Qt::QueuedConnection);
      }
    } else {
      DisplayClear(Display);
    }
  } catch (...) {
    SetErrorFromException();
  }
}

void QMedEngine::PreparePicture() {
  // The decoder writes each frame into Picture, which keeps its buffer while the size stays: a
  // buffer of the file's size made before the first read can have large pages from the start.
  const FFVideoPart& v = Description.Video;
  if (v.Width < 1 || v.Height < 1 || !ImgDepthValid(v.Bpp)) return;
  if (int64_t{v.Width} * v.Height * ((v.Bpp + 7) / 8) < (int64_t{4} << 20)) return;
  const LockGuard lock(DecoderLock);
  try {
    const uint8_t* before = Picture.Data;
    _imgalloc_(Picture, v.Width, v.Height, v.Bpp, __LINE__, "MedEngine.PreparePicture.Picture", false);
    if (Picture.Data != before) AskForLargePages(Picture.Data, Picture.Size);
  } catch (...) {
    // Only a preparation: the read makes the picture as it always does.
  }
}

bool QMedEngine::CopyPicture(Qimg& dest, int32_t& frame) {
  const LockGuard lock(DecoderLock);
  if (!ImgAssigned(Picture) || (Picture.Data == nullptr && Picture.DataExt == 0)) return false;
  ImgCopy(Picture, dest);
  // The frame the picture was read for; CurrentFrame already names the next one while playing.
  const int32_t loaded = LoadedFrame.load();
  frame = loaded != kNoFrame ? loaded : CurrentFrame.load();
  return true;
}

void QMedEngine::LoadAndPaint() {
  if (LoadCurrentFrame()) PaintPicture();
}

void QMedEngine::SetPicture(const Qimg& src) {
  try {
    const LockGuard lock(DecoderLock);
    ImgCopy(src, Picture);
  } catch (...) {
    SetErrorFromException();
  }
  PaintPicture();
}

void QMedEngine::CreateDisplay(QWidget* parent, int32_t x, int32_t y, int32_t width, int32_t height) {
  DestroyDisplay();
  Display = DisplayCreate(parent, x, y, width, height);
  DisplaySetCallback(Display, &DisplayMouseRelay, this);
  ScreenMode.store(0);
  PaintPicture();
}

void QMedEngine::DestroyDisplay() { DisplayDestroy(Display); }

void QMedEngine::SetDisplayRect(int32_t x, int32_t y, int32_t width, int32_t height) {
  DisplaySetRect(Display, x, y, width, height);
}

void QMedEngine::SetDisplayColor(int32_t colour) { DisplaySetColor(Display, colour); }
bool QMedEngine::GetResizeBig() { return DisplayGetResizeBig(Display); }
void QMedEngine::SetResizeBig(bool flag) { DisplaySetResizeBig(Display, flag); }
bool QMedEngine::GetResizeSmall() { return DisplayGetResizeSmall(Display); }
void QMedEngine::SetResizeSmall(bool flag) { DisplaySetResizeSmall(Display, flag); }

void GenerateTextImage(Qimg& img, const std::string& text) {
  TraceScope trace("MedEngine.GenerateTextImage");
  int32_t w = 640, h = 480;
  if (ImgAssigned(img)) {
    w = IntClamp(img.Width, 320, 640);
    h = IntClamp(img.Height, 240, 480);
  }
  _imgalloc_(img, w, h, 24, __LINE__, "MedEngine.GenerateTextImage.img");
  FillMem(img.Data, img.Size, 0);
  QTextGen gen;
  gen.FontName = "Arial";
  gen.SetFontSize(24);
  gen.Bold = -1;
  gen.Color = 0x808080;
  gen.DrawText(text, QTextGen::kCentre, QTextGen::kCentre, img);
}

// ---------------------------------------------------------------------------------------------
// Errors and events

void QMedEngine::SetError(const std::string& text) {
  {
    const LockGuard lock(errorLock_);
    lastErrorCode_ = 0;
    lastErrorText_ = text;
  }
  TraceWrite("MedEngine: " + text);
}

void QMedEngine::SetErrorFromException() {
  std::string s;
  GetExceptionMsg(s);
  SetError(s);
}

int32_t QMedEngine::TakeLastError() {
  const LockGuard lock(errorLock_);
  const int32_t code = lastErrorCode_;
  lastErrorCode_ = -1;
  return code;
}

std::string QMedEngine::GetLastErrorText() {
  const LockGuard lock(errorLock_);
  return lastErrorText_;
}

void QMedEngine::DoPosition() {
  if (EventsEnabled.load() != 0 && OnPosition.Handler != nullptr) OnPosition.Handler(OnPosition.Data);
}

void QMedEngine::DoDisplayMouse(uint8_t kind, int32_t x, int32_t y, uint32_t colour) {
  if (OnDisplayMouse.Handler != nullptr) OnDisplayMouse.Handler(OnDisplayMouse.Data, kind, x, y, colour);
}

}  // namespace tavelo
