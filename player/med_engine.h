// The playback engine (unit MedEngine): one open media file at a time with its description and
// format-layer handle, the current picture, the display window, a media clock, the current frame
// and sample, and, while playing, one video and one audio worker thread with a DirectSound
// buffer. It never touches a form or control; it reports through events its owner installs.
//
// Threads. Construction, opening and closing, Play, Stop, seeks from the controls, the display
// and the threads' cleanups run on the main thread (the thread that made the engine). The worker
// threads read the clock and write CurrentFrame and CurrentSample directly; OnPosition therefore
// fires on any of the three threads and its handler must only post messages. PositionLock guards
// the clock and the position changes of seeks and restarts; DecoderLock serializes every read
// through the media handle and every change of Picture. Lock order: PositionLock, then
// DecoderLock; PositionLock, then a thread's own lock.
//
// Every play run is numbered. Stop and Destroy join the run's threads and run their cleanups at
// once; the ends that the threads posted to the main thread then find nothing left to do, and an
// end posted by an earlier run never touches a later one.
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "core/media/img_basic.h"
#include "formats/conform.h"
#include "player/dx8_audio_buf.h"
#include "player/med_display.h"
#include "player/player_clock.h"
#include "platform/sync/thread_safety.h"

class QObject;
class QWidget;

namespace tavelo {

class QMedVideoThread;
class QMedAudioThread;

// The six calls through which the engine reaches a file: the dispatcher's, or a test's own.
struct MediaAccess {
  bool (*Info)(const std::string& fileName, UniInfoRec& info, int32_t options, void* progressData,
               FFProgressProc progress);
  void (*Open)(UniHandle& h, const UniInfoRec& info);
  void (*ImgLoad)(UniHandle& h, Qimg& img, int32_t frame, int32_t spare);
  void (*SndLoad)(UniHandle& h, Qsnd& snd, int32_t pos, int32_t count, int32_t option);
  int32_t (*NearestKeyFrame)(UniHandle& h, int32_t frame, int32_t direction);
  void (*Close)(UniHandle& h);
};
const MediaAccess& DispatcherMedia();

// An event: a handler and its data, raised only when the handler is assigned.
template <class Code>
struct EngineEvent {
  Code Handler = nullptr;
  void* Data = nullptr;
};
using NotifyProc = void (*)(void* data);
using OpenProgressProc = void (*)(void* data, FFProgressRec* progress);
using DisplayMouseEventProc = void (*)(void* data, uint8_t kind, int32_t x, int32_t y, uint32_t colour);
// samples frames of the file's sound from firstSample on, then silence frames of silence, went
// into the sound buffer.
using SoundWrittenProc = void (*)(void* data, int32_t firstSample, int32_t samples, int32_t silence);

// Process-wide: DirectSound could be created (written on the main thread only), and the number of
// live engines.
extern std::atomic<int32_t> AudioPresent;
extern int32_t EngineCount;

constexpr int32_t kNoFrame = 0x7FFFFFFF;

class QMedEngine {
 public:
  // Create. clock and media default to the machine's clock and the dispatcher.
  explicit QMedEngine(QWidget* owner, PlayerClock* clock = nullptr, const MediaAccess* media = nullptr);
  // Destroy.
  ~QMedEngine();
  QMedEngine(const QMedEngine&) = delete;
  QMedEngine& operator=(const QMedEngine&) = delete;

  void InitAudio();

  // ---- Media ----
  void FileOpen(const std::string& fileName);
  void FileClose();
  void CloseHandle();
  void ResetState();
  UniInfoRec* GetDescription() { return &Description; }
  Qimg* GetPicture() { return &Picture; }
  // dest := a copy of the current picture, and frame := the 0-based frame it holds, taken
  // together: while a movie plays the video thread replaces both. False (dest untouched) when
  // there is no picture.
  bool CopyPicture(Qimg& dest, int32_t& frame);
  Qimg* GetDisplayImage() { return DisplayGetImage(Display); }

  // ---- Clock and position (seconds) ----
  double GetTime();
  // The reading of Timer at which the running media clock shows t.
  double ClockReadingAt(double t);
  void SeekTime(double t);
  void SeekFrame(int32_t frame);
  int32_t TimeToFrame(double t);
  int32_t TimeToSample(double t);
  double SampleToTime(int32_t n);
  double GetDuration();
  int32_t GetPlayedSample();
  void RestartClock();
  void RequestReposition(bool video, bool audio);
  void SetFrameRate(double rate);
  void UpdateVideoDuration();

  // ---- Playback ----
  void Play();
  void Stop();
  bool IsAtEnd();
  bool IsPlaying() const { return VideoRunning.load() != 0 || AudioRunning.load() != 0; }
  double GetMeasuredFps();
  void SetVolume(int32_t v);
  // The threads' terminate handlers (main thread).
  void VideoThreadCleanup();
  void AudioThreadCleanup();

