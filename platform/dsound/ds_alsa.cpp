// The ALSA output, used when no PulseAudio server answers: blocking interleaved writes to the
// default device, with its delay as the sound still on its way.
#include <alsa/asoundlib.h>

#include <atomic>
#include <cerrno>

#include "platform/dsound/ds_internal.h"

namespace tavelo::platform::ds {

namespace {

// ALSA reports every failed probe on standard error; a machine without sound is not an error
// the user must read about on each start.
void QuietAlsa(const char*, int, const char*, int, const char*, ...) {}

class AlsaOutput final : public Output {
 public:
  ~AlsaOutput() override {
    if (pcm_ != nullptr) {
      snd_pcm_drop(pcm_);
      snd_pcm_close(pcm_);
    }
  }

  bool Open() {
    snd_lib_error_set_handler(&QuietAlsa);
    if (snd_pcm_open(&pcm_, "default", SND_PCM_STREAM_PLAYBACK, 0) < 0) {
      pcm_ = nullptr;
      return false;
    }
    // 60 ms of latency, resampled by ALSA when the device has another rate.
    return snd_pcm_set_params(pcm_, SND_PCM_FORMAT_S16_LE, SND_PCM_ACCESS_RW_INTERLEAVED, kDeviceChannels,
                              kDeviceRate, 1, 60000) >= 0;
  }

  bool Write(const int16_t* frames, int32_t count) override {
    snd_pcm_sframes_t left = count;
    const int16_t* p = frames;
    while (left > 0 && !interrupted_.load()) {
      snd_pcm_sframes_t n = snd_pcm_writei(pcm_, p, static_cast<snd_pcm_uframes_t>(left));
      if (n == -EAGAIN) continue;
      if (n < 0) {
        // An underrun or a suspend: recover and go on; anything else ends the output.
        if (snd_pcm_recover(pcm_, static_cast<int>(n), 1) < 0) return false;
        continue;
      }
      p += n * kDeviceChannels;
      left -= n;
    }
    snd_pcm_sframes_t delay = 0;
    delayNs_ = (snd_pcm_delay(pcm_, &delay) == 0 && delay > 0) ? delay * 1'000'000'000LL / kDeviceRate : 0;
    return true;
  }

  int64_t DelayNs() override { return delayNs_; }

  // A blocking write returns within one period, then sees the flag.
  void Interrupt() override { interrupted_.store(true); }

 private:
  snd_pcm_t* pcm_ = nullptr;
  std::atomic<bool> interrupted_{false};
  int64_t delayNs_ = 0;  // mixer thread only
};

}  // namespace

std::unique_ptr<Output> OpenAlsaOutput() {
  auto out = std::make_unique<AlsaOutput>();
  if (!out->Open()) return nullptr;
  return out;
}

}  // namespace tavelo::platform::ds
