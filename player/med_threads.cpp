#include "player/med_threads.h"

#include <cmath>
#include <cstdlib>

#include "core/services/basic.h"
#include "core/services/exception_log.h"
#include "core/services/trace.h"
#include "formats/ff_basic.h"
#include "player/med_engine.h"

namespace tavelo {

namespace {

thread_local QMedBasicThread* t_current = nullptr;

}  // namespace

int32_t VideoSleepMs(double remaining) {
  int64_t ms = FpuRound(static_cast<long double>(remaining) * 1000);
  if (ms > 100) ms = 100;
  if (ms < 0) ms = 0;
  // Whole steps of the system timer's 1000/55 ms: below one step the wait polls.
  const long double step = 1000.0L / 55.0L;
  return static_cast<int32_t>(FpuTrunc(FpuInt(ms / step) * step));
}

// ---------------------------------------------------------------------------------------------
// QMedBasicThread

QMedBasicThread::QMedBasicThread(QMedEngine* engine, Kind kind, uint64_t run)
    : Engine(engine), ThreadKind(kind), Run(run) {}

QMedBasicThread::~QMedBasicThread() { Join(); }

void QMedBasicThread::InitResources() {
  std::lock_guard<std::mutex> lock(Lock);
  Reposition = 0;
}

void QMedBasicThread::FreeResources() {}

void QMedBasicThread::Resume() {
  if (started_) return;
  started_ = true;
  thread_ = std::thread([this] { Main(); });
}

void QMedBasicThread::Join() {
  if (thread_.joinable()) thread_.join();
}

bool QMedBasicThread::GetReposition() {
  std::lock_guard<std::mutex> lock(Lock);
  return Reposition != 0;
}

void QMedBasicThread::SetReposition(bool value) {
  std::lock_guard<std::mutex> lock(Lock);
  Reposition = value ? -1 : 0;
}

QMedBasicThread* QMedBasicThread::Current() { return t_current; }

void QMedBasicThread::Main() {
  t_current = this;
  try {
    Execute();
  } catch (...) {
    LogException(ThreadKind == kVideo ? "QMedVideoThread.Execute" : "QMedAudioThread.Execute");
  }
  t_current = nullptr;
  Engine->PostThreadEnd(Run, ThreadKind);
}

// ---------------------------------------------------------------------------------------------
// QMedVideoThread

QMedVideoThread::~QMedVideoThread() { Join(); }

void QMedVideoThread::Execute() {
  QMedEngine& e = *Engine;
  bool first = true;
  int32_t shown = e.CurrentFrame.load();
  double due = 0;
  double k = 0.5;
  int32_t skips = 0;
  bool keepSync = e.KeepSync.load() != 0;
  int64_t n = 0;
  const int32_t last = e.Description.Video.Frames - 1;
  // The rate meter: the intervals of the last L frames.
  const int32_t window = IntClamp(static_cast<int32_t>(FpuRound(e.FrameRate.load())), 5, 100);
  double ring[100] = {};
  int32_t index = 0;
  double sum = 0, previous = 0;
  PlayerWatch meter;
  try {
    {
      // The media time counts from the moment the thread runs.
      std::lock_guard<std::mutex> lock(e.PositionLock);
      WatchStart(e.Clock, e.Timer);
    }
    while (!Terminated()) {
      if (n == 1) {
        WatchStart(meter, e.Timer);
        for (double& slot : ring) slot = 0;
        index = 0;
        sum = 0;
        previous = 0;
      }
      if (GetReposition()) {
        due = e.GetTime();
        e.CurrentFrame.store(e.TimeToFrame(due));
        shown = e.CurrentFrame.load();
        SetReposition(false);
      }
      e.LoadCurrentFrame();
      double now = e.GetTime();
      if (keepSync) {
        if (now >= e.VideoDuration.load()) Terminate();
      } else if (e.CurrentFrame.load() >= last) {
        Terminate();
      }
      // The frame loaded last is shown by the terminate handler.
      if (Terminated()) break;
      if (first) due = now;
      const double rate = e.FrameRate.load();
      if (keepSync && now - due >= 0.1) {
        // Late: jump ahead (half a second of frames, then 1.5, 2.5 ...) to the next key frame.
        int32_t target = static_cast<int32_t>(FpuRound(static_cast<long double>(rate) * k)) + e.CurrentFrame.load();
        k += 1;
        {
          std::lock_guard<std::mutex> lock(e.DecoderLock);
          target = e.Media.NearestKeyFrame(e.Handle, target, 1) - 1;
        }
        const int32_t current = e.CurrentFrame.load();
        e.CurrentFrame.store(IntClamp(current < target ? target : current + 1, 0, last));
        if (e.AudioRunning.load() == 0) {
          // Without sound there is nothing to keep up with: after 5 skips every frame is shown.
          ++skips;
          if (skips >= 5) keepSync = false;
        }
      } else {
        k = 0.5;
        while (e.CurrentFrame.load() == shown && due - now > 0.5 / rate && !Terminated()) {
          const int32_t ms = VideoSleepMs(due - now);
          if (ms > 0) e.Timer.Sleep(ms);
          now = e.GetTime();
          if (GetReposition()) due = now;
        }
        e.CurrentFrame.store(IntClamp(e.CurrentFrame.load() + 1, 0, last));
      }
      shown = e.CurrentFrame.load();
      due = FFFramesToSeconds(shown, rate);
      // The picture painted is the one loaded above; CurrentFrame already names the next.
      e.PaintPicture();
      if (n > 0) {
        const double elapsed = WatchRead(meter, e.Timer);
        sum -= ring[index];
        ring[index] = elapsed - previous;
        sum += ring[index];
        index = index >= window - 1 ? 0 : index + 1;
        previous = elapsed;
        double fps = MeasuredFps.load();
        if (sum > 0) fps = static_cast<double>(n < window ? n : window) / sum;
        MeasuredFps.store(FltClamp(fps, 0.01, 100.0));
      }
      ++n;
      e.DoPosition();
      first = false;
    }
  } catch (...) {
    LogException("QMedVideoThread.Execute");
  }
  FreeResources();
  e.VideoRunning.store(0);
}

// ---------------------------------------------------------------------------------------------
// QMedAudioThread

QMedAudioThread::~QMedAudioThread() {
  Join();
  SndFree(Sound);
}

void QMedAudioThread::InitResources() {
  QMedBasicThread::InitResources();
  SndClear(Sound);
}

void QMedAudioThread::FreeResources() {
  SndFree(Sound);
  QMedBasicThread::FreeResources();
}

void QMedAudioThread::FillBuffer() {
  QMedEngine& e = *Engine;
  int32_t free = DXABufGetFreeSize(e.SoundBuffer, dxaFrames);
  const int32_t total = DXABufGetTotalSize(e.SoundBuffer, dxaFrames);
  if (free >= total) free = total - 1;
  if (free < total / 3 || free <= 0) return;
  const int32_t samples = e.Description.Audio.Samples;
  const int32_t current = e.CurrentSample.load();
  int32_t count = current < samples ? IntClamp(samples - current, 0, free) : 0;
  if (count > 0) {
    try {
      std::lock_guard<std::mutex> lock(e.DecoderLock);
      e.Media.SndLoad(e.Handle, Sound, current, count, 1);
    } catch (...) {
      LogException("QMedAudioThread.FillBuffer");
    }
    // More than asked never overwrites sound that is still to be heard: the rest is read again.
    count = IntClamp(Sound.samples, 0, free);
    Sound.samples = count;
  } else {
    // Past the end: pure silence, never the sound of the previous refill again.
    Sound.samples = 0;
  }
  if (free > count) {
    if (count == 0) Sound.Format = WaveFormat;
    SndAddSilence(Sound, free);
  }
  const int64_t bytes = static_cast<int64_t>(Sound.samples) * Sound.Format.nBlockAlign;
  DXABufFill(e.SoundBuffer, Sound.samples, Sound.SndData, bytes <= Sound.Allocated ? bytes : Sound.Allocated);
  // Advanced after the write, so the played position (current minus what waits in the buffer)
  // never counts sound that is not in the buffer yet.
  e.CurrentSample.store(current + count);
}

void QMedAudioThread::Execute() {
  QMedEngine& e = *Engine;
  try {
    if (e.VideoRunning.load() == 0) {
      // The video thread owns the clock when there is one.
      std::lock_guard<std::mutex> lock(e.PositionLock);
      WatchStart(e.Clock, e.Timer);
    }
    DXABufPlay(e.SoundBuffer);
    while (!Terminated()) {
      if (GetReposition()) {
        e.CurrentSample.store(e.TimeToSample(e.GetTime()));
        DXABufClear(e.SoundBuffer);
        FillBuffer();
        SetReposition(false);
      }
      e.Timer.Sleep(100);
      if (e.GetTime() < e.AudioDuration) {
        FillBuffer();
        e.DoPosition();
      } else {
        e.CurrentSample.store(e.Description.Audio.Samples);
        Terminate();
      }
    }
  } catch (...) {
    LogException("QMedAudioThread.Execute");
  }
  const int32_t samples = e.Description.Audio.Samples;
  int32_t current = e.CurrentSample.load();
  if (e.SampleToTime(std::abs(samples - current)) > 1.0) {
    // Stopped well before the end: what was written but not heard is to be played again.
    current -= DXABufGetFilledSize(e.SoundBuffer, dxaFrames);
    e.CurrentSample.store(IntClamp(current, 0, samples - 1));
  }
  DXABufStop(e.SoundBuffer);
  FreeResources();
  e.AudioRunning.store(0);
}

}  // namespace tavelo
