#include "player/med_threads.h"

#include <chrono>
#include <cmath>
#include <cstdlib>

#include "core/services/basic.h"
#include "core/services/exception_log.h"
#include "core/services/memory.h"
#include "core/services/trace.h"
#include "formats/ff_basic.h"
#include "player/med_engine.h"

namespace tavelo {

namespace {

thread_local QMedBasicThread* t_current = nullptr;

// While the audio thread waits for the decoder, this much sound must stay queued: below it the
// refill is silence instead.
constexpr double kDecoderMarginSeconds = 0.15;
// Held silence is taken back only this far ahead of the device's write cursor, so the sound that
// replaces it is written before the device reaches it.
constexpr double kTakeBackGuardSeconds = 0.05;

}  // namespace

// ---------------------------------------------------------------------------------------------
// QMedBasicThread

QMedBasicThread::QMedBasicThread(QMedEngine* engine, Kind kind, uint64_t run)
    : Engine(engine), ThreadKind(kind), Run(run) {}

QMedBasicThread::~QMedBasicThread() { Join(); }

void QMedBasicThread::InitResources() {
  const LockGuard lock(Lock);
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
  const LockGuard lock(Lock);
  return Reposition != 0;
}

void QMedBasicThread::SetReposition(bool value) {
  const LockGuard lock(Lock);
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
  bool lastShown = false;
  // What cuts a sleep short: the end, a seek, a new position from the controls.
  const auto cut = [&] { return Terminated() || GetReposition() || e.CurrentFrame.load() != shown; };
  try {
    {
      // The media time counts from the moment the thread runs.
      const LockGuard lock(e.PositionLock);
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
      bool repositioned = false;
      if (GetReposition()) {
        due = e.GetTime();
        e.CurrentFrame.store(e.TimeToFrame(due));
        shown = e.CurrentFrame.load();
        SetReposition(false);
        repositioned = true;
      }
      e.LoadCurrentFrame();
      if (repositioned) {
        // A seek while playing: the media time goes on from the target once its picture is
        // there. The decode from the key frame is not lateness, and the sound, held silent
        // meanwhile, starts from the target too.
        const LockGuard position(e.PositionLock);
        const LockGuard own(Lock);
        if (Reposition == 0) {
          WatchStart(e.Clock, e.Timer);
          e.SeekPending.store(0);
        }
      }
      // The run's second picture is the first it reads (the first was on screen at Play): the
      // media time, and the sound, start now that it is there.
      if (n >= 1) e.StartClock();
      double now = e.GetTime();
      if (keepSync) {
        if (now >= e.VideoDuration.load()) Terminate();
      } else if (e.CurrentFrame.load() >= last) {
        Terminate();
      }
      // The frame loaded last is shown by the terminate handler.
      if (Terminated()) break;
      if (lastShown && e.CurrentFrame.load() == last && !GetReposition()) {
        // The last picture is on show: nothing is left to paint until the media time ends.
        e.Timer.SleepUntil(e.ClockReadingAt(e.VideoDuration.load()), cut);
        continue;
      }
      lastShown = false;
      if (first) due = now;
      const double rate = e.FrameRate.load();
      if (keepSync && now - due >= 0.1) {
        // Late: jump ahead (half a second of frames, then 1.5, 2.5 ...) to the next key frame.
        int32_t target = static_cast<int32_t>(FpuRound(static_cast<long double>(rate) * k)) + e.CurrentFrame.load();
        k += 1;
        {
          const LockGuard lock(e.DecoderLock);
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
        // The picture is converted for the display now, while there is time before it is due.
        e.ReadyPictureForDisplay();
        // Asleep until the picture is due, to the clock's reading: never early, and no polling.
        // A seek, a new position from the controls or the end cuts the sleep short.
        while (e.CurrentFrame.load() == shown && due > now && !Terminated()) {
          e.Timer.SleepUntil(e.ClockReadingAt(due), cut);
          now = e.GetTime();
          if (GetReposition()) due = now;
        }
        e.CurrentFrame.store(IntClamp(e.CurrentFrame.load() + 1, 0, last));
      }
      shown = e.CurrentFrame.load();
      due = FFFramesToSeconds(shown, rate);
      // The picture painted is the one loaded above; CurrentFrame already names the next.
      e.PaintPicture();
      lastShown = e.LoadedFrame.load() == last;
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
  // Nothing is left to wait for: the sound goes on by the clock.
  e.SeekPending.store(0);
  e.StartClock();
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

int32_t QMedAudioThread::FreeFrames(int32_t total) {
  const int32_t free = DXABufGetFreeSize(Engine->SoundBuffer, dxaFrames);
  return free >= total ? total - 1 : free;
}

int32_t QMedAudioThread::QueuedSound() {
  const int32_t filled = DXABufGetFilledSize(Engine->SoundBuffer, dxaFrames);
  // The held silence lies at the end of what was written: what of it is not heard yet is the
  // filled part's tail.
  return filled - IntMin(IntMax(HeldSilence.load(), 0), filled);
}

bool QMedAudioThread::AcquireDecoder(std::unique_lock<TimedMutex>& decoder) {
  QMedEngine& e = *Engine;
  const int32_t margin = static_cast<int32_t>(WaveFormat.nSamplesPerSec * kDecoderMarginSeconds);
  if (decoder.try_lock()) return true;
  // A picture decode (the run from a key frame after a seek can take seconds) holds it: wait
  // only while the queued sound lasts, never into a dry buffer. The waits are in the lock's own
  // queue, so a video thread that reads frame after frame still lets the sound in between.
  while (QueuedSound() > margin && !Terminated() && !GetReposition()) {
    // Against the system clock: that wait is pthread_mutex_timedlock, which the thread checker
    // knows (the steady clock's wait is a call it does not see).
    if (decoder.try_lock_until(std::chrono::system_clock::now() + std::chrono::milliseconds(2))) return true;
    e.Timer.Sleep(0);  // a turn on the clock, for clocks that count them
  }
  return false;
}

void QMedAudioThread::RaiseWritten(int32_t first, int32_t samples, int32_t silence) {
  QMedEngine& e = *Engine;
  if (e.OnSoundWritten.Handler != nullptr) e.OnSoundWritten.Handler(e.OnSoundWritten.Data, first, samples, silence);
}

void QMedAudioThread::FillBuffer() {
  QMedEngine& e = *Engine;
  const int32_t total = DXABufGetTotalSize(e.SoundBuffer, dxaFrames);
  if (total <= 1) return;
  const int32_t held = HeldSilence.load();
  int32_t free = FreeFrames(total);
  // A refill needs a third of the buffer free; held silence is replaced as soon as it can be.
  if (free < total / 3 && held == 0) return;
  // Where the sound goes on after held silence: where the clock will be when it is heard (read
  // before the decoder lock, which comes after the position lock).
  double resumeTime = 0;
  if (held > 0) resumeTime = e.GetTime() + kTakeBackGuardSeconds;
  std::unique_lock<TimedMutex> decoder(e.DecoderLock, std::defer_lock);
  // A seek waits for its first picture before the clock runs from the target: until then the
  // sound holds too (sound written now would be heard again when the clock starts over).
  const bool pending = e.SeekPending.load() != 0 && e.VideoRunning.load() != 0;
  const bool haveDecoder = !pending && AcquireDecoder(decoder);
  if (!haveDecoder) {
    if (decoder.owns_lock()) decoder.unlock();
    // Silence keeps the buffer from running dry (it would play its old sound again), and the
    // sound position stays where it is.
    if (free < total / 3 || free <= 0) return;
    const LockGuard own(Lock);
    if (Reposition != 0) return;  // a seek clears the buffer anyway
    DXABufFillSilence(e.SoundBuffer, free);
    HeldSilence.store(held + free);
    RaiseWritten(e.CurrentSample.load(), 0, free);
    return;
  }
  const int32_t samples = e.Description.Audio.Samples;
  int32_t current = e.CurrentSample.load();
  if (held > 0) current = IntClamp(e.TimeToSample(resumeTime), 0, samples);
  // After held silence nearly the whole buffer is about to be free.
  const int32_t want = held > 0 ? total - 1 : free;
  int32_t count = current < samples ? IntClamp(samples - current, 0, want) : 0;
  if (count > 0) {
    // A read that fails leaves nothing: never the sound of an earlier refill.
    Sound.samples = 0;
    try {
      e.Media.SndLoad(e.Handle, Sound, current, count, 1);
    } catch (...) {
      LogException("QMedAudioThread.FillBuffer");
      // The failed read's frame has given back what it allocated, the record's block among
      // them when the read made it: the record must not go on pointing at it.
      if (MemFind(Sound.SndData, 3) == 0x7FFFFFFF) SndClear(Sound);
      Sound.samples = 0;
    }
  }
  decoder.unlock();
  const LockGuard own(Lock);
  // A seek that came meanwhile wins: its position stands and nothing read here is written.
  if (Reposition != 0) return;
  if (held > 0) {
    DXABufTakeBack(e.SoundBuffer, held, static_cast<int32_t>(WaveFormat.nSamplesPerSec * kTakeBackGuardSeconds));
    HeldSilence.store(0);
    free = FreeFrames(total);
    if (free <= 0) return;
  }
  if (count > 0) {
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
  RaiseWritten(current, count, IntMax(Sound.samples - count, 0));
}

void QMedAudioThread::Execute() {
  QMedEngine& e = *Engine;
  try {
    if (e.VideoRunning.load() == 0) {
      // The video thread owns the clock when there is one.
      const LockGuard lock(e.PositionLock);
      WatchStart(e.Clock, e.Timer);
    }
    // The sound starts with the media clock (a run with pictures holds it for its first read).
    while (e.StartPending.load() != 0 && !Terminated()) e.Timer.Sleep(1);
    DXABufPlay(e.SoundBuffer);
    while (!Terminated()) {
      if (GetReposition()) {
        // Cleared first: a seek that comes while this one is taken over is taken over next.
        SetReposition(false);
        e.CurrentSample.store(e.TimeToSample(e.GetTime()));
        DXABufClear(e.SoundBuffer);
        HeldSilence.store(0);
        FillBuffer();
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
    current -= QueuedSound();
    e.CurrentSample.store(IntClamp(current, 0, samples - 1));
  }
  DXABufStop(e.SoundBuffer);
  FreeResources();
  e.AudioRunning.store(0);
}

}  // namespace tavelo
