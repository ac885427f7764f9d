// oggcodec.dll over the shared FFmpeg reader (see oggcodec.h).
#include "codecs/oggcodec/oggcodec.h"

#include <cstring>
#include <memory>
#include <vector>

#include "ffsession/ff_session.h"

#define OGG_EXPORT __attribute__((visibility("default")))

using tavelo::ffsession::Clamp32;
using tavelo::ffsession::Session;

struct OggLib {
  Session S;
};

namespace {

template <class T>
void Put(T* p, T v) {
  if (p != nullptr) *p = v;
}

bool IsOgg(const char* fileName) {
  std::vector<uint8_t> head;
  return tavelo::ffsession::ReadHead(fileName, 4, head) && head.size() == 4 && std::memcmp(head.data(), "OggS", 4) == 0;
}

}  // namespace

extern "C" {

OGG_EXPORT OggLib* ogg_open(const char* fileName) {
  try {
    if (!IsOgg(fileName)) return nullptr;
    auto lib = std::make_unique<OggLib>();
    Session& s = lib->S;
    if (s.Open(fileName, true, true)) {
      s.VideoOk = s.R->HasVideo() && s.R->Video().CodecName == "theora" && s.R->Video().FrameCount > 0;
      s.AudioOk = s.R->HasAudio() && s.R->Audio().CodecName == "vorbis" && s.R->Audio().SampleCount > 0 &&
                  s.R->Audio().Channels > 0;
    }
    if (!s.VideoOk && !s.AudioOk) return nullptr;
    return lib.release();
  } catch (...) {
    return nullptr;
  }
}

OGG_EXPORT void ogg_video_get_info(OggLib* handle, int32_t* width, int32_t* height, int32_t* frameCount,
                                   double* frameRate) {
  const bool ok = handle != nullptr && handle->S.VideoOk;
  Put(width, ok ? handle->S.Width() : 0);
  Put(height, ok ? handle->S.Height() : 0);
  Put(frameCount, ok ? handle->S.FrameCount() : 0);
  Put(frameRate, ok ? handle->S.FrameRate() : 0.0);
}

OGG_EXPORT void ogg_audio_get_info(OggLib* handle, int32_t* sampleRate, int32_t* channels, int32_t* sampleCount,
                                   int32_t* bitRate) {
  const bool ok = handle != nullptr && handle->S.AudioOk;
  Put(sampleRate, ok ? handle->S.SampleRate() : 0);
  Put(channels, ok ? handle->S.Channels() : 0);
  Put(sampleCount, ok ? handle->S.SampleCount() : 0);
  Put(bitRate, ok ? Clamp32(handle->S.R->Audio().BitRate) : 0);
}

OGG_EXPORT int32_t ogg_video_seek(OggLib* handle, int32_t frameIndex) {
  return handle != nullptr && handle->S.SeekFrame(frameIndex) ? 1 : 0;
}

OGG_EXPORT int32_t ogg_video_read(OggLib* handle, void* pixels) {
  try {
    return handle != nullptr && handle->S.ReadNextFrame(pixels) ? 1 : 0;
  } catch (...) {
    return 0;
  }
}

OGG_EXPORT int32_t ogg_video_find_keyframe(OggLib* handle, int32_t frameIndex, int32_t direction) {
  if (handle == nullptr || !handle->S.VideoOk) return -1;
  const auto way = direction == -1 ? tavelo::ffreader::KeySearch::AtOrBefore : tavelo::ffreader::KeySearch::AtOrAfter;
  const int64_t key = handle->S.R->FindKeyFrame(frameIndex, way);
  return key < 0 ? -1 : Clamp32(key);
}

OGG_EXPORT int32_t ogg_audio_seek(OggLib* handle, int32_t positionPlusOne) {
  if (handle == nullptr) return -1;
  const int64_t pos = static_cast<int64_t>(positionPlusOne) - 1;
  return handle->S.SeekSound(pos) ? static_cast<int32_t>(pos) : -1;
}

OGG_EXPORT int32_t ogg_audio_read(OggLib* handle, void* buffer, int32_t count) {
  if (handle == nullptr) return -1;
  try {
    return Clamp32(handle->S.ReadSound(buffer, count));
  } catch (...) {
    return -1;
  }
}

OGG_EXPORT void ogg_close(OggLib* handle) { delete handle; }

OGG_EXPORT void* ogg_create(const char*, int32_t, int32_t, double, int32_t, int32_t) { return nullptr; }
OGG_EXPORT int32_t ogg_video_write(void*, const void*) { return 0; }
OGG_EXPORT int32_t ogg_audio_write(void*, const void*, int32_t) { return 0; }

}  // extern "C"
