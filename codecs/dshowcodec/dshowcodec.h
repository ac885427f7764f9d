// dshowcodec.dll: the decoder library the AVI unit falls back on for what Video for Windows does
// not read (and for very large files). Seven C exports over the shared FFmpeg reader; a picture
// handle and a sound handle are opened separately on the same file, over one index of it.
//
// Pictures are delivered as 24-bit B, G, R rows, top-down and unpadded. Sound is delivered as
// 16-bit PCM at the stored rate and channel count; one dsw_audio_read returns at most one second
// of it (the delivered format's nAvgBytesPerSec bytes, whole sample frames), so a buffer of that
// size or more is always enough. No call throws; a bad or closed handle fails quietly.
#pragma once
#include <cstdint>

#include "base/wave_format.h"

extern "C" {

using DswHandle = void*;

// A picture handle for the file, nullptr when it holds no picture stream that can be decoded.
// status receives 0 on success, else a non-zero code.
DswHandle dsw_video_open(const char* fileName, int32_t* status);
// The delivered picture: size, 24 bits, the frame count and the rate (frames per second).
void dsw_video_info(DswHandle handle, int32_t* width, int32_t* height, int32_t* bitsPerPixel, int32_t* frameCount,
                    double* frameRate);
// Decodes frame frameIndex (from 0) into pixels (width x height x 3 bytes). Non-zero on success.
int32_t dsw_video_read(DswHandle handle, void* pixels, int32_t frameIndex);

// A sound handle for the file, nullptr when it holds no sound stream that can be decoded.
DswHandle dsw_audio_open(const char* fileName, int32_t* status);
// The stored format (18 bytes, no extra data), the delivered PCM format and the length in
// delivered sample frames.
void dsw_audio_info(DswHandle handle, tavelo::platform::WAVEFORMATEX* storedFormat,
                    tavelo::platform::WAVEFORMATEX* deliveredFormat, int32_t* sampleCount);
// Fills buffer with delivered PCM from sample frame sourcePosition on (at most one second).
// Non-zero on success; at the end of the sound it succeeds with 0 samples and 0 bytes.
int32_t dsw_audio_read(DswHandle handle, void* buffer, int32_t sourcePosition, int32_t* samplesRead,
                       int32_t* bytesRead);

// Closes either kind of handle.
void dsw_close(DswHandle handle);

// Beyond the seven calls the AVI unit needs, looked up only where the library has it: names for
// a description. container receives what the file is ("MPEG-4", "Matroska / WebM", ...), codec
// the long name of the handle's stream's codec, each zero-terminated and cut to its size. Non-zero
// on success.
int32_t dsw_describe(DswHandle handle, char* container, int32_t containerSize, char* codec, int32_t codecSize);

// The export types, for the loader that binds them by name.
using dsw_video_open_t = DswHandle (*)(const char*, int32_t*);
using dsw_video_info_t = void (*)(DswHandle, int32_t*, int32_t*, int32_t*, int32_t*, double*);
using dsw_video_read_t = int32_t (*)(DswHandle, void*, int32_t);
using dsw_audio_open_t = DswHandle (*)(const char*, int32_t*);
using dsw_audio_info_t = void (*)(DswHandle, tavelo::platform::WAVEFORMATEX*, tavelo::platform::WAVEFORMATEX*,
                                  int32_t*);
using dsw_audio_read_t = int32_t (*)(DswHandle, void*, int32_t, int32_t*, int32_t*);
using dsw_close_t = void (*)(DswHandle);
using dsw_describe_t = int32_t (*)(DswHandle, char*, int32_t, char*, int32_t);

}  // extern "C"
