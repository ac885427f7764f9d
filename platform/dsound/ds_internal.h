// The inside of the DirectSound stand-in: the device a process shares, the secondary buffer, the
// mixer and the outputs it feeds. Only the stand-in and its tests include this.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/dsound/dsound.h"

namespace tavelo::platform::ds {

class Buffer;

// Where the mixer's sound goes: interleaved signed 16-bit stereo at kDeviceRate.
constexpr uint32_t kDeviceRate = 48000;
constexpr int32_t kDeviceChannels = 2;

class Output {
 public:
  virtual ~Output() = default;
  // Blocks until the device took the frames; false when the device failed for good.
  virtual bool Write(const int16_t* frames, int32_t count) = 0;
  // How long the frames already written take until they are heard.
  virtual int64_t DelayNs() = 0;
  // Wakes a Write that waits, so the mixer can stop.
  virtual void Interrupt() = 0;
};

// The two outputs, tried in this order; nullptr when the server or device does not answer.
std::unique_ptr<Output> OpenPulseOutput();
std::unique_ptr<Output> OpenAlsaOutput();
// Tests: replaces the two outputs (nullptr: no device). An empty function restores them.
using OutputFactory = std::function<std::unique_ptr<Output>()>;
void SetOutputFactory(OutputFactory factory);

// The device every buffer of the process plays on.
class Device {
 public:
  virtual ~Device() = default;
  // A clocked device (the null sink) moves its buffers' cursors on demand from its clock; the
  // others move them as the mixer consumes sound.
  virtual bool Clocked() const { return false; }
  virtual int64_t NowNs() const { return 0; }
  // Sound mixed but not heard yet.
  virtual int64_t DelayNs() const { return 0; }

  void Add(Buffer* b);
  void Remove(Buffer* b);
  // Runs f on every live buffer, with the list locked (buffers are not released meanwhile).
  void ForEach(const std::function<void(Buffer&)>& f);

 private:
  std::mutex mutex_;
  std::vector<Buffer*> buffers_;
};

// The null sink: its clock is the test seam's or steady_clock.
class NullDevice final : public Device {
 public:
  bool Clocked() const override { return true; }
  int64_t NowNs() const override;
};

// The device that one mixer thread feeds into an output.
class MixerDevice final : public Device {
 public:
  explicit MixerDevice(std::unique_ptr<Output> output);
  ~MixerDevice() override;
  int64_t DelayNs() const override { return delayNs_.load(std::memory_order_relaxed); }

  // One pass of the mixer: count device frames of every playing buffer into out (for tests).
  void MixOnce(int16_t* out, int32_t count);

 private:
  void Run();

  std::unique_ptr<Output> output_;
  std::atomic<bool> running_{true};
  std::atomic<int64_t> delayNs_{0};
  std::thread thread_;
};

// A secondary buffer.
class Buffer final : public IDirectSoundBuffer {
 public:
  Buffer(std::shared_ptr<Device> device, const DSBUFFERDESC& desc);
  // Checks a description; DS_OK when a buffer can be made from it.
  static HRESULT Check(const DSBUFFERDESC* desc);

  uint32_t AddRef() override;
  uint32_t Release() override;
  HRESULT GetCurrentPosition(uint32_t* playCursor, uint32_t* writeCursor) override;
  HRESULT GetStatus(uint32_t* status) override;
  HRESULT Lock(uint32_t offset, uint32_t bytes, void** region1, uint32_t* bytes1, void** region2, uint32_t* bytes2,
               uint32_t flags) override;
  HRESULT Play(uint32_t reserved, uint32_t priority, uint32_t flags) override;
  HRESULT SetCurrentPosition(uint32_t position) override;
  HRESULT SetVolume(int32_t volume) override;
  HRESULT Stop() override;
  HRESULT Unlock(void* region1, uint32_t bytes1, void* region2, uint32_t bytes2) override;
  HRESULT Restore() override;

  // Adds count device frames of this buffer's sound, resampled from its rate to deviceRate and
  // scaled by its volume, into acc (interleaved stereo), and moves the cursor past what it took.
  void MixInto(float* acc, int32_t count, uint32_t deviceRate);
  // The simulated loss of the buffer's memory.
  void Lose();
  DsBufferStats Stats();

 private:
  ~Buffer() override;
  void SyncLocked();
  void AdvanceLocked(uint64_t bytes);
  uint8_t SilenceByte() const { return format_.wBitsPerSample == 8 ? 0x80 : 0x00; }
  // Sample (frame, channel) as -1..1; frame counts from the ring's start and wraps.
  float SampleLocked(uint64_t frame, int32_t channel) const;

  std::atomic<uint32_t> refs_{1};
  std::shared_ptr<Device> device_;
  std::mutex mutex_;
  WAVEFORMATEX format_{};
  uint32_t flags_ = 0;
  uint32_t size_ = 0;   // bytes in the ring
  uint32_t block_ = 1;  // bytes per frame
  std::vector<uint8_t> data_;
  // An outstanding lock: the caller writes into staging_, Unlock copies it into the ring, so the
  // mixer never reads bytes that the writer is changing.
  std::vector<uint8_t> staging_;
  bool locked_ = false;
  uint32_t lockOffset_ = 0;
  uint32_t lockBytes_ = 0;
  bool playing_ = false;
  bool lost_ = false;
  int32_t volume_ = 0;
  // Byte positions counted from the buffer's creation, never wrapped: the cursor (position mod
  // size_ is the play cursor) and the end of what was written.
  uint64_t pos_ = 0;
  uint64_t written_ = 0;
  // Clocked devices: where and when the current play started.
  uint64_t startPos_ = 0;
  int64_t startNs_ = 0;
  // Mixing: the part of the next frame already consumed by resampling.
  double phase_ = 0;
  bool starving_ = false;
  uint64_t silentRun_ = 0;  // silent frames played since the last sound
  DsBufferStats stats_;
};

// The simulated loss: true (and one fewer left) while Restore is still meant to fail.
bool ConsumeFailingRestore();

// Global sink totals (kept by the buffers).
void AddSinkTotals(uint64_t playedFrames, uint32_t underruns, uint64_t underrunFrames);
void NoteSinkSilence(int64_t ns);

// The gain of a volume in hundredths of a decibel (0 for DSBVOLUME_MIN).
float VolumeGain(int32_t volume);

}  // namespace tavelo::platform::ds