  // ---- Pictures and display ----
  bool LoadCurrentFrame();
  // Makes Picture's buffer for the open file's pictures before the first read (large pages).
  void PreparePicture();
  // The video thread's frame, made ready for the display before it is due (converted into the
  // display's second buffer), so that PaintPicture at its time only exchanges the two.
  void ReadyPictureForDisplay();
  void PaintPicture();
  void PaintNoPicture();
  void LoadAndPaint();
  void SetPicture(const Qimg& src);
  void CreateDisplay(QWidget* parent, int32_t x, int32_t y, int32_t width, int32_t height);
  void DestroyDisplay();
  void SetDisplayRect(int32_t x, int32_t y, int32_t width, int32_t height);
  void SetDisplayColor(int32_t colour);
  bool GetResizeBig();
  void SetResizeBig(bool flag);
  bool GetResizeSmall();
  void SetResizeSmall(bool flag);

  // ---- Errors ----
  void SetError(const std::string& text);
  // Inside a catch block only.
  void SetErrorFromException();
  int32_t TakeLastError();
  std::string GetLastErrorText();

  // ---- Events ----
  void DoPosition();
  void DoDisplayMouse(uint8_t kind, int32_t x, int32_t y, uint32_t colour);

  // Called by a worker thread when its Execute has returned: hands its end to the main thread.
  void PostThreadEnd(uint64_t run, int32_t kind);

  // ---- Fields ----
  QWidget* Owner;
  int32_t FileIsOpen = 0;
  UniInfoRec Description;
  UniHandle Handle;
  double ClockBase GUARDED_BY(PositionLock) = 0;
  PlayerWatch Clock GUARDED_BY(PositionLock);
  int32_t HasVideo = 0;
  std::atomic<int32_t> VideoRunning{0};
  std::atomic<double> VideoDuration{0};
  std::atomic<int32_t> CurrentFrame{0};
  int32_t InfoOptions = seqDetect;
  std::atomic<int32_t> KeepSync{-1};
  double DefaultFrameRate = 25.0;
  std::atomic<double> FrameRate{25.0};
  std::atomic<int32_t> LoadedFrame{kNoFrame};
  // Changed under DecoderLock. The display may show it itself: off the main thread it is changed
  // only after DisplayOwnImage.
  Qimg Picture GUARDED_BY(DecoderLock);
  DisplayRec* Display = nullptr;
  std::atomic<int32_t> ScreenMode{0};  // 0 not yet known, 1 palette screen, 2 any other
  int32_t HasAudio = 0;
  std::atomic<int32_t> AudioRunning{0};
  double AudioDuration = 0;
  std::atomic<int32_t> CurrentSample{0};
  DXABufRec SoundBuffer;
  int32_t Volume = 500;
  std::unique_ptr<QMedVideoThread> VideoThread;  // the play run's, until its cleanup
  std::unique_ptr<QMedAudioThread> AudioThread;
  Mutex PositionLock;
  // Timed: the audio thread waits for it only as long as its queued sound lasts.
  TimedMutex DecoderLock;
  EngineEvent<OpenProgressProc> OnOpenProgress;
  EngineEvent<NotifyProc> OnFileClosed;
  EngineEvent<NotifyProc> OnPosition;
  EngineEvent<NotifyProc> OnNoPicture;
  EngineEvent<DisplayMouseEventProc> OnDisplayMouse;
  // For the developer tools and the tests: raised on the audio thread (and in Play) after every
  // write into the sound buffer, with the thread's own lock held; the handler only records.
  EngineEvent<SoundWrittenProc> OnSoundWritten;
  std::atomic<int32_t> EventsEnabled{-1};
  // A seek while playing waits for the video thread to show the target: until then the media
  // clock has not started from it, and the sound holds silent.
  std::atomic<int32_t> SeekPending{0};
  // A run's media clock holds at its start, and its sound device waits, until the video thread
  // has read the run's first new picture (the one after the picture on show at Play): a decoder
  // that starts its threads there makes that read slower than a frame's time, and the run starts
  // in step rather than late. Set by Play, cleared by StartClock.
  std::atomic<int32_t> StartPending{0};
  // Starts the media clock of a run held by StartPending (nothing when none is held).
  void StartClock();

  PlayerClock& Timer;
  const MediaAccess& Media;

 private:
  void EndRun();
  void OnThreadEnd(uint64_t run, int32_t kind);
  bool OnMainThread() const;
  int32_t FrameCount() const { return Description.Video.Frames; }
  int32_t SampleCount() const { return Description.Audio.Samples; }
  double SampleRate() const { return Description.Audio.SampleRate; }

  uint64_t run_ = 0;  // the current play run; main thread only
  std::unique_ptr<QObject> context_;  // lives on the main thread: the ends of the threads are posted to it
  Mutex errorLock_;
  int32_t lastErrorCode_ GUARDED_BY(errorLock_) = -1;  // -1 no error pending, 0 an error text is pending
  std::string lastErrorText_ GUARDED_BY(errorLock_);
};

// picture := a 24-bit black picture (320..640 x 240..480 after its old size, 640 x 480 when it
// held nothing) with text centred in grey.
void GenerateTextImage(Qimg& img, const std::string& text);

// The progress callback handed to UniInfo: at most one OnOpenProgress every 0.1 s.
int32_t QMedEngine_OnOpenProgress(FFProgressRec* progress);

}  // namespace tavelo
