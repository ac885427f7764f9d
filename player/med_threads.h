// The engine's worker threads: while a file plays, one video thread paces frames against the
// media clock, skips ahead to key frames when it falls behind, hands each frame to the display
// and measures the achieved frame rate; one audio thread keeps the looping sound buffer filled
// from the file. Both raise the engine's position event, take seeks over through their
// reposition flag, and end by themselves at the end of the media.
//
// The engine creates a thread suspended (its object exists, no thread runs), resumes it, asks it
// to terminate and joins it. When Execute returns, the thread's end is handed to the main thread
// through the toolkit's event loop, where the engine runs its cleanup for that play run.
#pragma once
#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>

#include "core/media/snd_basic.h"
#include "platform/sync/thread_safety.h"

namespace tavelo {

class QMedEngine;

class QMedBasicThread {
 public:
  enum Kind : int32_t { kVideo = 0, kAudio = 1 };

  QMedBasicThread(QMedEngine* engine, Kind kind, uint64_t run);
  virtual ~QMedBasicThread();
  QMedBasicThread(const QMedBasicThread&) = delete;
  QMedBasicThread& operator=(const QMedBasicThread&) = delete;

  // Made right after the thread is created suspended, freed by Execute as its last step.
  virtual void InitResources();
  virtual void FreeResources();
  virtual void Execute() = 0;

  // Starts the suspended thread.
  void Resume();
  void Terminate() { terminated_.store(true); }
  bool Terminated() const { return terminated_.load(); }
  // Waits until the thread has returned (at once for a thread that never started).
  void Join();
  bool Started() const { return started_; }

  bool GetReposition();
  void SetReposition(bool value);

  // The worker thread the caller runs on, or nullptr on any other thread.
  static QMedBasicThread* Current();

  QMedEngine* const Engine;
  const Kind ThreadKind;
  const uint64_t Run;  // the play run it belongs to
  Mutex Lock;
  int32_t Reposition GUARDED_BY(Lock) = 0;

 private:
  void Main();

  std::thread thread_;
  std::atomic<bool> terminated_{false};
  bool started_ = false;
};

class QMedVideoThread final : public QMedBasicThread {
 public:
  QMedVideoThread(QMedEngine* engine, uint64_t run) : QMedBasicThread(engine, kVideo, run) {}
  ~QMedVideoThread() override;
  void Execute() override;

  std::atomic<double> MeasuredFps{0};  // frames per second
};

class QMedAudioThread final : public QMedBasicThread {
 public:
  QMedAudioThread(QMedEngine* engine, uint64_t run) : QMedBasicThread(engine, kAudio, run) {}
  ~QMedAudioThread() override;
  void InitResources() override;
  void FreeResources() override;
  void Execute() override;
  // One refill of the engine's sound buffer: real sound as far as the file goes, silence after.
  // While a picture decode holds the decoder longer than the sound still queued lasts, the refill
  // is silence held in place of sound and the sound position stays; the first refill that gets
  // the decoder takes the held silence back and goes on with sound where the clock is.
  void FillBuffer();
  // Sound frames written and not heard yet, without the held silence.
  int32_t QueuedSound();

  WAVEFORMATEX WaveFormat{};  // the PCM format of the buffer, set by the engine before the start
  Qsnd Sound;
  // Frames of silence written while the decoder was busy, at the end of what was written.
  std::atomic<int32_t> HeldSilence{0};

 private:
  // The decoder lock, waited for only while more than a margin of sound is queued.
  bool AcquireDecoder(std::unique_lock<TimedMutex>& decoder);
  int32_t FreeFrames(int32_t total);
  void RaiseWritten(int32_t first, int32_t samples, int32_t silence);
};


}  // namespace tavelo
