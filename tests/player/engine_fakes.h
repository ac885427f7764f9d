// Test doubles for the engine: a clock that only moves when the code under test reads it or
// sleeps (so pacing is exact and needs no real time), and media files made up in memory with
// chosen frame rates, key frames, sound, decoding costs and failures, served through the
// engine's six media calls.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "player/med_engine.h"

namespace tavelo::test {

class FakeClock final : public PlayerClock {
 public:
  // Each reading moves the clock by tick seconds: time passes while the code runs, so a polling
  // loop always ends.
  explicit FakeClock(double tick = 0.0001) : tick_(tick) {}
  double Seconds() override;
  void Sleep(int32_t ms) override;
  // Moves the clock to `when` in steps of at most 10 ms (each one the audio thread's turn, as in
  // Spend), unless cut holds first.
  void SleepUntil(double when, const std::function<bool()>& cut) override;
  void Advance(double seconds);
  // Time that a frame read spends on the video thread, in steps of 10 ms. Like every sleep of the
  // video thread, a step waits (in real time) until a playing audio thread has had its turn within
  // 0.1 s of this clock before the step's end: the audio thread neither moves the clock nor is starved of turns
  // by a video thread that races through time, however loaded the machine.
  void Spend(double seconds);
  // A frozen clock neither ticks nor sleeps forward: the code under test waits for ever.
  void Freeze(bool frozen);
  double Now() const;
  // The readings the video thread asked to sleep until.
  std::vector<double> VideoWakes();
  // Called on the video thread as each of its sleeps begins.
  void OnVideoSleep(std::function<void()> call) { onVideoSleep_ = std::move(call); }

 private:
  // Before the video thread moves the clock by step: the audio thread's turn (see Spend).
  void AwaitSoundTurn(double step);

  mutable std::mutex mutex_;
  double now_ = 100.0;
  double soundTurn_ = 0;  // the clock when a playing audio thread last slept
  double tick_;
  bool frozen_ = false;
  std::vector<double> videoWakes_;
  std::function<void()> onVideoSleep_;
};

struct FakeFile {
  int32_t Frames = 0;  // 0: no pictures
  double FrameRate = 25;
  int32_t Width = 64, Height = 48;
  int32_t KeyEvery = 1;     // every n-th frame (from frame 1) is a key frame
  double LoadCost = 0;      // seconds each frame read takes on the fake clock
  // Seconds more that a read costs when it does not follow the frame read before and is no key
  // frame: the decode from the key frame before it, as after a seek.
  double JumpCost = 0;
  // Seconds more that the read of frame SlowFrame costs (a decoder starting its threads there).
  int32_t SlowFrame = 0;
  double SlowCost = 0;
  std::set<int32_t> Bad;    // frames (from 1) whose read fails
  std::set<int32_t> Empty;  // frames (from 1) whose read leaves the picture empty
  // The picture is rewritten in place a row at a time, with a pause after each row, as a decoder
  // writes its output in pieces: a reader that does not hold the decoder lock sees two frames.
  bool SlowRows = false;
  int32_t Samples = 0;      // 0: no sound
  int32_t Rate = 8000, Channels = 1, Bits = 16;
  // The file was cut short after this many sample frames (0: never): a sound read that reaches
  // past it fails the way a format unit's read does, after making its record afresh.
  int32_t SoundCutAt = 0;
  bool OpenFails = false;
  // A description that fails with this warning (class, code), as UniInfo does on a damaged file.
  int32_t InfoWarningClass = 0, InfoWarningCode = 0;
};

// The made-up files, by name, and what was read from them.
class FakeMedia {
 public:
  static FakeMedia& Get();
  static const MediaAccess& Access();
  void Reset(FakeClock* clock);
  void Add(const std::string& name, const FakeFile& file);
  std::vector<int32_t> Loads();  // frames read, from 1, in order
  int32_t SoundReads();
  int32_t Closes();

  std::mutex Mutex;
  FakeClock* Clock = nullptr;
  std::map<std::string, FakeFile> Files;
  std::string Open;  // the file the handle holds
  std::vector<int32_t> LoadLog;
  std::vector<double> LoadEndLog;  // the clock when each read of LoadLog ended
  int32_t SoundReadCount = 0;
  int32_t CloseCount = 0;
};

// The sample value the fake sound holds at sample frame n, channel 0.
int16_t FakeSample(int32_t n);

}  // namespace tavelo::test
