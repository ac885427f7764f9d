// dshowcodec: the AVI unit's fallback decoder over the shared FFmpeg reader.
#include "codecs/dshowcodec/dshowcodec.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <string>

extern "C" {
#include <libavcodec/codec_desc.h>
}

#include "ffreader/ff_reader.h"
#include "ffsession/ff_session.h"

#define DSW_EXPORT __attribute__((visibility("default")))

namespace {

using tavelo::ffreader::Reader;
using tavelo::platform::WAVEFORMATEX;

constexpr int32_t kMaxChannels = 8;
constexpr int32_t kMaxRate = 384000;
// The largest picture delivered (8192 x 8192): a damaged header must not make every frame read
// allocate gigabytes.
constexpr int64_t kMaxPixels = int64_t{1} << 26;

struct Handle {
  bool IsVideo = false;
  // The picture and the sound handle of a file each have their own reader over one index: the
  // file is indexed once (ffsession keeps it for the handles that follow) and the two are read
  // by two threads.
  std::shared_ptr<Reader> Media;
};

// The live handles: a handle the caller closed, or never had, is refused instead of used.
std::mutex g_lock;
std::set<Handle*>& Live() {
  static std::set<Handle*> live;
  return live;
}

Handle* Find(void* h, bool video) {
  std::lock_guard<std::mutex> lock(g_lock);
  auto* handle = static_cast<Handle*>(h);
  if (handle == nullptr || Live().count(handle) == 0 || handle->IsVideo != video) return nullptr;
  return handle;
}

void* OpenHandle(const char* fileName, int32_t* status, bool video) {
  int32_t code = 1;
  void* result = nullptr;
  try {
    if (fileName != nullptr && *fileName != 0) {
      std::shared_ptr<Reader> reader = tavelo::ffsession::TakeReader(fileName, true, true);
      code = 2;
      if (reader != nullptr && (video ? reader->HasVideo() : reader->HasAudio())) {
        bool usable = true;
        if (video) {
          usable = reader->Video().Width > 0 && reader->Video().Height > 0 &&
                   int64_t{reader->Video().Width} * reader->Video().Height <= kMaxPixels;
        } else {
          usable = reader->Audio().Channels <= kMaxChannels && reader->Audio().SampleRate <= kMaxRate;
        }
        if (usable) {
          auto handle = std::make_unique<Handle>();
          handle->IsVideo = video;
          handle->Media = std::move(reader);
          std::lock_guard<std::mutex> lock(g_lock);
          Live().insert(handle.get());
          result = handle.release();
          code = 0;
        } else {
          code = 3;
        }
      }
      if (reader != nullptr) tavelo::ffsession::ReturnReader(std::move(reader), false);
    }
  } catch (...) {
    result = nullptr;
    code = 4;
  }
  if (status != nullptr) *status = code;
  return result;
}

int32_t Clamp32(int64_t v) { return static_cast<int32_t>(std::clamp<int64_t>(v, 0, INT32_MAX)); }

void CopyText(const std::string& text, char* to, int32_t size) {
  if (to == nullptr || size <= 0) return;
  const size_t n = std::min(text.size(), static_cast<size_t>(size - 1));
  std::memcpy(to, text.data(), n);
  to[n] = 0;
}

void DeliveredFormat(const Reader& r, WAVEFORMATEX& f) {
  f = WAVEFORMATEX{};
  f.wFormatTag = tavelo::platform::WAVE_FORMAT_PCM;
  f.nChannels = static_cast<uint16_t>(r.Audio().Channels);
  f.nSamplesPerSec = static_cast<uint32_t>(r.Audio().SampleRate);
  f.wBitsPerSample = 16;
  f.nBlockAlign = static_cast<uint16_t>(2 * r.Audio().Channels);
  f.nAvgBytesPerSec = f.nSamplesPerSec * f.nBlockAlign;
}

}  // namespace

