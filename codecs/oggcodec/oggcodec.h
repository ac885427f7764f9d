// oggcodec.dll: Ogg files with Theora pictures and Vorbis sound, over the shared FFmpeg reader. A
// file that is not Ogg, or an Ogg stream of another codec, is not this library's: its pictures or
// its sound are reported absent. Twelve exports; the three writing ones answer failure.
//
// Pictures are delivered as B, G, R rows, top-down and unpadded; sound as interleaved signed
// 16-bit samples at the stream's own rate and channel count. No call throws.
#pragma once
#include <cstdint>

extern "C" {

struct OggLib;

// A handle for the file, nullptr when it is not an Ogg file with Theora pictures or Vorbis sound.
OggLib* ogg_open(const char* fileName);
// The pictures: width 0 (and everything 0) when there are none.
void ogg_video_get_info(OggLib* handle, int32_t* width, int32_t* height, int32_t* frameCount, double* frameRate);
// The sound: sampleCount 0 when there is none; bitRate is the stored rate in bits per second.
void ogg_audio_get_info(OggLib* handle, int32_t* sampleRate, int32_t* channels, int32_t* sampleCount,
                        int32_t* bitRate);
// The next picture read delivers frame frameIndex (from 0). Non-zero on success.
int32_t ogg_video_seek(OggLib* handle, int32_t frameIndex);
// Decodes the next frame into pixels (width x height x 3 bytes) and moves on. Non-zero on success.
int32_t ogg_video_read(OggLib* handle, void* pixels);
// The last key frame at or before frameIndex (direction -1), or the first at or after it (any
// other direction); a negative number when there is none that way.
int32_t ogg_video_find_keyframe(OggLib* handle, int32_t frameIndex, int32_t direction);
// Positions the sound at the sample frame given counted from 1 (position + 1). Returns the
// position reached, counted from 0, or -1 when it lies outside the sound.
int32_t ogg_audio_seek(OggLib* handle, int32_t positionPlusOne);
// Reads up to count sample frames; the number read (0 at the end), -1 on failure.
int32_t ogg_audio_read(OggLib* handle, void* buffer, int32_t count);
void ogg_close(OggLib* handle);

// Writing: not available here (nullptr, 0).
void* ogg_create(const char* fileName, int32_t width, int32_t height, double frameRate, int32_t sampleRate,
                 int32_t channels);
int32_t ogg_video_write(void* writer, const void* pixels);
int32_t ogg_audio_write(void* writer, const void* samples, int32_t count);

using ogg_open_t = OggLib* (*)(const char*);
using ogg_video_get_info_t = void (*)(OggLib*, int32_t*, int32_t*, int32_t*, double*);
using ogg_audio_get_info_t = void (*)(OggLib*, int32_t*, int32_t*, int32_t*, int32_t*);
using ogg_video_seek_t = int32_t (*)(OggLib*, int32_t);
using ogg_video_read_t = int32_t (*)(OggLib*, void*);
using ogg_video_find_keyframe_t = int32_t (*)(OggLib*, int32_t, int32_t);
using ogg_audio_seek_t = int32_t (*)(OggLib*, int32_t);
using ogg_audio_read_t = int32_t (*)(OggLib*, void*, int32_t);
using ogg_close_t = void (*)(OggLib*);

}  // extern "C"
