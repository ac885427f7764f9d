// The ZMV codec library (see zmvcodec.h for its contract).
#include "codecs/zmvcodec/zmvcodec.h"

#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <new>

#define ZMV_EXPORT extern "C" __attribute__((visibility("default")))

struct zmv_lib_handle {
  uint32_t magic;
};

namespace {

constexpr uint32_t kMagic = 0x564D5A31;  // "1ZMV"
constexpr int64_t kMaxPicture = 0x7FFFFFFF;

bool Valid(const zmv_lib_handle* h) { return h != nullptr && h->magic == kMagic; }

template <class T>
void Zero(T* p) {
  if (p != nullptr) *p = T();
}

}  // namespace

ZMV_EXPORT zmv_lib_handle* zmv_handle_alloc(void) {
  auto* h = new (std::nothrow) zmv_lib_handle;
  if (h != nullptr) h->magic = kMagic;
  return h;
}

ZMV_EXPORT void zmv_handle_free(zmv_lib_handle* h) {
  if (!Valid(h)) return;
  h->magic = 0;
  delete h;
}

ZMV_EXPORT int32_t zmv_open(zmv_lib_handle* h, const char* fileName) {
  if (!Valid(h) || fileName == nullptr) return ZMV_ERR_ARGS;
  std::FILE* f = std::fopen(fileName, "rb");
  if (f == nullptr) return ZMV_ERR_OPEN;
  unsigned char head[12];
  const size_t got = std::fread(head, 1, sizeof head, f);
  std::fclose(f);
  if (got < sizeof head || std::memcmp(head, "ZMV", 3) != 0) return ZMV_ERR_FORMAT;
  // A ZMV file of any generation: the older one is read by the program itself, and the newer one
  // is not read here. Refuse it; the handle stays closed.
  return ZMV_ERR_UNSUPPORTED;
}

ZMV_EXPORT int32_t zmv_close(zmv_lib_handle* h) { return Valid(h) ? ZMV_OK : ZMV_ERR_ARGS; }

ZMV_EXPORT int32_t zmv_video_get_format(zmv_lib_handle* h, int32_t* frames, int32_t* codec, int32_t* width,
                                        int32_t* height, int32_t* bitsPerPixel, double* frameRate,
                                        int32_t* keyInterval) {
  Zero(frames);
  Zero(codec);
  Zero(width);
  Zero(height);
  Zero(bitsPerPixel);
  Zero(frameRate);
  Zero(keyInterval);
  return Valid(h) ? ZMV_ERR_NOT_OPEN : ZMV_ERR_ARGS;
}

ZMV_EXPORT int32_t zmv_audio_get_format(zmv_lib_handle* h, int32_t* samples, int32_t* hasSound, int32_t* sampleRate,
                                        int32_t* channels, int32_t* bitsPerSample) {
  Zero(samples);
  Zero(hasSound);
  Zero(sampleRate);
  Zero(channels);
  Zero(bitsPerSample);
  return Valid(h) ? ZMV_ERR_NOT_OPEN : ZMV_ERR_ARGS;
}

ZMV_EXPORT int32_t zmv_video_seek(zmv_lib_handle* h, int32_t /*frame*/) {
  return Valid(h) ? ZMV_ERR_NOT_OPEN : ZMV_ERR_ARGS;
}

ZMV_EXPORT int32_t zmv_video_read(zmv_lib_handle* h, uint8_t* /*pixels*/) {
  return Valid(h) ? ZMV_ERR_NOT_OPEN : ZMV_ERR_ARGS;
}

ZMV_EXPORT int32_t zmv_video_get_palette(zmv_lib_handle* h, uint8_t* /*palette*/, int32_t* changed) {
  Zero(changed);
  return Valid(h) ? ZMV_ERR_NOT_OPEN : ZMV_ERR_ARGS;
}

ZMV_EXPORT int32_t zmv_audio_seek(zmv_lib_handle* h, int32_t /*sample*/) {
  return Valid(h) ? ZMV_ERR_NOT_OPEN : ZMV_ERR_ARGS;
}

ZMV_EXPORT int32_t zmv_audio_read(zmv_lib_handle* h, uint8_t* /*buffer*/, int32_t /*count*/, int32_t* samplesRead) {
  Zero(samplesRead);
  return Valid(h) ? ZMV_ERR_NOT_OPEN : ZMV_ERR_ARGS;
}

ZMV_EXPORT int32_t zmv_decode(uint8_t* pixels, const uint8_t* data, int32_t width, int32_t height, int32_t bpp,
                              int32_t param) {
  if (pixels == nullptr || data == nullptr || width < 1 || height < 1 || param < 1) return ZMV_ERR_ARGS;
  if (bpp != 8 && bpp != 15 && bpp != 16 && bpp != 24 && bpp != 32) return ZMV_ERR_ARGS;
  const int64_t size = static_cast<int64_t>(width) * height * ((bpp + 7) / 8);
  if (size > kMaxPicture) return ZMV_ERR_ARGS;

  z_stream z;
  std::memset(&z, 0, sizeof z);
  if (inflateInit(&z) != Z_OK) return ZMV_ERR_MEMORY;
  z.next_in = const_cast<Bytef*>(data);
  z.avail_in = static_cast<uInt>(param);
  z.next_out = pixels;
  z.avail_out = static_cast<uInt>(size);
  const int r = inflate(&z, Z_FINISH);
  const bool whole = r == Z_STREAM_END && z.total_out == static_cast<uLong>(size);
  inflateEnd(&z);
  if (r == Z_MEM_ERROR) return ZMV_ERR_MEMORY;
  return whole ? ZMV_OK : ZMV_ERR_DATA;
}

ZMV_EXPORT int32_t zmv_create(zmv_lib_handle* h, const char* /*fileName*/) {
  return Valid(h) ? ZMV_ERR_NOT_OFFERED : ZMV_ERR_ARGS;
}

ZMV_EXPORT int32_t zmv_video_set_format(zmv_lib_handle* h, int32_t, int32_t, int32_t, double, int32_t, int32_t) {
  return Valid(h) ? ZMV_ERR_NOT_OFFERED : ZMV_ERR_ARGS;
}

ZMV_EXPORT int32_t zmv_audio_set_format(zmv_lib_handle* h, int32_t, int32_t, int32_t) {
  return Valid(h) ? ZMV_ERR_NOT_OFFERED : ZMV_ERR_ARGS;
}

ZMV_EXPORT int32_t zmv_video_write_ex(zmv_lib_handle* h, const uint8_t*, const uint8_t*, int32_t) {
  return Valid(h) ? ZMV_ERR_NOT_OFFERED : ZMV_ERR_ARGS;
}

ZMV_EXPORT int32_t zmv_video_write(zmv_lib_handle* h, const uint8_t*) {
  return Valid(h) ? ZMV_ERR_NOT_OFFERED : ZMV_ERR_ARGS;
}

ZMV_EXPORT int32_t zmv_audio_write_ex(zmv_lib_handle* h, const uint8_t*, int32_t, int32_t) {
  return Valid(h) ? ZMV_ERR_NOT_OFFERED : ZMV_ERR_ARGS;
}

ZMV_EXPORT int32_t zmv_audio_write(zmv_lib_handle* h, const uint8_t*, int32_t) {
  return Valid(h) ? ZMV_ERR_NOT_OFFERED : ZMV_ERR_ARGS;
}

ZMV_EXPORT int32_t zmv_encode(uint8_t*, int32_t, const uint8_t*, int32_t, int32_t, int32_t, int32_t* param) {
  Zero(param);
  return ZMV_ERR_NOT_OFFERED;
}
