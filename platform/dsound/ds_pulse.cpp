// The PulseAudio output: an asynchronous playback stream on a threaded main loop, with timing
// updates so the mixer knows how much of what it wrote is still on its way to the speaker.
#include <pulse/pulseaudio.h>

#include <algorithm>
#include <cstring>

#include "platform/dsound/ds_internal.h"

namespace tavelo::platform::ds {

namespace {

constexpr size_t kFrameBytes = sizeof(int16_t) * kDeviceChannels;

class PulseOutput final : public Output {
 public:
  ~PulseOutput() override { Close(); }

  bool Open() {
    loop_ = pa_threaded_mainloop_new();
    if (loop_ == nullptr) return false;
    context_ = pa_context_new(pa_threaded_mainloop_get_api(loop_), "Tavelo");
    if (context_ == nullptr) return false;
    pa_context_set_state_callback(context_, &PulseOutput::OnContextState, this);
    // No autospawn: a machine without a running server falls through to ALSA.
    if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) return false;
    if (pa_threaded_mainloop_start(loop_) < 0) return false;
    started_ = true;
    pa_threaded_mainloop_lock(loop_);
    bool ok = WaitContextReady() && OpenStream();
    pa_threaded_mainloop_unlock(loop_);
    return ok;
  }

  bool Write(const int16_t* frames, int32_t count) override {
    const uint8_t* p = reinterpret_cast<const uint8_t*>(frames);
    size_t left = static_cast<size_t>(count) * kFrameBytes;
    pa_threaded_mainloop_lock(loop_);
    bool ok = true;
    while (left > 0) {
      if (interrupted_) break;  // the mixer is stopping: the rest is dropped
      if (pa_stream_get_state(stream_) != PA_STREAM_READY) {
        ok = false;
        break;
      }
      size_t room = pa_stream_writable_size(stream_);
      if (room == static_cast<size_t>(-1)) {
        ok = false;
        break;
      }
      if (room == 0) {
        // The write callback signals when the server wants more.
        pa_threaded_mainloop_wait(loop_);
        continue;
      }
      room = std::min(room, left) / kFrameBytes * kFrameBytes;
      if (room == 0) room = std::min(left, kFrameBytes);
      if (pa_stream_write(stream_, p, room, nullptr, 0, PA_SEEK_RELATIVE) < 0) {
        ok = false;
        break;
      }
      p += room;
      left -= room;
    }
    pa_usec_t latency = 0;
    int negative = 0;
    delayNs_ = (ok && pa_stream_get_latency(stream_, &latency, &negative) == 0 && negative == 0)
                   ? static_cast<int64_t>(latency) * 1000
                   : 0;
    pa_threaded_mainloop_unlock(loop_);
    return ok;
  }

  int64_t DelayNs() override { return delayNs_; }

  void Interrupt() override {
    if (loop_ == nullptr || !started_) return;
    pa_threaded_mainloop_lock(loop_);
    interrupted_ = true;
    pa_threaded_mainloop_signal(loop_, 0);
    pa_threaded_mainloop_unlock(loop_);
  }

 private:
  static void OnContextState(pa_context*, void* self) {
    pa_threaded_mainloop_signal(static_cast<PulseOutput*>(self)->loop_, 0);
  }
  static void OnStreamState(pa_stream*, void* self) {
    pa_threaded_mainloop_signal(static_cast<PulseOutput*>(self)->loop_, 0);
  }
  static void OnStreamWrite(pa_stream*, size_t, void* self) {
    pa_threaded_mainloop_signal(static_cast<PulseOutput*>(self)->loop_, 0);
  }

  bool WaitContextReady() {
    for (;;) {
      const pa_context_state_t s = pa_context_get_state(context_);
      if (s == PA_CONTEXT_READY) return true;
      if (!PA_CONTEXT_IS_GOOD(s)) return false;
      pa_threaded_mainloop_wait(loop_);
    }
  }

  bool OpenStream() {
    pa_sample_spec spec;
    spec.format = PA_SAMPLE_S16LE;
    spec.rate = kDeviceRate;
    spec.channels = kDeviceChannels;
    stream_ = pa_stream_new(context_, "Tavelo playback", &spec, nullptr);
    if (stream_ == nullptr) return false;
    pa_stream_set_state_callback(stream_, &PulseOutput::OnStreamState, this);
    pa_stream_set_write_callback(stream_, &PulseOutput::OnStreamWrite, this);
    // A short target: the cursors the player reads are corrected by the latency anyway, but a
    // short queue makes volume changes and stops heard at once.
    pa_buffer_attr attr;
    std::memset(&attr, 0xFF, sizeof attr);
    attr.tlength = static_cast<uint32_t>(kDeviceRate / 20 * kFrameBytes);  // 50 ms
    attr.minreq = static_cast<uint32_t>(kDeviceRate / 100 * kFrameBytes);  // 10 ms
    const pa_stream_flags_t flags = static_cast<pa_stream_flags_t>(
        PA_STREAM_INTERPOLATE_TIMING | PA_STREAM_AUTO_TIMING_UPDATE | PA_STREAM_ADJUST_LATENCY);
    if (pa_stream_connect_playback(stream_, nullptr, &attr, flags, nullptr, nullptr) < 0) return false;
    for (;;) {
      const pa_stream_state_t s = pa_stream_get_state(stream_);
      if (s == PA_STREAM_READY) return true;
      if (!PA_STREAM_IS_GOOD(s)) return false;
      pa_threaded_mainloop_wait(loop_);
    }
  }

  void Close() {
    if (loop_ != nullptr && started_) pa_threaded_mainloop_stop(loop_);
    if (stream_ != nullptr) {
      pa_stream_disconnect(stream_);
      pa_stream_unref(stream_);
    }
    if (context_ != nullptr) {
      pa_context_disconnect(context_);
      pa_context_unref(context_);
    }
    if (loop_ != nullptr) pa_threaded_mainloop_free(loop_);
    stream_ = nullptr;
    context_ = nullptr;
    loop_ = nullptr;
  }

  pa_threaded_mainloop* loop_ = nullptr;
  pa_context* context_ = nullptr;
  pa_stream* stream_ = nullptr;
  bool started_ = false;
  bool interrupted_ = false;  // under the main loop's lock
  int64_t delayNs_ = 0;       // written and read on the mixer thread only
};

}  // namespace

std::unique_ptr<Output> OpenPulseOutput() {
  auto out = std::make_unique<PulseOutput>();
  if (!out->Open()) return nullptr;
  return out;
}

}  // namespace tavelo::platform::ds
