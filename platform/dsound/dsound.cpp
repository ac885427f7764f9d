// The sound device of the process: which sink plays (the null sink, PulseAudio, ALSA), the
// DirectSound object over it, and the figures and seams of the stand-in.
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "platform/dsound/ds_internal.h"

namespace tavelo::platform {

namespace ds {
namespace {

std::mutex g_mutex;                 // guards the globals below
std::weak_ptr<Device> g_device;     // one device per process, shared by every DirectSound object
DsClock g_nullClock;                // the null sink's clock (empty: steady_clock)
OutputFactory g_outputFactory;      // tests: the outputs to try instead of PulseAudio and ALSA
bool g_noDevice = false;
int32_t g_failingRestores = 0;

std::atomic<uint64_t> g_playedFrames{0};
std::atomic<uint32_t> g_underruns{0};
std::atomic<uint64_t> g_underrunFrames{0};
std::atomic<int64_t> g_longestSilenceNs{0};

class DirectSound final : public IDirectSound {
 public:
  explicit DirectSound(std::shared_ptr<Device> device) : device_(std::move(device)) {}

  uint32_t AddRef() override { return refs_.fetch_add(1, std::memory_order_relaxed) + 1; }
  uint32_t Release() override {
    const uint32_t left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left == 0) delete this;
    return left;
  }
  HRESULT CreateSoundBuffer(const DSBUFFERDESC* desc, IDirectSoundBuffer** buffer, void* outer) override {
    if (buffer == nullptr || outer != nullptr) return DSERR_INVALIDPARAM;
    *buffer = nullptr;
    const HRESULT check = Buffer::Check(desc);
    if (check != DS_OK) return check;
    try {
      *buffer = new Buffer(device_, *desc);
    } catch (const std::bad_alloc&) {
      return DSERR_OUTOFMEMORY;
    }
    return DS_OK;
  }
  HRESULT SetCooperativeLevel(void* window, uint32_t level) override {
    if (level < DSSCL_NORMAL || level > 3) return DSERR_INVALIDPARAM;
    window_ = window;
    level_ = level;
    return DS_OK;
  }

 private:
  ~DirectSound() override = default;

  std::atomic<uint32_t> refs_{1};
  std::shared_ptr<Device> device_;
  void* window_ = nullptr;
  uint32_t level_ = DSSCL_NORMAL;
};

bool NullSelected() {
  const char* v = std::getenv("TAVELO_AUDIO");
  return v != nullptr && std::strcmp(v, "null") == 0;
}

// The device of the process, made on first use. nullptr when no sink answers.
std::shared_ptr<Device> SharedDevice() {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (g_noDevice) return nullptr;
  if (std::shared_ptr<Device> d = g_device.lock()) return d;
  std::shared_ptr<Device> d;
  if (NullSelected()) {
    d = std::make_shared<NullDevice>();
  } else {
    std::unique_ptr<Output> out;
    if (g_outputFactory) {
      out = g_outputFactory();
    } else {
      out = OpenPulseOutput();
      if (!out) out = OpenAlsaOutput();
    }
    if (!out) return nullptr;
    d = std::make_shared<MixerDevice>(std::move(out));
  }
  g_device = d;
  return d;
}

}  // namespace

void Device::Add(Buffer* b) {
  std::lock_guard<std::mutex> lock(mutex_);
  buffers_.push_back(b);
}

void Device::Remove(Buffer* b) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (size_t i = 0; i < buffers_.size(); ++i)
    if (buffers_[i] == b) {
      buffers_.erase(buffers_.begin() + static_cast<std::ptrdiff_t>(i));
      break;
    }
}

void Device::ForEach(const std::function<void(Buffer&)>& f) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (Buffer* b : buffers_) f(*b);
}

int64_t NullDevice::NowNs() const {
  DsClock clock;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    clock = g_nullClock;
  }
  if (clock) return clock();
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void SetOutputFactory(OutputFactory factory) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_outputFactory = std::move(factory);
}

bool ConsumeFailingRestore() {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (g_failingRestores <= 0) return false;
  --g_failingRestores;
  return true;
}

void AddSinkTotals(uint64_t playedFrames, uint32_t underruns, uint64_t underrunFrames) {
  g_playedFrames.fetch_add(playedFrames, std::memory_order_relaxed);
  g_underruns.fetch_add(underruns, std::memory_order_relaxed);
  g_underrunFrames.fetch_add(underrunFrames, std::memory_order_relaxed);
}

void NoteSinkSilence(int64_t ns) {
  int64_t seen = g_longestSilenceNs.load(std::memory_order_relaxed);
  while (ns > seen && !g_longestSilenceNs.compare_exchange_weak(seen, ns, std::memory_order_relaxed)) {
  }
}

}  // namespace ds

HRESULT DirectSoundCreate(const void* device, IDirectSound** ds, void* outer) {
  if (ds == nullptr) return DSERR_INVALIDPARAM;
  *ds = nullptr;
  if (device != nullptr || outer != nullptr) return DSERR_INVALIDPARAM;
  std::shared_ptr<ds::Device> d = ds::SharedDevice();
  if (!d) return DSERR_NODRIVER;
  *ds = new ds::DirectSound(std::move(d));
  return DS_OK;
}

bool DsGetBufferStats(IDirectSoundBuffer* buffer, DsBufferStats& stats) {
  if (buffer == nullptr) return false;
  stats = static_cast<ds::Buffer*>(buffer)->Stats();
  return true;
}

DsSinkTotals DsGetSinkTotals() {
  // The null sink moves its cursors only when asked: bring every live buffer up to now first.
  std::shared_ptr<ds::Device> d;
  {
    std::lock_guard<std::mutex> lock(ds::g_mutex);
    d = ds::g_device.lock();
  }
  if (d) d->ForEach([](ds::Buffer& b) { b.Stats(); });
  DsSinkTotals t;
  t.PlayedFrames = ds::g_playedFrames.load(std::memory_order_relaxed);
  t.Underruns = ds::g_underruns.load(std::memory_order_relaxed);
  t.UnderrunFrames = ds::g_underrunFrames.load(std::memory_order_relaxed);
  t.LongestSilenceNs = ds::g_longestSilenceNs.load(std::memory_order_relaxed);
  return t;
}

void DsResetSinkTotals() {
  ds::g_playedFrames.store(0);
  ds::g_underruns.store(0);
  ds::g_underrunFrames.store(0);
  ds::g_longestSilenceNs.store(0);
}

bool DsNullSinkSelected() { return ds::NullSelected(); }

void SetNullSinkClock(DsClock clock) {
  std::lock_guard<std::mutex> lock(ds::g_mutex);
  ds::g_nullClock = std::move(clock);
}

void NullSinkLoseBuffers(int32_t failingRestores) {
  std::shared_ptr<ds::Device> d;
  {
    std::lock_guard<std::mutex> lock(ds::g_mutex);
    ds::g_failingRestores = failingRestores > 0 ? failingRestores : 0;
    d = ds::g_device.lock();
  }
  if (d && d->Clocked()) d->ForEach([](ds::Buffer& b) { b.Lose(); });
}

void SetDsoundNoDevice(bool noDevice) {
  std::lock_guard<std::mutex> lock(ds::g_mutex);
  ds::g_noDevice = noDevice;
}

}  // namespace tavelo::platform
