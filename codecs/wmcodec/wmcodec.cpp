// wmcodec.dll over the shared FFmpeg reader (see wmcodec.h).
#include "codecs/wmcodec/wmcodec.h"

#include <cstring>
#include <memory>
#include <vector>

#include "ffsession/ff_session.h"

#define WMV_EXPORT __attribute__((visibility("default")))

using tavelo::ffsession::Session;
using tavelo::platform::WAVEFORMATEX;

struct WmvLib {
  Session S;
};

namespace {

// The header object's GUID that every ASF file starts with.
const uint8_t kAsfHeader[16] = {0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                                0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};

bool IsAsf(const char* fileName) {
  std::vector<uint8_t> head;
  return tavelo::ffsession::ReadHead(fileName, 16, head) && head.size() == 16 &&
         std::memcmp(head.data(), kAsfHeader, 16) == 0;
}

template <class T>
void Put(T* p, T v) {
  if (p != nullptr) *p = v;
}

}  // namespace

extern "C" {

WMV_EXPORT WmvLib* wmv_open(const char* fileName, int32_t* status) {
  Put(status, 1);
  try {
    if (!IsAsf(fileName)) return nullptr;
    auto lib = std::make_unique<WmvLib>();
    Session& s = lib->S;
    if (s.Open(fileName, true, true)) {
      s.VideoOk = s.R->HasVideo() && s.R->Video().FrameCount > 0;
      s.AudioOk = s.R->HasAudio() && s.R->Audio().SampleCount > 0 && s.R->Audio().Channels > 0 &&
                  s.R->Audio().Channels <= 0xFFFF && s.R->Audio().SampleRate > 0;
    }
    if (!s.VideoOk && !s.AudioOk) return nullptr;
    Put(status, 0);
    return lib.release();
  } catch (...) {
    return nullptr;
  }
}

WMV_EXPORT void wmv_video_info(WmvLib* handle, int32_t* width, int32_t* height, int32_t* bitsPerPixel,
                               int32_t* frameCount, double* frameRate) {
  const bool ok = handle != nullptr && handle->S.VideoOk;
  Put(width, ok ? handle->S.Width() : 0);
  Put(height, ok ? handle->S.Height() : 0);
  Put(bitsPerPixel, ok ? 24 : 0);
  Put(frameCount, ok ? handle->S.FrameCount() : 0);
  Put(frameRate, ok ? handle->S.FrameRate() : 0.0);
}

WMV_EXPORT void wmv_audio_info(WmvLib* handle, WAVEFORMATEX* format, int32_t* sampleCount) {
  const bool ok = handle != nullptr && handle->S.AudioOk;
  if (format != nullptr) {
    std::memset(format, 0, sizeof *format);
    if (ok) {
      const int32_t channels = handle->S.Channels();
      format->wFormatTag = tavelo::platform::WAVE_FORMAT_PCM;
      format->nChannels = static_cast<uint16_t>(channels);
      format->nSamplesPerSec = static_cast<uint32_t>(handle->S.SampleRate());
      format->wBitsPerSample = 16;
      format->nBlockAlign = static_cast<uint16_t>(2 * channels);
      format->nAvgBytesPerSec = format->nSamplesPerSec * format->nBlockAlign;
    }
  }
  Put(sampleCount, ok ? handle->S.SampleCount() : 0);
}

WMV_EXPORT int32_t wmv_video_seek(WmvLib* handle, int32_t frameIndex) {
  return handle != nullptr && handle->S.SeekFrame(frameIndex) ? 1 : 0;
}

WMV_EXPORT int32_t wmv_video_read(WmvLib* handle, void* pixels) {
  try {
    return handle != nullptr && handle->S.ReadNextFrame(pixels) ? 1 : 0;
  } catch (...) {
    return 0;
  }
}

WMV_EXPORT int32_t wmv_audio_seek(WmvLib* handle, int32_t pos) {
  return handle != nullptr && handle->S.SeekSound(pos) ? 1 : 0;
}

WMV_EXPORT int32_t wmv_audio_read(WmvLib* handle, void* buffer, int32_t count) {
  if (handle == nullptr) return -1;
  try {
    return tavelo::ffsession::Clamp32(handle->S.ReadSound(buffer, count));
  } catch (...) {
    return -1;
  }
}

WMV_EXPORT void wmv_close(WmvLib* handle) { delete handle; }

WMV_EXPORT int32_t wmv_can_write9(void) { return 0; }

WMV_EXPORT void* wmv_create(const char*, int32_t, int32_t, double, const WAVEFORMATEX*) { return nullptr; }
WMV_EXPORT int32_t wmv_video_write(void*, const void*) { return 0; }
WMV_EXPORT int32_t wmv_audio_write(void*, const void*, int32_t) { return 0; }

}  // extern "C"
