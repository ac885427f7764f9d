// The mixer thread: every 10 ms of device time it mixes the playing buffers into one stereo
// stream and hands it to the output, which blocks while the device is full. That blocking is
// what moves the buffers' cursors in real time.
#include <algorithm>
#include <chrono>
#include <cmath>

#include "platform/dsound/ds_internal.h"

namespace tavelo::platform::ds {

namespace {

constexpr int32_t kChunkFrames = static_cast<int32_t>(kDeviceRate / 100);
// How far the mixer may run ahead of the wall clock. An output that takes sound faster than it
// plays it (ALSA's null device, a device that failed) would otherwise race every cursor ahead.
constexpr int64_t kMaxLeadNs = 200'000'000;

int16_t ToSample(float v) {
  const float s = std::nearbyint(v * 32767.0f);
  return static_cast<int16_t>(std::clamp(s, -32768.0f, 32767.0f));
}

}  // namespace

MixerDevice::MixerDevice(std::unique_ptr<Output> output) : output_(std::move(output)) {
  thread_ = std::thread([this] { Run(); });
}

MixerDevice::~MixerDevice() {
  running_.store(false);
  output_->Interrupt();
  if (thread_.joinable()) thread_.join();
}

void MixerDevice::MixOnce(int16_t* out, int32_t count) {
  std::vector<float> acc(static_cast<size_t>(count) * kDeviceChannels, 0.0f);
  ForEach([&](Buffer& b) { b.MixInto(acc.data(), count, kDeviceRate); });
  for (size_t i = 0; i < acc.size(); ++i) out[i] = ToSample(acc[i]);
}

void MixerDevice::Run() {
  using Clock = std::chrono::steady_clock;
  std::vector<int16_t> chunk(static_cast<size_t>(kChunkFrames) * kDeviceChannels);
  const Clock::time_point start = Clock::now();
  int64_t mixedFrames = 0;
  bool outputOk = true;
  while (running_.load()) {
    MixOnce(chunk.data(), kChunkFrames);
    if (outputOk) {
      outputOk = output_->Write(chunk.data(), kChunkFrames);
      delayNs_.store(outputOk ? output_->DelayNs() : 0, std::memory_order_relaxed);
    }
    mixedFrames += kChunkFrames;
    const int64_t mixedNs = mixedFrames * 1'000'000'000 / kDeviceRate;
    const int64_t elapsedNs = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count();
    // Without a working output the mixer keeps time itself, so playback carries on silently.
    const int64_t lead = outputOk ? kMaxLeadNs : 0;
    if (mixedNs - elapsedNs > lead) std::this_thread::sleep_for(std::chrono::nanoseconds(mixedNs - elapsedNs - lead));
  }
}

}  // namespace tavelo::platform::ds
