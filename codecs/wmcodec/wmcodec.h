// wmcodec.dll: Windows Media files (the ASF container: WMV pictures, WMA sound) over the shared
// FFmpeg reader. A file that is not ASF is not this library's. Twelve exports; nothing here can
// write Windows Media, so wmv_can_write9 answers 0 and the three writing exports answer failure.
//
// Pictures are delivered as 24-bit B, G, R rows, top-down and unpadded; sound as interleaved
// signed 16-bit PCM at the stream's own rate and channel count. No call throws.
#pragma once
#include <cstdint>

#include "base/wave_format.h"

extern "C" {

struct WmvLib;

// A handle for the file, nullptr when it is not an ASF file with pictures or sound that can be
// decoded. status (when given) receives 0 on success, else 1.
WmvLib* wmv_open(const char* fileName, int32_t* status);
// The pictures: frameCount 0 (and everything 0) when there are none.
void wmv_video_info(WmvLib* handle, int32_t* width, int32_t* height, int32_t* bitsPerPixel, int32_t* frameCount,
                    double* frameRate);
// The PCM format sound is delivered in (all zero without sound) and its length in sample frames.
void wmv_audio_info(WmvLib* handle, tavelo::platform::WAVEFORMATEX* format, int32_t* sampleCount);
// The next picture read delivers frame frameIndex (from 0). Non-zero on success.
int32_t wmv_video_seek(WmvLib* handle, int32_t frameIndex);
// Decodes the next frame into pixels (width x height x 3 bytes) and moves on. Non-zero on success.
int32_t wmv_video_read(WmvLib* handle, void* pixels);
// The next sound read starts at sample frame pos (0 up to the length). Non-zero on success.
int32_t wmv_audio_seek(WmvLib* handle, int32_t pos);
// Reads up to count sample frames; the number read (0 at the end), -1 on failure.
int32_t wmv_audio_read(WmvLib* handle, void* buffer, int32_t count);
void wmv_close(WmvLib* handle);
// Non-zero when Windows Media Video 9 can be written: never here.
int32_t wmv_can_write9(void);

// Writing: not available here (nullptr, 0).
void* wmv_create(const char* fileName, int32_t width, int32_t height, double frameRate,
                 const tavelo::platform::WAVEFORMATEX* soundFormat);
int32_t wmv_video_write(void* writer, const void* pixels);
int32_t wmv_audio_write(void* writer, const void* samples, int32_t count);

using wmv_open_t = WmvLib* (*)(const char*, int32_t*);
using wmv_video_info_t = void (*)(WmvLib*, int32_t*, int32_t*, int32_t*, int32_t*, double*);
using wmv_audio_info_t = void (*)(WmvLib*, tavelo::platform::WAVEFORMATEX*, int32_t*);
using wmv_video_seek_t = int32_t (*)(WmvLib*, int32_t);
using wmv_video_read_t = int32_t (*)(WmvLib*, void*);
using wmv_audio_seek_t = int32_t (*)(WmvLib*, int32_t);
using wmv_audio_read_t = int32_t (*)(WmvLib*, void*, int32_t);
using wmv_close_t = void (*)(WmvLib*);
using wmv_can_write9_t = int32_t (*)();

}  // extern "C"