extern "C" {

DSW_EXPORT DswHandle dsw_video_open(const char* fileName, int32_t* status) { return OpenHandle(fileName, status, true); }

DSW_EXPORT void dsw_video_info(DswHandle handle, int32_t* width, int32_t* height, int32_t* bitsPerPixel,
                               int32_t* frameCount, double* frameRate) {
  Handle* h = Find(handle, true);
  const auto& v = h != nullptr ? h->Media->Video() : tavelo::ffreader::VideoInfo{};
  if (width != nullptr) *width = v.Width;
  if (height != nullptr) *height = v.Height;
  if (bitsPerPixel != nullptr) *bitsPerPixel = h != nullptr ? 24 : 0;
  if (frameCount != nullptr) *frameCount = Clamp32(v.FrameCount);
  if (frameRate != nullptr) *frameRate = v.FrameRate;
}

DSW_EXPORT int32_t dsw_video_read(DswHandle handle, void* pixels, int32_t frameIndex) {
  Handle* h = Find(handle, true);
  if (h == nullptr || pixels == nullptr || frameIndex < 0) return 0;
  try {
    const auto& v = h->Media->Video();
    return h->Media->ReadFrame(frameIndex, static_cast<uint8_t*>(pixels), static_cast<ptrdiff_t>(v.Width) * 3) ? 1 : 0;
  } catch (...) {
    return 0;
  }
}

DSW_EXPORT DswHandle dsw_audio_open(const char* fileName, int32_t* status) { return OpenHandle(fileName, status, false); }

DSW_EXPORT void dsw_audio_info(DswHandle handle, WAVEFORMATEX* storedFormat, WAVEFORMATEX* deliveredFormat,
                               int32_t* sampleCount) {
  Handle* h = Find(handle, false);
  if (h == nullptr) {
    if (storedFormat != nullptr) *storedFormat = WAVEFORMATEX{};
    if (deliveredFormat != nullptr) *deliveredFormat = WAVEFORMATEX{};
    if (sampleCount != nullptr) *sampleCount = 0;
    return;
  }
  const auto& a = h->Media->Audio();
  if (storedFormat != nullptr) {
    WAVEFORMATEX f{};
    f.wFormatTag = a.WaveFormatTag;
    f.nChannels = static_cast<uint16_t>(a.Channels);
    f.nSamplesPerSec = static_cast<uint32_t>(a.SampleRate);
    f.nBlockAlign = static_cast<uint16_t>(std::clamp<int32_t>(a.BlockAlign, 0, 65535));
    f.wBitsPerSample = static_cast<uint16_t>(std::clamp<int32_t>(a.StoredBits, 0, 65535));
    f.nAvgBytesPerSec = static_cast<uint32_t>(std::clamp<int64_t>(a.BitRate / 8, 0, UINT32_MAX));
    if (f.nAvgBytesPerSec == 0 && f.nBlockAlign != 0 && f.wBitsPerSample != 0)
      f.nAvgBytesPerSec = f.nSamplesPerSec * f.nBlockAlign;
    *storedFormat = f;
  }
  if (deliveredFormat != nullptr) DeliveredFormat(*h->Media, *deliveredFormat);
  if (sampleCount != nullptr) *sampleCount = Clamp32(a.SampleCount);
}

DSW_EXPORT int32_t dsw_audio_read(DswHandle handle, void* buffer, int32_t sourcePosition, int32_t* samplesRead,
                                  int32_t* bytesRead) {
  if (samplesRead != nullptr) *samplesRead = 0;
  if (bytesRead != nullptr) *bytesRead = 0;
  Handle* h = Find(handle, false);
  if (h == nullptr || buffer == nullptr || sourcePosition < 0) return 0;
  try {
    const auto& a = h->Media->Audio();
    const int64_t got = h->Media->ReadAudio(sourcePosition, static_cast<int16_t*>(buffer), a.SampleRate);
    if (got < 0) return 0;
    if (samplesRead != nullptr) *samplesRead = Clamp32(got);
    if (bytesRead != nullptr) *bytesRead = Clamp32(got * 2 * a.Channels);
    return 1;
  } catch (...) {
    return 0;
  }
}

DSW_EXPORT int32_t dsw_describe(DswHandle handle, char* container, int32_t containerSize, char* codec,
                                int32_t codecSize) {
  CopyText("", container, containerSize);
  CopyText("", codec, codecSize);
  Handle* h = Find(handle, true);
  if (h == nullptr) h = Find(handle, false);
  if (h == nullptr) return 0;
  try {
    const std::string& name = h->IsVideo ? h->Media->Video().CodecName : h->Media->Audio().CodecName;
    const AVCodecDescriptor* d = avcodec_descriptor_get_by_name(name.c_str());
    CopyText(h->Media->ContainerName(), container, containerSize);
    CopyText(d != nullptr && d->long_name != nullptr ? d->long_name : name, codec, codecSize);
    return 1;
  } catch (...) {
    return 0;
  }
}

DSW_EXPORT void dsw_close(DswHandle handle) {
  Handle* h = nullptr;
  {
    std::lock_guard<std::mutex> lock(g_lock);
    auto it = Live().find(static_cast<Handle*>(handle));
    if (it == Live().end()) return;
    h = *it;
    Live().erase(it);
  }
  tavelo::ffsession::ReturnReader(std::move(h->Media));
  delete h;
}

}  // extern "C"
